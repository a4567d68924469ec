// The pending-password store: one gdbm file per backend in the state
// directory. Key: user name. Value: "<old token>:<new token>:<state>", state
// "1" waiting to be published, "0" published.
#pragma once

#include <string>

#include "core/dbm_file.h"

constexpr const char* kStateDirectory = "/usr/lib/corvex/rules/kdl2nis/";

// ".nis_files_pass" for files (0), ".nis_yp_pass" for nis (1),
// ".nisplus__pass" for any other selector.
const char* passCacheName(int backend);
std::string passCachePath(int backend);
// Opened read-write, created 0600 when missing; not open on failure.
DbmFile openPassCache(int backend);

#include "password/pass_cache.h"

#include "core/event_record.h"

const char* passCacheName(int backend) {
  switch (backend) {
    case kFiles: return ".nis_files_pass";
    case kNis: return ".nis_yp_pass";
    default: return ".nisplus__pass";
  }
}

std::string passCachePath(int backend) { return std::string(kStateDirectory) + passCacheName(backend); }

DbmFile openPassCache(int backend) { return DbmFile::open(passCachePath(backend)); }

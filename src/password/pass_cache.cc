#include "password/pass_cache.h"

const char* passCacheName(int backend) {
  switch (backend) {
    case 0: return ".nis_files_pass";
    case 1: return ".nis_yp_pass";
    default: return ".nisplus__pass";
  }
}

std::string passCachePath(int backend) { return std::string(kStateDirectory) + passCacheName(backend); }

DbmFile openPassCache(int backend) { return DbmFile::open(passCachePath(backend)); }

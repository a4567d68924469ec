#include "publisher/stamp_time.h"

long trustedTime(long mtime, long readAt) {
  if (mtime == -2 || mtime == 0) return mtime;
  return mtime + 1 >= readAt ? -1 : mtime;
}

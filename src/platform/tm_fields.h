// The fields of a local time that the listing shows, taken from the C
// library's broken-down time (both systems fill a struct tm).  Included only
// by the platform files.
#pragma once

#include <ctime>

#include "platform/platform.h"

namespace plat {

inline void copy_local_time(const struct tm& tm_local, LocalTime* out) {
    out->year = static_cast<int64_t>(tm_local.tm_year) + 1900;
    out->month = tm_local.tm_mon + 1;
    out->day = tm_local.tm_mday;
    out->hour = tm_local.tm_hour;
    out->minute = tm_local.tm_min;
}

}  // namespace plat

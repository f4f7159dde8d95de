// Local time on Windows, by the runtime's zone rules (TZ where set, the
// system's zone otherwise).
#if defined(_WIN32)

#include <ctime>

#include "platform/platform.h"

namespace plat {

bool local_time(int64_t seconds, LocalTime* out) {
    __time64_t t = static_cast<__time64_t>(seconds);
    struct tm tm_local;
    // The runtime refuses moments before 1970 and after 3000.
    if (::_localtime64_s(&tm_local, &t) != 0) return false;
    out->year = static_cast<int64_t>(tm_local.tm_year) + 1900;
    out->month = tm_local.tm_mon + 1;
    out->day = tm_local.tm_mday;
    out->hour = tm_local.tm_hour;
    out->minute = tm_local.tm_min;
    return true;
}

}  // namespace plat

#endif  // defined(_WIN32)

// Local time on Windows, by the runtime's zone rules (TZ where set, the
// system's zone otherwise).
#if defined(_WIN32)

#include <ctime>

#include "platform/platform.h"
#include "platform/tm_fields.h"

namespace plat {

bool local_time(int64_t seconds, LocalTime* out) {
    __time64_t t = static_cast<__time64_t>(seconds);
    struct tm tm_local;
    // The runtime refuses moments before 1970 and after 3000.
    if (::_localtime64_s(&tm_local, &t) != 0) return false;
    copy_local_time(tm_local, out);
    return true;
}

}  // namespace plat

#endif  // defined(_WIN32)

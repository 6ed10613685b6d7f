/* iraftime: IRAF time stamps, local wall-clock seconds since 1980-01-01.
 * The stamp counts from local midnight of 1980-01-01 in the zone's standard
 * time, plus one hour while daylight saving time is in force. */
#include <cstdint>
#include <ctime>

#include "im.h"

/* Seconds from 1970-01-01 to 1980-01-01. */
static const int64_t IRAF_EPOCH = 315532800;

/* get_iraf_time: the current IRAF time stamp: now in local time (standard
 * offset from Greenwich, plus 3600 under daylight saving time) counted from
 * 1980-01-01 00:00:00.  Cannot fail; a clock that cannot be broken down
 * gives the stamp in Greenwich time.  Does not touch f. */
int32_t im_internal::get_iraf_time(void)
{
    std::time_t t = std::time(nullptr);
    int64_t zone = 0;
    int dst = 0;
    std::tm gm{};
    std::tm lt{};

    /* mktime reads the broken-down Greenwich time as local standard time
     * (tm_isdst is 0 in gmtime's result), so t minus it is the zone's
     * standard offset east of Greenwich. */
    if (gmtime_r(&t, &gm) != nullptr) {
        gm.tm_isdst = 0;
        std::time_t back = std::mktime(&gm);
        if (back != static_cast<std::time_t>(-1))
            zone = static_cast<int64_t>(t) - static_cast<int64_t>(back);
    }
    if (localtime_r(&t, &lt) != nullptr && lt.tm_isdst > 0)
        dst = 3600;
    return static_cast<int32_t>(static_cast<int64_t>(t) + zone + dst - IRAF_EPOCH);
}

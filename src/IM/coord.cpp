/* coord: celestial coordinate conversion (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int map_coord(int in_type, double in_lon, double in_lat, int out_type, double *out_lon, double *out_lat)
{
    (void)in_type; (void)in_lon; (void)in_lat; (void)out_type; (void)out_lon; (void)out_lat; return -2;
}

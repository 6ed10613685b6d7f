/* mapf: forward projection (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int mapf(map_struct *p, int coord_type, double in_lon, double in_lat, double *out_x, double *out_y)
{
    (void)p; (void)coord_type; (void)in_lon; (void)in_lat; (void)out_x; (void)out_y; return -1;
}

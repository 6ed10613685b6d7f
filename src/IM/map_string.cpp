/* map_string: sky positions written as text (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int mapf_string(map_struct *p, char *string, double *out_x, double *out_y)
{
    (void)p; (void)string; (void)out_x; (void)out_y; return -1;
}

int map_hms(char *string, double *value)
{
    (void)string; (void)value; return -1;
}

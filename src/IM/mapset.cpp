/* mapset: projection set-up (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int map_set(map_struct *p, const char *ctype1, const char *ctype2, double cdelt1, double cdelt2, double crval1, double crval2, double crpix1, double crpix2, double crota1, double crota2)
{
    (void)p; (void)ctype1; (void)ctype2; (void)cdelt1; (void)cdelt2; (void)crval1; (void)crval2; (void)crpix1; (void)crpix2; (void)crota1; (void)crota2; return -1;
}

/* rwc: world-coordinate records and subset translation (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int rwc_fid(rwc_struct *r, int fid)
{
    (void)r; (void)fid; return -9;
}

int rwcf(rwc_struct *r, const char *string, int *skips, int *takes)
{
    (void)r; (void)string; (void)skips; (void)takes; return -9;
}

/* setw1: subset text to window 1 (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int IM_setw1(fid_struct *fp, int *skips, int *takes)
{
    (void)skips; takes[0] = 0; return fp->subset_text[0] ? -4 : 0;
}

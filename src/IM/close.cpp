/* close: closing images (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int im_close(int id)
{
    if (IM_set_fid(id) < 0)
        return -3;
    return -2;
}

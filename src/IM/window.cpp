/* window: windows over the pixel array (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int im_dwin(int id, int window, const int *takes, const int *skips)
{
    (void)window; (void)takes; (void)skips; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_swin(int id, int window)
{
    (void)window; return IM_set_fid(id) < 0 ? -3 : -2;
}

void IM_init_w(void)
{
}

int IM_r_rewind(window_struct *w)
{
    (void)w; return -2;
}

int IM_w_rewind(window_struct *w)
{
    (void)w; return -2;
}

int IM_walk(int writing, unsigned char *buffer, int64_t n_bytes, IM_mover move)
{
    (void)writing; (void)buffer; (void)n_bytes; (void)move; return -2;
}

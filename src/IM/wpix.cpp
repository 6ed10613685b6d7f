/* wpix: pixel writing (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int im_wpix_i(int id, int *buffer, int n_pix)
{
    (void)buffer; (void)n_pix; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wpix_s(int id, short *buffer, int n_pix)
{
    (void)buffer; (void)n_pix; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wpix_c(int id, unsigned char *buffer, int n_pix)
{
    (void)buffer; (void)n_pix; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wpix_r(int id, float *buffer, int n_pix)
{
    (void)buffer; (void)n_pix; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wpix_d(int id, double *buffer, int n_pix)
{
    (void)buffer; (void)n_pix; return IM_set_fid(id) < 0 ? -3 : -2;
}

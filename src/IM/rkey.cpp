/* rkey: typed keyword reads and card reading (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int im_rkey_i(int id, int *value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -1;
}

int im_rkey_l(int id, int *value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -1;
}

int im_rkey_r(int id, float *value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -1;
}

int im_rkey_d(int id, double *value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -1;
}

int im_rkey_c(int id, char *value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -1;
}

int im_rkey_t(int id, char *buffer, const char *key)
{
    (void)buffer; (void)key; return IM_set_fid(id) < 0 ? -3 : -1;
}

/* wkey: typed keyword writes and card editing (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

char *im_history_line = nullptr;

int im_wkey_i(int id, int value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wkey_r(int id, double value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wkey_d(int id, double value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wkey_c(int id, const char *value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wkey_l(int id, int value, const char *keyword)
{
    (void)value; (void)keyword; return IM_set_fid(id) < 0 ? -3 : -2;
}

int im_wkey_t(int id, const char *card, const char *position)
{
    (void)card; (void)position; return IM_set_fid(id) < 0 ? -3 : -2;
}

/* card: header card store (not built yet). */
#include <cstdio>
#include <cstring>

#include "im.h"

int IM_card_add(const char *card)
{
    (void)card; return -2;
}

int IM_card_replace(const char *card)
{
    (void)card; return -1;
}

int IM_card_delete(void)
{
    return -1;
}

int IM_card_find(const char *keyword)
{
    (void)keyword; return -1;
}

int kwd_isvalid(const char *keyword)
{
    (void)keyword; return 1;
}

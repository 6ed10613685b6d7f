/* The public header compiles as C and its operations link from C. */
#include <stdio.h>
#include <string.h>

#include "imlib.h"

int main(void)
{
    float fb;
    unsigned int bits;
    map_struct m;
    rwc_struct r;
    int failures = 0;

    im_blank(&fb);
    memcpy(&bits, &fb, sizeof bits);
    if (bits != 0xFFFFFFFFu) { puts("im_blank pattern wrong"); failures++; }
    if (strcmp(im_key("NAXIS", 2), "NAXIS2") != 0) { puts("im_key wrong"); failures++; }
    if (im_close(999999) != -3) { puts("im_close of unknown handle"); failures++; }
    if (im_byteorder() != 0 && im_byteorder() != 1) { puts("im_byteorder"); failures++; }
    memset(&m, 0, sizeof m);
    memset(&r, 0, sizeof r);
    m.custom_mapf = NULL;
    r.n_axes = 0;
    if (mapf(&m, ' ', 0.0, 0.0, NULL, NULL) != -1) { puts("mapf accepted a record not set up"); failures++; }
    if (rwcf(&r, "", NULL, NULL) != -9) { puts("rwcf accepted a record not filled"); failures++; }
    printf("%d passed, %d failed\n", 6 - failures, failures);
    return failures == 0 ? 0 : 1;
}

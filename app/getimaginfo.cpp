/* getimaginfo: the input image's geometry as the tool sees it.
 * The axis lengths are those of the image's current window; the pixel count
 * is their product and always fits an int (larger images are refused). */
#include <climits>
#include <cstdint>
#include <cstdio>

#include "imlib.h"
#include "tool.h"

/* getimaginfo: fill info (handle already set) with the blank value, NAXIS,
 * the axis lengths and the pixel count.  Returns the number of axes longer
 * than 1.  A failed read, an unusable NAXIS or NAXISn, or a pixel count
 * beyond the int range is fatal (squawk severity 0). */
int getimaginfo(image_info *info)
{
    int longer = 0;

    if (debug > 5)
        std::fputs("getinfo> entry\n", stderr);
    im_blank(&info->blank);

    int naxis = 0;
    if (im_rkey_i(info->handle, &naxis, "NAXIS") < 0)
        squawk(0, "Error getting imageinfo");
    if (naxis < 0 || naxis > IMAGE_INFO_MAX_AXES)
        squawk(0, "Error getting imageinfo: NAXIS must be 0 to 1002");
    info->n_axes = naxis;

    if (debug > 5)
        std::fputs("getinfo> get naxisn's\n", stderr);
    int64_t n_pixels = 1;
    for (int i = 1; i <= naxis; i++) {
        char key[16];
        std::snprintf(key, sizeof key, "NAXIS%d", i);
        int len = 0;
        if (im_rkey_i(info->handle, &len, key) < 0)
            squawk(0, "Error getting imageinfo");
        if (len < 0)
            squawk(0, "Error getting imageinfo: negative axis length");
        info->naxis[i - 1] = len;
        n_pixels *= len;
        if (n_pixels > INT_MAX)
            squawk(0, "Image too large: more than 2147483647 pixels");
        if (len > 1)
            longer++;
    }
    info->n_pixels = static_cast<int>(n_pixels);
    return longer;
}

/* nlengths: the lengths of an image's significant (longer than 1) axes. */
#include "tool.h"

/* nlengths: copy into out[0 .. k-1] the axis lengths of info greater than 1,
 * in axis order, stopping after k of them; pad the rest of out with 1. */
void nlengths(const image_info *info, int *out, int k)
{
    int filled = 0;
    int n_axes = info->n_axes;
    if (n_axes > IMAGE_INFO_MAX_AXES)
        n_axes = IMAGE_INFO_MAX_AXES;
    for (int i = 0; i < n_axes && filled < k; i++)
        if (info->naxis[i] > 1)
            out[filled++] = info->naxis[i];
    while (filled < k)
        out[filled++] = 1;
}

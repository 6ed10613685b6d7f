/* setw1: the subset text of an image being opened, turned into the skip and
 * take counts of window 1.
 * Invariant: takes[0] is 0 unless the whole subset was translated. */
#include <cstring>

#include "im.h"

/* IM_setw1: fill skips/takes (10 ints each) from fp->subset_text.
 * Returns 0 (no subset text: takes[0] = 0, the whole image; or translated:
 * takes[0] = NAXIS, skips/takes[1..NAXIS] the selection); -4 the header or
 * the text could not be used (also for a null argument); the reason is
 * the one rwc_fid or rwcf recorded.
 * On success leaves f at fp (the keyword readers of rwc_fid set it to fp
 * when the header is read, and nothing else moves it). */
int im_internal::IM_setw1(fid_struct *fp, int *skips, int *takes)
{
    if (takes == nullptr)
        return IM_fail(-4, "no skip and take arrays for the subset");
    takes[0] = 0;
    if (fp == nullptr || skips == nullptr)
        return IM_fail(-4, "no descriptor or skip array for the subset");
    if (fp->subset_text[0] == '\0')
        return 0;

    rwc_struct r;
    std::memset(&r, 0, sizeof r);
    if (rwc_fid(&r, fp->id) != 0)
        return -4;
    if (rwcf(&r, fp->subset_text, skips, takes) != 0)
        return -4;
    return 0;
}

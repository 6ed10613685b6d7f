/* hdrclean: bring the output header's scaling keywords into line with the
 * flattened pixels before they are written.
 * Integer BITPIX gets BLANK, BSCALE and BZERO chosen so that the finite
 * pixel range maps inside the stored range without touching the BLANK
 * code; floating BITPIX loses any BSCALE and BZERO; every BITPIX gets
 * DATAMAX and DATAMIN of the finite pixels.
 * BSCALE is always finite and non-zero, so the header stays readable. */
#include <cfloat>
#include <cstdio>

#include "imlib.h"
#include "tool.h"

/* range_from_keys: fill *range from the extreme order keys of a scan;
 * hi_key RANGE_NO_HI means no finite pixel (found 0, lo FLT_MAX, hi
 * -FLT_MAX). */
void range_from_keys(uint32_t hi_key, uint32_t lo_key, pixel_range *range)
{
    if (hi_key == RANGE_NO_HI) {
        range->found = 0;
        range->lo = FLT_MAX;
        range->hi = -FLT_MAX;
        return;
    }
    range->found = 1;
    range->hi = range_key_value(hi_key);
    range->lo = range_key_value(lo_key);
}

/* scan_range: fill *range with the range of the finite pixels among the n
 * pixels (n <= 0: none).  NaN (blank) and infinite pixels take no part.
 * The extremes are unsigned max and min of order keys, so the scan
 * vectorises and gives the range flatten finds while subtracting. */
TOOL_VECTOR_KERNEL void scan_range(const float *pixels, int n, pixel_range *range)
{
    uint32_t hi = RANGE_NO_HI;
    uint32_t lo = RANGE_NO_LO;
    for (int i = 0; i < n; i++) {
        uint32_t kh = range_key_hi(pixels[i]);
        uint32_t kl = range_key_lo(pixels[i]);
        hi = kh > hi ? kh : hi;
        lo = kl < lo ? kl : lo;
    }
    range_from_keys(hi, lo, range);
}

/* Delete every card of keyword from the output header (a search makes the
 * card current; deleting it leaves the rest in place). */
static void delete_keyword(int handle, const char *keyword)
{
    char card[81];
    while (im_rkey_t(handle, card, keyword) > 0)
        if (im_wkey_t(handle, "", "d") < 0)
            break;
}

/* Make the last axis card of the header current, so that keywords added
 * next go in after BITPIX and the NAXIS cards rather than between them:
 * FITS readers require BITPIX, NAXIS and NAXISn to open the header.
 * Leaves the current card where it was when the header has no NAXIS. */
static void place_after_axes(int handle)
{
    int naxis = 0;
    int value = 0;
    if (im_rkey_i(handle, &naxis, "NAXIS") < 0)
        return;
    if (naxis >= 1 && naxis <= 999)
        (void)im_rkey_i(handle, &value, im_key("NAXIS", naxis));
}

/* hdrclean: rewrite BITPIX (when absent), BLANK, BSCALE, BZERO, DATAMAX and
 * DATAMIN of the output image info->handle for the info->n_pixels pixels.
 * The finite range is taken from range when the caller supplies it (found
 * while the pixels were made, e.g. by flatten); otherwise the pixels are
 * scanned here.
 * Fatal (squawk severity 0) when the header cannot be read or updated or
 * BITPIX is not 8, 16, 32 or -32; warns when BITPIX is absent (32 used).
 * With no finite pixel at all, integer images get BSCALE 1 and BZERO 0 and
 * DATAMAX/DATAMIN are removed instead of being written. */
void hdrclean(const float *pixels, image_info *info, const pixel_range *range)
{
    const int id = info->handle;
    char card[81];

    /* BITPIX, then rewind to the first card (which also proves the header
     * can be walked). */
    int bitpix = 0;
    int status = im_rkey_i(id, &bitpix, "BITPIX");
    if (im_rkey_t(id, card, "1") < 0)
        squawk(0, "Couldn't rewind header on output image! Giving up");
    if (status == -1) {
        squawk(2, "No BITPIX value set for output image");
        squawk(2, "I'll set and use BITPIX = 32");
        bitpix = 32;
        if (im_wkey_i(id, 32, "BITPIX") < 0)
            squawk(0, "Unable to create BITPIX card");
    } else if (status < -1) {
        squawk(0, "cleanup: couldn't read output header");
    }
    /* Floating pixels are written as they are: scaling cards copied from
     * the input would make readers rescale them. */
    if (bitpix < 0) {
        delete_keyword(id, "BSCALE");
        delete_keyword(id, "BZERO");
    }
    place_after_axes(id);

    /* Range of the finite pixels: the caller's, or one scan of them. */
    pixel_range scanned;
    if (range == nullptr) {
        scan_range(pixels, info->n_pixels, &scanned);
        range = &scanned;
    }
    const int found = range->found;
    double maximum = found ? static_cast<double>(range->hi) : -DBL_MAX;
    double minimum = found ? static_cast<double>(range->lo) : DBL_MAX;

    /* Scaling for the stored type. */
    int blank = 0;
    double divisor = 0.0;
    switch (bitpix) {
    case 8:
        blank = 255;
        divisor = 254.0;
        break;
    case 16:
        blank = -32768;
        divisor = 65534.0;
        break;
    case 32:
        blank = -2147483647;
        divisor = 4294967292.0;
        break;
    case -32:
        break;
    default:
        squawk(0, "HELP! Serious error bad bitpix");
        break;
    }

    double bscale = 1.0;
    double bzero = 0.0;
    if (bitpix > 0) {
        if (found) {
            bscale = (maximum - minimum) / divisor;
            /* Unsigned bytes store 0 .. 254: the minimum maps to 0. */
            bzero = bitpix == 8 ? minimum : (maximum + minimum) / 2.0;
            /* A single value: any non-zero scale keeps it exactly. */
            if (bscale == 0.0)
                bscale = 1.0;
        }
        if (im_wkey_i(id, blank, "BLANK") < 0)
            squawk(0, "Unable to update BLANK card");
        if (im_wkey_d(id, bscale, "BSCALE") < 0)
            squawk(0, "Unable to update BSCALE card");
        if (im_wkey_d(id, bzero, "BZERO") < 0)
            squawk(0, "Unable to update BZERO card");
    }

    /* Data range; an image without a finite pixel has none to state. */
    if (found) {
        if (im_wkey_d(id, maximum, "DATAMAX") < 0)
            squawk(0, "Unable to update DATAMAX card");
        if (im_wkey_d(id, minimum, "DATAMIN") < 0)
            squawk(0, "Unable to update DATAMIN card");
    } else {
        delete_keyword(id, "DATAMAX");
        delete_keyword(id, "DATAMIN");
    }

    if (debug > 6) {
        std::fputs("Cleanup decided on these values for the output header:\n", stderr);
        std::fprintf(stderr, "Based on BITPIX = %d\n", bitpix);
        if (bitpix > 0) {
            std::fprintf(stderr, "BLANK    == %d\n", blank);
            std::fprintf(stderr, "BSCALE   == %.10g\n", bscale);
            std::fprintf(stderr, "BZERO    == %.10g\n", bzero);
        } else {
            std::fputs("BLANK    == (none, float data)\n", stderr);
            std::fputs("BSCALE   == (none, float data)\n", stderr);
            std::fputs("BZERO    == (none, float data)\n", stderr);
        }
        std::fprintf(stderr, "DATAMAX  == %.10g\n", maximum);
        std::fprintf(stderr, "DATAMIN  == %.10g\n", minimum);
    }
}

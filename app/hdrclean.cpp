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

/* What the cleanup decides for the output header, step by step. */
struct cleanup_struct {
    int bitpix;                 /* BITPIX of the output (32 when it had none) */
    int found;                  /* 1 when some pixel is finite */
    double maximum, minimum;    /* finite range; -DBL_MAX, DBL_MAX without one */
    int blank;                  /* BLANK of an integer BITPIX */
    double divisor;             /* stored range the pixel range is spread over */
    double bscale, bzero;       /* 1 and 0 unless an integer BITPIX scales */
};

/* output_bitpix: the BITPIX of the output header, after rewinding it to
 * its first card (which also proves the header can be walked).  Without a
 * BITPIX card: two warnings, and BITPIX 32 is written and returned.
 * Fatal when the header cannot be read, rewound or given BITPIX. */
static int output_bitpix(int id)
{
    char card[81];
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
    return bitpix;
}

/* take_range: the finite range into c: the caller's range when given,
 * else one scan of the n pixels. */
static void take_range(const float *pixels, int n, const pixel_range *range,
                       cleanup_struct *c)
{
    pixel_range scanned;
    if (range == nullptr) {
        scan_range(pixels, n, &scanned);
        range = &scanned;
    }
    c->found = range->found;
    c->maximum = c->found ? static_cast<double>(range->hi) : -DBL_MAX;
    c->minimum = c->found ? static_cast<double>(range->lo) : DBL_MAX;
}

/* choose_scaling: BLANK, the divisor, BSCALE and BZERO for c->bitpix and
 * the range in c.  Fatal for a BITPIX other than 8, 16, 32 and -32. */
static void choose_scaling(cleanup_struct *c)
{
    c->blank = 0;
    c->divisor = 0.0;
    c->bscale = 1.0;
    c->bzero = 0.0;
    switch (c->bitpix) {
    case 8:
        c->blank = 255;
        c->divisor = 254.0;
        break;
    case 16:
        c->blank = -32768;
        c->divisor = 65534.0;
        break;
    case 32:
        c->blank = -2147483647;
        c->divisor = 4294967292.0;
        break;
    case -32:
        break;
    default:
        squawk(0, "HELP! Serious error bad bitpix");
        break;
    }
    if (c->bitpix > 0 && c->found) {
        c->bscale = (c->maximum - c->minimum) / c->divisor;
        /* Unsigned bytes store 0 .. 254: the minimum maps to 0. */
        c->bzero = c->bitpix == 8 ? c->minimum : (c->maximum + c->minimum) / 2.0;
        /* A single value: any non-zero scale keeps it exactly. */
        if (c->bscale == 0.0)
            c->bscale = 1.0;
    }
}

/* write_scaling: BLANK, BSCALE and BZERO of an integer BITPIX into the
 * header (nothing for floating BITPIX).  Fatal when a card is refused. */
static void write_scaling(int id, const cleanup_struct *c)
{
    if (c->bitpix <= 0)
        return;
    if (im_wkey_i(id, c->blank, "BLANK") < 0)
        squawk(0, "Unable to update BLANK card");
    if (im_wkey_d(id, c->bscale, "BSCALE") < 0)
        squawk(0, "Unable to update BSCALE card");
    if (im_wkey_d(id, c->bzero, "BZERO") < 0)
        squawk(0, "Unable to update BZERO card");
}

/* write_data_range: DATAMAX and DATAMIN of the finite range; an image
 * without a finite pixel has none to state, and loses both cards.  Fatal
 * when a card is refused. */
static void write_data_range(int id, const cleanup_struct *c)
{
    if (c->found) {
        if (im_wkey_d(id, c->maximum, "DATAMAX") < 0)
            squawk(0, "Unable to update DATAMAX card");
        if (im_wkey_d(id, c->minimum, "DATAMIN") < 0)
            squawk(0, "Unable to update DATAMIN card");
    } else {
        delete_keyword(id, "DATAMAX");
        delete_keyword(id, "DATAMIN");
    }
}

/* report: the values decided, on standard error (debug above 6). */
static void report(const cleanup_struct *c)
{
    std::fputs("Cleanup decided on these values for the output header:\n", stderr);
    std::fprintf(stderr, "Based on BITPIX = %d\n", c->bitpix);
    if (c->bitpix > 0) {
        std::fprintf(stderr, "BLANK    == %d\n", c->blank);
        std::fprintf(stderr, "BSCALE   == %.10g\n", c->bscale);
        std::fprintf(stderr, "BZERO    == %.10g\n", c->bzero);
    } else {
        std::fputs("BLANK    == (none, float data)\n", stderr);
        std::fputs("BSCALE   == (none, float data)\n", stderr);
        std::fputs("BZERO    == (none, float data)\n", stderr);
    }
    std::fprintf(stderr, "DATAMAX  == %.10g\n", c->maximum);
    std::fprintf(stderr, "DATAMIN  == %.10g\n", c->minimum);
}

/* clean_cards: the steps of hdrclean but the report, leaving the values
 * decided in *c. */
static void clean_cards(const float *pixels, image_info *info, const pixel_range *range,
                        cleanup_struct *c)
{
    const int id = info->handle;
    c->bitpix = output_bitpix(id);
    /* Floating pixels are written as they are: scaling cards copied from
     * the input would make readers rescale them. */
    if (c->bitpix < 0) {
        delete_keyword(id, "BSCALE");
        delete_keyword(id, "BZERO");
    }
    place_after_axes(id);
    take_range(pixels, info->n_pixels, range, c);
    choose_scaling(c);
    write_scaling(id, c);
    write_data_range(id, c);
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
    cleanup_struct c;
    clean_cards(pixels, info, range, &c);
    if (debug > 6)
        report(&c);
}

/* hdrclean_reserve: for a floating output whose range is not known before
 * its pixels are written: every card hdrclean writes, with DATAMAX and
 * DATAMIN holding 0 for now, so that the header has its final cards in
 * their final places (and a FITS file its final header space) before the
 * first pixel write.  hdrclean_range then writes the range found.  Fatal
 * as hdrclean. */
void hdrclean_reserve(image_info *info)
{
    const pixel_range provisional = {0.0f, 0.0f, 1};
    cleanup_struct c;
    clean_cards(nullptr, info, &provisional, &c);
}

/* hdrclean_range: write the range into the DATAMAX and DATAMIN cards that
 * hdrclean_reserve placed (a floating BITPIX; range->found must be 1: a
 * header without them is another header) and report at debug above 6.
 * The cards are found from the same place as hdrclean_reserve wrote them,
 * so the header ends exactly as hdrclean would have left it. */
void hdrclean_range(image_info *info, const pixel_range *range)
{
    const int id = info->handle;
    cleanup_struct c;
    c.bitpix = output_bitpix(id);
    place_after_axes(id);
    take_range(nullptr, 0, range, &c);
    choose_scaling(&c);
    write_data_range(id, &c);
    if (debug > 6)
        report(&c);
}

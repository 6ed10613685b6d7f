/* irafhdr.h: on-disk records of the IRAF header file (IMHDR) and of the
 * S form's leading record (S_S).
 * Every field has a fixed width (int32_t, 32-bit IEEE float, byte arrays)
 * and a fixed offset, checked below; numbers are in the host's byte order.
 * Text fields hold 16-bit characters: the character in the low-order byte
 * of each unit, the other byte 0; n bytes hold n/2 characters. */
#ifndef IM_IRAFHDR_H
#define IM_IRAFHDR_H

#include <cstddef>
#include <cstdint>

#define IRAF_MAX_DIM 7         /* axes an IMHDR can describe */
#define IRAF_HDR_SIZE 1916     /* bytes of IMHDR at the start of the .imh */
#define IRAF_USER_AREA 2052    /* byte where the user area starts */
#define IRAF_USER_CARD 162     /* one user-area card: 81 characters */
#define IRAF_PIX_COPY 1024     /* bytes of IMHDR copied to the .pix start */
#define IRAF_PIX_OFFSET 1024   /* pixel start when im_pixoff is 0 */
#define S_TAPETYPE 46          /* tapetype of an S file */

/* The IRAF image header.  Readers: get_iraf_header (open); writer: the
 * IRAF header writer (misc).  Offsets (bytes) in the comments. */
struct IMHDR {
    char im_magic[12];         /*    0 "imhdr" (or "impix") + NUL, 6 chars */
    int32_t im_hdrlen;         /*   12 header file length in 4-byte units */
    int32_t im_pixtype;        /*   16 3 short, 4/5 int, 6 float, 7 double */
    int32_t im_ndim;           /*   20 number of axes, at most 7 */
    int32_t im_len[7];         /*   24 length of each axis */
    int32_t im_physlen[7];     /*   52 stored length; [0] pixels per line */
    int32_t im_ssmtype;        /*   80 */
    int32_t im_lutoff;         /*   84 */
    int32_t im_pixoff;         /*   88 pixel start, 2-byte units from 1 */
    int32_t im_hgmoff;         /*   92 histogram offset */
    int32_t im_blist;          /*   96 */
    int32_t im_szblist;        /*  100 */
    int32_t im_nbpix;          /*  104 number of blank pixels */
    int32_t im_ctime;          /*  108 creation time */
    int32_t im_mtime;          /*  112 modification time */
    int32_t im_limtime;        /*  116 time the limits were set */
    float im_max;              /*  120 largest pixel value */
    float im_min;              /*  124 smallest pixel value */
    int32_t hgm_time;          /*  128 */
    int32_t hgm_len;           /*  132 */
    int32_t hgm_npix;          /*  136 */
    float hgm_min;             /*  140 */
    float hgm_max;             /*  144 */
    float hgm_integral;        /*  148 */
    float hgm_mean;            /*  152 */
    float hgm_variance;        /*  156 */
    float hgm_skewness;        /*  160 */
    float hgm_mode;            /*  164 */
    float hgm_lcut;            /*  168 */
    float hgm_hcut;            /*  172 */
    int32_t hgm_dummy[8];      /*  176 reserved */
    int32_t ct_valid;          /*  208 */
    float ct_bscale;           /*  212 BSCALE */
    float ct_bzero;            /*  216 BZERO */
    float ct_crval[7];         /*  220 */
    float ct_crpix[7];         /*  248 */
    float ct_cdelt[7];         /*  276 */
    float ct_crota[7];         /*  304 */
    char ct_bunit[20];         /*  332 */
    char ct_ctype[20];         /*  352 */
    int32_t ct_dummy[10];      /*  372 reserved */
    char im_pixfile[160];      /*  412 pixel file name, 80 chars */
    char im_hdrfile[160];      /*  572 header file name, 80 chars */
    char im_title[160];        /*  732 title (OBJECT), 80 chars */
    char im_history[1024];     /*  892 history lines, 512 chars */
};

static_assert(sizeof(float) == 4, "IMHDR needs 32-bit floats");
static_assert(sizeof(IMHDR) == IRAF_HDR_SIZE, "IMHDR is 1916 bytes");
static_assert(offsetof(IMHDR, im_magic) == 0, "im_magic");
static_assert(offsetof(IMHDR, im_hdrlen) == 12, "im_hdrlen");
static_assert(offsetof(IMHDR, im_pixtype) == 16, "im_pixtype");
static_assert(offsetof(IMHDR, im_ndim) == 20, "im_ndim");
static_assert(offsetof(IMHDR, im_len) == 24, "im_len");
static_assert(offsetof(IMHDR, im_physlen) == 52, "im_physlen");
static_assert(offsetof(IMHDR, im_ssmtype) == 80, "im_ssmtype");
static_assert(offsetof(IMHDR, im_lutoff) == 84, "im_lutoff");
static_assert(offsetof(IMHDR, im_pixoff) == 88, "im_pixoff");
static_assert(offsetof(IMHDR, im_hgmoff) == 92, "im_hgmoff");
static_assert(offsetof(IMHDR, im_blist) == 96, "im_blist");
static_assert(offsetof(IMHDR, im_szblist) == 100, "im_szblist");
static_assert(offsetof(IMHDR, im_nbpix) == 104, "im_nbpix");
static_assert(offsetof(IMHDR, im_ctime) == 108, "im_ctime");
static_assert(offsetof(IMHDR, im_mtime) == 112, "im_mtime");
static_assert(offsetof(IMHDR, im_limtime) == 116, "im_limtime");
static_assert(offsetof(IMHDR, im_max) == 120, "im_max");
static_assert(offsetof(IMHDR, im_min) == 124, "im_min");
static_assert(offsetof(IMHDR, hgm_time) == 128, "hgm_time");
static_assert(offsetof(IMHDR, hgm_len) == 132, "hgm_len");
static_assert(offsetof(IMHDR, hgm_npix) == 136, "hgm_npix");
static_assert(offsetof(IMHDR, hgm_min) == 140, "hgm_min");
static_assert(offsetof(IMHDR, hgm_max) == 144, "hgm_max");
static_assert(offsetof(IMHDR, hgm_integral) == 148, "hgm_integral");
static_assert(offsetof(IMHDR, hgm_mean) == 152, "hgm_mean");
static_assert(offsetof(IMHDR, hgm_variance) == 156, "hgm_variance");
static_assert(offsetof(IMHDR, hgm_skewness) == 160, "hgm_skewness");
static_assert(offsetof(IMHDR, hgm_mode) == 164, "hgm_mode");
static_assert(offsetof(IMHDR, hgm_lcut) == 168, "hgm_lcut");
static_assert(offsetof(IMHDR, hgm_hcut) == 172, "hgm_hcut");
static_assert(offsetof(IMHDR, hgm_dummy) == 176, "hgm_dummy");
static_assert(offsetof(IMHDR, ct_valid) == 208, "ct_valid");
static_assert(offsetof(IMHDR, ct_bscale) == 212, "ct_bscale");
static_assert(offsetof(IMHDR, ct_bzero) == 216, "ct_bzero");
static_assert(offsetof(IMHDR, ct_crval) == 220, "ct_crval");
static_assert(offsetof(IMHDR, ct_crpix) == 248, "ct_crpix");
static_assert(offsetof(IMHDR, ct_cdelt) == 276, "ct_cdelt");
static_assert(offsetof(IMHDR, ct_crota) == 304, "ct_crota");
static_assert(offsetof(IMHDR, ct_bunit) == 332, "ct_bunit");
static_assert(offsetof(IMHDR, ct_ctype) == 352, "ct_ctype");
static_assert(offsetof(IMHDR, ct_dummy) == 372, "ct_dummy");
static_assert(offsetof(IMHDR, im_pixfile) == 412, "im_pixfile");
static_assert(offsetof(IMHDR, im_hdrfile) == 572, "im_hdrfile");
static_assert(offsetof(IMHDR, im_title) == 732, "im_title");
static_assert(offsetof(IMHDR, im_history) == 892, "im_history");

/* The S record at the start of an S file (host byte order, not swapped).
 * Reader: get_s_header (open). */
struct S_S {
    int32_t tapetype;          /* 0 must be 46 */
    int32_t hdr_start;         /* 4 byte offset of the first header record */
    int32_t img_start;         /* 8 byte offset of the first pixel */
};

static_assert(sizeof(S_S) == 12, "S_S is 12 bytes");
static_assert(offsetof(S_S, tapetype) == 0, "tapetype");
static_assert(offsetof(S_S, hdr_start) == 4, "hdr_start");
static_assert(offsetof(S_S, img_start) == 8, "img_start");

#endif

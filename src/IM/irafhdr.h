/* irafhdr.h: on-disk records of the IRAF header file, version 1 (IMHDR)
 * and version 2 (IMHDR2 and its byte offsets), and of the S form's leading
 * record (S_S).
 * Every field has a fixed width (int32_t, 32-bit IEEE float, byte arrays)
 * and a fixed offset, checked below.  Version 1: numbers in the writing
 * host's byte order (the reader takes either order, told by the magic),
 * text in 16-bit characters (the character in the low-order byte of each
 * unit, the other byte 0; n bytes hold n/2 characters).  Version 2:
 * big-endian numbers and 8-bit text at unaligned offsets, so its record is
 * decoded and encoded field by field, never overlaid on the bytes. */
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

/* IRAF pixel type codes (im_pixtype of both versions).  Long pixels are
 * 4 bytes in the pixel file, also for 64-bit IRAF. */
enum iraf_pixtype_enum {
    Iraf_short = 3,            /* 16-bit signed */
    Iraf_int = 4,              /* 32-bit signed */
    Iraf_long = 5,             /* 32-bit signed */
    Iraf_real = 6,             /* IEEE single */
    Iraf_double = 7,           /* IEEE double */
    Iraf_complex = 8,          /* two IEEE singles: not read */
    Iraf_ushort = 11           /* 16-bit unsigned */
};

/* The IRAF image header, version 1.  Reader: IM_get_iraf_header
 * (iraf_read); writer: IM_write_iraf_hdr (iraf_write).  Offsets (bytes) in
 * the comments. */
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

/* ---- Version 2 ("imhv2"), what IRAF 2.16 and later write by default ----
 * Header file: the fields below at their byte offsets, without padding;
 * numbers are 32-bit big-endian (two's-complement integers, IEEE singles)
 * whatever the host; text is 8-bit and NUL-terminated, and IRAF may leave
 * any byte in the last place of a text field, so text never uses it.  The
 * user area follows at IRAF2_USER_AREA: cards of 80 characters, each ended
 * by a newline, then a NUL; the file is padded with a NUL to an even size,
 * and im_hdrlen is its size / 2 + 1.
 * Pixel file: "impv2" and a copy of the fields up to im_pixfile, whose text
 * there names the header file (IRAF2_PIX_COPY bytes); the pixels start at
 * im_pixoff, in 2-byte units counted from 1, each line holding
 * im_physlen[0] pixels: big-endian when im_swapped is 0, little-endian
 * when it is 1 (IRAF stores them in its host's order and says which). */
#define IRAF2_HDR_SIZE 2046    /* bytes of the fixed fields */
#define IRAF2_USER_AREA 2046   /* byte where the user area starts */
#define IRAF2_PIX_COPY 382     /* fixed fields copied to the .pix start */
#define IRAF2_MAGIC_LEN 6
#define IRAF2_PIXFILE_LEN 256
#define IRAF2_HDRFILE_LEN 256
#define IRAF2_TITLE_LEN 384
#define IRAF2_HISTORY_LEN 1024

/* Byte offsets of the version-2 fields (widths in the comments). */
enum iraf2_offset_enum {
    I2_MAGIC = 0,              /*    6 "imhv2" (.imh) or "impv2" (.pix) */
    I2_HDRLEN = 6,             /*    4 header file size / 2 + 1 */
    I2_PIXTYPE = 10,           /*    4 3 short, 4 int, 5 long, 6 real, 7 double, 11 ushort */
    I2_SWAPPED = 14,           /*    4 1: pixels little-endian, 0: big-endian */
    I2_NDIM = 18,              /*    4 number of axes, at most 7 */
    I2_LEN = 22,               /* 7x 4 length of each axis (1 beyond ndim) */
    I2_PHYSLEN = 50,           /* 7x 4 stored length; [0] pixels per line */
    I2_SSMTYPE = 78,           /*    4 */
    I2_LUTOFF = 82,            /*    4 */
    I2_PIXOFF = 86,            /*    4 pixel start, 2-byte units from 1 */
    I2_HGMOFF = 90,            /*    4 end of the pixels, same units */
    I2_BLIST = 94,             /*    4 */
    I2_SZBLIST = 98,           /*    4 */
    I2_NBPIX = 102,            /*    4 number of blank pixels */
    I2_CTIME = 106,            /*    4 creation time */
    I2_MTIME = 110,            /*    4 modification time */
    I2_LIMTIME = 114,          /*    4 time the limits were set */
    I2_MAX = 118,              /*    4 largest pixel value */
    I2_MIN = 122,              /*    4 smallest pixel value */
    I2_PIXFILE = 126,          /*  256 pixel file name */
    I2_HDRFILE = 382,          /*  256 header file name */
    I2_TITLE = 638,            /*  384 title (OBJECT) */
    I2_HISTORY = 1022          /* 1024 history lines, each ended by a newline */
};

static_assert(I2_HDRLEN == I2_MAGIC + IRAF2_MAGIC_LEN, "im_hdrlen");
static_assert(I2_PIXTYPE == I2_HDRLEN + 4, "im_pixtype");
static_assert(I2_SWAPPED == I2_PIXTYPE + 4, "im_swapped");
static_assert(I2_NDIM == I2_SWAPPED + 4, "im_ndim");
static_assert(I2_LEN == I2_NDIM + 4, "im_len");
static_assert(I2_PHYSLEN == I2_LEN + 4 * IRAF_MAX_DIM, "im_physlen");
static_assert(I2_SSMTYPE == I2_PHYSLEN + 4 * IRAF_MAX_DIM, "im_ssmtype");
static_assert(I2_LUTOFF == I2_SSMTYPE + 4 && I2_PIXOFF == I2_LUTOFF + 4
              && I2_HGMOFF == I2_PIXOFF + 4 && I2_BLIST == I2_HGMOFF + 4
              && I2_SZBLIST == I2_BLIST + 4 && I2_NBPIX == I2_SZBLIST + 4
              && I2_CTIME == I2_NBPIX + 4 && I2_MTIME == I2_CTIME + 4
              && I2_LIMTIME == I2_MTIME + 4 && I2_MAX == I2_LIMTIME + 4
              && I2_MIN == I2_MAX + 4, "4-byte fields follow each other");
static_assert(I2_PIXFILE == I2_MIN + 4, "im_pixfile");
static_assert(I2_HDRFILE == I2_PIXFILE + IRAF2_PIXFILE_LEN, "im_hdrfile");
static_assert(I2_TITLE == I2_HDRFILE + IRAF2_HDRFILE_LEN, "im_title");
static_assert(I2_HISTORY == I2_TITLE + IRAF2_TITLE_LEN, "im_history");
static_assert(IRAF2_HDR_SIZE == I2_HISTORY + IRAF2_HISTORY_LEN, "fixed fields end");
static_assert(IRAF2_PIX_COPY == I2_PIXFILE + IRAF2_PIXFILE_LEN, "pixel file copy");

/* A version-2 header decoded into host form: numbers in host order, text
 * fields as the raw bytes of their field.  Decoded by IM_iraf2_decode
 * (iraf_read), encoded by the header writer (iraf_write). */
struct IMHDR2 {
    char im_magic[IRAF2_MAGIC_LEN];
    int32_t im_hdrlen;
    int32_t im_pixtype;
    int32_t im_swapped;
    int32_t im_ndim;
    int32_t im_len[IRAF_MAX_DIM];
    int32_t im_physlen[IRAF_MAX_DIM];
    int32_t im_ssmtype;
    int32_t im_lutoff;
    int32_t im_pixoff;
    int32_t im_hgmoff;
    int32_t im_blist;
    int32_t im_szblist;
    int32_t im_nbpix;
    int32_t im_ctime;
    int32_t im_mtime;
    int32_t im_limtime;
    float im_max;
    float im_min;
    char im_pixfile[IRAF2_PIXFILE_LEN];
    char im_hdrfile[IRAF2_HDRFILE_LEN];
    char im_title[IRAF2_TITLE_LEN];
    char im_history[IRAF2_HISTORY_LEN];
};

/* The S record at the start of an S file (host byte order, not swapped).
 * Reader: IM_get_s_header (s_read). */
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

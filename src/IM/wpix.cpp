/* wpix: pixel writing: conversion from the caller's type to the stored type,
 * first-write file setup, and the window walk that stores the bytes.
 * The caller's buffer is the work area: conversion narrows from the front in
 * chunks through a small stack array, so output never overtakes unread input
 * and nothing is allocated; each run of converted bytes is written while it
 * is still in cache.  Each conversion is one loop per chunk (blank
 * test, scaling, rounding, clipping and the 16-bit swap folded together;
 * wider swaps run over the chunk while it is in cache), specialised by
 * template so that no branch on the stored type runs per pixel. */
#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "im.h"
#include "irafhdr.h"

/* Pixels converted per pass through the stack array. */
static const int CHUNK = 2048;

/* Largest byte count handed to one window walk: a whole number of pixels
 * of every size, and within the walk's int result. */
static const int64_t WALK_MAX = int64_t(1) << 30;

/* Bits of the exponent of a float and a double. */
static const uint32_t FLOAT_EXP = 0x7F800000u;
static const uint64_t DOUBLE_EXP = 0x7FF0000000000000ull;

/* Byte reversal of one 16-bit stored value (nothing for single bytes). */
static inline uint8_t swap_val(uint8_t v) { return v; }
static inline int16_t swap_val(int16_t v)
{
    return static_cast<int16_t>(__builtin_bswap16(static_cast<uint16_t>(v)));
}
static inline int32_t swap_val(int32_t v) { return v; } /* swap4_block does these */

/* Byte reversal of m 4-byte or 8-byte values at t (FITS order). */
static inline void swap4_block(void *t, int m)
{
    IM_swap_4(static_cast<unsigned char *>(t), m * 4);
}

static inline void swap8_block(void *t, int m)
{
    IM_swap_8(static_cast<unsigned char *>(t), m * 8);
}

/* ---- Conversion kernels ----------------------------------------------- */

/* The kernels compare and select floating values with no branch, so that
 * they vectorise (IM_VECTOR_KERNEL). */
#define IM_KERNEL IM_VECTOR_KERNEL

/* Range and blank code of an integer output. */
struct int_range_struct {
    double min;
    double max;
    int32_t blank;
};

/* The kernels convert n pixels at src to the stored form at dst, which is
 * src or lies before it: each chunk goes through the stack array, so the
 * output never overtakes unread input.
 *
 * Floating pixels (IN) to a stored integer type (OUT).
 * SCALE: (v - off) / scale, rounded to IN's precision.  AWAY: rounding
 * halves away from zero (16, 32 bits); otherwise v + 0.5 truncated (8 bits).
 * SWAP: store in FITS byte order.  Non-finite values give the blank code,
 * values at or beyond a limit give the limit (compared exactly, in double). */
template <typename IN, typename OUT, bool SCALE, bool AWAY, bool SWAP>
IM_KERNEL static void to_int(const unsigned char *src, unsigned char *dst, int64_t n,
                             double off, double scale, const int_range_struct &r)
{
    OUT tmp[CHUNK];
    const double mn = r.min, mx = r.max;
    const OUT blank = static_cast<OUT>(r.blank);
    for (int64_t i0 = 0; i0 < n; i0 += CHUNK) {
        const int m = static_cast<int>(std::min<int64_t>(CHUNK, n - i0));
        const IN *in = reinterpret_cast<const IN *>(src) + i0;
        for (int k = 0; k < m; k++) {
            double d = in[k];
            if (SCALE)
                d = static_cast<IN>((d - off) / scale);
            const bool ok = std::fabs(d) <= DBL_MAX;
            double c = d >= mx ? mx : d;
            c = c <= mn ? mn : c;
            c = ok ? c : 0.0;
            const double half = AWAY ? std::copysign(0.5, c) : 0.5;
            const int32_t v = static_cast<int32_t>(c + half);
            const OUT o = ok ? static_cast<OUT>(v) : blank;
            tmp[k] = SWAP ? swap_val(o) : o;
        }
        if (SWAP && sizeof(OUT) == 4)
            swap4_block(tmp, m);
        std::memcpy(dst + i0 * int64_t(sizeof(OUT)), tmp, size_t(m) * sizeof(OUT));
    }
}

/* Picks the kernel for the run-time scale and swap switches. */
template <typename IN, typename OUT, bool AWAY>
static void to_int_pick(const unsigned char *src, unsigned char *dst, int64_t n, bool scale,
                        bool swap, const int_range_struct &r)
{
    const double off = f->val_offset, s = f->val_scale;
    if (scale) {
        if (swap)
            to_int<IN, OUT, true, AWAY, true>(src, dst, n, off, s, r);
        else
            to_int<IN, OUT, true, AWAY, false>(src, dst, n, off, s, r);
    } else {
        if (swap)
            to_int<IN, OUT, false, AWAY, true>(src, dst, n, off, s, r);
        else
            to_int<IN, OUT, false, AWAY, false>(src, dst, n, off, s, r);
    }
}

/* Floats to stored floats (BITPIX -32).  Non-finite input becomes
 * the float blank (all bits set) before scaling; IRAF: a non-finite result
 * becomes iraf_blank; SWAP: FITS byte order. */
template <bool SCALE, bool SWAP, bool IRAF>
IM_KERNEL static void float_to_float(const unsigned char *src, unsigned char *dst, int64_t n,
                                     double off, double scale, uint32_t iraf_blank)
{
    uint32_t tmp[CHUNK];
    for (int64_t i0 = 0; i0 < n; i0 += CHUNK) {
        const int m = static_cast<int>(std::min<int64_t>(CHUNK, n - i0));
        const float *in = reinterpret_cast<const float *>(src) + i0;
        for (int k = 0; k < m; k++) {
            const float v = in[k];
            uint32_t u;
            std::memcpy(&u, &v, 4);
            const bool bad = (u & FLOAT_EXP) == FLOAT_EXP;
            if (SCALE) {
                const float s = static_cast<float>((double(v) - off) / scale);
                std::memcpy(&u, &s, 4);
            }
            u = bad ? IM_FLOAT_BLANK_BITS : u;
            if (IRAF)
                u = (u & FLOAT_EXP) == FLOAT_EXP ? iraf_blank : u;
            tmp[k] = u;
        }
        if (SWAP)
            swap4_block(tmp, m);
        std::memcpy(dst + i0 * 4, tmp, size_t(m) * 4);
    }
}

/* Doubles to stored floats (BITPIX -32), narrowing.  Non-finite
 * values become iraf_blank (IRAF) or the float blank, copied bit for bit
 * (a conversion of the double blank would leave its NaN payload to the
 * host); SCALE: (v - off) / scale in double first (FITS);
 * SWAP: FITS byte order. */
template <bool SCALE, bool SWAP, bool IRAF>
IM_KERNEL static void double_to_float(const unsigned char *src, unsigned char *dst, int64_t n,
                                      float iraf_blank, double off, double scale)
{
    const float blank_f = IRAF ? iraf_blank : IM_float_blank();
    uint32_t tmp[CHUNK];
    for (int64_t i0 = 0; i0 < n; i0 += CHUNK) {
        const int m = static_cast<int>(std::min<int64_t>(CHUNK, n - i0));
        const double *in = reinterpret_cast<const double *>(src) + i0;
        for (int k = 0; k < m; k++) {
            double v = in[k];
            const bool ok = std::fabs(v) <= DBL_MAX;
            if (SCALE)
                v = (v - off) / scale;
            const float s = ok ? static_cast<float>(v) : blank_f;
            uint32_t u;
            std::memcpy(&u, &s, 4);
            tmp[k] = u;
        }
        if (SWAP)
            swap4_block(tmp, m);
        std::memcpy(dst + i0 * 4, tmp, size_t(m) * 4);
    }
}

/* Doubles to stored doubles (BITPIX -64).  Non-finite values
 * become blank_bits (the double blank, or the IRAF blank value); SCALE:
 * finite values become (v - off) / scale (FITS); SWAP: FITS byte order. */
template <bool SCALE, bool SWAP>
IM_KERNEL static void double_to_double(const unsigned char *src, unsigned char *dst, int64_t n,
                                       uint64_t blank_bits, double off, double scale)
{
    uint64_t tmp[CHUNK];
    for (int64_t i0 = 0; i0 < n; i0 += CHUNK) {
        const int m = static_cast<int>(std::min<int64_t>(CHUNK, n - i0));
        std::memcpy(tmp, src + i0 * 8, size_t(m) * 8);
        if (SCALE)
            for (int k = 0; k < m; k++) {
                double v;
                std::memcpy(&v, &tmp[k], 8);
                v = (v - off) / scale;
                uint64_t u;
                std::memcpy(&u, &v, 8);
                tmp[k] = (tmp[k] & DOUBLE_EXP) == DOUBLE_EXP ? tmp[k] : u;
            }
        for (int k = 0; k < m; k++)
            tmp[k] = (tmp[k] & DOUBLE_EXP) == DOUBLE_EXP ? blank_bits : tmp[k];
        if (SWAP)
            swap8_block(tmp, m);
        std::memcpy(dst + i0 * 8, tmp, size_t(m) * 8);
    }
}

/* Range and blank code for an integer BITPIX.  Without a BLANK card the
 * default blank code is stored into val_blank (flag left clear).  A BLANK
 * that the stored type cannot hold counts as none (its card and val_blank
 * are kept): its code cut to the type's width would be an ordinary value,
 * so blank pixels would come back as numbers.  The limits are kept inside
 * the stored type, so that no value wraps round. */
static int_range_struct int_range(int bitpix)
{
    int64_t lo, hi, dflt, dmin;
    switch (bitpix) {
    case 8:
        lo = 0; hi = 255; dflt = 0; dmin = 0;
        break;
    case 16:
        lo = -32768; hi = 32767; dflt = -32768; dmin = -32767;
        break;
    default: /* 32 */
        lo = -2147483647LL - 1; hi = 2147483647; dflt = -2147483647; dmin = -2147483646;
        break;
    }
    int_range_struct r;
    if (f->val_blank_flag && f->val_blank >= lo && f->val_blank <= hi) {
        const int64_t b = f->val_blank;
        const int64_t mn = b <= 0 ? b + 1 : (bitpix == 32 ? -2147483647 : lo);
        const int64_t mx = b <= 0 ? hi : b - 1;
        r.min = double(std::max(mn, lo));
        r.max = double(std::min(mx, hi));
        r.blank = static_cast<int32_t>(b);
    } else {
        if (!f->val_blank_flag)
            f->val_blank = static_cast<int>(dflt);
        r.min = double(bitpix == 8 ? lo : dmin);
        r.max = double(hi);
        r.blank = static_cast<int32_t>(dflt);
    }
    return r;
}

/* ---- Files and the window walk ---------------------------------------- */

/* IRAF has no scaled integer pixel type (its tasks ignore BSCALE and
 * BZERO), so an IRAF image whose cards scale integer pixels is stored as
 * real pixels holding the physical values, as IRAF itself stores scaled
 * data: BITPIX becomes -32 and BSCALE, BZERO and BLANK, which described the
 * integer coding, are removed.  The BITPIX card becomes the current card.
 * Returns 0 (also when nothing needed changing), or -2 when the BITPIX card
 * cannot be found or changed. */
static int iraf_scaled_to_real(void)
{
    if (f->val_bitpix <= 0 || (f->val_scale == 1.0 && f->val_offset == 0.0))
        return 0;
    for (const char *key : {"BSCALE", "BZERO", "BLANK"})
        while (IM_card_find(key) > 0)
            IM_card_delete();
    if (IM_card_find("BITPIX") <= 0 || IM_card_replace("BITPIX  =                  -32") != 1)
        return -2;
    return 0;
}

/* Why a file could not be created: a missing entry of the path can only
 * be a folder. */
static const char *create_failure(int e)
{
    return e == ENOENT ? "no such folder" : IM_errno_words(e);
}

/* do_wpix_setup: first pixel write of a new image: settles the form from
 * the name, creates the pixel file (a temporary one, pix_temp, beside an
 * old file of the name: IM_create_file) and fixes io_offset (a FITS image on
 * standard output gets its header now; an IRAF image with scaled integer
 * pixels becomes a real image).  Returns 0, or -2 (no pixel file:
 * unix_pix_fid is then -1; the reason is left for im_errmsg).  Clears
 * need_wpix_setup whatever the outcome. */
static int do_wpix_setup(void)
{
    IM_error_clear();
    f->need_wpix_setup = 0;
    f->unix_pix_fid = -1;
    char *name = f->hdr_filename;
    const size_t len = std::strlen(name);

    /* The form: from the name's ending when it names a form with a
     * writer, else the form chosen so far (FITS for one without a writer)
     * with its suffix appended; "-" is standard output, FITS. */
    const file_type_enum named = IM_type_from_ending(name);
    if (named == Type_iraf || named == Type_zz || named == Type_fits) {
        f->file_type = named;
    } else if (std::strcmp(name, "-") == 0) {
        f->file_type = Type_fits;
    } else {
        switch (f->file_type) {
        case Type_iraf:
        case Type_zz:
        case Type_fits:
            break;
        case Type_unknown:
        case Type_S:
            f->file_type = Type_fits;
            break;
        default:
            return IM_fail(-2, "no form to write the image in");
        }
        const char *suffix = IM_suffix_of(f->file_type);
        if (len + std::strlen(suffix) >= IM_NAME_LEN)
            return IM_fail(-2, "the file name is too long");
        std::snprintf(name + len, IM_NAME_LEN - len, "%s", suffix);
    }

    /* The files. */
    const size_t hlen = std::strlen(name);
    switch (f->file_type) {
    case Type_zz:
    case Type_iraf: {
        if (f->file_type == Type_iraf && iraf_scaled_to_real() < 0)
            return IM_fail(-2, "the BITPIX card cannot be changed for real pixels");
        if (f->file_type == Type_iraf && f->bytes_per_pix == 1)
            return IM_fail(-2, "IRAF images cannot hold 8-bit pixels");
        /* The header name ends in .zzh or .imh: swap the last three. */
        std::snprintf(f->pix_filename, IM_NAME_LEN, "%.*s%s", int(hlen - 3), name,
                      f->file_type == Type_zz ? "zzp" : "pix");
        if (f->file_type == Type_iraf && f->val_naxis[0] > IRAF_MAX_DIM)
            return IM_fail(-2, "IRAF images hold at most %d axes, not %d", IRAF_MAX_DIM,
                           f->val_naxis[0]);
        int made = 0;
        const int fd = IM_create_file(f->pix_filename, &made, f->pix_temp, sizeof f->pix_temp);
        if (fd < 0)
            return IM_fail(-2, "cannot create %s: %s", f->pix_filename, create_failure(errno));
        if (made)
            f->made_files |= IM_MADE_PIX;
        f->unix_pix_fid = fd;
        f->unix_hdr_fid = -1; /* created when the header is written */
        f->io_offset = f->file_type == Type_zz ? 0 : 1024;
        break;
    }
    case Type_fits: {
        const int64_t offset = IM_fits_hdr_bytes(IM_fits_cards());
        if (offset > 2147483647)
            return IM_fail(-2, "the header is too long");
        const bool to_stdout = std::strcmp(name, "-") == 0;
        int fd = 0;
        if (!to_stdout) {
            int made = 0;
            fd = IM_create_file(name, &made, f->pix_temp, sizeof f->pix_temp);
            if (fd < 0)
                return IM_fail(-2, "cannot create %s: %s", name, create_failure(errno));
            if (made)
                f->made_files |= IM_MADE_PIX | IM_MADE_HDR;
        }
        std::snprintf(f->pix_filename, IM_NAME_LEN, "%s", name);
        f->unix_hdr_fid = fd;
        f->unix_pix_fid = fd;
        f->io_offset = offset;
        if (to_stdout && IM_write_hdr() < 0) {
            f->unix_pix_fid = -1;
            return IM_fail(-2, "the header could not be written to standard output");
        }
        break;
    }
    case Type_unknown:
    case Type_S:
    default:
        return IM_fail(-2, "no writer for this form");
    }
    return 0;
}

/* One move of the write walk: len bytes at byte pos of the pixel file, or
 * appended to standard output.  Returns the count stored (possibly short),
 * 0 for an empty chunk, or -1 on an error or when nothing was stored (the
 * reason is recorded).  Counts what it stores in bytes_written. */
static int move_out(unsigned char *chunk, int64_t pos, int len)
{
    if (len <= 0)
        return 0;
    ssize_t n;
    if (f->unix_pix_fid == 0) {
        n = ssize_t(std::fwrite(chunk, 1, size_t(len), stdout));
        if (n <= 0)
            return IM_fail(-1, "standard output: %s", IM_errno_words(errno));
    } else {
        n = IM_write_some_at(f->unix_pix_fid, chunk, size_t(len), pos);
        if (n < 0)
            return IM_fail(-1, "%s: %s", f->pix_filename, IM_errno_words(errno));
        if (n == 0)
            return IM_fail(-1, "%s: no byte could be stored", f->pix_filename);
    }
    f->bytes_written += n;
    f->changed |= IM_CHANGED_PIXELS;
    return static_cast<int>(n);
}

/* write_bytes: store n_bytes (whole pixels) at the write cursor of the
 * current window (window 0 is built when there is none).  Returns the bytes
 * stored (fewer once the window is full), or -2: image not writable, no
 * pixel file, or a write failed. */
static int64_t write_bytes(unsigned char *buffer, int64_t n_bytes)
{
    if (f->mode != 2 && f->mode != 3)
        return -2;
    if (f->unix_pix_fid < 0)
        return -2;
    if (f->cur_window == nullptr)
        IM_init_w();
    int64_t done = 0;
    while (done < n_bytes) {
        const int64_t part = std::min(n_bytes - done, WALK_MAX);
        const int moved = IM_walk(1, buffer + done, part, move_out);
        if (moved < 0)
            return -2;
        done += moved;
        if (moved < part)
            break; /* the window is full */
    }
    return done;
}

/* Common entry of every writer after its own checks: runs the first-write
 * setup and refuses an image that cannot be written, among them an updated
 * IRAF image whose stored pixels are of the other byte order or unsigned
 * (the writers store signed pixels in host order only).  0 or -2. */
static int ready_to_write(void)
{
    IM_error_clear();
    if (f->need_wpix_setup && do_wpix_setup() < 0)
        return -2;
    if ((f->mode != 2 && f->mode != 3) || f->unix_pix_fid < 0)
        return -2;
    if (f->pix_swap || f->pix_unsigned16)
        return -2;
    return 0;
}

/* Writes n pixels of the stored form at the front of buffer and turns the
 * byte count into a pixel count. */
static int store_pixels(unsigned char *buffer, int64_t n_pix)
{
    const int bpp = f->bytes_per_pix;
    const int64_t bytes = write_bytes(buffer, n_pix * bpp);
    if (bytes <= 0)
        return static_cast<int>(bytes);
    return static_cast<int>(bytes / bpp);
}

/* Swaps n_bytes in groups of size (2 or 4) in calls of at most WALK_MAX. */
static void swap_in_parts(unsigned char *buffer, int64_t n_bytes, int size)
{
    for (int64_t i = 0; i < n_bytes; i += WALK_MAX) {
        const int part = static_cast<int>(std::min(n_bytes - i, WALK_MAX));
        if (size == 2)
            IM_swap_2(buffer + i, part);
        else
            IM_swap_4(buffer + i, part);
    }
}

/* ---- Conversion folded with the write ----------------------------------- */

/* Stored bytes converted and written per run: small enough that the run is
 * still in cache when the write copies it out, large enough that the run
 * loop costs nothing.  Every pixel size divides it, and runs of every
 * stored size are whole chunks of the kernels. */
static const int64_t RUN_BYTES = 64 * 1024;

/* One conversion, as chosen by a writer: the pixel sizes, the kernel
 * instance (run) and what it takes. */
struct conv_struct {
    int in_size;            /* bytes per caller pixel */
    int out_size;           /* bytes per stored pixel (the kernel's) */
    bool scale;             /* BSCALE/BZERO to undo (integer outputs) */
    bool float_scale;       /* BSCALE/BZERO to undo (FITS floating outputs) */
    bool swap;              /* FITS byte order (integer outputs) */
    double off, scale_by;   /* BZERO, BSCALE */
    int_range_struct range; /* integer outputs */
    uint32_t float_blank;   /* IRAF float blank bits (float_to_float) */
    float iraf_blank;       /* IRAF blank (double_to_float) */
    uint64_t double_blank;  /* blank bits (double_to_double) */
    void (*run)(const unsigned char *src, unsigned char *dst, int64_t n,
                const conv_struct &c);
};

/* Kernel instances in the one form the driver calls. */
template <typename IN, typename OUT, bool AWAY>
static void run_to_int(const unsigned char *src, unsigned char *dst, int64_t n,
                       const conv_struct &c)
{
    to_int_pick<IN, OUT, AWAY>(src, dst, n, c.scale, c.swap, c.range);
}

template <bool SCALE, bool SWAP, bool IRAF>
static void run_float_to_float(const unsigned char *src, unsigned char *dst, int64_t n,
                               const conv_struct &c)
{
    float_to_float<SCALE, SWAP, IRAF>(src, dst, n, c.off, c.scale_by, c.float_blank);
}

template <bool SCALE, bool SWAP, bool IRAF>
static void run_double_to_float(const unsigned char *src, unsigned char *dst, int64_t n,
                                const conv_struct &c)
{
    double_to_float<SCALE, SWAP, IRAF>(src, dst, n, c.iraf_blank, c.off, c.scale_by);
}

template <bool SCALE, bool SWAP>
static void run_double_to_double(const unsigned char *src, unsigned char *dst, int64_t n,
                                 const conv_struct &c)
{
    double_to_double<SCALE, SWAP>(src, dst, n, c.double_blank, c.off, c.scale_by);
}

/* convert_and_store: converts n caller pixels at buffer to the stored form
 * at its front, one run at a time, and writes each run through the current
 * window's write cursor while its bytes are in cache (window 0 is built
 * when there is none).  Every pixel is converted whatever happens: once the
 * window is full, or a write failed, the rest is converted unwritten.
 * Returns the pixels written (fewer once the window is full), or -2 when a
 * write failed: the window's count of bytes left is then as before the
 * call, and its cursor keeps the advance of the lines completed. */
static int convert_and_store(unsigned char *buffer, int64_t n, const conv_struct &c)
{
    if (f->cur_window == nullptr)
        IM_init_w();
    window_struct *w = f->cur_window;
    const int64_t left_before = w->total_bytes_left_to_write;
    const int64_t out_size = c.out_size;
    const int64_t run_pix = RUN_BYTES / out_size;
    const int64_t group_pix = run_pix * (IM_WALK_PIECE / RUN_BYTES);
    bool writing = true, failed = false;
    int64_t written = 0;
    /* Convert in runs that stay in cache, write in groups of runs that
     * the walk can store with one call each. */
    for (int64_t g = 0; g < n; g += group_pix) {
        const int64_t gm = std::min(group_pix, n - g);
        for (int64_t i = g; i < g + gm; i += run_pix) {
            const int64_t m = std::min(run_pix, g + gm - i);
            c.run(buffer + i * c.in_size, buffer + i * out_size, m, c);
        }
        if (!writing)
            continue;
        unsigned char *out = buffer + g * out_size;
        const int64_t bytes = gm * out_size;
        const int moved = IM_walk(1, out, bytes, move_out);
        if (moved < 0) {
            failed = true;
            writing = false;
            continue;
        }
        written += moved;
        if (moved < bytes)
            writing = false; /* the window is full */
    }
    if (failed) {
        w->total_bytes_left_to_write = left_before;
        return -2;
    }
    return static_cast<int>(written / out_size);
}

/* A conversion record with the current image's scaling and no kernel.
 * The stored pixel size follows BITPIX (1 when there is none). */
static conv_struct conv_of(int in_size)
{
    conv_struct c;
    c.in_size = in_size;
    c.out_size = std::max(1, std::abs(f->val_bitpix) / 8);
    c.scale = f->val_offset != 0.0 || f->val_scale != 1.0;
    /* Readers apply BSCALE/BZERO to floating pixels of FITS images only,
     * so only there do the writers undo them. */
    c.float_scale = c.scale && f->file_type == Type_fits;
    /* FITS data are stored most significant byte first. */
    c.swap = f->file_type == Type_fits && im_byteorder() == 0;
    c.off = f->val_offset;
    c.scale_by = f->val_scale;
    c.range = int_range_struct{0.0, 0.0, 0};
    c.float_blank = 0;
    c.iraf_blank = 0.0f;
    c.double_blank = 0;
    c.run = nullptr;
    return c;
}

/* Choose the integer kernel for caller pixels of type IN when BITPIX is 8,
 * 16 or 32; returns 1 when it did, 0 for a floating or missing BITPIX. */
template <typename IN>
static int pick_int_kernel(conv_struct &c)
{
    switch (f->val_bitpix) {
    case 8:
        c.swap = false;
        c.range = int_range(8);
        c.run = run_to_int<IN, uint8_t, false>;
        return 1;
    case 16:
        c.range = int_range(16);
        c.run = run_to_int<IN, int16_t, true>;
        return 1;
    case 32:
        c.range = int_range(32);
        c.run = run_to_int<IN, int32_t, true>;
        return 1;
    default:
        return 0;
    }
}

/* ---- The writers -------------------------------------------------------- */

/* Store n_pix integers of size bytes at buffer into image id, whose BITPIX
 * must be bitpix, swapped into FITS byte order unless raw mode.  Returns as
 * im_wpix_i. */
static int write_ints(int id, void *buffer, int n_pix, int bitpix, int size)
{
    if (IM_set_fid(id) < 0)
        return -3;
    if (f->val_bitpix != bitpix)
        return -2;
    if (n_pix < 0)
        return IM_w_rewind(f->cur_window);
    if (ready_to_write() < 0 || (buffer == nullptr && n_pix > 0))
        return -2;
    if (f->val_bitpix != bitpix) /* the first write made it a real IRAF image */
        return -2;
    unsigned char *b = static_cast<unsigned char *>(buffer);
    if (f->file_type == Type_fits && im_rawflag == 0)
        swap_in_parts(b, int64_t(n_pix) * size, size);
    return store_pixels(b, n_pix);
}

/* im_wpix_i: store ints into a BITPIX 32 image (FITS byte order unless raw
 * mode).  Returns pixels written (0 once the window is full); n_pix < 0
 * rewinds and returns the window's pixel count; -2 BITPIX not 32, setup or
 * write failed, or image not writable; -3 handle not open.  Sets f. */
int im_wpix_i(int id, int *buffer, int n_pix)
{
    return write_ints(id, buffer, n_pix, 32, 4);
}

/* im_wpix_s: store shorts into a BITPIX 16 image; as im_wpix_i. */
int im_wpix_s(int id, short *buffer, int n_pix)
{
    return write_ints(id, buffer, n_pix, 16, 2);
}

/* im_wpix_c: store bytes into a BITPIX 8 image; as im_wpix_i (no swap). */
int im_wpix_c(int id, unsigned char *buffer, int n_pix)
{
    if (IM_set_fid(id) < 0)
        return -3;
    if (f->val_bitpix != 8)
        return -2;
    if (n_pix < 0)
        return IM_w_rewind(f->cur_window);
    if (ready_to_write() < 0 || (buffer == nullptr && n_pix > 0))
        return -2;
    if (f->val_bitpix != 8) /* the first write made it a real IRAF image */
        return -2;
    return store_pixels(buffer, n_pix);
}

/* The opening of every floating write: the handle, a rewind, readiness,
 * and integer outputs, converted and stored here.  Returns true with the
 * result to return in *result, or false with c set up for the caller to
 * pick a floating kernel. */
template <typename In>
static bool floating_write_done(int id, In *buffer, int n_pix, conv_struct *c, int *result)
{
    *result = -2;
    if (IM_set_fid(id) < 0) {
        *result = -3;
        return true;
    }
    if (n_pix < 0) {
        *result = IM_w_rewind(f->cur_window);
        return true;
    }
    if (ready_to_write() < 0 || (buffer == nullptr && n_pix > 0))
        return true;
    *c = conv_of(int(sizeof(In)));
    if (!pick_int_kernel<In>(*c))
        return false;
    *result = convert_and_store(reinterpret_cast<unsigned char *>(buffer), n_pix, *c);
    return true;
}

/* im_wpix_r: store floats into a BITPIX 8, 16, 32 or -32 image: blanks and
 * non-finite values to the blank code, inverse BSCALE/BZERO (integers, and
 * FITS floats, as the readers apply them), rounding,
 * clipping, FITS byte order; the buffer holds the stored form afterwards
 * (of all n_pix pixels, even when fewer are written).
 * Returns pixels written; n_pix < 0 rewinds and returns the window's pixel
 * count; -2 BITPIX -64 or not given, setup or write failed, or image not
 * writable; -3 handle not open.  Sets f. */
int im_wpix_r(int id, float *buffer, int n_pix)
{
    conv_struct c;
    int result = 0;
    if (floating_write_done(id, buffer, n_pix, &c, &result))
        return result;
    switch (f->val_bitpix) {
    case -32:
        if (f->file_type == Type_iraf) {
            const float fb = f->val_blank_flag ? float(f->val_blank) : 0.0f;
            std::memcpy(&c.float_blank, &fb, 4);
            c.run = run_float_to_float<false, false, true>;
        } else if (c.swap) {
            if (c.float_scale)
                c.run = run_float_to_float<true, true, false>;
            else
                c.run = run_float_to_float<false, true, false>;
        } else {
            if (c.float_scale)
                c.run = run_float_to_float<true, false, false>;
            else
                c.run = run_float_to_float<false, false, false>;
        }
        break;
    default: /* -64, or no BITPIX */
        return -2;
    }
    return convert_and_store(reinterpret_cast<unsigned char *>(buffer), n_pix, c);
}

/* im_wpix_d: store doubles into a BITPIX 8, 16, 32, -32 or -64 image; as
 * im_wpix_r, with BSCALE/BZERO undone in double precision (integer
 * outputs, and FITS floating outputs).  -2 when BITPIX is not given. */
int im_wpix_d(int id, double *buffer, int n_pix)
{
    conv_struct c;
    int result = 0;
    if (floating_write_done(id, buffer, n_pix, &c, &result))
        return result;
    const bool iraf = f->file_type == Type_iraf;
    const double iraf_blank = f->val_blank_flag ? double(f->val_blank) : 0.0;
    switch (f->val_bitpix) {
    case -32:
        c.iraf_blank = float(iraf_blank);
        if (iraf)
            c.run = run_double_to_float<false, false, true>;
        else if (c.float_scale)
            c.run = c.swap ? run_double_to_float<true, true, false>
                           : run_double_to_float<true, false, false>;
        else
            c.run = c.swap ? run_double_to_float<false, true, false>
                           : run_double_to_float<false, false, false>;
        break;
    case -64: {
        const double blank = iraf ? iraf_blank : IM_double_blank();
        std::memcpy(&c.double_blank, &blank, 8);
        if (c.float_scale)
            c.run = c.swap ? run_double_to_double<true, true> : run_double_to_double<true, false>;
        else
            c.run = c.swap ? run_double_to_double<false, true> : run_double_to_double<false, false>;
        break;
    }
    default: /* no BITPIX */
        return -2;
    }
    return convert_and_store(reinterpret_cast<unsigned char *>(buffer), n_pix, c);
}

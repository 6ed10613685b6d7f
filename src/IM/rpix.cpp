/* rpix: pixel reading through the current window, with conversion from the
 * stored type to the caller's type.
 * Invariants: nothing is allocated and the caller's buffer is the work
 * area.  A request is read in groups of up to IM_WALK_PIECE stored bytes
 * (one positioned read per run of window lines that lie together in the
 * file); the converting readers read each group into the end of the
 * group's own place in the caller's buffer and convert it from the first
 * pixel to the last, in pieces that stay in cache, so that widening never
 * overwrites a stored pixel before it is converted.  One loop per piece
 * loads each stored value, reverses its bytes when the file's byte order
 * is not the host's (decided at run time: FITS data on a little-endian
 * host, IRAF data that the header marks as of the other order), then
 * converts, scales and puts blanks in; the integer readers do the same
 * in place with no conversion.  Blank pixels are delivered as the
 * library's float or double blank. */
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "im.h"

/* Stored bytes converted per piece: a piece and the pixels made of it
 * stay in the first-level cache.  A piece of narrower stored pixels whose
 * bytes overlap its own output is first copied to a local array of this
 * size; stored pixels as wide as their results are converted where they
 * lie. */
static const int piece_bytes = 16 * 1024;

/* Stored bytes read per group (one walk, whose moves take at most this
 * much each): a group is converted while it is still in the second-level
 * cache. */
static const int64_t group_bytes = IM_WALK_PIECE;

static_assert(group_bytes % 8 == 0 && piece_bytes % 8 == 0,
              "groups and pieces hold whole pixels of every stored type");

/* ---- Moving bytes --------------------------------------------------- */

/* One move of the read walk: len bytes at file_pos of the pixel file, or
 * straight on from standard input when the descriptor is 0.  Returns len,
 * or -1 for a short read (end of file, error; the reason is recorded). */
static int read_mover(unsigned char *chunk, int64_t file_pos, int len)
{
    if (f->unix_pix_fid == 0) {
        size_t got = std::fread(chunk, 1, static_cast<size_t>(len), stdin);
        if (got == static_cast<size_t>(len))
            return len;
        return IM_fail(-1, "standard input ends before the last pixel");
    }
    const int done = IM_read_full_at(f->unix_pix_fid, chunk, len, file_pos);
    if (done < 0)
        return IM_fail(-1, "%s: %s", f->pix_filename, IM_errno_words(errno));
    /* A run that the file ends inside delivers its whole pixels first;
     * the walk's next call, at the end of the file, reports the failure. */
    const int whole = f->bytes_per_pix > 1 ? done - done % f->bytes_per_pix : done;
    if (whole > 0)
        return whole;
    if (done < len) {
        /* A read that starts past the end (windows read out of order)
         * gets nothing: the end is the file's size, not where it began. */
        struct stat st;
        long long end = file_pos + done;
        if (done == 0 && fstat(f->unix_pix_fid, &st) == 0 && st.st_size < end)
            end = static_cast<long long>(st.st_size);
        return IM_fail(-1, "%s ends at byte %lld, before its last pixel", f->pix_filename, end);
    }
    return len;
}

/* read_bytes: move up to n_bytes of the current window into buffer through
 * the read cursor.  Returns the bytes moved (0 once the window is
 * exhausted), or -2: no current window, or a short read (the window's count
 * of bytes left is then as before the call). */
static int64_t read_bytes(unsigned char *buffer, int64_t n_bytes)
{
    if (f->cur_window == nullptr)
        return -2;
    int64_t left_before = f->cur_window->total_bytes_left_to_read;
    int64_t done = 0;
    while (done < n_bytes) {
        int r = IM_walk(0, buffer + done, n_bytes - done, read_mover);
        if (r < 0) {
            f->cur_window->total_bytes_left_to_read = left_before;
            return -2;
        }
        if (r == 0)
            break;
        done += r;
    }
    return done;
}

/* ---- Conversions ---------------------------------------------------- */

/* Unsigned integer of the same width as a float type, for bit selects. */
template <typename T> struct bits_of;
template <> struct bits_of<float> { typedef uint32_t U; };
template <> struct bits_of<double> { typedef uint64_t U; };

/* x when keep is false, else the value whose bits are blank_bits; done
 * with masks so the loops that use it stay branch-free and vectorise.
 * Always inlined: the kernels that use it are built with other options. */
template <typename T>
__attribute__((always_inline)) static inline T select_blank(T x, bool keep, typename bits_of<T>::U blank_bits)
{
    typedef typename bits_of<T>::U U;
    U u;
    std::memcpy(&u, &x, sizeof u);
    U m = U(0) - static_cast<U>(keep);
    u = (u & ~m) | (blank_bits & m);
    std::memcpy(&x, &u, sizeof u);
    return x;
}

/* Bit pattern of a value (always inlined, as select_blank). */
template <typename T>
__attribute__((always_inline)) static inline typename bits_of<T>::U bits(T blank_value)
{
    typename bits_of<T>::U u;
    std::memcpy(&u, &blank_value, sizeof u);
    return u;
}

/* u with its bytes in the reverse order (always inlined, as select_blank). */
__attribute__((always_inline)) static inline uint8_t reversed(uint8_t u) { return u; }
__attribute__((always_inline)) static inline uint16_t reversed(uint16_t u)
{
    return static_cast<uint16_t>((u << 8) | (u >> 8));
}
__attribute__((always_inline)) static inline uint32_t reversed(uint32_t u) { return __builtin_bswap32(u); }
__attribute__((always_inline)) static inline uint64_t reversed(uint64_t u) { return __builtin_bswap64(u); }

/* The stored value of type U at p (any alignment), its bytes reversed
 * when Swap (the file's order is not the host's). */
template <typename U, bool Swap>
__attribute__((always_inline)) static inline U load_stored(const unsigned char *p)
{
    U u;
    std::memcpy(&u, p, sizeof u);
    return Swap ? reversed(u) : u;
}

/* Signed or unsigned integer In with the bits of u (same width). */
template <typename In, typename U>
__attribute__((always_inline)) static inline In as_int(U u)
{
    static_assert(sizeof(In) == sizeof(U), "same width");
    In v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

/* Where a kernel reads stored pixels of In to convert to Out: stored
 * pixels as wide as their results are converted where they lie (the
 * caller passes src equal to dst), each one read before its result is
 * stored, so they are read through dst and src is not used; narrower ones
 * at src, which does not overlap dst. */
template <typename In, typename Out, typename Dst>
__attribute__((always_inline)) static inline const unsigned char *stored_source(
    const unsigned char *src, Dst *dst)
{
    if (sizeof(In) == sizeof(Out))
        return reinterpret_cast<const unsigned char *>(dst);
    return src;
}

/* Widen n stored integers at src into Out at dst, which does not overlap
 * src (or is src, for integers as wide as Out: stored_source): each value
 * is loaded (bytes reversed when Swap, then XOR flip, which turns unsigned
 * 16-bit IRAF values into signed ones); blank codes become blank_bits (B),
 * then the value is multiplied by scale (S) and offset is added (O), each
 * result rounded to Out. */
template <typename In, typename Out, bool Swap, bool B, bool S, bool O>
IM_VECTOR_KERNEL static void widen_int(const unsigned char *__restrict src, Out *__restrict dst,
                                       int n, typename std::make_unsigned<In>::type flip,
                                       int32_t blank, double scale, double offset,
                                       typename bits_of<Out>::U blank_bits)
{
    typedef typename std::make_unsigned<In>::type U;
    const unsigned char *in = stored_source<In, Out>(src, dst);
    for (int k = 0; k < n; k++) {
        U u = static_cast<U>(load_stored<U, Swap>(in + k * sizeof(U)) ^ flip);
        In v = as_int<In>(u);
        Out x = static_cast<Out>(v);
        if (S)
            x = static_cast<Out>(static_cast<double>(x) * scale);
        if (O)
            x = static_cast<Out>(static_cast<double>(x) + offset);
        if (B)
            x = select_blank(x, static_cast<int32_t>(v) == blank, blank_bits);
        dst[k] = x;
    }
}

/* Stored single-precision floats at src to Out at dst (no overlap, or
 * dst is src for Out float: stored_source): bytes reversed when Swap;
 * non-finite values, and (IrafBlank) values equal to blank, become
 * blank_bits; the others are multiplied by scale
 * (S) and offset is added (O), each rounded to Out. */
template <typename Out, bool Swap, bool IrafBlank, bool S, bool O>
IM_VECTOR_KERNEL static void floats_to(const unsigned char *__restrict src, Out *__restrict dst,
                                       int n, double blank, double scale, double offset,
                                       typename bits_of<Out>::U blank_bits)
{
    const unsigned char *in = stored_source<float, Out>(src, dst);
    for (int k = 0; k < n; k++) {
        uint32_t u = load_stored<uint32_t, Swap>(in + 4 * k);
        float xf;
        std::memcpy(&xf, &u, sizeof xf);
        bool is_blank = (u & 0x7F800000u) == 0x7F800000u;
        if (IrafBlank)
            is_blank = is_blank | (static_cast<double>(xf) == blank);
        Out x = static_cast<Out>(xf);
        if (S)
            x = static_cast<Out>(static_cast<double>(x) * scale);
        if (O)
            x = static_cast<Out>(static_cast<double>(x) + offset);
        dst[k] = select_blank(x, is_blank, blank_bits);
    }
}

/* Stored doubles at src to doubles at dst: as floats_to, with the double
 * blank. */
template <bool Swap, bool IrafBlank, bool S, bool O>
IM_VECTOR_KERNEL static void doubles_to(const unsigned char *__restrict src,
                                        double *__restrict dst, int n, double blank,
                                        double scale, double offset)
{
    const double bd = IM_double_blank();
    const unsigned char *in = stored_source<double, double>(src, dst);
    for (int k = 0; k < n; k++) {
        uint64_t u = load_stored<uint64_t, Swap>(in + 8 * k);
        double x;
        std::memcpy(&x, &u, sizeof x);
        /* false for NaN and both infinities (a double-domain test keeps
         * the loop free of 64-bit integer compares, which SSE2 lacks) */
        bool is_blank = !(std::fabs(x) <= DBL_MAX);
        if (IrafBlank)
            is_blank = is_blank | (x == blank);
        if (S)
            x = x * scale;
        if (O)
            x = x + offset;
        dst[k] = is_blank ? bd : x;
    }
}

/* How the current image's stored pixels become values: whether their
 * bytes are reversed, the XOR that makes unsigned 16-bit IRAF values
 * signed, blank code, BSCALE and BZERO, and which of them apply. */
struct conv_struct {
    bool swap;        /* the file's byte order is not the host's */
    uint16_t flip;    /* 0x8000 for unsigned 16-bit IRAF pixels, else 0 */
    bool blank_code;  /* integers: the header has a BLANK code */
    bool iraf_blank;  /* IRAF floating pixels equal to BLANK are blank */
    bool scale;       /* BSCALE applies and is not 1 (a NaN counts as set) */
    bool offset;      /* BZERO applies and is not 0 (likewise) */
};

/* 1 when the current image's stored pixels of more than one byte are in
 * the other byte order than the host's: FITS data on a little-endian host
 * (unless raw is set and raw mode is on), IRAF data the header marks so. */
static bool order_differs(bool raw)
{
    if (f->bytes_per_pix <= 1)
        return false;
    if (f->file_type == Type_fits)
        return im_byteorder() == 0 && !(raw && im_rawflag != 0);
    return f->pix_swap != 0;
}

/* The conversion of the current image's pixels to floats or doubles.
 * Integers are scaled in every form; floating pixels only in FITS, whose
 * BSCALE and BZERO make physical values of them as of integers, while the
 * other forms store floating pixels as they are meant. */
static conv_struct conversion_now(void)
{
    conv_struct c;
    bool integer = f->val_bitpix > 0;
    bool scaled = integer || f->file_type == Type_fits;
    c.swap = order_differs(false);
    c.flip = f->file_type != Type_fits && f->pix_unsigned16 && f->bytes_per_pix == 2 ? 0x8000u : 0u;
    c.blank_code = integer && f->val_blank_flag;
    c.iraf_blank = !integer && f->file_type == Type_iraf && f->val_blank_flag;
    c.scale = scaled && f->val_scale != 1.0;
    c.offset = scaled && f->val_offset != 0.0;
    return c;
}

/* Run widen_int with the Swap, B, S, O of c on n stored integers In. */
template <typename In, typename Out>
static void widen_image(const conv_struct &c, const unsigned char *src, Out *dst, int n,
                        Out blank_value)
{
    typedef typename std::make_unsigned<In>::type U;
    const typename bits_of<Out>::U bb = bits(blank_value);
    const U fl = static_cast<U>(c.flip);
    const int32_t bl = f->val_blank;
    const double s = f->val_scale, o = f->val_offset;
    const int which = (c.swap ? 8 : 0) | (c.blank_code ? 4 : 0) | (c.scale ? 2 : 0) | (c.offset ? 1 : 0);
    switch (which) {
    case 0: widen_int<In, Out, false, false, false, false>(src, dst, n, fl, bl, s, o, bb); break;
    case 1: widen_int<In, Out, false, false, false, true>(src, dst, n, fl, bl, s, o, bb); break;
    case 2: widen_int<In, Out, false, false, true, false>(src, dst, n, fl, bl, s, o, bb); break;
    case 3: widen_int<In, Out, false, false, true, true>(src, dst, n, fl, bl, s, o, bb); break;
    case 4: widen_int<In, Out, false, true, false, false>(src, dst, n, fl, bl, s, o, bb); break;
    case 5: widen_int<In, Out, false, true, false, true>(src, dst, n, fl, bl, s, o, bb); break;
    case 6: widen_int<In, Out, false, true, true, false>(src, dst, n, fl, bl, s, o, bb); break;
    case 7: widen_int<In, Out, false, true, true, true>(src, dst, n, fl, bl, s, o, bb); break;
    case 8: widen_int<In, Out, true, false, false, false>(src, dst, n, fl, bl, s, o, bb); break;
    case 9: widen_int<In, Out, true, false, false, true>(src, dst, n, fl, bl, s, o, bb); break;
    case 10: widen_int<In, Out, true, false, true, false>(src, dst, n, fl, bl, s, o, bb); break;
    case 11: widen_int<In, Out, true, false, true, true>(src, dst, n, fl, bl, s, o, bb); break;
    case 12: widen_int<In, Out, true, true, false, false>(src, dst, n, fl, bl, s, o, bb); break;
    case 13: widen_int<In, Out, true, true, false, true>(src, dst, n, fl, bl, s, o, bb); break;
    case 14: widen_int<In, Out, true, true, true, false>(src, dst, n, fl, bl, s, o, bb); break;
    default: widen_int<In, Out, true, true, true, true>(src, dst, n, fl, bl, s, o, bb); break;
    }
}

/* Run floats_to with the Swap of c and its IRAF blank or scaling (never
 * both: only FITS floating pixels are scaled). */
template <typename Out>
static void floats_image(const conv_struct &c, const unsigned char *src, Out *dst, int n,
                         Out blank_value)
{
    const typename bits_of<Out>::U bb = bits(blank_value);
    const double bl = f->val_blank, s = f->val_scale, o = f->val_offset;
    const int how = c.iraf_blank ? 4 : (c.scale ? 2 : 0) | (c.offset ? 1 : 0);
    const int which = (c.swap ? 8 : 0) | how;
    switch (which) {
    case 0: floats_to<Out, false, false, false, false>(src, dst, n, bl, s, o, bb); break;
    case 1: floats_to<Out, false, false, false, true>(src, dst, n, bl, s, o, bb); break;
    case 2: floats_to<Out, false, false, true, false>(src, dst, n, bl, s, o, bb); break;
    case 3: floats_to<Out, false, false, true, true>(src, dst, n, bl, s, o, bb); break;
    case 4: floats_to<Out, false, true, false, false>(src, dst, n, bl, s, o, bb); break;
    case 8: floats_to<Out, true, false, false, false>(src, dst, n, bl, s, o, bb); break;
    case 9: floats_to<Out, true, false, false, true>(src, dst, n, bl, s, o, bb); break;
    case 10: floats_to<Out, true, false, true, false>(src, dst, n, bl, s, o, bb); break;
    case 11: floats_to<Out, true, false, true, true>(src, dst, n, bl, s, o, bb); break;
    default: floats_to<Out, true, true, false, false>(src, dst, n, bl, s, o, bb); break;
    }
}

/* Run doubles_to with the Swap of c and its IRAF blank or scaling. */
static void doubles_image(const conv_struct &c, const unsigned char *src, double *dst, int n)
{
    const double bl = f->val_blank, s = f->val_scale, o = f->val_offset;
    const int how = c.iraf_blank ? 4 : (c.scale ? 2 : 0) | (c.offset ? 1 : 0);
    const int which = (c.swap ? 8 : 0) | how;
    switch (which) {
    case 0: doubles_to<false, false, false, false>(src, dst, n, bl, s, o); break;
    case 1: doubles_to<false, false, false, true>(src, dst, n, bl, s, o); break;
    case 2: doubles_to<false, false, true, false>(src, dst, n, bl, s, o); break;
    case 3: doubles_to<false, false, true, true>(src, dst, n, bl, s, o); break;
    case 4: doubles_to<false, true, false, false>(src, dst, n, bl, s, o); break;
    case 8: doubles_to<true, false, false, false>(src, dst, n, bl, s, o); break;
    case 9: doubles_to<true, false, false, true>(src, dst, n, bl, s, o); break;
    case 10: doubles_to<true, false, true, false>(src, dst, n, bl, s, o); break;
    case 11: doubles_to<true, false, true, true>(src, dst, n, bl, s, o); break;
    default: doubles_to<true, true, false, false>(src, dst, n, bl, s, o); break;
    }
}

/* convert: n stored pixels of the current image at src (file order) to
 * floats or doubles at dst, which does not overlap src (or is src, for
 * stored pixels as wide as Out), as c says, for
 * BITPIX 8, 16, 32, -32, and -64 into doubles; any other BITPIX leaves
 * dst alone (the readers refuse it beforehand). */
template <typename Out>
static void convert(const conv_struct &c, const unsigned char *src, int n, Out *dst)
{
    Out blank;
    if constexpr (std::is_same<Out, float>::value)
        blank = IM_float_blank();
    else
        blank = IM_double_blank();
    switch (f->val_bitpix) {
    case 8:
        widen_image<uint8_t, Out>(c, src, dst, n, blank);
        break;
    case 16:
        widen_image<int16_t, Out>(c, src, dst, n, blank);
        break;
    case 32:
        widen_image<int32_t, Out>(c, src, dst, n, blank);
        break;
    case -32:
        floats_image<Out>(c, src, dst, n, blank);
        break;
    case -64:
        if constexpr (std::is_same<Out, double>::value)
            doubles_image(c, src, dst, n);
        break;
    default:
        break;
    }
}

/* Bring n stored integers of U at x into host order in place: bytes
 * reversed when Swap, then XOR flip. */
template <typename U, bool Swap>
IM_VECTOR_KERNEL static void ints_to_host(unsigned char *x, int64_t n, U flip)
{
    for (int64_t k = 0; k < n; k++) {
        U u = static_cast<U>(load_stored<U, Swap>(x + k * sizeof(U)) ^ flip);
        std::memcpy(x + k * sizeof(U), &u, sizeof u);
    }
}

/* Bring n_bytes of stored integers of size bytes (2 or 4) at x into the
 * form the integer readers deliver: host order (FITS order in raw mode),
 * unsigned 16-bit IRAF values made signed. */
static void host_ints(unsigned char *x, int64_t n_bytes, int size)
{
    const bool swap = order_differs(true);
    const bool flip = f->file_type != Type_fits && f->pix_unsigned16 && size == 2;
    if (size == 2) {
        const uint16_t fl = flip ? 0x8000u : 0u;
        if (swap)
            ints_to_host<uint16_t, true>(x, n_bytes / 2, fl);
        else if (flip)
            ints_to_host<uint16_t, false>(x, n_bytes / 2, fl);
    } else if (size == 4 && swap) {
        ints_to_host<uint32_t, true>(x, n_bytes / 4, 0u);
    }
}

/* ---- Grouped reads -------------------------------------------------- */

/* read_converted: deliver up to n_pix converted pixels of the current
 * window into out.  Each group of stored pixels is read (through the
 * walk) into the end of the group's place in out, then converted from its
 * first pixel to its last, one cache-sized piece at a time: pixel i's
 * output ends no later than where stored pixel i + 1 begins, so nothing
 * unconverted is overwritten; stored pixels as wide as their results are
 * converted where they lie, and a piece of narrower ones whose stored
 * bytes overlap its own output goes through a local copy.  Returns the
 * pixels delivered (0 once the window is exhausted), or -2: no window, or
 * a short read (the window's count of bytes left is then as before the
 * call, the cursor keeps the lines completed, out holds the groups
 * converted before). */
template <typename Out>
static int read_converted(Out *out, int n_pix)
{
    window_struct *w = f->cur_window;
    if (w == nullptr)
        return -2;
    const int64_t s = f->bytes_per_pix;
    const int64_t d = sizeof(Out);
    if (s <= 0 || s > d || n_pix <= 0)
        return 0;
    const conv_struct c = conversion_now();
    const int64_t left_before = w->total_bytes_left_to_read;
    int64_t todo = left_before / s;
    if (todo > n_pix)
        todo = n_pix;
    alignas(64) unsigned char copy[piece_bytes];
    int64_t done = 0;
    while (done < todo) {
        int64_t group = todo - done < group_bytes / s ? todo - done : group_bytes / s;
        unsigned char *place = reinterpret_cast<unsigned char *>(out + done);
        unsigned char *stored = place + group * (d - s);
        int r = IM_walk(0, stored, group * s, read_mover);
        if (r < 0) {
            w->total_bytes_left_to_read = left_before;
            return -2;
        }
        /* Fewer pixels than asked (the window ended) lie further from
         * their outputs than a full group would: still safe. */
        const int64_t got = r / s;
        for (int64_t i = 0; i < got; i += piece_bytes / s) {
            int n = static_cast<int>(got - i < piece_bytes / s ? got - i : piece_bytes / s);
            const unsigned char *src = stored + i * s;
            Out *dst = out + done + i;
            if (s < d && reinterpret_cast<const unsigned char *>(dst + n) > src) {
                std::memcpy(copy, src, static_cast<size_t>(n * s));
                src = copy;
            }
            convert(c, src, n, dst);
        }
        done += got;
        if (got < group)
            break;
    }
    return static_cast<int>(done);
}

/* read_host_ints: deliver up to n_bytes of the current window's stored
 * integers of size bytes into bytes, group by group, each group put into
 * host order (host_ints) while it is in cache.  Returns the bytes
 * delivered (0 once the window is exhausted), or -2 as read_bytes. */
static int64_t read_host_ints(unsigned char *bytes, int64_t n_bytes, int size)
{
    window_struct *w = f->cur_window;
    if (w == nullptr)
        return -2;
    const int64_t left_before = w->total_bytes_left_to_read;
    int64_t done = 0;
    while (done < n_bytes) {
        int64_t want = n_bytes - done < group_bytes ? n_bytes - done : group_bytes;
        int r = IM_walk(0, bytes + done, want, read_mover);
        if (r < 0) {
            w->total_bytes_left_to_read = left_before;
            return -2;
        }
        if (r == 0)
            break;
        host_ints(bytes + done, r, size);
        done += r;
    }
    return done;
}

/* ---- Compressed input ----------------------------------------------- */

/* Append s to dst (capacity cap, filled to *pos); -1 when it does not fit. */
static int append_text(char *dst, size_t cap, size_t *pos, const char *s)
{
    size_t n = std::strlen(s);
    if (*pos + n + 1 > cap)
        return -1;
    std::memcpy(dst + *pos, s, n + 1);
    *pos += n;
    return 0;
}

/* Append s to dst as one single-quoted shell word, so that no character
 * of a file name is ever read as shell syntax.  -1 when it does not fit. */
static int append_quoted(char *dst, size_t cap, size_t *pos, const char *s)
{
    if (append_text(dst, cap, pos, "'") < 0)
        return -1;
    for (const char *c = s; *c != '\0'; c++) {
        char one[2] = {*c, '\0'};
        if (append_text(dst, cap, pos, *c == '\'' ? "'\\''" : one) < 0)
            return -1;
    }
    return append_text(dst, cap, pos, "'");
}

/* 1 when path names an existing directory. */
static int is_dir(const char *path)
{
    struct stat st;
    return path != nullptr && path[0] != '\0' && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* Make a new unique temporary file for a decompression: in /usr/tmp where
 * that exists, else in $TMPDIR, else in /tmp.  Returns 0 with its name in
 * temp_filename (size bytes; the file exists, closed), or -2. */
static int make_temp_file(char *temp_filename, size_t size)
{
    const char *dirs[3] = {"/usr/tmp", std::getenv("TMPDIR"), "/tmp"};
    for (const char *dir : dirs) {
        if (!is_dir(dir))
            continue;
        int n = std::snprintf(temp_filename, size, "%s/quorvex_decompressXXXXXX", dir);
        if (n < 0 || static_cast<size_t>(n) >= size)
            continue;
        int fd = mkstemp(temp_filename);
        if (fd < 0)
            break;
        close(fd);
        return 0;
    }
    temp_filename[0] = '\0';
    return -2;
}

/* Decompress the current image's ".H" pixel file with "hdecomp" into a new
 * temporary file, read the same request of 16-bit integers from it (in
 * host order) with the read cursor and io_offset put back as noted in
 * saved and saved_offset, then remove the file.  Returns the bytes read,
 * or -2. */
static int64_t decompress_and_read(unsigned char *buffer, int64_t n_bytes,
                                   const window_struct &saved, int64_t saved_offset)
{
    size_t len = std::strlen(f->pix_filename);
    if (len < 2 || std::strcmp(f->pix_filename + len - 2, ".H") != 0)
        return -2;
    /* The command quotes both names, which can make each up to four
     * times as long: room for the longest pixel file name. */
    char temp_filename[IM_NAME_LEN];
    char system_string[4 * 2 * IM_NAME_LEN + 64];
    if (make_temp_file(temp_filename, sizeof temp_filename) < 0)
        return -2;
    size_t pos = 0;
    system_string[0] = '\0';
    int status = -1;
    if (append_text(system_string, sizeof system_string, &pos, "hdecomp -o fits < ") == 0
        && append_quoted(system_string, sizeof system_string, &pos, f->pix_filename) == 0
        && append_text(system_string, sizeof system_string, &pos, " > ") == 0
        && append_quoted(system_string, sizeof system_string, &pos, temp_filename) == 0)
        status = std::system(system_string);
    int64_t result = -2;
    int fd = status == 0 ? open(temp_filename, O_RDONLY) : -1;
    if (fd >= 0) {
        int kept = f->unix_pix_fid;
        window_struct *w = f->cur_window;
        f->unix_pix_fid = fd;
        f->io_offset = saved_offset;
        w->cur_byte_read = saved.cur_byte_read;
        w->total_bytes_left_to_read = saved.total_bytes_left_to_read;
        w->line_bytes_left_to_read = saved.line_bytes_left_to_read;
        std::memcpy(w->left_to_read, saved.left_to_read, sizeof w->left_to_read);
        result = read_host_ints(buffer, n_bytes, 2);
        close(fd);
        f->unix_pix_fid = kept;
    }
    unlink(temp_filename);
    return result;
}

/* ---- Public readers ------------------------------------------------- */

/* Deliver the next n_pix integers of size bytes of image id, whose BITPIX
 * must be bitpix, in host order (FITS order in raw mode); a failed read
 * of 16-bit pixels from a ".H" file is retried through "hdecomp".
 * Returns as im_rpix_i. */
static int read_ints(int id, void *buffer, int n_pix, int bitpix, int size)
{
    if (IM_set_fid(id) < 0)
        return -3;
    IM_error_clear();
    if (f->val_bitpix != bitpix)
        return IM_fail(-2, "BITPIX %d pixels are not read as %d-bit integers", f->val_bitpix,
                       bitpix);
    if (n_pix < 0)
        return IM_r_rewind(f->cur_window);
    if (f->cur_window == nullptr || (buffer == nullptr && n_pix > 0))
        return -2;
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    window_struct saved = *f->cur_window;
    int64_t saved_offset = f->io_offset;
    int64_t n_bytes = static_cast<int64_t>(n_pix) * size;
    int64_t got = read_host_ints(bytes, n_bytes, size);
    if (got == -2 && size == 2)
        got = decompress_and_read(bytes, n_bytes, saved, saved_offset);
    if (got <= 0)
        return static_cast<int>(got);
    return static_cast<int>(got / size);
}

/* im_rpix_i: deliver the next n_pix pixels of a BITPIX 32 image as ints in
 * host order (FITS order in raw mode).  Returns pixels delivered (0 once
 * the window is exhausted); n_pix < 0 rewinds and returns the window's
 * pixel count; -3 handle not open; -2 BITPIX not 32, no window, short read.
 * Leaves f set to the image. */
int im_rpix_i(int id, int *buffer, int n_pix)
{
    return read_ints(id, buffer, n_pix, 32, 4);
}

/* im_rpix_s: as im_rpix_i for BITPIX 16 into shorts; unsigned IRAF pixels
 * come as stored value - 32768 (the image's BZERO adds it back).  When the
 * read fails and the pixel file name ends in ".H", the file is decompressed
 * with "hdecomp" into a temporary file that the same request is read from.
 * Returns as im_rpix_i; -2 also when that fallback fails. */
int im_rpix_s(int id, short *buffer, int n_pix)
{
    return read_ints(id, buffer, n_pix, 16, 2);
}

/* im_rpix_c: deliver the next n_pix bytes of a BITPIX 8 image unchanged.
 * Returns bytes delivered; n_pix < 0 rewinds and returns the window's pixel
 * count; -3 handle not open; -2 BITPIX not 8, no window, short read. */
int im_rpix_c(int id, unsigned char *buffer, int n_pix)
{
    if (IM_set_fid(id) < 0)
        return -3;
    IM_error_clear();
    if (f->val_bitpix != 8)
        return IM_fail(-2, "BITPIX %d pixels are not read as bytes", f->val_bitpix);
    if (n_pix < 0)
        return IM_r_rewind(f->cur_window);
    if (buffer == nullptr && n_pix > 0)
        return -2;
    return static_cast<int>(read_bytes(buffer, n_pix));
}

/* Deliver the next n_pix pixels of image id converted to floats or
 * doubles; BITPIX -64 only into doubles.  Returns as im_rpix_r. */
template <typename Out>
static int read_floating(int id, Out *buffer, int n_pix)
{
    constexpr bool wide = std::is_same<Out, double>::value;
    if (IM_set_fid(id) < 0)
        return -3;
    IM_error_clear();
    if (!wide && f->val_bitpix == -64)
        return IM_fail(-2, "BITPIX -64 pixels are not read as floats: they would lose "
                       "precision (they are read as doubles)");
    if (n_pix < 0)
        return IM_r_rewind(f->cur_window);
    if (buffer == nullptr && n_pix > 0)
        return -2;
    switch (f->val_bitpix) {
    case 0:     /* no pixel size: nothing is read */
    case 8:
    case 16:
    case 32:
    case -32:
        return read_converted(buffer, n_pix);
    case -64:
        return wide ? read_converted(buffer, n_pix) : -2;
    default:
        return IM_fail(-2, "BITPIX %d is not a pixel type", f->val_bitpix);
    }
}

/* im_rpix_r: deliver the next n_pix pixels of a BITPIX 8, 16, 32 or -32
 * image as floats: integers (and FITS floats) scaled by BSCALE then BZERO
 * (each rounded to single precision), blanks (BLANK code, NaN, infinity) as the float blank.
 * Returns pixels delivered (0 once the window is exhausted); n_pix < 0
 * rewinds and returns the window's pixel count; -3 handle not open; -2
 * BITPIX -64, no window, short read (pixels before the failure may be in
 * the buffer, converted or not). */
int im_rpix_r(int id, float *buffer, int n_pix)
{
    return read_floating(id, buffer, n_pix);
}

/* im_rpix_d: as im_rpix_r, into doubles, for every BITPIX (-64 included);
 * integers convert exactly and scaling (integers, FITS floats) is done in
 * double precision; the blank is the double blank.  Returns as im_rpix_r, without the -64 case. */
int im_rpix_d(int id, double *buffer, int n_pix)
{
    return read_floating(id, buffer, n_pix);
}

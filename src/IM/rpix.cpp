/* rpix: pixel reading through the current window, with conversion from the
 * stored type to the caller's type.
 * Invariants: one positioned read per run of window lines that lie
 * together in the file, nothing allocated; the converting readers read
 * runs of whole lines into a local block and convert each straight to
 * its place in the caller's buffer (windows with lines longer than the
 * block: stored pixels are read into the start of the buffer and widened
 * from the last pixel to the first, so no stored pixel is overwritten
 * before it is converted); the integer readers read straight into the
 * buffer; only FITS data, and IRAF data that the header marks as of the
 * other byte order, are byte-swapped; blank pixels are delivered as the
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

/* Pixels converted per block when widening in place: a block of stored
 * pixels is copied to a small local array and then widened into the
 * caller's buffer, which keeps the conversion loops free of aliasing (so
 * they vectorise) and in cache. */
static const int block_pix = 1024;

/* Bytes of the local block that the float and double readers read runs of
 * whole window lines into before converting them to their place in the
 * caller's buffer: small enough to stay in cache, large enough that a run
 * holds many lines. */
static const int read_block_bytes = 64 * 1024;

/* Largest piece handed to one byte swap (its count is an int). */
static const int64_t swap_piece = int64_t(1) << 30;

/* Reverse the byte order of every group of size bytes (2, 4 or 8) in the
 * first n bytes of buffer, in pieces an int count can hold. */
static void swap_bytes(unsigned char *buffer, int64_t n, int size)
{
    for (int64_t done = 0; done < n; done += swap_piece) {
        int piece = static_cast<int>(n - done < swap_piece ? n - done : swap_piece);
        switch (size) {
        case 2: IM_swap_2(buffer + done, piece); break;
        case 4: IM_swap_4(buffer + done, piece); break;
        case 8: IM_swap_8(buffer + done, piece); break;
        default: break;
        }
    }
}

/* Reverse every group of size bytes in the first n bytes of buffer,
 * whatever the host (swap_bytes does so on a little-endian host only). */
static void reverse_groups(unsigned char *buffer, int64_t n, int size)
{
    if (im_byteorder() == 0) {
        swap_bytes(buffer, n, size);
        return;
    }
    for (int64_t i = 0; i + size <= n; i += size)
        for (int a = 0, b = size - 1; a < b; a++, b--) {
            unsigned char t = buffer[i + a];
            buffer[i + a] = buffer[i + b];
            buffer[i + b] = t;
        }
}

/* Bring n bytes of stored IRAF pixels (bpp bytes each) into host form:
 * reversed when the header gave the other byte order (pix_swap), and
 * unsigned 16-bit values shifted to signed ones (top bit flipped,
 * pix_unsigned16) so that BZERO 32768 gives them back. */
static void iraf_host_form(unsigned char *buffer, int64_t n, int bpp)
{
    if (f->pix_swap && bpp > 1)
        reverse_groups(buffer, n, bpp);
    if (f->pix_unsigned16 && bpp == 2)
        for (int64_t i = 0; i + 1 < n; i += 2) {
            uint16_t v;
            std::memcpy(&v, buffer + i, 2);
            v ^= 0x8000u;
            std::memcpy(buffer + i, &v, 2);
        }
}

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

/* Widen n stored integers (host order) at src into Out at dst, which does
 * not overlap src: blank codes become blank_bits (B), then the value is
 * multiplied by scale (S) and offset is added (O), each result rounded to
 * Out. */
template <typename In, typename Out, bool B, bool S, bool O>
IM_VECTOR_KERNEL static void widen_int(const In *__restrict src, Out *__restrict dst, int n,
                                       int32_t blank, double scale, double offset,
                                       typename bits_of<Out>::U blank_bits)
{
    for (int k = 0; k < n; k++) {
        Out x = static_cast<Out>(src[k]);
        if (S)
            x = static_cast<Out>(static_cast<double>(x) * scale);
        if (O)
            x = static_cast<Out>(static_cast<double>(x) + offset);
        if (B)
            x = select_blank(x, static_cast<int32_t>(src[k]) == blank, blank_bits);
        dst[k] = x;
    }
}

/* Pick the instance of widen_int for the current descriptor's blank,
 * BSCALE and BZERO (a NaN BSCALE or BZERO counts as set). */
template <typename In, typename Out>
static void widen_int_image(const unsigned char *src, int n, Out *dst, Out blank_value)
{
    const In *in = reinterpret_cast<const In *>(src);
    typename bits_of<Out>::U bb = bits(blank_value);
    int32_t blank = f->val_blank;
    double s = f->val_scale, o = f->val_offset;
    int which = (f->val_blank_flag ? 4 : 0) | (s != 1.0 ? 2 : 0) | (o != 0.0 ? 1 : 0);
    switch (which) {
    case 0: widen_int<In, Out, false, false, false>(in, dst, n, blank, s, o, bb); break;
    case 1: widen_int<In, Out, false, false, true>(in, dst, n, blank, s, o, bb); break;
    case 2: widen_int<In, Out, false, true, false>(in, dst, n, blank, s, o, bb); break;
    case 3: widen_int<In, Out, false, true, true>(in, dst, n, blank, s, o, bb); break;
    case 4: widen_int<In, Out, true, false, false>(in, dst, n, blank, s, o, bb); break;
    case 5: widen_int<In, Out, true, false, true>(in, dst, n, blank, s, o, bb); break;
    case 6: widen_int<In, Out, true, true, false>(in, dst, n, blank, s, o, bb); break;
    default: widen_int<In, Out, true, true, true>(in, dst, n, blank, s, o, bb); break;
    }
}

/* Stored single-precision floats (host order) to floats at dst: non-finite
 * values become the float blank, and (IRAF with BLANK) so do values equal
 * to BLANK. */
template <bool IrafBlank>
IM_VECTOR_KERNEL static void floats_to_floats(const float *__restrict src, float *__restrict dst,
                                              int n, double blank)
{
    uint32_t blank_bits = bits(IM_float_blank());
    for (int k = 0; k < n; k++) {
        float x = src[k];
        uint32_t u = bits(x);
        bool is_blank = (u & 0x7F800000u) == 0x7F800000u;
        if (IrafBlank)
            is_blank = is_blank | (static_cast<double>(x) == blank);
        dst[k] = select_blank(x, is_blank, blank_bits);
    }
}

/* Stored floats widened to doubles: non-finite values, and (IRAF with
 * BLANK) values equal to BLANK, become the double blank. */
template <bool IrafBlank>
IM_VECTOR_KERNEL static void floats_to_doubles(const float *__restrict src, double *__restrict dst,
                                               int n, double blank)
{
    uint64_t blank_bits = bits(IM_double_blank());
    for (int k = 0; k < n; k++) {
        uint32_t u = bits(src[k]);
        double x = static_cast<double>(src[k]);
        bool is_blank = (u & 0x7F800000u) == 0x7F800000u;
        if (IrafBlank)
            is_blank = is_blank | (x == blank);
        dst[k] = select_blank(x, is_blank, blank_bits);
    }
}

/* Stored doubles to doubles: as floats_to_floats, with the double blank. */
template <bool IrafBlank>
IM_VECTOR_KERNEL static void doubles_to_doubles(const double *__restrict src,
                                                double *__restrict dst, int n, double blank)
{
    double bd = IM_double_blank();
    for (int k = 0; k < n; k++) {
        double x = src[k];
        /* false for NaN and both infinities (a double-domain test keeps
         * the loop free of 64-bit integer compares, which SSE2 lacks) */
        bool is_blank = !(std::fabs(x) <= DBL_MAX);
        if (IrafBlank)
            is_blank = is_blank | (x == blank);
        dst[k] = is_blank ? bd : x;
    }
}

/* Stored floating values of a FITS image are physical values only after
 * BSCALE and BZERO, as for integers: multiply, then add, each rounded to
 * Out (S, O: which of the two runs).  Blank pixels keep the blank. */
template <typename Out, bool S, bool O>
IM_VECTOR_KERNEL static void scale_floating(Out *__restrict x, int n, double scale, double offset,
                                            typename bits_of<Out>::U blank_bits)
{
    for (int k = 0; k < n; k++) {
        Out v = x[k];
        bool blank = bits(v) == blank_bits;
        if (S)
            v = static_cast<Out>(static_cast<double>(v) * scale);
        if (O)
            v = static_cast<Out>(static_cast<double>(v) + offset);
        x[k] = select_blank(v, blank, blank_bits);
    }
}

/* Apply the current FITS image's BSCALE and BZERO to n converted floating
 * pixels at x; nothing for other forms, whose floating pixels are stored
 * as they are meant (a NaN BSCALE or BZERO counts as set). */
template <typename Out>
static void scale_fits_floating(Out *x, int n, Out blank_value)
{
    if (f->file_type != Type_fits)
        return;
    double s = f->val_scale, o = f->val_offset;
    typename bits_of<Out>::U bb = bits(blank_value);
    int which = (s != 1.0 ? 2 : 0) | (o != 0.0 ? 1 : 0);
    switch (which) {
    case 0: break;
    case 1: scale_floating<Out, false, true>(x, n, s, o, bb); break;
    case 2: scale_floating<Out, true, false>(x, n, s, o, bb); break;
    default: scale_floating<Out, true, true>(x, n, s, o, bb); break;
    }
}

/* Put stored pixels at src (n of them, a private copy) into host order:
 * FITS pixels, and IRAF pixels marked as of the other byte order or
 * unsigned. */
static void host_order(unsigned char *src, int n)
{
    int bpp = f->bytes_per_pix;
    if (f->file_type == Type_fits && bpp > 1)
        swap_bytes(src, static_cast<int64_t>(n) * bpp, bpp);
    else if (f->pix_swap || f->pix_unsigned16)
        iraf_host_form(src, static_cast<int64_t>(n) * bpp, bpp);
}

/* Stored floats to the caller's floats or doubles (the blank of each). */
template <bool IrafBlank>
static void floats_to(const float *src, float *dst, int n, double blank)
{
    floats_to_floats<IrafBlank>(src, dst, n, blank);
}
template <bool IrafBlank>
static void floats_to(const float *src, double *dst, int n, double blank)
{
    floats_to_doubles<IrafBlank>(src, dst, n, blank);
}

/* convert: n stored pixels of the current image at src (a private copy,
 * byte-swapped here) to floats or doubles at dst, for BITPIX 8, 16, 32,
 * -32, and -64 into doubles; any other BITPIX leaves dst alone (the
 * readers refuse it beforehand). */
template <typename Out>
static void convert(unsigned char *src, int n, Out *dst)
{
    host_order(src, n);
    Out blank;
    if constexpr (std::is_same<Out, float>::value)
        blank = IM_float_blank();
    else
        blank = IM_double_blank();
    bool iraf_blank = f->file_type == Type_iraf && f->val_blank_flag;
    switch (f->val_bitpix) {
    case 8:
        widen_int_image<uint8_t, Out>(src, n, dst, blank);
        break;
    case 16:
        widen_int_image<int16_t, Out>(src, n, dst, blank);
        break;
    case 32:
        widen_int_image<int32_t, Out>(src, n, dst, blank);
        break;
    case -32:
        if (iraf_blank)
            floats_to<true>(reinterpret_cast<const float *>(src), dst, n, f->val_blank);
        else
            floats_to<false>(reinterpret_cast<const float *>(src), dst, n, 0.0);
        scale_fits_floating(dst, n, blank);
        break;
    case -64:
        if constexpr (std::is_same<Out, double>::value) {
            if (iraf_blank)
                doubles_to_doubles<true>(reinterpret_cast<const double *>(src), dst, n, f->val_blank);
            else
                doubles_to_doubles<false>(reinterpret_cast<const double *>(src), dst, n, 0.0);
            scale_fits_floating(dst, n, blank);
        }
        break;
    default:
        break;
    }
}

/* ---- Converting reads ----------------------------------------------- */

/* 1 when the current window's lines fit in one read block, so that
 * read_blocks can serve it; 0 for windows with empty or longer lines. */
static int lines_fit_block(void)
{
    const window_struct *w = f->cur_window;
    return w != nullptr && w->line_bytes > 0 && w->line_bytes <= read_block_bytes;
}

/* read_blocks: deliver up to n_pix converted pixels of the current window
 * (lines of at most read_block_bytes) into out.  Each pass reads a run of
 * whole window lines (one read call per run that lies together in the
 * file, through the walk) into a local block and converts it straight to
 * its place in out, while it is in cache.  Returns the pixels delivered (0 once the window is exhausted),
 * or -2 for a short read: the window's count of bytes left is then as
 * before the call, the cursor keeps the lines completed, and out holds the
 * converted pixels of the runs read before the failing one. */
template <typename Out>
static int64_t read_blocks(Out *out, int64_t n_pix)
{
    alignas(64) unsigned char block[read_block_bytes];
    window_struct *w = f->cur_window;
    const int64_t bpp = f->bytes_per_pix;
    const int64_t n_bytes = n_pix * bpp;
    const int64_t left_before = w->total_bytes_left_to_read;
    int64_t done = 0;
    while (done < n_bytes) {
        /* The rest of the current line, then as many whole lines as fit. */
        int64_t first = w->line_bytes_left_to_read;
        if (first <= 0 || first > w->line_bytes)
            first = w->line_bytes;
        int64_t want = first + (read_block_bytes - first) / w->line_bytes * w->line_bytes;
        if (want > n_bytes - done)
            want = n_bytes - done;
        int r = IM_walk(0, block, want, read_mover);
        if (r < 0) {
            w->total_bytes_left_to_read = left_before;
            return -2;
        }
        if (r == 0)
            break;
        convert(block, static_cast<int>(r / bpp), out + done / bpp);
        done += r;
    }
    return done / bpp;
}

/* read_in_place: as read_blocks for any window: the stored pixels are read
 * into the start of out and widened from the last block to the first, each
 * block through a local copy, so no stored pixel is overwritten before it
 * is converted.  Returns as read_blocks; after -2, out holds the stored
 * bytes read before the failing line, unconverted. */
template <typename Out>
static int64_t read_in_place(Out *out, int64_t n_pix)
{
    const int bpp = f->bytes_per_pix;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(out);
    int64_t got = read_bytes(bytes, n_pix * bpp);
    if (got <= 0)
        return got;
    alignas(64) unsigned char tmp[block_pix * 8];
    int64_t end = got / bpp;
    while (end > 0) {
        int64_t start = end > block_pix ? end - block_pix : 0;
        int n = static_cast<int>(end - start);
        std::memcpy(tmp, bytes + start * bpp, static_cast<size_t>(n) * bpp);
        convert(tmp, n, out + start);
        end = start;
    }
    return got / bpp;
}

/* Deliver up to n_pix converted pixels of the current window into out by
 * read_blocks, or read_in_place when the window's lines do not fit a
 * block.  Returns pixels delivered, or -2 (no window, short read). */
template <typename Out>
static int read_converted(Out *out, int n_pix)
{
    if (f->cur_window == nullptr)
        return -2;
    if (f->bytes_per_pix <= 0 || n_pix == 0)
        return 0;
    int64_t got = lines_fit_block() ? read_blocks(out, n_pix) : read_in_place(out, n_pix);
    return static_cast<int>(got);
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
 * temporary file, read the same request from it with the read cursor and
 * io_offset put back as noted in saved and saved_offset, then remove the
 * file.  Returns the bytes read, or -2. */
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
        result = read_bytes(buffer, n_bytes);
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
        return -2;
    if (n_pix < 0)
        return IM_r_rewind(f->cur_window);
    if (f->cur_window == nullptr || (buffer == nullptr && n_pix > 0))
        return -2;
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    window_struct saved = *f->cur_window;
    int64_t saved_offset = f->io_offset;
    int64_t n_bytes = static_cast<int64_t>(n_pix) * size;
    int64_t got = read_bytes(bytes, n_bytes);
    if (got == -2 && size == 2)
        got = decompress_and_read(bytes, n_bytes, saved, saved_offset);
    if (got <= 0)
        return static_cast<int>(got);
    if (f->file_type == Type_fits && im_rawflag == 0)
        swap_bytes(bytes, got, size);
    else if (f->pix_swap || f->pix_unsigned16)
        iraf_host_form(bytes, got, size);
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
        return -2;
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
        return -2;
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
        return -2;
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

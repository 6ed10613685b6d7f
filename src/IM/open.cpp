/* open: opening images -- name parsing, subset text, form detection and
 * the open steps; the header of each form is read by its reader
 * (fits_read, fits_ext, zz_read, s_read, iraf_read).
 * Invariants: an open that fails releases its descriptor (card blocks
 * included) and closes every file it opened; a real file never sits on
 * descriptor 0, which stands for the standard stream; every read from a
 * file is bounded by the buffer it fills, and on-disk text is decoded into
 * buffers that always hold a terminator. */
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "im.h"
#include "irafhdr.h"

/* ---- Names ---------------------------------------------------------- */

/* The first comma of name that is not inside a "[...]" group (so that the
 * extension selector of "file.fits[SCI,2],@1:10" stays whole), or null.
 * A '[' without a closing ']' is an ordinary character. */
static const char *split_comma(const char *name)
{
    for (const char *p = name; *p != '\0'; p++) {
        if (*p == '[') {
            const char *close = std::strchr(p, ']');
            if (close != nullptr) {
                p = close;
                continue;
            }
        }
        if (*p == ',')
            return p;
    }
    return nullptr;
}

/* parse_filename: split full_name at its first comma outside brackets into
 * file_name (the path; IM_NAME_LEN bytes) and subset_text (IM_SUBSET_LEN
 * bytes, empty without a comma).  Both are always terminated.
 * Returns 0; -2 the path leaves no room for a five-character suffix;
 * -4 the subset text is longer than 63 characters (reason recorded). */
static int parse_filename(const char *full_name, char *file_name, char *subset_text)
{
    const char *comma = split_comma(full_name);
    size_t path_len = comma ? static_cast<size_t>(comma - full_name) : std::strlen(full_name);
    if (path_len + IM_SUFFIX_ROOM >= IM_NAME_LEN)
        return IM_fail(-2, "the file name is longer than %d characters",
                       static_cast<int>(IM_NAME_LEN - IM_SUFFIX_ROOM - 1));
    std::memcpy(file_name, full_name, path_len);
    file_name[path_len] = '\0';
    subset_text[0] = '\0';
    if (comma != nullptr) {
        size_t subset_len = std::strlen(comma + 1);
        if (subset_len >= IM_SUBSET_LEN)
            return IM_fail(-4, "subset refused: the subset text is longer than %d characters",
                           IM_SUBSET_LEN - 1);
        std::memcpy(subset_text, comma + 1, subset_len + 1);
    }
    return 0;
}

/* ---- Form detection ------------------------------------------------- */

/* type_from_content: the form that the first 16 bytes of fd suggest, or
 * Type_unknown.  Bytes beyond the end of a shorter file match nothing.
 * IRAF headers: "imhv" and a digit (version 2 and later; the reader says
 * which versions it takes), or the version-1 magic in 16-bit characters of
 * either byte order (the reader takes both). */
static file_type_enum type_from_content(int fd)
{
    unsigned char b[16];
    int n = IM_read_full(fd, b, static_cast<int>(sizeof b));
    if (n < 0)
        n = 0;
    if (n >= 6 && std::memcmp(b, "SIMPLE", 6) == 0)
        return Type_fits;
    if (n >= 6 && std::memcmp(b, "BITPIX", 6) == 0)
        return Type_zz;
    if (n >= 5 && std::memcmp(b, "NAXIS", 5) == 0)
        return Type_zz;
    if (n >= 5 && std::memcmp(b, "imhv", 4) == 0 && b[4] >= '0' && b[4] <= '9')
        return Type_iraf;
    if (n >= 10) {
        char magic[10];
        std::memcpy(magic, b, sizeof magic);
        IM_iraf_to_ascii(magic, static_cast<int>(sizeof magic));
        if (std::memcmp(magic, "imhdr", 5) == 0)
            return Type_iraf;
        std::memcpy(magic, b, sizeof magic);
        IM_iraf_to_ascii_order(magic, static_cast<int>(sizeof magic), 1);
        if (std::memcmp(magic, "imhdr", 5) == 0)
            return Type_iraf;
    }
    if (n >= 4) {
        int32_t tapetype;
        std::memcpy(&tapetype, b, sizeof tapetype);
        if (tapetype == S_TAPETYPE)
            return Type_S;
    }
    return Type_unknown;
}

/* open_header_file: open hdr_filename with op's flags, or the first of
 * the suffixed names that opens, and settle file_type from the suffix or
 * the content.  Returns 0; -2 nothing opened; -1 content of no known form
 * (with a reason: why the name did not open, or that the content is
 * unknown).  Marks the header file open in op. */
static int open_header_file(open_struct *op)
{
    int fd = IM_open_file(f->hdr_filename, op->unix_mode);
    if (fd >= 0) {
        f->file_type = IM_type_from_ending(f->hdr_filename);
    } else {
        /* The first reason other than a missing file is the one to give:
         * "permission denied" on the name itself, or on a suffixed name. */
        int why = errno;
        char why_name[IM_NAME_LEN];
        std::memcpy(why_name, f->hdr_filename, sizeof why_name);
        /* parse_filename left room for the longest suffix */
        size_t base = std::strlen(f->hdr_filename);
        for (const suffix_struct &fb : IM_suffixes) {
            std::snprintf(f->hdr_filename + base, IM_NAME_LEN - base, "%s", fb.suffix);
            fd = IM_open_file(f->hdr_filename, op->unix_mode);
            if (fd >= 0) {
                f->file_type = fb.type;
                break;
            }
            if (why == ENOENT && errno != ENOENT) {
                why = errno;
                std::memcpy(why_name, f->hdr_filename, sizeof why_name);
            }
        }
        if (fd < 0) {
            f->hdr_filename[base] = '\0';
            if (why == ENOENT) {
                char tried[64];
                IM_suffix_list(tried, sizeof tried);
                return IM_fail(-2, "no such file (nor with %s added)", tried);
            }
            return IM_fail(-2, "%s: %s", why_name, IM_errno_words(why));
        }
    }
    f->unix_hdr_fid = fd;
    op->hdr_is_open = 1;

    if (f->file_type == Type_unknown) {
        f->file_type = type_from_content(fd);
        if (f->file_type == Type_unknown)
            return IM_fail(-1, "not an image this library reads: its first bytes match "
                           "no known form (FITS, IRAF .imh, ZZ, S)");
        if (lseek(fd, 0, SEEK_SET) != 0)
            return IM_fail(-1, "%s: cannot be read from its start", f->hdr_filename);
    }
    return 0;
}

/* ---- im_open -------------------------------------------------------- */

/* The stored bytes of the image must be countable in an int: the product
 * of the axis lengths (the first with its line padding; an empty axis
 * counted as 1 so that no partial product can overflow) times the pixel
 * size.  Also refuses NAXIS outside 0..9 and negative lengths or padding.
 * Returns 0 or -1 (with a reason). */
static int check_geometry(void)
{
    int naxis = f->val_naxis[0];
    if (naxis < 0 || naxis > IM_MAX_AXES || f->line_skip_pix < 0)
        return IM_fail(-1, "NAXIS %d is outside 0 to %d", naxis, IM_MAX_AXES);
    int64_t bytes = f->bytes_per_pix > 0 ? f->bytes_per_pix : 1;
    for (int i = 1; i <= naxis; i++) {
        int64_t len = f->val_naxis[i];
        if (len < 0)
            return IM_fail(-1, "NAXIS%d is negative", i);
        if (i == 1)
            len += f->line_skip_pix;
        if (len < 1)
            len = 1;
        bytes *= len;
        if (bytes > INT_MAX)
            return IM_fail(-1, "the image holds more than 2 GiB of pixels, beyond this "
                           "library's reach");
    }
    return 0;
}

/* Write open: record the form implied by the name; nothing is opened.
 * Returns 0, or -2 for the path "-" without '-' as the mode's second
 * character. */
static int open_for_write(const char *mode)
{
    if (std::strcmp(f->hdr_filename, "-") == 0 && mode[1] != '-')
        return IM_fail(-2, "'-' names standard output only in mode \"w-\"");
    f->file_type = IM_type_from_ending(f->hdr_filename);
    f->need_wpix_setup = 1;
    f->mode = 2;
    f->magic = FID_MAGIC;
    return 0;
}

/* The steps of im_open after the descriptor exists; f is the new
 * descriptor throughout, op the state of this open.  Returns 0 or the
 * negative code of im_open. */
static int open_steps(open_struct *op, const char *in_filename, const char *mode)
{
    if (in_filename == nullptr || mode == nullptr)
        return IM_fail(-2, "no image name or no mode given");
    size_t len = std::strlen(in_filename);
    if (len >= IM_NAME_LEN)
        return IM_fail(-2, "the image name is longer than %d characters", IM_NAME_LEN - 1);
    std::memcpy(f->user_filename, in_filename, len + 1);
    int status = parse_filename(f->user_filename, f->hdr_filename, f->subset_text);
    if (status < 0)
        return status;

    /* "file.fits[SCI]": an extension selector, for reading only. */
    status = IM_fits_selector(f->hdr_filename, op->ext_selector, sizeof op->ext_selector);
    if (status == -3)
        return IM_fail(-2, "bad extension selector [] (write [2], [SCI] or [SCI,2])");
    if (status < 0)
        return IM_fail(-2, "the extension selector is longer than %d characters",
                       static_cast<int>(sizeof op->ext_selector) - 1);
    if (status > 0 && mode[0] != 'r')
        return IM_fail(-2, "an extension [%s] can be opened for reading only", op->ext_selector);
    if (status > 0 && std::strcmp(f->hdr_filename, "-") == 0)
        return IM_fail(-2, "an extension [%s] cannot be read from standard input",
                       op->ext_selector);

    switch (mode[0]) {
    case 'w':
        return open_for_write(mode);
    case 'r':
        if (std::strcmp(f->hdr_filename, "-") == 0) {
            if (mode[1] != '-')
                return IM_fail(-3, "'-' names standard input only in mode \"r-\"");
            f->unix_hdr_fid = 0;
            f->unix_pix_fid = 0;
            f->file_type = Type_fits;
        }
        f->mode = 1;
        op->unix_mode = O_RDONLY;
        break;
    case 'u':
        f->mode = 3;
        op->unix_mode = O_RDWR;
        break;
    default:
        return IM_fail(-3, "unknown mode \"%.8s\" (r, w or u)", mode);
    }

    if (f->file_type == Type_unknown) {
        status = open_header_file(op);
        if (status < 0)
            return status;
    }

    if (op->ext_selector[0] != '\0' && f->file_type != Type_fits)
        return IM_fail(-1, "an extension [%s] was asked for, but the file was taken for %s",
                       op->ext_selector, f->file_type == Type_iraf ? "an IRAF image"
                                     : f->file_type == Type_zz ? "a ZZ image" : "an S file");

    f->magic = FID_MAGIC;
    switch (f->file_type) {
    case Type_fits:
        /* An extension, or the primary header ("[0]" read from the start
         * again, or no selector at all). */
        status = op->ext_selector[0] != '\0' ? IM_get_fits_extension(op->ext_selector) : 1;
        if (status == 1 && op->ext_selector[0] != '\0' && lseek(f->unix_hdr_fid, 0, SEEK_SET) != 0)
            status = IM_fail(-1, "%s: cannot be read from its start", f->hdr_filename);
        if (status == 1)
            status = IM_get_fits_header();
        break;
    case Type_zz:
        status = IM_get_zz_header(op);
        break;
    case Type_iraf:
        /* The reader closes the header file itself and keeps the pixel
         * file open only on success. */
        status = IM_get_iraf_header(op->unix_mode);
        op->hdr_is_open = 0;
        op->pix_is_open = status == 0;
        break;
    case Type_S:
        status = IM_get_s_header();
        break;
    case Type_unknown:
    default:
        status = IM_fail(-1, "not an image this library reads");
        break;
    }
    if (status < 0)
        return status;
    if (check_geometry() < 0)
        return -1;

    /* A subset is never applied to a standard stream. */
    if (f->unix_hdr_fid == 0)
        f->subset_text[0] = '\0';
    int skips[IM_MAX_AXES + 1] = {0};
    int takes[IM_MAX_AXES + 1] = {0};
    if (IM_setw1(f, skips, takes) < 0) {
        IM_error_context("subset refused");
        return -4;
    }
    status = IM_define_window(1, takes, skips);
    if (status >= 0)
        status = IM_select_window(1);
    if (status < 0)
        return IM_fail(status, "subset refused: the window it selects cannot be set up");
    return 0;
}

/* Release a descriptor whose open failed: close the files op holds open,
 * and release it with its card blocks.  Leaves f null. */
static void release_failed(const open_struct *op, fid_struct *p)
{
    if (op->pix_is_open && p->unix_pix_fid > 0)
        close(p->unix_pix_fid);
    if (op->hdr_is_open && p->unix_hdr_fid > 0)
        close(p->unix_hdr_fid);
    p->magic = 0;
    destroy_fid(p);
}

/* im_open: open the image named in_filename ("path[ext][,subset]") in mode
 * "r" (read), "u" (update) or "w" (write); "r-"/"w-" let "-" name the
 * standard stream; "[ext]" selects a FITS image extension (reading only).
 * Returns the handle (> 0); -1 content not recognised or unusable (short
 * or damaged header, image too large for an int byte count, no such
 * extension or not an image extension); -2 bad argument, name longer than
 * 1023 bytes, no file opened under the name or its suffixed forms, a pixel
 * file that cannot be opened, "-" in mode w, an extension selector that is
 * malformed or outside mode r; -3 unknown mode, "-" in mode r; -4 subset
 * text longer than 63 characters or not applicable.  Every failure leaves
 * its reason for im_errmsg.  A failed open consumes a handle number but
 * releases the descriptor and closes its files.
 * Leaves f on the new descriptor on success, null on failure. */
int im_open(const char *in_filename, const char *mode)
{
    IM_error_clear();
    open_struct op;
    op.unix_mode = O_RDONLY;
    op.hdr_is_open = 0;
    op.pix_is_open = 0;
    op.ext_selector[0] = '\0';
    fid_struct *p = new_fid();
    f = p;
    p->file_type = Type_unknown;
    p->val_scale = 1.0;
    for (int w = 1; w < IM_N_WINDOWS; w++)
        p->windows[w].total_bytes = -1;

    int status = open_steps(&op, in_filename, mode);
    if (status < 0) {
        release_failed(&op, p);
        return status;
    }
    /* Loading the header is no change: an update closed without one
     * leaves its files untouched. */
    p->changed = 0;
    return p->id;
}

/* iraf_read: the IRAF image header reader -- a version-1 or version-2 .imh
 * record turned into FITS-style cards (fixed fields, user area, history),
 * and the pixel file located and checked.
 * Invariants: both versions give the same cards, in the same order, for the
 * same image; every read is bounded by the buffer it fills; on-disk text is
 * decoded into buffers that always hold a terminator; every refusal records
 * its reason (IM_fail); cards go to the current descriptor through the
 * card store and the keyword writers' formatting, never through a public
 * operation, so f stays put; the header file is closed before the reader
 * returns, and the pixel file stays open only on success. */
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "im.h"
#include "irafhdr.h"

static const int IRAF_PIX_NAME_MAX = 63;    /* longest version-1 pixel file name */
static const int IRAF_HIST_CHARS = 512;     /* characters of the version-1 history */
static const int IRAF2_PIX_OFFSET = 2048;   /* version-2 pixel start when im_pixoff is 0 */

/* IM_iraf_to_ascii: decode in place the nn bytes at strng as 16-bit
 * characters (the character in the low-order byte as the host sees it: the
 * first byte of each pair on a little-endian host).  The nn/2 characters
 * are packed at the start and followed by a NUL, which always lies inside
 * the area. */
void im_internal::IM_iraf_to_ascii(char *strng, int nn)
{
    IM_iraf_to_ascii_order(strng, nn, 0);
}

/* IM_iraf_to_ascii_order: as IM_iraf_to_ascii for 16-bit characters in the
 * host's order (other_order 0) or in the other byte order (1: the
 * character in the other byte of each pair). */
void im_internal::IM_iraf_to_ascii_order(char *strng, int nn, int other_order)
{
    if (nn <= 0)
        return;
    int low = (im_byteorder() == 0) != (other_order != 0) ? 0 : 1;
    int n_chars = nn / 2;
    for (int i = 0; i < n_chars; i++)
        strng[i] = strng[2 * i + low];
    strng[n_chars] = '\0';
}

/* ---- Version-2 fields ------------------------------------------------- */

/* The big-endian 32-bit integer at p. */
static int32_t get_be32(const unsigned char *p)
{
    const uint32_t u = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8)
                       | uint32_t(p[3]);
    int32_t v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

/* The big-endian IEEE single at p. */
static float get_be_float(const unsigned char *p)
{
    const int32_t bits = get_be32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

/* IM_iraf2_decode: the IRAF2_HDR_SIZE bytes at raw (a version-2 header or
 * the start of its pixel file) decoded into h: numbers into host order,
 * text fields copied as they lie (not terminated).  Nothing is checked. */
void im_internal::IM_iraf2_decode(const unsigned char *raw, IMHDR2 *h)
{
    std::memcpy(h->im_magic, raw + I2_MAGIC, sizeof h->im_magic);
    h->im_hdrlen = get_be32(raw + I2_HDRLEN);
    h->im_pixtype = get_be32(raw + I2_PIXTYPE);
    h->im_swapped = get_be32(raw + I2_SWAPPED);
    h->im_ndim = get_be32(raw + I2_NDIM);
    for (int k = 0; k < IRAF_MAX_DIM; k++) {
        h->im_len[k] = get_be32(raw + I2_LEN + 4 * k);
        h->im_physlen[k] = get_be32(raw + I2_PHYSLEN + 4 * k);
    }
    h->im_ssmtype = get_be32(raw + I2_SSMTYPE);
    h->im_lutoff = get_be32(raw + I2_LUTOFF);
    h->im_pixoff = get_be32(raw + I2_PIXOFF);
    h->im_hgmoff = get_be32(raw + I2_HGMOFF);
    h->im_blist = get_be32(raw + I2_BLIST);
    h->im_szblist = get_be32(raw + I2_SZBLIST);
    h->im_nbpix = get_be32(raw + I2_NBPIX);
    h->im_ctime = get_be32(raw + I2_CTIME);
    h->im_mtime = get_be32(raw + I2_MTIME);
    h->im_limtime = get_be32(raw + I2_LIMTIME);
    h->im_max = get_be_float(raw + I2_MAX);
    h->im_min = get_be_float(raw + I2_MIN);
    std::memcpy(h->im_pixfile, raw + I2_PIXFILE, sizeof h->im_pixfile);
    std::memcpy(h->im_hdrfile, raw + I2_HDRFILE, sizeof h->im_hdrfile);
    std::memcpy(h->im_title, raw + I2_TITLE, sizeof h->im_title);
    std::memcpy(h->im_history, raw + I2_HISTORY, sizeof h->im_history);
}

/* ---- The header of either version ------------------------------------- */

/* What the cards and the pixel file need from a header of either version;
 * filled by iraf1_image or iraf2_image, text decoded and terminated. */
struct iraf_image_struct {
    int version;                        /* 1 or 2 */
    int32_t pixtype;
    int32_t ndim;
    int32_t len[IRAF_MAX_DIM];
    int32_t physlen0;                   /* stored pixels per line */
    int32_t pixoff;
    int32_t nbpix;
    int32_t swapped;                    /* version 2: 1 pixels little-endian */
    int other_order;                    /* version 1: written by a host of the
                                           other byte order (pixels too) */
    float bscale, bzero, dmin, dmax;    /* bscale, bzero: version 1 only */
    char title[IRAF2_TITLE_LEN];
    char pixfile[IRAF2_PIXFILE_LEN];
    char history[IRAF2_HISTORY_LEN];
    int history_chars;                  /* characters the history may hold */
};

/* Copy the size bytes of an 8-bit text field into out (size bytes): the
 * field's last byte is never text, so out ends at size - 1 at the latest. */
static void text8(char *out, const char *field, size_t size)
{
    std::memcpy(out, field, size);
    out[size - 1] = '\0';
}

/* Decode the size bytes of a 16-bit text field into out (at least
 * size / 2 + 1 bytes): size / 2 characters, terminated; other_order 1 for
 * a header written by a host of the other byte order. */
static void text16(char *out, const char *field, size_t size, int other_order)
{
    std::memcpy(out, field, size);
    IM_iraf_to_ascii_order(out, static_cast<int>(size), other_order);
}

/* Reverse the bytes of each 4-byte word in raw[from, to). */
static void reverse_words(unsigned char *raw, int from, int to)
{
    for (int i = from; i + 4 <= to; i += 4) {
        std::swap(raw[i], raw[i + 3]);
        std::swap(raw[i + 1], raw[i + 2]);
    }
}

/* The numeric fields both versions' records hold under the same names. */
template <typename H>
static void common_fields(const H &h, iraf_image_struct *im)
{
    im->pixtype = h.im_pixtype;
    im->ndim = h.im_ndim;
    std::memcpy(im->len, h.im_len, sizeof im->len);
    im->physlen0 = h.im_physlen[0];
    im->pixoff = h.im_pixoff;
    im->nbpix = h.im_nbpix;
    im->dmin = h.im_min;
    im->dmax = h.im_max;
}

/* The fields of a version-1 header (IRAF_HDR_SIZE bytes at raw), written
 * by a host of the host's byte order (other_order 0) or of the other one
 * (1: every number's bytes reversed, characters in the other byte; its
 * pixels are in that order too). */
static void iraf1_image(const unsigned char *raw, iraf_image_struct *im, int other_order)
{
    unsigned char host[IRAF_HDR_SIZE];
    std::memcpy(host, raw, sizeof host);
    if (other_order) {
        /* numbers: im_hdrlen .. ct_crota and ct_dummy; text between */
        reverse_words(host, static_cast<int>(offsetof(IMHDR, im_hdrlen)),
                      static_cast<int>(offsetof(IMHDR, ct_bunit)));
        reverse_words(host, static_cast<int>(offsetof(IMHDR, ct_dummy)),
                      static_cast<int>(offsetof(IMHDR, im_pixfile)));
    }
    IMHDR h;
    std::memcpy(&h, host, sizeof h);
    im->version = 1;
    common_fields(h, im);
    im->swapped = 0;
    im->other_order = other_order;
    im->bscale = h.ct_bscale;
    im->bzero = h.ct_bzero;
    text16(im->title, h.im_title, sizeof h.im_title, other_order);
    text16(im->pixfile, h.im_pixfile, sizeof h.im_pixfile, other_order);
    text16(im->history, h.im_history, sizeof h.im_history, other_order);
    im->history_chars = IRAF_HIST_CHARS;
}

/* The fields of a version-2 header (IRAF2_HDR_SIZE bytes at raw). */
static void iraf2_image(const unsigned char *raw, iraf_image_struct *im)
{
    IMHDR2 h;
    IM_iraf2_decode(raw, &h);
    im->version = 2;
    common_fields(h, im);
    im->swapped = h.im_swapped;
    im->other_order = 0;
    im->bscale = 0.0f;
    im->bzero = 0.0f;
    text8(im->title, h.im_title, sizeof h.im_title);
    text8(im->pixfile, h.im_pixfile, sizeof h.im_pixfile);
    text8(im->history, h.im_history, sizeof h.im_history);
    im->history_chars = IRAF2_HISTORY_LEN - 1;
}

/* The BITPIX of an IRAF pixel type code, or 0 for a code not read. */
static int iraf_bitpix(int32_t pixtype)
{
    switch (pixtype) {
    case Iraf_short:
    case Iraf_ushort:
        return 16;
    case Iraf_int:
    case Iraf_long:
        return 32;
    case Iraf_real:
        return -32;
    case Iraf_double:
        return -64;
    case Iraf_complex:
    default:
        return 0;
    }
}

/* Byte offset of the pixels in the pixel file from im_pixoff (2-byte units
 * counted from 1; 0 means the version's usual start), or -1 when it is
 * unusable: negative, inside the pixel file's magic, or beyond an int. */
static int iraf_pixel_offset(int32_t pixoff, int version)
{
    if (pixoff == 0)
        return version == 2 ? IRAF2_PIX_OFFSET : IRAF_PIX_OFFSET;
    int64_t bytes = (static_cast<int64_t>(pixoff) - 1) * 2;
    if (bytes < 12 || bytes > INT_MAX)
        return -1;
    return static_cast<int>(bytes);
}

/* The reason text of errno value e: short and lower case. */
static void errno_text(int e, char *text, size_t size)
{
    std::snprintf(text, size, "%s", IM_errno_words(e));
    if (text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
}

/* Refuse a header whose fields cannot describe an image this library
 * reads.  Returns 0, or -1 with the reason recorded. */
static int check_image(const iraf_image_struct *im)
{
    if (im->pixtype == Iraf_complex)
        return IM_fail(-1, "IRAF pixel type 8 (complex) is not supported");
    if (iraf_bitpix(im->pixtype) == 0)
        return IM_fail(-1, "unknown IRAF pixel type %d", int(im->pixtype));
    if (im->ndim < 0 || im->ndim > IRAF_MAX_DIM)
        return IM_fail(-1, "IRAF image with %d axes (at most 7)", int(im->ndim));
    for (int k = 0; k < im->ndim; k++)
        if (im->len[k] < 0)
            return IM_fail(-1, "IRAF axis %d has length %d", k + 1, int(im->len[k]));
    if (im->ndim > 0 && im->physlen0 < im->len[0])
        return IM_fail(-1, "IRAF stored line of %d pixels is shorter than the line (%d)",
                       int(im->physlen0), int(im->len[0]));
    if (iraf_pixel_offset(im->pixoff, im->version) < 0)
        return IM_fail(-1, "IRAF pixel offset %d is unusable", int(im->pixoff));
    if (im->swapped != 0 && im->swapped != 1)
        return IM_fail(-1, "IRAF pixel byte-order flag %d is not understood", int(im->swapped));
    return 0;
}

/* ---- Cards ------------------------------------------------------------ */

/* The cards are written on the current descriptor f with the value
 * formatting of the public keyword writers (IM_format_int, IM_format_real,
 * IM_format_string), so that each card is the one im_wkey_i, im_wkey_r or
 * im_wkey_c would write for the same value. */

/* The number of pixels of the image, held to INT32_MAX + 1 (the lengths
 * have been checked: none is negative). */
static int64_t pixel_count(const iraf_image_struct *im)
{
    int64_t n = 1;
    for (int k = 0; k < im->ndim; k++) {
        n *= im->len[k];
        if (n > INT32_MAX)
            return int64_t(INT32_MAX) + 1;
    }
    return n;
}

/* Write the integer card keyword = v on f.  Returns as IM_wkey_set. */
static int int_card(const char *keyword, int v)
{
    char value[IM_CARD_LEN + 1];
    IM_format_int(value, sizeof value, v);
    return IM_wkey_set(keyword, value);
}

/* Write the real card keyword = v on f.  Returns as IM_wkey_set; -2 for a
 * value that is not finite, which has no card form (im_wkey_r refuses it
 * alike), and no card is written then. */
static int real_card(const char *keyword, double v)
{
    if (!std::isfinite(v))
        return -2;
    char value[IM_CARD_LEN + 1];
    IM_format_real(value, sizeof value, v);
    return IM_wkey_set(keyword, value);
}

/* Write the OBJECT card of an image title on f: the title in quotes from
 * column 11 with each quote in it doubled (the FITS escape, undone by the
 * IRAF writer), cut to 68 characters without splitting a doubled quote.
 * A quote kept single would end the value early: a copy or an update
 * would cut the title there. */
static void title_card(const char *title)
{
    char escaped[IM_CARD_LEN + 1];
    size_t n = 0;
    for (const char *c = title; *c != '\0'; c++) {
        const size_t need = *c == '\'' ? 2 : 1;
        if (n + need > 68)
            break;
        escaped[n++] = *c;
        if (need == 2)
            escaped[n++] = '\'';
    }
    escaped[n] = '\0';
    char value[IM_CARD_LEN + 1];
    IM_format_string(value, sizeof value, escaped);
    (void)IM_wkey_set("OBJECT", value);
}

/* Add the cards of the fixed fields to f, in their fixed order.  NBLANKS
 * only for a count of blank pixels that the image can hold: 32-bit IRAF
 * 2.17 leaves stray text bytes in that field of its version-1 headers.
 * Sets line_skip_pix of f.  Returns 0, or -1 when a geometry card is
 * refused. */
static int fixed_cards(const iraf_image_struct *im)
{
    const bool unsigned16 = im->pixtype == Iraf_ushort;
    if (int_card("BITPIX", iraf_bitpix(im->pixtype)) < 0)
        return IM_fail(-1, "IRAF pixel type %d refused", int(im->pixtype));
    if (int_card("NAXIS", im->ndim) < 0)
        return IM_fail(-1, "IRAF axis count %d refused", int(im->ndim));
    for (int k = 1; k <= im->ndim; k++)
        if (int_card(im_key("NAXIS", k), im->len[k - 1]) < 0)
            return IM_fail(-1, "IRAF axis %d length %d refused", k, int(im->len[k - 1]));
    f->line_skip_pix = im->ndim > 0 ? im->physlen0 - im->len[0] : 0;
    if (im->bscale != 0.0f && im->bscale != 1.0f)
        (void)real_card("BSCALE", im->bscale);
    /* Unsigned pixels are presented as signed ones offset by 32768. */
    const float bzero = unsigned16 ? 32768.0f : im->bzero;
    if (bzero != 0.0f)
        (void)real_card("BZERO", bzero);
    if (im->title[0] != '\0')
        title_card(im->title);
    /* The limits make a pair; one that is not a number voids both. */
    if (std::isfinite(im->dmin) && std::isfinite(im->dmax)
        && (im->dmin != 0.0f || im->dmax != 0.0f)) {
        (void)real_card("DATAMIN", im->dmin);
        (void)real_card("DATAMAX", im->dmax);
    }
    if (im->nbpix > 0 && im->nbpix <= pixel_count(im))
        (void)int_card("NBLANKS", im->nbpix);
    return 0;
}

/* Add one user-area or history card to f after the current card, without
 * looking for a card of its keyword; 0, or -1 with the reason when the
 * store refuses it. */
static int user_card(const char *card)
{
    if (IM_card_add(card) < 0)
        return IM_card_fail(-1, "IRAF user-area", card);
    return 0;
}

/* Version-1 user area: whole 162-byte records of 16-bit characters from
 * byte 2052 until the end of the file (a shorter final piece is ignored)
 * or a read error; each record's first 80 characters make one card.
 * other_order: characters in the other byte of each pair.  0, or -1 with
 * the reason when a card is refused. */
static int iraf1_user_cards(int fd, int other_order)
{
    if (lseek(fd, IRAF_USER_AREA, SEEK_SET) != IRAF_USER_AREA)
        return 0;
    char rec[IRAF_USER_CARD];
    while (IM_read_full(fd, rec, IRAF_USER_CARD) == IRAF_USER_CARD) {
        IM_iraf_to_ascii_order(rec, IRAF_USER_CARD, other_order);
        rec[IM_CARD_LEN] = '\0';
        if (user_card(rec) < 0)
            return -1;
    }
    return 0;
}

/* Version-2 user area: 8-bit text from byte 2046 up to a NUL, the end of
 * the file or a read error; each newline-ended line makes one card of its
 * first 80 characters, and so does a last line without a newline.  0, or
 * -1 with the reason when a card is refused. */
static int iraf2_user_cards(int fd)
{
    if (lseek(fd, IRAF2_USER_AREA, SEEK_SET) != IRAF2_USER_AREA)
        return 0;
    char block[4096];
    char card[IM_CARD_LEN + 1];
    int len = 0;        /* characters of the line so far (kept: 80 at most) */
    int in_line = 0;    /* a line has begun */
    int n;
    int done = 0;
    while (!done && (n = IM_read_full(fd, block, static_cast<int>(sizeof block))) > 0) {
        for (int i = 0; i < n && !done; i++) {
            const char c = block[i];
            if (c == '\0') {
                done = 1;
            } else if (c == '\n') {
                card[len] = '\0';
                if (user_card(card) < 0)
                    return -1;
                len = 0;
                in_line = 0;
            } else {
                in_line = 1;
                if (len < IM_CARD_LEN)
                    card[len++] = c;
            }
        }
        if (n < static_cast<int>(sizeof block))
            break;
    }
    if (in_line) {
        card[len] = '\0';
        return user_card(card);
    }
    return 0;
}

/* Add one HISTORY card per newline-ended line of the decoded history text
 * (at most n_chars characters, up to a NUL); an unended last line counts
 * too.  Each card is cut to 80 columns.  0, or -1 with the reason when a
 * card is refused (the header holds too many). */
static int history_cards(const char *hist, int n_chars)
{
    int i = 0;
    while (i < n_chars && hist[i] != '\0') {
        int start = i;
        while (i < n_chars && hist[i] != '\n' && hist[i] != '\0')
            i++;
        char card[IM_CARD_LEN + 1];
        std::snprintf(card, sizeof card, "HISTORY %.*s", i - start, hist + start);
        if (user_card(card) < 0)
            return -1;
        if (i < n_chars && hist[i] == '\n')
            i++;
    }
    return 0;
}

/* ---- The pixel file --------------------------------------------------- */

/* Form the pixel file path from the decoded im_pixfile text into
 * pix_filename: after the last '!' (a node name), without a leading "HDR$/"
 * or "HDR$", absolute or beside the header.  Returns 0, or -1 for a name
 * longer than name_max characters or a path that does not fit. */
static int iraf_pixel_path(const char *pixfile, int name_max)
{
    const char *text = pixfile;
    const char *bang = std::strrchr(text, '!');
    if (bang != nullptr)
        text = bang + 1;
    if (std::strncmp(text, "HDR$/", 5) == 0)
        text += 5;
    if (std::strncmp(text, "HDR$", 4) == 0)
        text += 4;
    if (std::strlen(text) > static_cast<size_t>(name_max))
        return IM_fail(-1, "IRAF pixel file name longer than %d characters", name_max);

    int dir_len = 0;
    if (text[0] != '/') {
        const char *slash = std::strrchr(f->hdr_filename, '/');
        if (slash != nullptr)
            dir_len = static_cast<int>(slash - f->hdr_filename) + 1;
    }
    int n = std::snprintf(f->pix_filename, IM_NAME_LEN, "%.*s%s", dir_len, f->hdr_filename, text);
    if (n < 0 || n >= IM_NAME_LEN)
        return IM_fail(-1, "IRAF pixel file path longer than %d characters", IM_NAME_LEN - 1);
    return 0;
}

/* Open the pixel file named in the header with open_flags and check its
 * magic ("impix" in 16-bit characters of the header's byte order for
 * version 1, "impv2" for version 2).  Sets unix_pix_fid when opened.  Returns 0; -1 name unusable, file
 * too short or wrong magic; -2 the file cannot be opened. */
static int open_pixel_file(const iraf_image_struct *im, int open_flags)
{
    int name_max = im->version == 1 ? IRAF_PIX_NAME_MAX : IRAF2_PIXFILE_LEN - 1;
    if (iraf_pixel_path(im->pixfile, name_max) < 0)
        return -1;
    int fd = IM_open_file(f->pix_filename, open_flags);
    if (fd < 0) {
        char why[128];
        errno_text(errno, why, sizeof why);
        return IM_fail(-2, "IRAF pixel file %s: %s", f->pix_filename, why);
    }
    f->unix_pix_fid = fd;

    char magic[12];
    const int want = im->version == 1 ? 12 : IRAF2_MAGIC_LEN;
    if (IM_read_full(fd, magic, want) != want)
        return IM_fail(-1, "IRAF pixel file %s is cut short", f->pix_filename);
    if (im->version == 1) {
        IM_iraf_to_ascii_order(magic, 12, im->other_order);
        if (std::memcmp(magic, "impix", 6) != 0)
            return IM_fail(-1, "not an IRAF pixel file (wrong magic)");
    } else if (std::memcmp(magic, "impv2", 5) != 0) {
        return IM_fail(-1, "not an IRAF version-2 pixel file (wrong magic)");
    }
    return 0;
}

/* ---- Reading ---------------------------------------------------------- */

/* The version of the header whose first n bytes are raw: 1 or 2, or -1
 * with the reason recorded.  *other_order: 1 for a version-1 magic in the
 * other byte order (characters in the other byte of each pair), else 0. */
static int iraf_version(const unsigned char *raw, int n, int *other_order)
{
    *other_order = 0;
    if (n >= 5 && std::memcmp(raw, "imhv", 4) == 0) {
        if (raw[4] == '2')
            return 2;
        if (raw[4] >= '0' && raw[4] <= '9')
            return IM_fail(-1, "IRAF header version %c is not supported", raw[4]);
    }
    if (n >= 12) {
        char magic[12];
        std::memcpy(magic, raw, sizeof magic);
        IM_iraf_to_ascii(magic, 12);
        if (std::memcmp(magic, "imhdr", 6) == 0)
            return 1;
        std::memcpy(magic, raw, sizeof magic);
        IM_iraf_to_ascii_order(magic, 12, 1);
        if (std::memcmp(magic, "imhdr", 6) == 0) {
            *other_order = 1;
            return 1;
        }
    }
    return IM_fail(-1, "not an IRAF header (wrong magic)");
}

/* 1 when a version-1 header (raw, IRAF_HDR_SIZE bytes) has the layout that
 * 64-bit IRAF writes, 8-byte fields from byte 24: a known pixel type at
 * byte 32 and an axis count at byte 40, both in the header's byte order
 * (other_order 1: the other one). */
static int iraf1_wide_fields(const unsigned char *raw, int other_order)
{
    unsigned char b[16];
    std::memcpy(b, raw + 32, sizeof b);
    if (other_order) {
        std::reverse(b, b + 8);
        std::reverse(b + 8, b + 16);
    }
    int64_t pixtype, ndim;
    std::memcpy(&pixtype, b, sizeof pixtype);
    std::memcpy(&ndim, b + 8, sizeof ndim);
    return pixtype >= INT32_MIN && pixtype <= INT32_MAX
           && iraf_bitpix(static_cast<int32_t>(pixtype)) != 0 && ndim >= 0 && ndim <= IRAF_MAX_DIM;
}

/* One header read in progress, passed down its steps. */
struct iraf_read_struct {
    int hdr_open;               /* 1 while the header file is open */
    int open_flags;             /* open flags of the pixel file */
    iraf_image_struct im;       /* what the header gives */
};

/* read_record: read the header record of either version from the header
 * file (open at byte 0) into rd->im and check that it describes an image
 * this library reads (and, for an update, writes).  Returns 0, or -1 with
 * the reason recorded.  f is only read. */
static int read_record(iraf_read_struct *rd)
{
    unsigned char raw[IRAF2_HDR_SIZE];
    static_assert(IRAF2_HDR_SIZE >= IRAF_HDR_SIZE, "room for either version");
    int n = IM_read_full(f->unix_hdr_fid, raw, IRAF2_HDR_SIZE);
    if (n < 0) {
        char why[128];
        errno_text(errno, why, sizeof why);
        return IM_fail(-1, "IRAF header cannot be read: %s", why);
    }
    int other_order = 0;
    int version = iraf_version(raw, n, &other_order);
    if (version < 0)
        return -1;
    int need = version == 1 ? IRAF_HDR_SIZE : IRAF2_HDR_SIZE;
    if (n < need)
        return IM_fail(-1, "IRAF header cut short (%d of %d bytes)", n, need);

    iraf_image_struct *im = &rd->im;
    if (version == 1)
        iraf1_image(raw, im, other_order);
    else
        iraf2_image(raw, im);
    if (version == 1 && iraf_bitpix(im->pixtype) == 0 && iraf1_wide_fields(raw, other_order))
        return IM_fail(-1, "IRAF version-1 header with 8-byte fields (written by 64-bit IRAF) "
                           "is not supported");
    if (check_image(im) < 0)
        return -1;
    /* The header writer and the pixel writers keep the host's order only. */
    if (im->other_order && f->mode == 3)
        return IM_fail(-1, "IRAF version-1 image from a host of the other byte order "
                           "cannot be updated");
    return 0;
}

/* header_cards: add to f the cards of the fixed fields, then those of the
 * user area (read from the header file), then one HISTORY card per history
 * line.  Returns 0, or -1 with the reason recorded when a card is refused.
 * Sets line_skip_pix of f. */
static int header_cards(const iraf_read_struct *rd)
{
    const iraf_image_struct *im = &rd->im;
    if (fixed_cards(im) < 0)
        return -1;
    int cards = im->version == 1 ? iraf1_user_cards(f->unix_hdr_fid, im->other_order)
                                 : iraf2_user_cards(f->unix_hdr_fid);
    if (cards == 0)
        cards = history_cards(im->history, im->history_chars);
    return cards;
}

/* close_header: close the header file while it is open; its number stays
 * in unix_hdr_fid of f. */
static void close_header(iraf_read_struct *rd)
{
    if (rd->hdr_open && f->unix_hdr_fid > 0)
        close(f->unix_hdr_fid);
    rd->hdr_open = 0;
}

/* pixel_layout: where and how the pixels of the image lie, into f:
 * io_offset, pix_swap, pix_unsigned16; then magic, the image being read. */
static void pixel_layout(const iraf_read_struct *rd)
{
    const iraf_image_struct *im = &rd->im;
    f->io_offset = iraf_pixel_offset(im->pixoff, im->version);
    /* Version-2 pixels are big-endian unless the header says swapped;
     * version-1 pixels are in the order of the header's numbers. */
    const int host_little = im_byteorder() == 0;
    f->pix_swap = im->version == 2 ? im->swapped != host_little : im->other_order;
    f->pix_unsigned16 = im->pixtype == Iraf_ushort;
    f->magic = FID_MAGIC;
}

/* read_iraf_header: turn the IRAF header file (open at byte 0) into cards,
 * then open and check the pixel file: read_record, header_cards,
 * close_header, open_pixel_file, pixel_layout.  Returns 0; -1 header too
 * short, wrong magic or unsupported version, unknown pixel type, more than
 * 7 or negative axes, bad lengths, pixel offset or byte-order flag,
 * geometry cards refused, a user-area card refused by the card store (a
 * layout card contradicting the fixed fields among them), more cards than
 * the store holds, pixel file name too long, wrong pixel file magic; -2 the
 * pixel file cannot be opened.  Every refusal records its reason.  Closes
 * the header file once its cards are in (its number stays); sets
 * line_skip_pix, unix_pix_fid, pix_filename, io_offset, pix_swap,
 * pix_unsigned16 and magic of f. */
static int read_iraf_header(iraf_read_struct *rd)
{
    int status = read_record(rd);
    if (status == 0)
        status = header_cards(rd);
    if (status == 0) {
        close_header(rd);
        status = open_pixel_file(&rd->im, rd->open_flags);
    }
    if (status == 0)
        pixel_layout(rd);
    return status;
}

/* IM_get_iraf_header: read the IRAF image (header version 1 or 2) whose
 * header file is open at byte 0 in unix_hdr_fid, opening its pixel file
 * with open_flags.  Returns as read_iraf_header.  The header file is closed
 * in every case (its number stays in unix_hdr_fid); the pixel file stays
 * open in unix_pix_fid on success only (-1 there after a failure that had
 * opened it).  Works on f, which stays current. */
int im_internal::IM_get_iraf_header(int open_flags)
{
    iraf_read_struct rd;
    std::memset(&rd, 0, sizeof rd);
    rd.hdr_open = 1;
    rd.open_flags = open_flags;
    int status = read_iraf_header(&rd);
    close_header(&rd);
    if (status < 0 && f->unix_pix_fid > 0) {
        close(f->unix_pix_fid);
        f->unix_pix_fid = -1;
    }
    return status;
}

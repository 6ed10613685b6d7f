/* iraf_write: the IRAF image header writer -- the card store turned into a
 * version-1 (IMHDR) or version-2 (IMHDR2) header file with its user area and
 * history, and the copy of the record at the start of the .pix file.
 * Invariants: a new image gets version 1 unless the environment variable
 * oifversion asks for 2, and an updated image keeps the version it has; both
 * versions send each card to the same place by the same keyword rules; the
 * writer state (records, history index, header file, first failure) lives
 * in one record per header write, so nothing carries over to the next;
 * text fields are cut to their width; every write is checked and a failure
 * makes the writer return -2, a card the form cannot hold -4. */
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "im.h"
#include "irafhdr.h"

/* What the cards give, the same for both versions: start_iraf1 or
 * start_iraf2 fills it from the record (new, or read for an update),
 * put_iraf_card changes it, finish_iraf1 or finish_iraf2 copies it back. */
struct iraf_fields_struct {
    int version;                /* 1 or 2 */
    int32_t pixtype;
    int32_t ndim;
    int32_t len[IRAF_MAX_DIM];  /* also the stored lengths */
    int32_t nbpix;
    int32_t limtime;
    float bscale, bzero;        /* version 1 only */
    float dmin, dmax;
    char title[IM_CARD_LEN + 1];
};

/* One IRAF header write in progress, made by IM_write_iraf_hdr and passed
 * down every step. */
struct iraf_writer_struct {
    IMHDR ih;                   /* the version-1 record being written */
    IMHDR2 ih2;                 /* the version-2 record being written */
    int32_t time;               /* time stamp of this header */
    int hist_index;             /* next free byte of the history area */
    int fd;                     /* the .imh file being written; -1 closed */
    int failed;                 /* a write failed (the first: fail_errno, fail_file) */
    int fail_errno;
    const char *fail_file;
    int keep_unsigned;          /* an updated image keeps unsigned 16-bit pixels */
    iraf_fields_struct fld;     /* what the cards give */
    unsigned fields_taken;      /* slots (bit 1 << slot) whose field a card filled */
};

/* Note a failed write to file (the header or pixel file's name), keeping
 * the first failure's errno for the reason. */
static void io_failed(iraf_writer_struct *w, const char *file)
{
    if (!w->failed) {
        w->fail_errno = errno != 0 ? errno : EIO;
        w->fail_file = file;
    }
    w->failed = 1;
}

/* The writer's result once the header file is closed: 0, or -2 with the
 * reason of the first failed write. */
static int io_result(const iraf_writer_struct *w)
{
    if (!w->failed)
        return 0;
    return IM_fail(-2, "%s: the header could not be written: %s", w->fail_file,
                   IM_errno_words(w->fail_errno));
}

/* ---- Text and values -------------------------------------------------- */

/* ascii_to_iraf: clear the n bytes of area and store text in it as 16-bit
 * characters in host order (the character in the low-order byte), cut to
 * n / 2 characters. */
static void ascii_to_iraf(void *area, const char *text, int n)
{
    unsigned char *a = static_cast<unsigned char *>(area);
    std::memset(a, 0, size_t(n));
    const int low = im_byteorder() == 1 ? 1 : 0;
    for (int i = 0; text[i] != '\0' && 2 * i + 1 < n; i++)
        a[2 * i + low] = static_cast<unsigned char>(text[i]);
}

/* Clear the size bytes of an 8-bit text field and store text in it, cut to
 * size - 1 characters (the last byte stays 0). */
static void text_to_field(char *field, size_t size, const char *text)
{
    std::memset(field, 0, size);
    const size_t n = std::strlen(text);
    std::memcpy(field, text, n < size - 1 ? n : size - 1);
}

/* The value text of a card (from column 11), empty for a shorter card. */
static const char *value_text(const char *text)
{
    return std::strlen(text) > 10 ? text + 10 : "";
}

/* An integer value as "%d" reads it, held to 32 bits; 0 when none. */
static int32_t card_int(const char *text)
{
    const long long v = std::strtoll(value_text(text), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

/* A single-precision value as "%f" reads it; 0 when none. */
static float card_float(const char *text)
{
    return std::strtof(value_text(text), nullptr);
}

/* The title an OBJECT card gives (title: IM_CARD_LEN + 1 bytes): from
 * column 12 to the first single quote, each doubled quote on the way
 * taken as one quote (the FITS escape that the
 * IRAF reader writes for a quote in a title). */
static void card_title(const char *text, char *title)
{
    const size_t len = std::strlen(text);
    size_t n = 0;
    for (size_t i = 11; i < len && n < IM_CARD_LEN; i++) {
        if (text[i] == '\'') {
            if (i + 1 < len && text[i + 1] == '\'') {
                title[n++] = '\'';
                i++;
                continue;
            }
            break;
        }
        title[n++] = text[i];
    }
    title[n] = '\0';
}

/* The text after the last '/' of a path. */
static const char *base_name(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

/* A 32-bit header field from a wider count, held to the field. */
static int32_t clamp32(int64_t v)
{
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

/* ---- Where cards go --------------------------------------------------- */

/* The place an IRAF header of either version keeps a card in. */
enum iraf_slot_enum {
    Slot_user,          /* a record of the user area */
    Slot_bitpix,        /* im_pixtype */
    Slot_bscale,        /* ct_bscale (version 1) */
    Slot_bzero,         /* ct_bzero (version 1) */
    Slot_datamin,       /* im_min */
    Slot_datamax,       /* im_max */
    Slot_history_value, /* DATE, ORIGIN: a history entry of the value */
    Slot_history,       /* HISTORY: a history entry of the text from column 9 */
    Slot_naxis,         /* im_ndim */
    Slot_axis,          /* NAXIS1 .. NAXIS7: im_len and im_physlen */
    Slot_nblanks,       /* im_nbpix */
    Slot_object         /* im_title */
};

/* iraf_slot: the place of a card by its keyword, recognised when the
 * card's first 8 columns hold it exactly, padded with blanks.  NAXIS needs
 * blanks in columns 6 and 7, NAXISn a digit 1 to 7 in column 6 and a blank
 * in column 7 (*axis is then n - 1); other NAXIS cards are user cards, and
 * so is an OBJECT card whose value is not a string. */
static iraf_slot_enum iraf_slot(const char *text, int *axis)
{
    static const struct {
        const char *key8;
        iraf_slot_enum slot;
    } keys[] = {
        {"BITPIX  ", Slot_bitpix},   {"BSCALE  ", Slot_bscale},
        {"BZERO   ", Slot_bzero},    {"DATAMIN ", Slot_datamin},
        {"DATAMAX ", Slot_datamax},  {"DATE    ", Slot_history_value},
        {"ORIGIN  ", Slot_history_value}, {"HISTORY ", Slot_history},
        {"NBLANKS ", Slot_nblanks},  {"OBJECT  ", Slot_object},
    };
    const size_t len = std::strlen(text);
    for (const auto &k : keys) {
        if (!IM_key_is(text, k.key8))
            continue;
        /* Only a string OBJECT is a title; another stays as it is. */
        if (k.slot == Slot_object && !(len > 10 && text[10] == '\''))
            return Slot_user;
        return k.slot;
    }
    if (len >= 5 && std::strncmp(text, "NAXIS", 5) == 0 && (len < 7 || text[6] == ' ')) {
        if (len < 6 || text[5] == ' ')
            return Slot_naxis;
        if (text[5] >= '1' && text[5] <= '7') {
            *axis = text[5] - '1';
            return Slot_axis;
        }
    }
    return Slot_user;
}

/* The pixel type code for a BITPIX card's value, or 0 for a BITPIX that
 * no IRAF pixel type stores (8 included).  int_type: the code used for 32;
 * BITPIX 16 keeps an updated image's unsigned type (keep_unsigned 1). */
static int32_t iraf_pixtype(int32_t bitpix, int32_t int_type, int keep_unsigned)
{
    switch (bitpix) {
    case 16:
        return keep_unsigned ? Iraf_ushort : Iraf_short;
    case 32:
        return int_type;
    case -32:
        return Iraf_real;
    case -64:
        return Iraf_double;
    default:
        return 0;
    }
}

/* 1 when a BSCALE or BZERO card only restates the unsigned type that an
 * updated image keeps (keep_unsigned 1; BSCALE 1, BZERO 32768): no field
 * stores it. */
static int restates_unsigned(iraf_slot_enum slot, const char *text, int keep_unsigned)
{
    if (!keep_unsigned)
        return 0;
    const float v = card_float(text);
    return (slot == Slot_bscale && v == 1.0f) || (slot == Slot_bzero && v == 32768.0f);
}

/* ---- The fields the cards give --------------------------------------- */

/* Start fld from a record's fields, except those that the cards supply
 * again, which are cleared (unused axes: length 0 in version 1, 1 in
 * version 2, as IRAF writes them). */
static void start_fields(iraf_fields_struct *fld, int version, int32_t pixtype, int32_t nbpix,
                         int32_t limtime)
{
    std::memset(fld, 0, sizeof *fld);
    fld->version = version;
    fld->pixtype = pixtype;
    fld->nbpix = nbpix;
    fld->limtime = limtime;
    for (int k = 0; k < IRAF_MAX_DIM; k++)
        fld->len[k] = version == 2 ? 1 : 0;
}

/* ---- History and user area of each version ---------------------------- */

/* One version-1 user-area record: the card blank padded to 80 columns and
 * a newline, as 81 16-bit characters, at the header file's position. */
static void put_user_card(iraf_writer_struct *w, const char *text)
{
    char line[IM_CARD_LEN + 2];
    std::snprintf(line, sizeof line, "%-80.80s\n", text);
    unsigned char rec[IRAF_USER_CARD];
    ascii_to_iraf(rec, line, IRAF_USER_CARD);
    if (IM_write_all(w->fd, rec, sizeof rec) < 0)
        io_failed(w, f->hdr_filename);
}

/* One version-2 user-area line: the card blank padded to 80 columns and a
 * newline, at the header file's current position. */
static void put_user_line(iraf_writer_struct *w, const char *text)
{
    char line[IM_CARD_LEN + 2];
    std::snprintf(line, sizeof line, "%-80.80s\n", text);
    if (IM_write_all(w->fd, line, IM_CARD_LEN + 1) < 0)
        io_failed(w, f->hdr_filename);
}

/* put_iraf_history_card: append text as one version-1 history entry: its
 * characters and a newline as 16-bit characters in host order, then a NUL
 * unit.  Returns 0 stored, -1 no room (the entry would pass byte 1023). */
static int put_iraf_history_card(iraf_writer_struct *w, const char *text)
{
    const int64_t len = int64_t(std::strlen(text));
    const int64_t need = 2 * (len + 1);
    if (w->hist_index + need > int64_t(sizeof w->ih.im_history) - 1)
        return -1;
    char *h = w->ih.im_history + w->hist_index;
    ascii_to_iraf(h, text, int(2 * len));
    ascii_to_iraf(h + 2 * len, "\n", 2);
    w->hist_index += int(need);
    w->ih.im_history[w->hist_index] = 0;
    w->ih.im_history[w->hist_index + 1] = 0;
    return 0;
}

/* put_iraf2_history: append text and a newline to the version-2 history
 * area, NUL after them.  Returns 0 stored, -1 no room (the area keeps at
 * most 1022 characters, as IRAF does). */
static int put_iraf2_history(iraf_writer_struct *w, const char *text)
{
    const int64_t len = int64_t(std::strlen(text));
    if (w->hist_index + len + 1 > int64_t(sizeof w->ih2.im_history) - 2)
        return -1;
    std::memcpy(w->ih2.im_history + w->hist_index, text, size_t(len));
    w->hist_index += int(len);
    w->ih2.im_history[w->hist_index++] = '\n';
    w->ih2.im_history[w->hist_index] = '\0';
    return 0;
}

/* A card as a record or line of the user area of the header's version. */
static void put_user(iraf_writer_struct *w, const char *text)
{
    if (w->fld.version == 2)
        put_user_line(w, text);
    else
        put_user_card(w, text);
}

/* A history entry of entry in the header's version; the card text goes to
 * the user area when the history area has no room left. */
static void put_history(iraf_writer_struct *w, const char *card_text, const char *entry)
{
    const int stored =
        w->fld.version == 2 ? put_iraf2_history(w, entry) : put_iraf_history_card(w, entry);
    if (stored < 0)
        put_user(w, card_text);
}

/* put_iraf_card: one card into w->fld (a field of its own), the history area
 * or the user area, by its keyword, for either version.  BSCALE and BZERO
 * have fields in version 1 only and are user cards in version 2, unless
 * they restate the unsigned type that an updated image keeps.  Returns 0
 * taken, -2 refused (BITPIX not 16, 32, -32, -64; the pixel type is then
 * 0). */
static int put_iraf_card(iraf_writer_struct *w, const char *text)
{
    iraf_fields_struct *fld = &w->fld;
    int axis = 0;
    iraf_slot_enum slot = iraf_slot(text, &axis);
    /* DATAMIN, DATAMAX, NBLANKS and OBJECT fill their field once: a repeat
     * stays a user card, so that the first card, the one a keyword read
     * finds, is the one the field keeps. */
    if (slot == Slot_datamin || slot == Slot_datamax || slot == Slot_nblanks
        || slot == Slot_object) {
        const unsigned bit = 1u << slot;
        if (w->fields_taken & bit)
            slot = Slot_user;
        w->fields_taken |= bit;
    }
    switch (slot) {
    case Slot_bitpix:
        fld->pixtype = iraf_pixtype(card_int(text), fld->version == 2 ? Iraf_int : Iraf_long,
                                    w->keep_unsigned);
        return fld->pixtype != 0 ? 0 : -2;
    case Slot_bscale:
    case Slot_bzero:
        if (restates_unsigned(slot, text, w->keep_unsigned))
            return 0;
        if (fld->version == 2) {
            put_user_line(w, text);
        } else if (slot == Slot_bscale) {
            fld->bscale = card_float(text);
        } else {
            fld->bzero = card_float(text);
            if (fld->bscale == 0.0f)
                fld->bscale = 1.0f;
        }
        return 0;
    case Slot_datamin:
        fld->dmin = card_float(text);
        fld->limtime = w->time;
        return 0;
    case Slot_datamax:
        fld->dmax = card_float(text);
        fld->limtime = w->time;
        return 0;
    case Slot_history_value:
        put_history(w, text, value_text(text));
        return 0;
    case Slot_history:
        put_history(w, text, std::strlen(text) > 8 ? text + 8 : "");
        return 0;
    case Slot_naxis:
        fld->ndim = card_int(text);
        return 0;
    case Slot_axis:
        fld->len[axis] = card_int(text);
        return 0;
    case Slot_nblanks:
        fld->nbpix = card_int(text);
        return 0;
    case Slot_object:
        card_title(text, fld->title);
        return 0;
    case Slot_user:
        put_user(w, text);
        return 0;
    default:
        return -2;
    }
}

/* Place every card of the store, from byte user_area of the header file
 * on.  Returns 0; -4 a BITPIX card refused, no pixel type at the end, or
 * more axes than a header holds (such a header could not be read back:
 * the cards can be mended); -2 the user area cannot be reached.  Reasons
 * recorded. */
static int put_iraf_cards(iraf_writer_struct *w, off_t user_area)
{
    if (lseek(w->fd, user_area, SEEK_SET) != user_area)
        return IM_fail(-2, "%s: the header cannot be written: not a file one can seek in",
                       f->hdr_filename);
    w->fields_taken = 0;
    for (const header_struct *h = f->first_header; h != nullptr; h = h->next)
        if (put_iraf_card(w, h->text) < 0)
            return IM_fail(-4, "IRAF images cannot hold the card '%.30s' (BITPIX 16, 32, -32 "
                           "or -64 only)", h->text);
    if (w->fld.pixtype == 0)
        return IM_fail(-4, "the header has no BITPIX card, which IRAF images need");
    if (w->fld.ndim > IRAF_MAX_DIM || w->fld.ndim < 0)
        return IM_fail(-4, "IRAF images hold at most %d axes, not %d", IRAF_MAX_DIM,
                       int(w->fld.ndim));
    return 0;
}

/* Close the header file being written (a failed close counts as a failed
 * write).  Returns refused, so that a refused header ends the writer. */
static int close_header_file(iraf_writer_struct *w, int refused)
{
    if (close(w->fd) != 0)
        io_failed(w, f->hdr_filename);
    w->fd = -1;
    return refused;
}

/* ---- Fields both versions hold ------------------------------------------ */

/* The offsets and creation time of a new image, in either version's
 * record: pixels from byte 1024 of the pixel file (2-byte units from 1),
 * then the histogram and the bad-pixel list. */
template <typename H>
static void new_image_fields(H &h, int32_t time)
{
    h.im_ctime = time;
    h.im_pixoff = 513;
    h.im_hgmoff = clamp32(513 + int64_t(f->n_pixels) * f->bytes_per_pix / 2);
    h.im_blist = clamp32(int64_t(h.im_hgmoff) + 4096);
}

/* Copy the fields the cards gave (fld) that both versions' records hold. */
template <typename H>
static void finish_common(H &h, const iraf_fields_struct &fld)
{
    h.im_pixtype = fld.pixtype;
    h.im_ndim = fld.ndim;
    for (int k = 0; k < IRAF_MAX_DIM; k++) {
        h.im_len[k] = fld.len[k];
        h.im_physlen[k] = fld.len[k];
    }
    h.im_nbpix = fld.nbpix;
    h.im_limtime = fld.limtime;
    h.im_min = fld.dmin;
    h.im_max = fld.dmax;
}

/* ---- Version 1 -------------------------------------------------------- */

/* Start a version-1 header: a new record for a new image (names, offsets,
 * creation time), or the existing record read into w->ih for an update. */
static void start_iraf1(iraf_writer_struct *w, int update)
{
    IMHDR &ih = w->ih;
    if (!update) {
        std::memset(&ih, 0, sizeof ih);
        char name[IM_CARD_LEN + 1];
        std::snprintf(name, sizeof name, "%.80s", base_name(f->hdr_filename));
        ascii_to_iraf(ih.im_hdrfile, name, int(sizeof ih.im_hdrfile));
        std::snprintf(name, sizeof name, "HDR$%.76s", base_name(f->pix_filename));
        ascii_to_iraf(ih.im_pixfile, name, int(sizeof ih.im_pixfile));
        new_image_fields(ih, w->time);
    }
    std::memset(ih.im_history, 0, sizeof ih.im_history);
    start_fields(&w->fld, 1, ih.im_pixtype, ih.im_nbpix, ih.im_limtime);
}

/* Copy the fields the cards gave into w->ih. */
static void finish_iraf1(iraf_writer_struct *w)
{
    finish_common(w->ih, w->fld);
    w->ih.ct_bscale = w->fld.bscale;
    w->ih.ct_bzero = w->fld.bzero;
    ascii_to_iraf(w->ih.im_title, w->fld.title, int(sizeof w->ih.im_title));
}

/* Write a version-1 header started by start_iraf1: user area from byte
 * 2052 ended by a NUL unit (the file ends there), the record at byte 0
 * with "imhdr", its first 1024 bytes with "impix" at the start of the
 * pixel file.  Returns 0; -4 the cards cannot be stored (put_iraf_cards);
 * -2 a write failed.  Closes the header file. */
static int write_iraf1(iraf_writer_struct *w)
{
    IMHDR &ih = w->ih;
    ih.im_mtime = w->time;
    const int refused = put_iraf_cards(w, IRAF_USER_AREA);
    if (refused == 0) {
        finish_iraf1(w);
        const unsigned char end[2] = {0, 0};
        if (IM_write_all(w->fd, end, 2) < 0)
            io_failed(w, f->hdr_filename);
        const off_t at = lseek(w->fd, 0, SEEK_CUR);
        if (at < 0 || ftruncate(w->fd, at) != 0)
            io_failed(w, f->hdr_filename);
        ih.im_hdrlen = clamp32(int64_t(at) / 4);
        ascii_to_iraf(ih.im_magic, "imhdr", int(sizeof ih.im_magic));
        if (IM_write_all_at(w->fd, &ih, sizeof ih, 0) < 0)
            io_failed(w, f->hdr_filename);
    }
    if (close_header_file(w, refused) < 0)
        return refused;

    ascii_to_iraf(ih.im_magic, "impix", int(sizeof ih.im_magic));
    if (f->unix_pix_fid <= 0 || IM_write_all_at(f->unix_pix_fid, &ih, IRAF_PIX_COPY, 0) < 0)
        io_failed(w, f->pix_filename);
    return io_result(w);
}

/* ---- Version 2 -------------------------------------------------------- */

/* Store v as a big-endian 32-bit integer at p. */
static void put_be32(unsigned char *p, int32_t v)
{
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    p[0] = static_cast<unsigned char>(u >> 24);
    p[1] = static_cast<unsigned char>(u >> 16);
    p[2] = static_cast<unsigned char>(u >> 8);
    p[3] = static_cast<unsigned char>(u);
}

/* Store v as a big-endian IEEE single at p. */
static void put_be_float(unsigned char *p, float v)
{
    int32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_be32(p, bits);
}

/* iraf2_encode: h into the IRAF2_HDR_SIZE bytes at raw, numbers
 * big-endian, text fields as they are. */
static void iraf2_encode(const IMHDR2 *h, unsigned char *raw)
{
    std::memcpy(raw + I2_MAGIC, h->im_magic, sizeof h->im_magic);
    put_be32(raw + I2_HDRLEN, h->im_hdrlen);
    put_be32(raw + I2_PIXTYPE, h->im_pixtype);
    put_be32(raw + I2_SWAPPED, h->im_swapped);
    put_be32(raw + I2_NDIM, h->im_ndim);
    for (int k = 0; k < IRAF_MAX_DIM; k++) {
        put_be32(raw + I2_LEN + 4 * k, h->im_len[k]);
        put_be32(raw + I2_PHYSLEN + 4 * k, h->im_physlen[k]);
    }
    put_be32(raw + I2_SSMTYPE, h->im_ssmtype);
    put_be32(raw + I2_LUTOFF, h->im_lutoff);
    put_be32(raw + I2_PIXOFF, h->im_pixoff);
    put_be32(raw + I2_HGMOFF, h->im_hgmoff);
    put_be32(raw + I2_BLIST, h->im_blist);
    put_be32(raw + I2_SZBLIST, h->im_szblist);
    put_be32(raw + I2_NBPIX, h->im_nbpix);
    put_be32(raw + I2_CTIME, h->im_ctime);
    put_be32(raw + I2_MTIME, h->im_mtime);
    put_be32(raw + I2_LIMTIME, h->im_limtime);
    put_be_float(raw + I2_MAX, h->im_max);
    put_be_float(raw + I2_MIN, h->im_min);
    std::memcpy(raw + I2_PIXFILE, h->im_pixfile, sizeof h->im_pixfile);
    std::memcpy(raw + I2_HDRFILE, h->im_hdrfile, sizeof h->im_hdrfile);
    std::memcpy(raw + I2_TITLE, h->im_title, sizeof h->im_title);
    std::memcpy(raw + I2_HISTORY, h->im_history, sizeof h->im_history);
}

/* Start a version-2 header: a new record for a new image (names, offsets,
 * creation time, pixels in host order), or the existing record decoded
 * from raw for an update. */
static void start_iraf2(iraf_writer_struct *w, int update, const unsigned char *raw)
{
    IMHDR2 &ih2 = w->ih2;
    if (update) {
        IM_iraf2_decode(raw, &ih2);
    } else {
        std::memset(&ih2, 0, sizeof ih2);
        char name[IRAF2_PIXFILE_LEN];
        std::snprintf(name, sizeof name, "HDR$%.251s", base_name(f->pix_filename));
        text_to_field(ih2.im_pixfile, sizeof ih2.im_pixfile, name);
        text_to_field(ih2.im_hdrfile, sizeof ih2.im_hdrfile, base_name(f->hdr_filename));
        ih2.im_swapped = im_byteorder() == 0 ? 1 : 0;
        new_image_fields(ih2, w->time);
    }
    std::memset(ih2.im_history, 0, sizeof ih2.im_history);
    start_fields(&w->fld, 2, ih2.im_pixtype, ih2.im_nbpix, ih2.im_limtime);
}

/* Copy the fields the cards gave into w->ih2. */
static void finish_iraf2(iraf_writer_struct *w)
{
    finish_common(w->ih2, w->fld);
    text_to_field(w->ih2.im_title, sizeof w->ih2.im_title, w->fld.title);
}

/* Write a version-2 header started by start_iraf2: user area from byte
 * 2046 ended by a NUL and padded to an even size (the file ends there),
 * the record at byte 0, and at the start of the pixel file the fields up
 * to im_pixfile with "impv2", im_pixfile naming the header file.  Returns
 * 0; -4 the cards cannot be stored (put_iraf_cards); -2 a write failed.
 * Closes the header file. */
static int write_iraf2(iraf_writer_struct *w)
{
    IMHDR2 &ih2 = w->ih2;
    ih2.im_mtime = w->time;
    const int refused = put_iraf_cards(w, IRAF2_USER_AREA);
    unsigned char raw[IRAF2_HDR_SIZE];
    if (refused == 0) {
        finish_iraf2(w);
        off_t at = lseek(w->fd, 0, SEEK_CUR);
        const unsigned char end[2] = {0, 0};
        const size_t n_end = at >= 0 && at % 2 == 0 ? 2 : 1;
        if (at < 0 || IM_write_all(w->fd, end, n_end) < 0)
            io_failed(w, f->hdr_filename);
        at = lseek(w->fd, 0, SEEK_CUR);
        if (at < 0 || ftruncate(w->fd, at) != 0)
            io_failed(w, f->hdr_filename);
        ih2.im_hdrlen = clamp32(int64_t(at) / 2 + 1);
        std::memcpy(ih2.im_magic, "imhv2", IRAF2_MAGIC_LEN);
        iraf2_encode(&ih2, raw);
        if (IM_write_all_at(w->fd, raw, sizeof raw, 0) < 0)
            io_failed(w, f->hdr_filename);
    }
    if (close_header_file(w, refused) < 0)
        return refused;

    /* The header name, terminated within its field (an updated header may
     * have left it without a NUL). */
    char name[IRAF2_HDRFILE_LEN];
    std::memcpy(name, ih2.im_hdrfile, sizeof name);
    name[sizeof name - 1] = '\0';
    std::memcpy(ih2.im_magic, "impv2", IRAF2_MAGIC_LEN);
    text_to_field(ih2.im_pixfile, sizeof ih2.im_pixfile, name);
    iraf2_encode(&ih2, raw);
    if (f->unix_pix_fid <= 0 || IM_write_all_at(f->unix_pix_fid, raw, IRAF2_PIX_COPY, 0) < 0)
        io_failed(w, f->pix_filename);
    return io_result(w);
}

/* ---- The header ------------------------------------------------------- */

/* The header version for a new image: the environment variable oifversion
 * (IRAF's own name for this choice) set to 1 or 2, blanks around it
 * allowed.  Unset, empty or any other value gives 1, the version that
 * this library has always written and every reader takes. */
static int new_image_version(void)
{
    const char *text = std::getenv("oifversion");
    if (text == nullptr)
        return 1;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text)
        return 1;
    while (*end == ' ' || *end == '\t')
        end++;
    return *end == '\0' && v == 2 ? 2 : 1;
}

/* The version of an existing header whose first n bytes are raw: 1, 2, or
 * 0 when it is neither (or too short to be either). */
static int existing_version(const unsigned char *raw, ssize_t n)
{
    if (n >= IRAF2_HDR_SIZE && std::memcmp(raw, "imhv2", 5) == 0)
        return 2;
    if (n >= IRAF_HDR_SIZE) {
        char magic[12];
        std::memcpy(magic, raw, sizeof magic);
        IM_iraf_to_ascii(magic, 12);
        if (std::memcmp(magic, "imhdr", 6) == 0)
            return 1;
    }
    return 0;
}

/* open_new_header: create the header file of a new image into w->fd and
 * start the record of the version oifversion asks for (IM_MADE_HDR and
 * IM_WROTE_HDR marked; a temporary file beside an old header, hdr_temp,
 * that the close renames).  Returns the version, or -2 with the reason
 * recorded when the file cannot be created. */
static int open_new_header(iraf_writer_struct *w)
{
    int made = 0;
    w->fd = IM_create_file(f->hdr_filename, &made, f->hdr_temp, sizeof f->hdr_temp);
    if (w->fd < 0)
        return IM_fail(-2, "cannot create %s: %s", f->hdr_filename, IM_errno_words(errno));
    f->made_files |= made ? IM_MADE_HDR | IM_WROTE_HDR : IM_WROTE_HDR;
    const int version = new_image_version();
    if (version == 2)
        start_iraf2(w, 0, nullptr);
    else
        start_iraf1(w, 0);
    return version;
}

/* open_existing_header: open the header file of an updated image into
 * w->fd and start from its record, of the version it has; an unsigned
 * 16-bit image stays unsigned.  Returns the version, or -2 with the reason
 * recorded when the file cannot be opened or is of neither version (the
 * file is closed then). */
static int open_existing_header(iraf_writer_struct *w)
{
    w->fd = open(f->hdr_filename, O_RDWR);
    if (w->fd < 0)
        return IM_fail(-2, "%s: %s", f->hdr_filename, IM_errno_words(errno));
    unsigned char raw[IRAF2_HDR_SIZE];
    static_assert(IRAF2_HDR_SIZE >= IRAF_HDR_SIZE, "room for either version");
    const ssize_t n = pread(w->fd, raw, sizeof raw, 0);
    const int version = existing_version(raw, n);
    if (version == 0) {
        close(w->fd);
        w->fd = -1;
        return IM_fail(-2, "%s: no longer an IRAF header of version 1 or 2", f->hdr_filename);
    }
    if (version == 2) {
        start_iraf2(w, 1, raw);
    } else {
        std::memcpy(&w->ih, raw, sizeof w->ih);
        start_iraf1(w, 1);
    }
    w->keep_unsigned = w->fld.pixtype == Iraf_ushort;
    return version;
}

/* IM_write_iraf_hdr: the IRAF header of the current image: for a new image
 * (mode 2) a version-1 header, or version 2 when oifversion is 2; for an
 * update (mode 3) the version the header file has.  The .imh file (record,
 * user area, history) ends right after its user area; the record's copy
 * starts the .pix file.  0; -4 a card is refused, no BITPIX was given or
 * more than 7 axes (the cards can be mended); -2 the header file cannot be
 * created, opened or read, is of neither version, or a write failed.
 * Reasons recorded; marks a header file it made (IM_MADE_HDR).  The header
 * file is closed in every case.  The writer's state lives in one record
 * on the stack for this call. */
int im_internal::IM_write_iraf_hdr(void)
{
    iraf_writer_struct w;
    std::memset(&w, 0, sizeof w);
    w.time = get_iraf_time();
    w.fd = -1;
    w.fail_file = "";

    int version;
    if (f->mode == 2)
        version = open_new_header(&w);
    else if (f->mode == 3)
        version = open_existing_header(&w);
    else
        return IM_fail(-2, "the image is not open for writing");
    if (version < 0)
        return version;
    return version == 2 ? write_iraf2(&w) : write_iraf1(&w);
}

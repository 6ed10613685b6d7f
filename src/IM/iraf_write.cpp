/* iraf_write: the IRAF image header writer -- the card store turned into
 * the binary IMHDR record of the .imh file, its user area and history, and
 * the copy of the record at the start of the .pix file.
 * Invariants: the writer state (ih, the history index) is reset at the start
 * of every header; text fields are cut to their width; every write is
 * checked and a failure makes the writer return -2. */
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

/* IRAF header writer state, reset at the start of every IRAF header. */
static IMHDR ih;
static int32_t iraf_time = 0;  /* time stamp of the header being written */
static int iraf_hist_index = 0; /* next free byte of ih.im_history */
static int iraf_fd = -1;        /* the .imh file being written */
static int iraf_failed = 0;     /* a user-area record was not fully written */

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

/* The value text of a card (from column 11), empty for a shorter card. */
static const char *card_value(const char *text)
{
    return std::strlen(text) > 10 ? text + 10 : "";
}

/* An integer value as "%d" reads it, held to 32 bits; 0 when none. */
static int32_t card_int(const char *text)
{
    const long long v = std::strtoll(card_value(text), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

/* A single-precision value as "%f" reads it; 0 when none. */
static float card_float(const char *text)
{
    return std::strtof(card_value(text), nullptr);
}

/* One user-area record: the card blank padded to 80 columns and a newline,
 * as 81 16-bit characters, at the header file's current position. */
static void put_user_card(const char *text)
{
    char line[IM_CARD_LEN + 2];
    std::snprintf(line, sizeof line, "%-80.80s\n", text);
    unsigned char rec[IRAF_USER_CARD];
    ascii_to_iraf(rec, line, IRAF_USER_CARD);
    if (IM_write_all(iraf_fd, rec, sizeof rec) < 0)
        iraf_failed = 1;
}

/* put_iraf_history_card: append text as one history entry: its characters
 * and a newline as 16-bit characters in host order, then a NUL unit.
 * Returns 0 stored, -1 no room (the entry would pass byte 1023). */
static int put_iraf_history_card(const char *text)
{
    const int64_t len = int64_t(std::strlen(text));
    const int64_t need = 2 * (len + 1);
    if (iraf_hist_index + need > int64_t(sizeof ih.im_history) - 1)
        return -1;
    char *h = ih.im_history + iraf_hist_index;
    ascii_to_iraf(h, text, int(2 * len));
    ascii_to_iraf(h + 2 * len, "\n", 2);
    iraf_hist_index += int(need);
    ih.im_history[iraf_hist_index] = 0;
    ih.im_history[iraf_hist_index + 1] = 0;
    return 0;
}

/* A history entry, or a user-area record when the history area is full. */
static void put_history_or_user(const char *card_text, const char *entry)
{
    if (put_iraf_history_card(entry) < 0)
        put_user_card(card_text);
}

/* put_iraf_card: one card into ih (a field of its own, a history entry) or
 * the user area.  Returns 0 taken, -2 refused (BITPIX not 16, 32, -32,
 * -64; im_pixtype is then 0). */
static int put_iraf_card(const char *text)
{
    const size_t len = std::strlen(text);
    if (IM_key_is(text, "BITPIX  ")) {
        switch (card_int(text)) {
        case 16: ih.im_pixtype = 3; break;
        case 32: ih.im_pixtype = 5; break;
        case -32: ih.im_pixtype = 6; break;
        case -64: ih.im_pixtype = 7; break;
        default:
            ih.im_pixtype = 0;
            return -2;
        }
    } else if (IM_key_is(text, "BSCALE  ")) {
        ih.ct_bscale = card_float(text);
    } else if (IM_key_is(text, "BZERO   ")) {
        ih.ct_bzero = card_float(text);
        if (ih.ct_bscale == 0.0f)
            ih.ct_bscale = 1.0f;
    } else if (IM_key_is(text, "DATAMIN ")) {
        ih.im_min = card_float(text);
        ih.im_limtime = iraf_time;
    } else if (IM_key_is(text, "DATAMAX ")) {
        ih.im_max = card_float(text);
        ih.im_limtime = iraf_time;
    } else if (IM_key_is(text, "DATE    ") || IM_key_is(text, "ORIGIN  ")) {
        put_history_or_user(text, card_value(text));
    } else if (IM_key_is(text, "HISTORY ")) {
        put_history_or_user(text, len > 8 ? text + 8 : "");
    } else if (len >= 5 && std::strncmp(text, "NAXIS", 5) == 0
               && (len < 7 || text[6] == ' ')
               && (len < 6 || text[5] == ' ' || (text[5] >= '1' && text[5] <= '7'))) {
        if (len < 6 || text[5] == ' ') {
            ih.im_ndim = card_int(text);
        } else {
            const int k = text[5] - '1';
            ih.im_len[k] = card_int(text);
            ih.im_physlen[k] = ih.im_len[k];
        }
    } else if (IM_key_is(text, "NBLANKS ")) {
        ih.im_nbpix = card_int(text);
    } else if (IM_key_is(text, "OBJECT  ")) {
        /* From column 12 to the first quote found from column 13 on. */
        char title[IM_CARD_LEN + 1] = "";
        if (len > 11) {
            const char *end = len > 12 ? std::strchr(text + 12, '\'') : nullptr;
            const size_t n = end != nullptr ? size_t(end - (text + 11)) : len - 11;
            std::snprintf(title, sizeof title, "%.*s", int(n), text + 11);
        }
        ascii_to_iraf(ih.im_title, title, int(sizeof ih.im_title));
    } else {
        put_user_card(text);
    }
    return 0;
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

/* IM_write_iraf_hdr: the IRAF header: the .imh file (IMHDR, user area, history) and the first
 * 1024 bytes of IMHDR at the start of the .pix file.  The .imh file ends
 * right after the user area's closing NUL unit.  0, or -2: the header file
 * cannot be opened or read, a card is refused, no BITPIX was given, or a
 * write failed.  The header file is closed in every case. */
int IM_write_iraf_hdr(void)
{
    iraf_time = get_iraf_time();
    iraf_failed = 0;
    std::memset(&ih, 0, sizeof ih);

    if (f->mode == 2) {
        iraf_fd = open(f->hdr_filename, O_RDWR | O_CREAT | O_TRUNC, 0664);
        if (iraf_fd < 0)
            return -2;
        char name[IM_CARD_LEN + 1];
        std::snprintf(name, sizeof name, "%.80s", base_name(f->hdr_filename));
        ascii_to_iraf(ih.im_hdrfile, name, int(sizeof ih.im_hdrfile));
        std::snprintf(name, sizeof name, "HDR$%.76s", base_name(f->pix_filename));
        ascii_to_iraf(ih.im_pixfile, name, int(sizeof ih.im_pixfile));
        ih.im_ctime = iraf_time;
        ih.im_pixoff = 513;
        ih.im_hgmoff = clamp32(513 + int64_t(f->n_pixels) * f->bytes_per_pix / 2);
        ih.im_blist = clamp32(int64_t(ih.im_hgmoff) + 4096);
    } else if (f->mode == 3) {
        iraf_fd = open(f->hdr_filename, O_RDWR);
        if (iraf_fd < 0)
            return -2;
        if (pread(iraf_fd, &ih, sizeof ih, 0) != ssize_t(sizeof ih)) {
            close(iraf_fd);
            return -2;
        }
        /* The cards supply these again. */
        ih.ct_bzero = 0.0f;
        ih.ct_bscale = 0.0f;
        ih.im_min = 0.0f;
        ih.im_max = 0.0f;
        ih.im_ndim = 0;
        std::memset(ih.im_len, 0, sizeof ih.im_len);
        std::memset(ih.im_physlen, 0, sizeof ih.im_physlen);
        std::memset(ih.im_title, 0, sizeof ih.im_title);
        std::memset(ih.im_history, 0, sizeof ih.im_history);
    } else {
        return -2;
    }

    ih.im_mtime = iraf_time;
    iraf_hist_index = 0;
    int bad = lseek(iraf_fd, IRAF_USER_AREA, SEEK_SET) != IRAF_USER_AREA;
    for (const header_struct *h = f->first_header; h != nullptr && !bad; h = h->next)
        if (put_iraf_card(h->text) < 0)
            bad = 1;
    /* A header without a pixel type could not be read back. */
    if (ih.im_pixtype == 0)
        bad = 1;
    if (!bad) {
        const unsigned char end[2] = {0, 0};
        if (IM_write_all(iraf_fd, end, 2) < 0)
            iraf_failed = 1;
        const off_t at = lseek(iraf_fd, 0, SEEK_CUR);
        if (at < 0 || ftruncate(iraf_fd, at) != 0)
            iraf_failed = 1;
        ih.im_hdrlen = clamp32(int64_t(at) / 4);
        ascii_to_iraf(ih.im_magic, "imhdr", int(sizeof ih.im_magic));
        if (IM_write_all_at(iraf_fd, &ih, sizeof ih, 0) < 0)
            iraf_failed = 1;
    }
    if (close(iraf_fd) != 0)
        iraf_failed = 1;
    iraf_fd = -1;
    if (bad)
        return -2;

    ascii_to_iraf(ih.im_magic, "impix", int(sizeof ih.im_magic));
    if (f->unix_pix_fid <= 0 || IM_write_all_at(f->unix_pix_fid, &ih, IRAF_PIX_COPY, 0) < 0)
        iraf_failed = 1;
    return iraf_failed ? -2 : 0;
}

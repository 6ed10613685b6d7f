/* fits_ext: FITS image extensions -- the selector written after an image
 * name ("file.fits[1]", "[SCI]", "[SCI,2]"), the walk over the HDUs of a
 * file, and the extension's header loaded into the card store.
 * Invariants: every size read from a header is checked before it is
 * multiplied and every HDU position stays within 64 bits; nothing is read
 * past the end of the file; the card store receives the extension's cards
 * (less XTENSION, PCOUNT, GCOUNT and INHERIT, which describe the place in a
 * multi-HDU file) and, with INHERIT = T, the primary header's cards that
 * the extension lacks. */
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "im.h"

static const int FITS_RECORD = 2880;
static const int FITS_CARD = 80;
static const int FITS_CARDS = 36;
static const int MAX_AXES = 999;            /* NAXIS limit of the format */
static const size_t MAX_KEPT_CARDS = 100000; /* cards kept of one header */

/* What the scan of one HDU's header found. */
struct hdu_struct {
    int64_t data_start;        /* byte of the first data byte */
    int64_t data_bytes;        /* data bytes before padding; -1 unusable */
    char xtension[IM_CARD_LEN + 1]; /* XTENSION value, "" for the primary */
    char extname[IM_CARD_LEN + 1];  /* EXTNAME value, "" when absent */
    int64_t extver;            /* EXTVER, 1 when absent */
    int inherit;               /* INHERIT = T */
    int zimage;                /* ZIMAGE = T: a tile-compressed image */
};

/* ---- Selectors ------------------------------------------------------ */

/* IM_fits_selector: split a path that ends in "[...]" into the path before
 * the bracket (left in path) and the selector text between the brackets
 * (into sel, size bytes).  A path that names an existing file as it stands
 * is never split, so files whose names end in brackets still open.
 * Returns 1 split, 0 no selector (path unchanged), -2 a selector longer
 * than sel holds, -3 empty brackets. */
int im_internal::IM_fits_selector(char *path, char *sel, size_t size)
{
    size_t n = std::strlen(path);
    sel[0] = '\0';
    if (n < 3 || path[n - 1] != ']')
        return 0;
    char *open = std::strrchr(path, '[');
    if (open == nullptr || open == path)
        return 0;
    struct stat st;
    if (stat(path, &st) == 0)
        return 0;
    size_t len = static_cast<size_t>(path + n - 1 - (open + 1));
    if (len >= size)
        return -2;
    if (len == 0)
        return -3;
    std::memcpy(sel, open + 1, len);
    sel[len] = '\0';
    *open = '\0';
    return 1;
}

/* Parse selector text: a number (HDU index, 0 the primary), or a name with
 * an optional ",version".  Returns 0 with *index (-1 for a name), name
 * (upper case, size bytes) and *version (0: any); -1 malformed. */
static int parse_selector(const char *sel, int64_t *index, char *name, size_t size,
                          int64_t *version)
{
    *index = -1;
    *version = 0;
    name[0] = '\0';
    while (*sel == ' ')
        sel++;
    if (*sel == '\0')
        return -1;
    char *end = nullptr;
    if (std::isdigit(static_cast<unsigned char>(*sel))) {
        long long v = std::strtoll(sel, &end, 10);
        while (*end == ' ')
            end++;
        if (*end != '\0' || v < 0)
            return -1;
        *index = v;
        return 0;
    }
    const char *comma = std::strchr(sel, ',');
    size_t len = comma != nullptr ? static_cast<size_t>(comma - sel) : std::strlen(sel);
    while (len > 0 && sel[len - 1] == ' ')
        len--;
    if (len == 0 || len >= size)
        return -1;
    for (size_t i = 0; i < len; i++)
        name[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(sel[i])));
    name[len] = '\0';
    if (comma != nullptr) {
        long long v = std::strtoll(comma + 1, &end, 10);
        while (*end == ' ')
            end++;
        if (end == comma + 1 || *end != '\0' || v < 1)
            return -1;
        *version = v;
    }
    return 0;
}

/* ---- Header scanning ------------------------------------------------ */

/* 1 when the 80-byte card at src has keyword key (blank padded). */
static int card_is(const char *src, const char *key)
{
    size_t n = std::strlen(key);
    if (std::memcmp(src, key, n) != 0)
        return 0;
    for (size_t i = n; i < 8; i++)
        if (src[i] != ' ')
            return 0;
    return 1;
}

/* Integer value of an 80-byte card (from column 11); 0 with *ok clear when
 * there is none or it does not fit 64 bits. */
static int64_t card_integer(const char *src, int *ok)
{
    char v[FITS_CARD - 10 + 1];
    std::memcpy(v, src + 10, sizeof v - 1);
    v[sizeof v - 1] = '\0';
    char *end = nullptr;
    errno = 0;
    long long x = std::strtoll(v, &end, 10);
    *ok = end != v && errno == 0;
    return *ok ? x : 0;
}

/* Quoted string value of an 80-byte card, trailing blanks cut, upper case
 * when upper is set, into out (IM_CARD_LEN + 1 bytes); "" when none. */
static void card_string(const char *src, char *out, int upper)
{
    size_t k = 0;
    int i = 10;
    while (i < FITS_CARD && src[i] == ' ')
        i++;
    if (i < FITS_CARD && src[i] == '\'') {
        for (i++; i < FITS_CARD; i++) {
            if (src[i] == '\'') {
                if (i + 1 < FITS_CARD && src[i + 1] == '\'') {
                    i++;              /* a doubled quote stands for one */
                } else {
                    break;
                }
            }
            char c = src[i];
            out[k++] = upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        }
    }
    while (k > 0 && out[k - 1] == ' ')
        k--;
    out[k] = '\0';
}

/* Logical value T of an 80-byte card. */
static int card_true(const char *src)
{
    int i = 10;
    while (i < FITS_CARD && src[i] == ' ')
        i++;
    return i < FITS_CARD && src[i] == 'T';
}

/* Read the header that starts at byte start of fd up to its END card,
 * filling h and, when cards is not null, appending each 80-byte card.
 * Returns 0; -1 with a reason: the file ends before END, or the sizes
 * are unusable. */
static int scan_hdu(int fd, int64_t start, hdu_struct *h, std::vector<std::string> *cards)
{
    int64_t bitpix = 0, naxis = 0, pcount = 0, gcount = 1;
    int64_t len[MAX_AXES + 1] = {0};
    int groups = 0;
    h->xtension[0] = '\0';
    h->extname[0] = '\0';
    h->extver = 1;
    h->inherit = 0;
    h->zimage = 0;
    char record[FITS_RECORD];
    for (int64_t pos = start;; pos += FITS_RECORD) {
        ssize_t got = pread(fd, record, FITS_RECORD, static_cast<off_t>(pos));
        if (got != FITS_RECORD)
            return IM_fail(-1, "the HDU at byte %lld ends before its END card",
                           static_cast<long long>(start));
        for (int c = 0; c < FITS_CARDS; c++) {
            const char *src = record + c * FITS_CARD;
            int ok = 1;
            if (std::memcmp(src, "END     ", 8) == 0) {
                h->data_start = pos + FITS_RECORD;
                /* Data bytes: |BITPIX|/8 x GCOUNT x (PCOUNT + the product
                 * of the axes; random groups leave out NAXIS1 = 0). */
                if (naxis < 0 || naxis > MAX_AXES || pcount < 0 || gcount < 0 ||
                    (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != 64 &&
                     bitpix != -32 && bitpix != -64))
                    return IM_fail(-1, "the HDU at byte %lld has unusable BITPIX, NAXIS, "
                                   "PCOUNT or GCOUNT", static_cast<long long>(start));
                const int64_t limit = INT64_C(1) << 60;
                int64_t prod = naxis > 0 ? 1 : 0;
                for (int64_t i = (groups && len[1] == 0) ? 2 : 1; i <= naxis; i++) {
                    if (len[i] < 0 || (len[i] > 0 && prod > limit / len[i]))
                        return IM_fail(-1, "the HDU at byte %lld is too large",
                                       static_cast<long long>(start));
                    prod *= len[i];
                }
                int64_t units = prod + pcount;
                int64_t size = (bitpix < 0 ? -bitpix : bitpix) / 8;
                if (units > limit || (gcount > 0 && units > limit / gcount / size))
                    return IM_fail(-1, "the HDU at byte %lld is too large",
                                   static_cast<long long>(start));
                h->data_bytes = units * gcount * size;
                return 0;
            }
            if (cards != nullptr) {
                if (cards->size() >= MAX_KEPT_CARDS)
                    return IM_fail(-1, "the HDU at byte %lld has more than %d cards",
                                   static_cast<long long>(start),
                                   static_cast<int>(MAX_KEPT_CARDS));
                cards->emplace_back(src, FITS_CARD);
            }
            if (card_is(src, "XTENSION"))
                card_string(src, h->xtension, 1);
            else if (card_is(src, "BITPIX"))
                bitpix = card_integer(src, &ok);
            else if (card_is(src, "NAXIS"))
                naxis = card_integer(src, &ok);
            else if (std::memcmp(src, "NAXIS", 5) == 0 && std::isdigit(static_cast<unsigned char>(src[5]))) {
                char num[4] = {0};
                int k = 0;
                while (k < 3 && std::isdigit(static_cast<unsigned char>(src[5 + k]))) {
                    num[k] = src[5 + k];
                    k++;
                }
                int axis = std::atoi(num);
                if (axis >= 1 && axis <= MAX_AXES && (k == 3 || src[5 + k] == ' '))
                    len[axis] = card_integer(src, &ok);
            } else if (card_is(src, "PCOUNT"))
                pcount = card_integer(src, &ok);
            else if (card_is(src, "GCOUNT"))
                gcount = card_integer(src, &ok);
            else if (card_is(src, "GROUPS"))
                groups = card_true(src);
            else if (card_is(src, "EXTNAME"))
                card_string(src, h->extname, 1);
            else if (card_is(src, "EXTVER"))
                h->extver = card_integer(src, &ok);
            else if (card_is(src, "INHERIT"))
                h->inherit = card_true(src);
            else if (card_is(src, "ZIMAGE"))
                h->zimage = card_true(src);
            if (!ok)
                return IM_fail(-1, "the HDU at byte %lld has a card without a usable number: "
                               "%.8s", static_cast<long long>(start), src);
        }
    }
}

/* Start of the HDU after one whose data start at data_start and hold
 * data_bytes bytes (padded to whole records); -1 beyond 63 bits. */
static int64_t next_hdu(const hdu_struct *h)
{
    int64_t records = h->data_bytes / FITS_RECORD + (h->data_bytes % FITS_RECORD != 0);
    if (records > (INT64_MAX - h->data_start) / FITS_RECORD)
        return -1;
    return h->data_start + records * FITS_RECORD;
}

/* ---- Loading the extension ------------------------------------------ */

/* Keywords that describe a place in a multi-HDU file or the primary's own
 * data: they are neither copied from the extension nor inherited. */
static int structural(const std::string &card)
{
    static const char *const keys[] = {"SIMPLE", "XTENSION", "BITPIX", "NAXIS", "EXTEND",
                                       "PCOUNT", "GCOUNT", "GROUPS", "INHERIT", "BSCALE",
                                       "BZERO", "BLANK", "DATAMIN", "DATAMAX", "CHECKSUM",
                                       "DATASUM", "END"};
    for (const char *k : keys)
        if (card_is(card.c_str(), k))
            return 1;
    return std::strncmp(card.c_str(), "NAXIS", 5) == 0 &&
           std::isdigit(static_cast<unsigned char>(card[5]));
}

/* 1 when a keyword is not unique by nature (commentary cards). */
static int commentary(const std::string &card)
{
    return card_is(card.c_str(), "COMMENT") || card_is(card.c_str(), "HISTORY") ||
           card_is(card.c_str(), "");
}

/* Add one 80-byte card to the store, trimmed as the FITS reader trims;
 * number: its place in the extension, 0 for an inherited primary card. */
static int add_card(const std::string &card, int number)
{
    char text[IM_CARD_LEN + 1];
    IM_take_card(text, card.c_str());
    if (IM_card_add(text) < 0)
        return IM_card_fail(-1, number > 0 ? "FITS extension" : "inherited primary", text);
    return 0;
}

/* The selected extension's cards (less XTENSION, PCOUNT, GCOUNT, INHERIT)
 * and, with INHERIT = T, the primary's cards that the extension lacks. */
static int load_cards(const std::vector<std::string> &ext, const std::vector<std::string> &primary,
                      int inherit)
{
    for (size_t i = 0; i < ext.size(); i++) {
        const char *c = ext[i].c_str();
        if (card_is(c, "XTENSION") || card_is(c, "PCOUNT") || card_is(c, "GCOUNT") ||
            card_is(c, "INHERIT"))
            continue;
        if (add_card(ext[i], static_cast<int>(i) + 1) < 0)
            return -1;
    }
    if (!inherit)
        return 0;
    for (const std::string &p : primary) {
        if (structural(p))
            continue;
        bool present = false;
        if (!commentary(p))
            for (const std::string &e : ext)
                if (std::memcmp(e.c_str(), p.c_str(), 8) == 0) {
                    present = true;
                    break;
                }
        if (!present && add_card(p, 0) < 0)
            return -1;
    }
    return 0;
}

/* IM_get_fits_extension: find the HDU that sel names in the FITS file open
 * in unix_hdr_fid, and load its header into the card store of f.  Returns
 * 0 with io_offset at the extension's data, unix_pix_fid and pix_filename
 * set; 1 for index 0, the primary, which the caller reads as it reads an
 * image without a selector; -2 a malformed selector; -1 no such HDU, an
 * HDU that is not an image extension, or damaged headers.  Every failure leaves a reason (IM_fail). */
int im_internal::IM_get_fits_extension(const char *sel)
{
    int64_t index, version;
    char name[IM_CARD_LEN + 1];
    if (parse_selector(sel, &index, name, sizeof name, &version) < 0)
        return IM_fail(-2, "bad extension selector [%s] (write [2], [SCI] or [SCI,2])", sel);

    int fd = f->unix_hdr_fid;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return IM_fail(-1, "cannot look at the file's size");
    std::vector<std::string> primary, cards;
    hdu_struct h;
    if (scan_hdu(fd, 0, &h, &primary) < 0)
        return -1;
    if (index == 0)
        return 1;                 /* the primary: read as without a selector */

    int64_t pos = next_hdu(&h);
    int64_t number = 0;
    for (;;) {
        if (pos < 0 || pos >= static_cast<int64_t>(st.st_size))
            return IM_fail(-1, "no extension [%s] in the file (it has %lld)", sel,
                           static_cast<long long>(number));
        cards.clear();
        if (scan_hdu(fd, pos, &h, &cards) < 0)
            return -1;
        number++;
        if (h.xtension[0] == '\0')
            return IM_fail(-1, "HDU %lld has no XTENSION card", static_cast<long long>(number));
        if (index > 0 ? number == index
                      : (std::strcmp(h.extname, name) == 0 && (version == 0 || h.extver == version)))
            break;
        pos = next_hdu(&h);
    }

    if (std::strcmp(h.xtension, "IMAGE") != 0)
        return IM_fail(-1, "extension [%s] is a %s, not an image%s", sel, h.xtension,
                       h.zimage ? " (a tile-compressed image: uncompress it first, e.g. "
                                  "with funpack)"
                                : "");
    if (load_cards(cards, primary, h.inherit) < 0)
        return -1;
    f->io_offset = h.data_start;
    f->unix_pix_fid = fd;
    std::snprintf(f->pix_filename, IM_NAME_LEN, "%s", f->hdr_filename);
    f->magic = FID_MAGIC;
    return 0;
}

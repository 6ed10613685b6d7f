/* fits_write: the FITS header writer.
 * The card store becomes FITS records of 36 cards at the start of the
 * pixel file (or on standard output): SIMPLE, the layout cards, the other
 * cards, EXTEND and END.  One header is written completely before the next
 * begins; every write is checked and a failure makes the writer return -2. */
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "im.h"

/* Checksum cards describe the file they were read from; copied into a new
 * file they would be wrong, so FITS headers leave them out. */
static int fits_skipped(const char *text)
{
    return IM_key_is(text, "CHECKSUM") || IM_key_is(text, "DATASUM ");
}

/* IM_fits_cards: the number of cards of the current store that a FITS
 * header carries (all but CHECKSUM and DATASUM).  Reads f only. */
int im_internal::IM_fits_cards(void)
{
    int n = 0;
    for (const header_struct *h = f->first_header; h != nullptr; h = h->next)
        if (!fits_skipped(h->text))
            n++;
    return n;
}

/* IM_fits_hdr_bytes: the bytes of the FITS header that n_cards cards of
 * the store make: with SIMPLE, EXTEND and END added, whole records of 36
 * cards, ((n_cards + 38) / 36) records.  The space the first pixel write
 * reserves and the writer needs are both this. */
int64_t im_internal::IM_fits_hdr_bytes(int64_t n_cards)
{
    const int64_t cards = n_cards + 3;          /* SIMPLE, EXTEND, END */
    return int64_t(IM_FITS_RECORD) * ((cards + IM_FITS_CARDS - 1) / IM_FITS_CARDS);
}

/* The FITS header being written: cards accumulate in buff, 36 to a
 * record, and each full record goes to fd. */
struct fits_out_struct {
    char buff[IM_FITS_RECORD];
    int card;          /* byte position of the next card in buff */
    int fd;            /* the header's descriptor; 0: standard output */
    int failed;        /* a record was not fully written */
    int why;           /* errno of the first record that failed */
};

/* write_fits_card: add one card (blank padded or cut to 80 columns) to the
 * record buffer of o and write the record once it holds 36 cards; null
 * writes the partial record, blank filled.  A failed write sets o->failed. */
static void write_fits_card(fits_out_struct *o, const char *text)
{
    if (text != nullptr) {
        size_t n = 0;
        while (n < IM_CARD_LEN && text[n] != '\0')
            n++;
        std::memcpy(o->buff + o->card, text, n);
        std::memset(o->buff + o->card + n, ' ', IM_CARD_LEN - n);
        o->card += IM_CARD_LEN;
        if (o->card < int(sizeof o->buff))
            return;
    }
    if (o->card == 0)
        return;
    std::memset(o->buff + o->card, ' ', sizeof o->buff - size_t(o->card));
    o->card = 0;
    errno = 0;
    if (o->fd == 0) {
        if (std::fwrite(o->buff, 1, sizeof o->buff, stdout) != sizeof o->buff)
            o->failed = 1;
    } else if (IM_write_all(o->fd, o->buff, sizeof o->buff) < 0) {
        o->failed = 1;
    }
    if (o->failed && o->why == 0)
        o->why = errno != 0 ? errno : EIO;
}

/* Collect the first BITPIX, NAXIS and NAXIS1 .. NAXISn cards of the
 * store, in that order, into front.  Returns their count, or 0 when one of
 * them is missing (the store is then written in its own order). */
static int fits_front_cards(const header_struct **front)
{
    const int naxis = f->val_naxis[0];
    if (naxis < 0 || naxis > IM_MAX_AXES)
        return 0;
    char key[IM_MAX_AXES + 2][9];
    std::snprintf(key[0], sizeof key[0], "%-8s", "BITPIX");
    std::snprintf(key[1], sizeof key[1], "%-8s", "NAXIS");
    for (int k = 1; k <= naxis; k++)
        std::snprintf(key[k + 1], sizeof key[k + 1], "NAXIS%-3d", k);
    const int n = naxis + 2;
    for (int k = 0; k < n; k++) {
        front[k] = nullptr;
        for (const header_struct *h = f->first_header; h != nullptr; h = h->next)
            if (IM_key_is(h->text, key[k])) {
                front[k] = h;
                break;
            }
        if (front[k] == nullptr)
            return 0;
    }
    return n;
}

static int is_front_card(const header_struct *h, const header_struct *const *front, int n)
{
    for (int k = 0; k < n; k++)
        if (front[k] == h)
            return 1;
    return 0;
}

/* The FITS header: SIMPLE, BITPIX and the axis cards, the other cards in
 * store order with EXTEND after the first run of NAXIS cards (or last when
 * nothing follows that run), END.  EXTEND is always written, so the header
 * takes IM_fits_hdr_bytes, the space reserved at the first pixel write.  A header that needs fewer records than the file holds before its
 * pixels (cards deleted since, or an updated file whose header had spare
 * room) gets blank cards before END, so that END stays in the last record.
 * Returns 0; -4 it needs more records than there are (the cards can be
 * mended); -2 no pixel file, or a write failed (reasons recorded).
 * Works on f. */
int im_internal::IM_write_fits_hdr(void)
{
    static const char extend[] =
        "EXTEND  =                    T / TAPE MAY HAVE STANDARD FITS EXTENSIONS";
    const int64_t n_cards = int64_t(IM_fits_cards()) + 3; /* SIMPLE, EXTEND, END */
    const int64_t want = IM_fits_hdr_bytes(IM_fits_cards());
    if (f->unix_pix_fid < 0)
        return IM_fail(-2, "%s: the file is not open", f->pix_filename);
    if (want > f->io_offset)
        return IM_fail(-4, "the header needs %lld records of 2880 bytes but the file has %lld "
                       "before its pixels (remove %lld cards and close again)",
                       (long long)(want / IM_FITS_RECORD), (long long)(f->io_offset / IM_FITS_RECORD),
                       (long long)(n_cards - f->io_offset / IM_CARD_LEN));
    int64_t fill = (int64_t(f->io_offset) - want) / IM_CARD_LEN; /* whole records of blanks */
    fits_out_struct out;
    out.fd = f->unix_pix_fid;
    if (out.fd != 0 && lseek(out.fd, 0, SEEK_SET) != 0)
        return IM_fail(-2, "%s: %s", f->pix_filename, IM_errno_words(errno));
    out.failed = 0;
    out.why = 0;
    out.card = 0;

    write_fits_card(&out, "SIMPLE  =                    T");
    /* FITS readers need BITPIX, NAXIS and NAXIS1..n right after SIMPLE.
     * A store built in that order is written as it stands; when a caller
     * added cards among them, those cards are moved to the front. */
    const header_struct *front[2 + IM_MAX_AXES];
    const int n_front = fits_front_cards(front);
    for (int k = 0; k < n_front; k++)
        write_fits_card(&out, front[k]->text);
    int naxis_seen = n_front > 0 ? 1 : 0;
    int extend_done = 0;
    for (const header_struct *h = f->first_header; h != nullptr; h = h->next) {
        if (fits_skipped(h->text) || is_front_card(h, front, n_front))
            continue;
        if (std::strncmp(h->text, "NAXIS", 5) == 0) {
            naxis_seen++;
        } else if (naxis_seen > 0 && !extend_done) {
            write_fits_card(&out, extend);
            extend_done = 1;
        }
        write_fits_card(&out, h->text);
    }
    if (!extend_done)
        write_fits_card(&out, extend);
    for (; fill > 0; fill--)
        write_fits_card(&out, "");
    write_fits_card(&out, "END");
    write_fits_card(&out, nullptr);
    if (out.fd == 0 && std::fflush(stdout) != 0 && !out.failed) {
        out.failed = 1;
        out.why = errno != 0 ? errno : EIO;
    }
    if (out.failed)
        return IM_fail(-2, "%s: the header could not be written: %s",
                       out.fd == 0 ? "standard output" : f->pix_filename,
                       IM_errno_words(out.why));
    return 0;
}

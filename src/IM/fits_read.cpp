/* fits_read: the FITS header reader: 2880-byte records of 36 cards from
 * the header file (or standard input) into the card store, up to END.
 * Every read is bounded by its record; a card is cut as FITS readers cut
 * it (trailing blanks when column 80 is blank). */
#include <climits>
#include <cstdio>
#include <cstring>

#include "im.h"

/* Length of a FITS card at src (80 bytes): trailing blanks are cut when the
 * 80th byte is a blank. */
static int card_length(const char *src)
{
    int len = IM_CARD_LEN;
    if (src[IM_CARD_LEN - 1] == ' ')
        while (len > 0 && src[len - 1] == ' ')
            len--;
    return len;
}

/* IM_take_card: copy the 80-byte FITS card at src into card (81 bytes),
 * trailing blanks cut as the FITS readers cut them, and terminated. */
void im_internal::IM_take_card(char *card, const char *src)
{
    int len = card_length(src);
    std::memcpy(card, src, static_cast<size_t>(len));
    card[len] = '\0';
}

/* IM_fits_record_cards: add the cards of one FITS record (2880 bytes) to
 * the store, up to an END card.  *expect_simple (null: no check) set means
 * the first card of the header is still to come, and it must be SIMPLE = T
 * unless it is END.  Returns 1 END found: the pixels are in the header's
 * file (unix_pix_fid, pix_filename and magic of f set); 0 no END in the
 * record; -1 a first card not SIMPLE = T, or a card refused by the store
 * (reasons recorded, the card's with form). */
int im_internal::IM_fits_record_cards(const char *record, const char *form, int *expect_simple)
{
    for (int c = 0; c < IM_FITS_CARDS; c++) {
        const char *src = record + c * IM_CARD_LEN;
        if (std::memcmp(src, "END     ", 8) == 0) {
            f->unix_pix_fid = f->unix_hdr_fid;
            std::snprintf(f->pix_filename, IM_NAME_LEN, "%s", f->hdr_filename);
            f->magic = FID_MAGIC;
            return 1;
        }
        char card[IM_CARD_LEN + 1];
        IM_take_card(card, src);
        if (expect_simple != nullptr && *expect_simple) {
            *expect_simple = 0;
            if (std::memcmp(src, "SIMPLE ", 7) != 0 || src[29] != 'T')
                return IM_fail(-1, "not an image this library reads: taken for FITS, "
                               "but its first card is not SIMPLE = T");
        }
        if (IM_card_add(card) < 0)
            return IM_card_fail(-1, form, card);
    }
    return 0;
}

/* IM_get_fits_header: read FITS records from unix_hdr_fid (standard input
 * when it is 0) into the card store up to the END card.
 * Returns 0; -1 short record, first card not SIMPLE = T, a card refused by
 * the store, or a header too long for io_offset.  Sets io_offset to 2880 x
 * records read, unix_pix_fid, pix_filename and magic of f. */
int im_internal::IM_get_fits_header(void)
{
    char record[IM_FITS_RECORD];
    int expect_simple = 1;
    for (;;) {
        int got;
        if (f->unix_hdr_fid == 0)
            got = static_cast<int>(std::fread(record, 1, sizeof record, stdin));
        else
            got = IM_read_full(f->unix_hdr_fid, record, IM_FITS_RECORD);
        if (got < IM_FITS_RECORD)
            return IM_fail(-1, "not an image this library reads: taken for FITS, but it "
                           "ends before the END card of its header");
        if (f->io_offset > INT_MAX - IM_FITS_RECORD)
            return IM_fail(-1, "the FITS header is longer than 2 GiB");
        f->io_offset += IM_FITS_RECORD;
        const int end = IM_fits_record_cards(record, "FITS", &expect_simple);
        if (end != 0)
            return end > 0 ? 0 : end;
    }
}

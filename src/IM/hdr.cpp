/* hdr: copying the headers of old images into a new image.
 * Cards are read from each old image as the card reader gives them,
 * adjusted to its current window, each becoming its current card; they are
 * appended to the end of the new header, the current image, through the
 * card store's keyword rules.  History cards follow the "HISTORY *n"
 * convention: each copy step marks unmarked history. */
#include <cstdio>
#include <cstring>

#include "im.h"

/* Most old images one copy may combine. */
static const int MAX_OLD = 51;

static const char IMPORTED[] = "HISTORY *0 (imported)";

/* Append card to the end of the current image (the new one).  A card the
 * keyword rules refuse (a layout card that contradicts the new header's
 * own, an unusable value) is left out, as before; 0, or -2 when the new
 * header has no room for it (IM_MAX_CARDS reached or no memory), with the
 * reason recorded. */
static int append(const char *card)
{
    if (IM_card_append(card) < 0 && IM_card_full())
        return IM_card_fail(-2, "copied", card);
    return 0;
}

/* Read the first (first set) or the next card of old image p into card
 * (81 bytes), as im_rkey_t with "1" or "+" reads it: the card after p's
 * current card, window-adjusted, becomes current.  0, or -1 when there is
 * no such card. */
static int read_old(fid_struct *p, int first, char *card)
{
    header_struct *h = first ? p->first_header
                             : (p->cur_header != nullptr ? p->cur_header->next : nullptr);
    if (h == nullptr)
        return -1;
    p->cur_header = h;
    IM_card_seen(p, h, card);
    return 0;
}

/* 1 when card is a HISTORY card with a value column ("HISTORY "). */
static int is_history(const char *card)
{
    return std::strncmp(card, "HISTORY ", 8) == 0;
}

/* copy_history: append the HISTORY cards of image old_id to the end of
 * the current image, preceded by the imported marker when the first of
 * them is not marked "*", or the marker alone when there are none.
 * Returns 0, or -2 when the old header's first card cannot be read or the
 * new header has no room. */
static int copy_history(int old_id)
{
    fid_struct *old = IM_fid_of(old_id);
    char card[IM_CARD_LEN + 1];
    int seen = 0;
    if (old == nullptr || read_old(old, 1, card) < 0)
        return -2;
    do {
        if (!is_history(card))
            continue;
        if (!seen && card[8] != '*' && append(IMPORTED) < 0)
            return -2;
        seen = 1;
        if (append(card) < 0)
            return -2;
    } while (read_old(old, 0, card) >= 0);
    if (!seen)
        return append(IMPORTED);
    return 0;
}

/* im_hdr: copy into new_id the non-HISTORY cards of the first old image
 * (unless options begin with 'h'), then the HISTORY cards of every old
 * image in order (old_ids ends with 0), then im_history_line if set.
 * Returns 0; -1 more than 51 old handles or an empty first old header;
 * -2 options beginning with 'c', an unreadable later header, or a new
 * header without room for a card (IM_MAX_CARDS or no memory; reason for
 * im_errmsg); -3 new or first old handle not open.  Gives a new image of
 * unknown type the first old image's type.  Leaves f on the new image
 * once its handle is resolved. */
int im_hdr(int new_id, const int *old_ids, const char *options)
{
    IM_error_clear();
    if (options == nullptr)
        options = "";
    if (options[0] == 'c')
        return -2;
    if (IM_set_fid(new_id) < 0)
        return -3;
    fid_struct *out = f;
    int n_old = 0;
    if (old_ids != nullptr)
        while (old_ids[n_old] != 0 && n_old <= MAX_OLD)
            n_old++;

    /* A new image without a form takes the first old image's form. */
    if (out->file_type == Type_unknown && n_old > 0) {
        const fid_struct *first = IM_fid_of(old_ids[0]);
        if (first == nullptr)
            return -3;
        out->file_type = first->file_type;
    }
    if (n_old > MAX_OLD)
        return -1;

    /* The first image's cards other than history, in header order. */
    if (options[0] != 'h' && n_old > 0) {
        fid_struct *first = IM_fid_of(old_ids[0]);
        if (first == nullptr)
            return -3;
        char card[IM_CARD_LEN + 1];
        if (read_old(first, 1, card) < 0)
            return -1;
        do {
            if (!is_history(card) && append(card) < 0)
                return -2;
        } while (read_old(first, 0, card) >= 0);
    }

    /* Every image's history, each marked when it was not. */
    for (int i = 0; i < n_old; i++)
        if (copy_history(old_ids[i]) < 0)
            return -2;

    /* The caller's own history line for this step. */
    if (im_history_line != nullptr && im_history_line[0] != '\0') {
        char card[128];                /* the store cuts it at 80 columns */
        std::snprintf(card, sizeof card, "HISTORY *%d %.71s", n_old, im_history_line);
        if (append(card) < 0)
            return -2;
    }
    return 0;
}

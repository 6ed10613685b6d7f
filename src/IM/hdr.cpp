/* hdr: copying the headers of old images into a new image.
 * Cards are read through the public card reader, so they arrive adjusted
 * to each old image's current window, and are appended to the end of the
 * new header through the card store's keyword rules.  History cards follow
 * the "HISTORY *n" convention: each copy step marks unmarked history. */
#include <cstdio>
#include <cstring>

#include "im.h"

/* Most old images one copy may combine. */
static const int MAX_OLD = 51;

static const char IMPORTED[] = "HISTORY *0 (imported)";

/* Append card to the end of image new_id.  A card the keyword rules refuse
 * (a layout card that contradicts the new header's own, an unusable value)
 * is left out, as before; 0, or -2 when the new header has no room for it
 * (IM_MAX_CARDS reached or no memory), with the reason recorded. */
static int append(int new_id, const char *card)
{
    if (im_wkey_t(new_id, card, "end") < 0 && IM_card_full())
        return IM_card_fail(-2, "copied", card);
    return 0;
}

/* 1 when card is a HISTORY card with a value column ("HISTORY "). */
static int is_history(const char *card)
{
    return std::strncmp(card, "HISTORY ", 8) == 0;
}

/* copy_history: append the HISTORY cards of image old_id to the end of
 * image new_id, preceded by the imported marker when the first of them is
 * not marked "*", or the marker alone when there are none.
 * Returns 0, or -2 when the old header's first card cannot be read or the
 * new header has no room. */
static int copy_history(int new_id, int old_id)
{
    char card[IM_CARD_LEN + 1];
    int seen = 0;
    int rc = im_rkey_t(old_id, card, "1");
    if (rc < 0)
        return -2;
    for (; rc >= 0; rc = im_rkey_t(old_id, card, "+")) {
        if (!is_history(card))
            continue;
        if (!seen && card[8] != '*' && append(new_id, IMPORTED) < 0)
            return -2;
        seen = 1;
        if (append(new_id, card) < 0)
            return -2;
    }
    if (!seen)
        return append(new_id, IMPORTED);
    return 0;
}

/* im_hdr: copy into new_id the non-HISTORY cards of the first old image
 * (unless options begin with 'h'), then the HISTORY cards of every old
 * image in order (old_ids ends with 0), then im_history_line if set.
 * Returns 0; -1 more than 51 old handles or an empty first old header;
 * -2 options beginning with 'c', an unreadable later header, or a new
 * header without room for a card (IM_MAX_CARDS or no memory; reason for
 * im_errmsg); -3 new or first old handle not open; another negative result
 * of reading the first old header's first card unchanged.  Gives a new
 * image of unknown type the first old image's type.  Leaves f on the new
 * image. */
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
        if (IM_set_fid(old_ids[0]) < 0)
            return -3;
        out->file_type = f->file_type;
    }
    if (n_old > MAX_OLD)
        return -1;

    /* The first image's cards other than history, in header order. */
    if (options[0] != 'h' && n_old > 0) {
        char card[IM_CARD_LEN + 1];
        int rc = im_rkey_t(old_ids[0], card, "1");
        if (rc < 0)
            return rc;
        for (; rc >= 0; rc = im_rkey_t(old_ids[0], card, "+"))
            if (!is_history(card) && append(new_id, card) < 0)
                return -2;
    }

    /* Every image's history, each marked when it was not. */
    for (int i = 0; i < n_old; i++)
        if (copy_history(new_id, old_ids[i]) < 0)
            return -2;

    /* The caller's own history line for this step. */
    if (im_history_line != nullptr && im_history_line[0] != '\0') {
        char card[128];                /* the store cuts it at 80 columns */
        std::snprintf(card, sizeof card, "HISTORY *%d %.71s", n_old, im_history_line);
        if (append(new_id, card) < 0)
            return -2;
    }
    (void)IM_set_fid(new_id);
    return 0;
}

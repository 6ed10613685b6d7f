/* card: the header card store of the current descriptor f.
 * Cards are kept in file order in one doubly linked list; the current card
 * is shared by every caller.  BITPIX, NAXIS, NAXISn, BLANK, BSCALE and BZERO
 * are mirrored into f by kwd_special whenever such a card enters or leaves
 * the list, so the mirror always agrees with the cards; SIMPLE, END, EXTEND
 * and BLOCKED are never stored.  Nodes come 50 to a block; freed nodes are
 * reused last-in first-out before a new block is obtained. */
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "im.h"

/* Column (0-based) where a card's value starts; a value is empty when the
 * text ends at or before it. */
static const int VALUE_COL = 10;

/* Character of a card at 0-based column col, a blank past the text's end. */
static char card_col(const char *text, int col)
{
    for (int i = 0; i < col; i++)
        if (text[i] == '\0')
            return ' ';
    return text[col] == '\0' ? ' ' : text[col];
}

/* 1 when columns 1..8 of text hold exactly keyword padded with blanks
 * (a text shorter than 8 columns counts as blank-padded). */
static int kwd_is(const char *text, const char *keyword)
{
    size_t n = std::strlen(keyword);
    for (size_t i = 0; i < 8; i++) {
        char want = i < n ? keyword[i] : ' ';
        if (card_col(text, static_cast<int>(i)) != want)
            return 0;
    }
    return 1;
}

/* The value text of a card (column 11 on), or null when the value is empty. */
static const char *card_value(const char *text)
{
    if (std::strlen(text) <= static_cast<size_t>(VALUE_COL))
        return nullptr;
    return text + VALUE_COL;
}

/* Product of the axis lengths in table t (NAXIS = t[0] axes), or -1 when
 * it does not fit an int.  NAXIS 0 gives 1; an unknown (0) axis gives 0. */
static int64_t axis_product(const int *t)
{
    int64_t prod = 1;
    for (int i = 1; i <= t[0]; i++) {
        prod *= t[i];
        if (prod == 0)
            return 0;
        if (prod > INT_MAX)
            return -1;
    }
    return prod;
}

/* The NAXIS rule: axis number from column 6, new length from the value.
 * Returns 1 accepted, -2 refused (table and n_pixels unchanged). */
static int naxis_rule(const char *text)
{
    int axis = 0;
    char c = card_col(text, 5);
    if (c != ' ') {
        if (c < '0' || c > '9')
            return -2;
        axis = c - '0';
    }
    int len = 0;
    const char *v = card_value(text);
    if (v != nullptr && std::sscanf(v, "%d", &len) != 1)
        return -2;                     /* a length that is not a number */
    if (len < 0)
        return -2;
    if (axis == 0 && len > IM_MAX_AXES)
        return -2;                     /* the table holds NAXIS1..NAXIS9 */
    int t[IM_MAX_AXES + 1];
    std::memcpy(t, f->val_naxis, sizeof t);
    t[axis] = len;
    int64_t prod = axis_product(t);
    if (prod < 0)
        return -2;                     /* pixel count would overflow */
    std::memcpy(f->val_naxis, t, sizeof t);
    f->n_pixels = static_cast<int>(prod);
    return 1;
}

/* kwd_special: apply the keyword rules of the store to a card text.
 * Returns 1 ordinary card (mirror updated), 0 structural card (not to be
 * stored), -2 refused value (mirror unchanged). */
static int kwd_special(const char *text)
{
    const char *v = card_value(text);

    if (kwd_is(text, "SIMPLE") || kwd_is(text, "END") ||
        kwd_is(text, "EXTEND") || kwd_is(text, "BLOCKED"))
        return 0;

    if (kwd_is(text, "BITPIX")) {
        if (v == nullptr) {
            f->val_bitpix = 0;
            f->bytes_per_pix = 0;      /* no pixel size while BITPIX is empty */
            return 1;
        }
        int b = 0;
        if (std::sscanf(v, "%d", &b) != 1)
            return -2;
        int size = 0;
        switch (b) {
        case 8: size = 1; break;
        case 16: size = 2; break;
        case 32: size = 4; break;
        case -32: size = 4; break;
        case -64: size = 8; break;
        default: return -2;
        }
        f->val_bitpix = b;
        f->bytes_per_pix = size;
        return 1;
    }

    if (kwd_is(text, "BLANK")) {
        if (v == nullptr) {
            f->val_blank = 0;
            f->val_blank_flag = 0;
        } else {
            int b = 0;
            f->val_blank_flag = 1;
            if (std::sscanf(v, "%d", &b) == 1)
                f->val_blank = b;
        }
        return 1;
    }

    if (kwd_is(text, "BSCALE")) {
        double d = 1.0;
        if (v == nullptr)
            f->val_scale = 1.0;
        else if (std::sscanf(v, "%lg", &d) == 1)
            f->val_scale = d;
        return 1;
    }

    if (kwd_is(text, "BZERO")) {
        double d = 0.0;
        if (v == nullptr)
            f->val_offset = 0.0;
        else if (std::sscanf(v, "%lg", &d) == 1)
            f->val_offset = d;
        return 1;
    }

    if (std::strncmp(text, "NAXIS", 5) == 0 && card_col(text, 6) == ' ')
        return naxis_rule(text);

    return 1;
}

/* Copy at most 80 characters of card into dst (81 bytes), terminated. */
static void card_copy(char *dst, const char *card)
{
    std::snprintf(dst, IM_CARD_LEN + 1, "%s", card);
}

/* Withdraw the value of a card from the mirror: apply the rules to the
 * card cut after column 10.  The card text itself is not changed. */
static void card_withdraw(const char *text)
{
    char cut[IM_CARD_LEN + 1];
    card_copy(cut, text);
    if (std::strlen(cut) > static_cast<size_t>(VALUE_COL))
        cut[VALUE_COL] = '\0';
    (void)kwd_special(cut);
}

/* IM_card_add: add a card after the current card (in front of the first
 * card when there is none); it becomes current.  Returns 1 added, 0 a
 * structural card (not stored), -2 refused by the keyword rules, a null
 * card, or no memory for a new block (nothing changed then). */
int IM_card_add(const char *card)
{
    if (card == nullptr)
        return -2;

    /* Obtain a new block when the free list is empty. */
    if (f->free_header == nullptr) {
        hdr_blk_struct *b =
            static_cast<hdr_blk_struct *>(std::calloc(1, sizeof(hdr_blk_struct)));
        if (b == nullptr)
            return -2;
        b->next = f->header_blocks;
        f->header_blocks = b;
        for (int i = 0; i < IM_CARDS_PER_BLOCK - 1; i++)
            b->headers[i].next = &b->headers[i + 1];
        b->headers[IM_CARDS_PER_BLOCK - 1].next = nullptr;
        f->free_header = &b->headers[0];
    }

    /* Fill the head of the free list and apply the rules before linking. */
    header_struct *h = f->free_header;
    card_copy(h->text, card);
    int rc = kwd_special(h->text);
    if (rc <= 0)
        return rc;

    f->free_header = h->next;
    header_struct *after = f->cur_header;
    if (after == nullptr) {
        h->prev = nullptr;
        h->next = f->first_header;
        if (f->first_header != nullptr)
            f->first_header->prev = h;
        else
            f->last_header = h;
        f->first_header = h;
    } else {
        h->prev = after;
        h->next = after->next;
        if (after->next != nullptr)
            after->next->prev = h;
        else
            f->last_header = h;
        after->next = h;
    }
    f->cur_header = h;
    f->n_headers++;
    f->changed |= IM_CHANGED_CARDS;
    return 1;
}

/* IM_card_replace: replace the current card's text; it stays current.
 * Returns 1 replaced, -1 no current card, 0 structural or -2 refused card.
 * A refused card leaves the current card's text and mirrored value as
 * they were. */
int IM_card_replace(const char *card)
{
    header_struct *h = f->cur_header;
    if (h == nullptr)
        return -1;
    if (card == nullptr)
        return -2;

    char next[IM_CARD_LEN + 1];
    card_copy(next, card);
    int differs = std::strncmp(next, h->text, 8) != 0;

    /* A different keyword: its old value leaves the mirror first. */
    if (differs)
        card_withdraw(h->text);
    int rc = kwd_special(next);
    if (rc <= 0) {
        /* Refused: put the old card's value back; it was accepted before
         * and the table stands as it did then, so this succeeds. */
        if (differs)
            (void)kwd_special(h->text);
        return rc;
    }
    std::memcpy(h->text, next, sizeof next);
    f->changed |= IM_CHANGED_CARDS;
    return 1;
}

/* IM_card_delete: delete the current card; the following card (else the
 * preceding one, else none) becomes current.  Returns 1, or -1 with no
 * current card.  The card's value leaves the mirror. */
int IM_card_delete(void)
{
    header_struct *h = f->cur_header;
    if (h == nullptr)
        return -1;

    card_withdraw(h->text);
    f->cur_header = h->next != nullptr ? h->next : h->prev;

    if (h->prev != nullptr)
        h->prev->next = h->next;
    else
        f->first_header = h->next;
    if (h->next != nullptr)
        h->next->prev = h->prev;
    else
        f->last_header = h->prev;

    h->prev = nullptr;
    h->next = f->free_header;
    f->free_header = h;
    f->n_headers--;
    f->changed |= IM_CHANGED_CARDS;
    return 1;
}

/* IM_card_find: search the keyword from the card after the current one,
 * wrapping round once.  Returns 3 found after the start card, 1 found after
 * wrapping, 2 only the start card matches; -1 not found or empty header;
 * -2 keyword longer than 8 characters; 0 for a null keyword, which clears
 * the current card.  The match becomes the current card. */
int IM_card_find(const char *keyword)
{
    if (keyword == nullptr) {
        f->cur_header = nullptr;
        return 0;
    }
    size_t n = std::strlen(keyword);
    if (n > 8)
        return -2;
    char key[9];
    std::snprintf(key, sizeof key, "%-8s", keyword);

    header_struct *start = f->cur_header != nullptr ? f->cur_header : f->last_header;
    if (start == nullptr)
        return -1;

    int code = 3;
    header_struct *p = start->next;
    for (;;) {
        if (p == nullptr) {
            p = f->first_header;
            code = 1;
        }
        if (std::strlen(p->text) >= 8 && std::memcmp(p->text, key, 8) == 0) {
            f->cur_header = p;
            return p == start ? 2 : code;
        }
        if (p == start)
            return -1;
        p = p->next;
    }
}

/* kwd_isvalid: 0 when keyword (as a caller gives it) is NAXISn, CRPIXn,
 * CTYPEn, CROTAn or CRVALn with n above NAXIS; 1 otherwise. */
int kwd_isvalid(const char *keyword)
{
    static const char *const axis_kwds[] = {"NAXIS", "CRPIX", "CTYPE", "CROTA", "CRVAL"};
    if (keyword == nullptr)
        return 1;
    int listed = 0;
    for (const char *k : axis_kwds)
        if (std::strncmp(keyword, k, 5) == 0)
            listed = 1;
    if (!listed || keyword[5] == ' ' || keyword[5] == '\0')
        return 1;

    /* The number at the sixth character: optional sign, leading digits. */
    const char *s = keyword + 5;
    int neg = 0;
    if (*s == '+' || *s == '-') {
        neg = *s == '-';
        s++;
    }
    long n = 0;
    for (; *s >= '0' && *s <= '9'; s++)
        if (n < 1000000L)
            n = n * 10 + (*s - '0');
    if (neg)
        n = -n;
    return n > f->val_naxis[0] ? 0 : 1;
}

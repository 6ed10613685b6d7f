/* card: the header card store of the current descriptor f.
 * Cards are kept in file order in one doubly linked list; the current card
 * is shared by every caller.  BITPIX, NAXIS, NAXISn, BLANK, BSCALE and BZERO
 * are mirrored into f by kwd_special whenever such a card enters or leaves
 * the list, so the mirror always agrees with the cards; SIMPLE, END, EXTEND
 * and BLOCKED are never stored.  The list holds at most one card each of
 * BITPIX, NAXIS and NAXIS1..NAXIS9 (each with '=' in column 9 or 10), so the
 * pixel layout and every keyword read follow the same card; a card holds
 * no control characters (they become blanks), so every header form stores
 * it as one line.  At most IM_MAX_CARDS cards.  Nodes come 50 to a block;
 * freed nodes are reused last-in first-out before a new block is obtained. */
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

/* IM_key_is: 1 when the card's first 8 columns, blank padded, are the 8
 * characters key8 (a keyword padded with blanks); 0 otherwise. */
int im_internal::IM_key_is(const char *text, const char *key8)
{
    for (int i = 0; i < 8; i++) {
        const char c = text[0] == '\0' ? ' ' : *text++;
        if (c != key8[i])
            return 0;
    }
    return 1;
}

/* Why a card was refused: the rules report it through their why
 * argument, and an add or replace leaves it in the descriptor's
 * card_refusal for IM_card_fail and IM_card_full. */
enum refusal_enum {
    Refused_value = 0,         /* a value the keyword rules refuse */
    Refused_twice,             /* a structural keyword given again, other value */
    Refused_indicator,         /* a structural keyword without '=' */
    Refused_count,             /* IM_MAX_CARDS reached */
    Refused_memory             /* no memory for a new block */
};

/* 1 when a card names BITPIX, NAXIS or NAXIS1..NAXIS9: the keywords that
 * set the pixel layout. */
static int structural(const char *text)
{
    if (kwd_is(text, "BITPIX") || kwd_is(text, "NAXIS"))
        return 1;
    const char c = card_col(text, 5);
    return std::strncmp(text, "NAXIS", 5) == 0 && c >= '1' && c <= '9' && card_col(text, 6) == ' '
           && card_col(text, 7) == ' ';
}

/* The stored card other than skip whose columns 1..8 equal those of text,
 * or null. */
static header_struct *stored_twin(const char *text, const header_struct *skip)
{
    char key[9];
    for (int i = 0; i < 8; i++)
        key[i] = card_col(text, i);
    key[8] = '\0';
    for (header_struct *p = f->first_header; p != nullptr; p = p->next)
        if (p != skip && kwd_is(p->text, key))
            return p;
    return nullptr;
}

/* The value text of a card (column 11 on), or null when the value is empty
 * or blanks only: a card means the same whether a reader trimmed its
 * trailing blanks (FITS) or kept them (ZZ lines, IRAF user areas). */
static const char *card_value(const char *text)
{
    if (std::strlen(text) <= static_cast<size_t>(VALUE_COL))
        return nullptr;
    const char *v = text + VALUE_COL;
    if (v[std::strspn(v, " ")] == '\0')
        return nullptr;
    return v;
}

/* 1 when the value text v (not null) is an integer: blanks, an optional
 * sign, digits within an int, blanks, then its end or a '/' comment.  The
 * integer goes to *out. */
static int card_int(const char *v, int *out)
{
    while (*v == ' ')
        v++;
    const char *start = v;
    if (*v == '+' || *v == '-')
        v++;
    if (*v < '0' || *v > '9')
        return 0;
    long long n = 0;
    for (; *v >= '0' && *v <= '9'; v++) {
        n = n * 10 + (*v - '0');
        if (n > 2147483648LL)
            return 0;
    }
    if (*start == '-')
        n = -n;
    if (n > INT_MAX || n < INT_MIN)
        return 0;
    while (*v == ' ')
        v++;
    if (*v != '\0' && *v != '/')
        return 0;
    *out = static_cast<int>(n);
    return 1;
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
        if (c < '1' || c > '9')
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
 * stored), -2 refused value (mirror unchanged; *why says why when it is
 * not the value itself). */
static int kwd_special(const char *text, refusal_enum *why)
{
    const char *v = card_value(text);

    if (kwd_is(text, "SIMPLE") || kwd_is(text, "END") ||
        kwd_is(text, "EXTEND") || kwd_is(text, "BLOCKED"))
        return 0;

    /* A layout keyword is taken only with '=' in column 9 or 10, as the
     * ZZ reader needs it to keep the line as a card, so that every form
     * keeps every layout card that the store applied. */
    if (structural(text) && card_col(text, 8) != '=' && card_col(text, 9) != '=') {
        *why = Refused_indicator;
        return -2;
    }

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
            /* Only an integer is a blank code ('NONE', 1.5 or blanks
             * give none; the card is kept all the same). */
            int b = 0;
            f->val_blank_flag = card_int(v, &b);
            f->val_blank = f->val_blank_flag ? b : 0;
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

    /* NAXIS and NAXIS1..NAXIS9 (NAXIS0 is an ordinary card) */
    if (std::strncmp(text, "NAXIS", 5) == 0 && card_col(text, 6) == ' ' && card_col(text, 5) != '0')
        return naxis_rule(text);

    return 1;
}

/* Copy at most 80 characters of card into dst (81 bytes), terminated,
 * with each control character (a line break among them) made a blank. */
static void card_copy(char *dst, const char *card)
{
    std::snprintf(dst, IM_CARD_LEN + 1, "%s", card);
    for (char *p = dst; *p != '\0'; p++)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f)
            *p = ' ';
}

/* The layout and scaling mirror of f, saved to compare or restore around
 * a rule. */
struct layout_struct {
    int bitpix, bytes_per_pix, n_pixels;
    int naxis[IM_MAX_AXES + 1];
    int blank_flag, blank;
    double scale, offset;
};

static layout_struct layout_now(void)
{
    layout_struct l;
    l.bitpix = f->val_bitpix;
    l.bytes_per_pix = f->bytes_per_pix;
    l.n_pixels = f->n_pixels;
    std::memcpy(l.naxis, f->val_naxis, sizeof l.naxis);
    l.blank_flag = f->val_blank_flag;
    l.blank = f->val_blank;
    l.scale = f->val_scale;
    l.offset = f->val_offset;
    return l;
}

static void layout_restore(const layout_struct &l)
{
    f->val_bitpix = l.bitpix;
    f->bytes_per_pix = l.bytes_per_pix;
    f->n_pixels = l.n_pixels;
    std::memcpy(f->val_naxis, l.naxis, sizeof l.naxis);
    f->val_blank_flag = l.blank_flag;
    f->val_blank = l.blank;
    f->val_scale = l.scale;
    f->val_offset = l.offset;
}

/* 1 when a and b describe the same layout and the same scaling (compared
 * bit for bit, so that two NaN scales are the same). */
static int layout_same(const layout_struct &a, const layout_struct &b)
{
    return a.bitpix == b.bitpix && a.bytes_per_pix == b.bytes_per_pix &&
           a.n_pixels == b.n_pixels && std::memcmp(a.naxis, b.naxis, sizeof a.naxis) == 0 &&
           a.blank_flag == b.blank_flag && a.blank == b.blank &&
           std::memcmp(&a.scale, &b.scale, sizeof a.scale) == 0 &&
           std::memcmp(&a.offset, &b.offset, sizeof a.offset) == 0;
}

/* 1 for the cards whose value the pixels follow: BITPIX, NAXIS, NAXISn,
 * and BSCALE, BZERO and BLANK, which scale them and mark the blanks. */
static int pixel_rule(const char *text)
{
    return structural(text) || kwd_is(text, "BSCALE") || kwd_is(text, "BZERO") ||
           kwd_is(text, "BLANK");
}

/* A card text of the pixel rules whose keyword already has a card (other
 * than skip): 0 when a layout card gives the same value (it is not stored
 * again; a scaling or blank card of the same value is stored, 1), -2 when
 * it gives another (refused: the pixels would follow one card and keyword
 * reads find the other; *why is set).  The mirror is left as it was.  1
 * for any other card. */
static int repeated_layout(const char *text, const header_struct *skip, refusal_enum *why)
{
    if (!pixel_rule(text) || stored_twin(text, skip) == nullptr)
        return 1;
    const layout_struct before = layout_now();
    const int rc = kwd_special(text, why);
    const layout_struct after = layout_now();
    layout_restore(before);
    if (rc < 0)
        return rc;
    if (!layout_same(before, after)) {
        *why = Refused_twice;
        return -2;
    }
    return structural(text) ? 0 : 1;
}

/* Why the latest add or replace of the current image's store refused its
 * card (Refused_value without a current image). */
static refusal_enum latest_refusal(void)
{
    return f != nullptr ? static_cast<refusal_enum>(f->card_refusal) : Refused_value;
}

/* IM_card_full: 1 when the latest add or replace was refused for lack of
 * room (IM_MAX_CARDS reached or no memory), else 0.  Reads f only. */
int im_internal::IM_card_full(void)
{
    const refusal_enum why = latest_refusal();
    return why == Refused_count || why == Refused_memory;
}

/* IM_card_fail: record the reason why card (as given to the store) was
 * refused by the latest add or replace, for a header of the form named by
 * form ("FITS", "ZZ", ...), and return code. */
int im_internal::IM_card_fail(int code, const char *form, const char *card)
{
    char text[IM_CARD_LEN + 1];
    card_copy(text, card != nullptr ? card : "");
    int key_len = static_cast<int>(strnlen(text, 8));
    while (key_len > 0 && text[key_len - 1] == ' ')
        key_len--;
    switch (latest_refusal()) {
    case Refused_twice:
        return IM_fail(code, "%s card '%.30s' refused: %.*s is given twice with different "
                       "values", form, text, key_len, text);
    case Refused_indicator:
        return IM_fail(code, "%s card '%.30s' refused: a BITPIX or NAXIS card needs '=' in "
                       "column 9 or 10", form, text);
    case Refused_count:
        return IM_fail(code, "%s header refused: more than %d cards", form, IM_MAX_CARDS);
    case Refused_memory:
        return IM_fail(code, "%s header refused: no memory for its cards", form);
    case Refused_value:
    default:
        return IM_fail(code, "%s card '%.30s' has a value the library cannot use (BITPIX 8, "
                       "16, 32, -32 or -64; at most 9 axes and 2147483647 pixels)", form, text);
    }
}

/* Withdraw the value of a card from the mirror: apply the rules to the
 * card cut after column 10.  The card text itself is not changed. */
static void card_withdraw(const char *text)
{
    char cut[IM_CARD_LEN + 1];
    card_copy(cut, text);
    if (std::strlen(cut) > static_cast<size_t>(VALUE_COL))
        cut[VALUE_COL] = '\0';
    refusal_enum unused = Refused_value;   /* the card was taken before */
    (void)kwd_special(cut, &unused);
}

/* The steps of IM_card_add; *why says why a card was refused. */
static int card_add(const char *card, refusal_enum *why)
{
    if (card == nullptr)
        return -2;
    if (f->n_headers >= IM_MAX_CARDS) {
        *why = Refused_count;
        return -2;
    }

    /* Obtain a new block when the free list is empty. */
    if (f->free_header == nullptr) {
        hdr_blk_struct *b =
            static_cast<hdr_blk_struct *>(std::calloc(1, sizeof(hdr_blk_struct)));
        if (b == nullptr) {
            *why = Refused_memory;
            return -2;
        }
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
    int rc = repeated_layout(h->text, nullptr, why);
    if (rc <= 0)
        return rc;
    rc = kwd_special(h->text, why);
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

/* IM_card_add: add a card after the current card (in front of the first
 * card when there is none); it becomes current.  Returns 1 added, 0 a
 * structural card or the repeat of a layout card with the same value (not
 * stored), -2 refused by the keyword rules, a layout keyword given again
 * with another value, a null card, IM_MAX_CARDS reached, or no memory for
 * a new block (nothing changed then; IM_card_fail says which).  Leaves
 * the reason in f->card_refusal. */
int im_internal::IM_card_add(const char *card)
{
    refusal_enum why = Refused_value;
    const int rc = card_add(card, &why);
    f->card_refusal = why;
    return rc;
}

/* IM_card_append: add a card after the last card of the current image;
 * it becomes current.  Returns as IM_card_add. */
int im_internal::IM_card_append(const char *card)
{
    f->cur_header = f->last_header;
    return IM_card_add(card);
}

/* The steps of IM_card_replace; *why says why a card was refused. */
static int card_replace(const char *card, refusal_enum *why)
{
    header_struct *h = f->cur_header;
    if (h == nullptr)
        return -1;
    if (card == nullptr)
        return -2;

    char next[IM_CARD_LEN + 1];
    card_copy(next, card);
    int differs = std::strncmp(next, h->text, 8) != 0;
    int rc = repeated_layout(next, h, why);
    if (rc <= 0)
        return rc;

    /* A different keyword: its old value leaves the mirror first. */
    if (differs)
        card_withdraw(h->text);
    rc = kwd_special(next, why);
    if (rc <= 0) {
        /* Refused: put the old card's value back; it was accepted before
         * and the table stands as it did then, so this succeeds. */
        refusal_enum unused = Refused_value;
        if (differs)
            (void)kwd_special(h->text, &unused);
        return rc;
    }
    std::memcpy(h->text, next, sizeof next);
    f->changed |= IM_CHANGED_CARDS;
    return 1;
}

/* IM_card_replace: replace the current card's text; it stays current.
 * Returns 1 replaced, -1 no current card, 0 structural card or a layout
 * card whose keyword another card holds with the same value, -2 refused
 * card (also a layout keyword another card holds with another value).
 * A card not taken leaves the current card's text and mirrored value as
 * they were.  Leaves the reason of a refusal in f->card_refusal. */
int im_internal::IM_card_replace(const char *card)
{
    refusal_enum why = Refused_value;
    const int rc = card_replace(card, &why);
    f->card_refusal = why;
    return rc;
}

/* IM_card_delete: delete the current card; the following card (else the
 * preceding one, else none) becomes current.  Returns 1, or -1 with no
 * current card.  The card's value leaves the mirror. */
int im_internal::IM_card_delete(void)
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
int im_internal::IM_card_find(const char *keyword)
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
int im_internal::kwd_isvalid(const char *keyword)
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

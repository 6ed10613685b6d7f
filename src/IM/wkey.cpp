/* wkey: typed keyword writes and card editing on the current descriptor f.
 * A typed write formats its value into a buffer of its own, builds the
 * card "%-8.8s= %s" (at most 80 columns) and replaces the keyword's card in
 * place or adds it after the current card; every card passes through the
 * card store's keyword rules.  Not reentrant (f, the current card). */
#include <cmath>
#include <cstdio>
#include <cstring>

#include "im.h"

char *im_history_line = nullptr;

/* Room for any formatted value of a typed write (a card holds 70). */
static const int VALUE_TEXT_LEN = 120;

/* IM_format_real: format value as a 20-column card value into text (size
 * bytes): " %19.10G", and when that has no '.', the leading blank dropped
 * and a '.' appended, so an integral value still reads as a real. */
void im_internal::IM_format_real(char *out, size_t size, double value)
{
    if (out == nullptr || size == 0)
        return;
    std::snprintf(out, size, " %19.10G", value);
    if (std::strchr(out, '.') != nullptr)
        return;
    size_t n = std::strlen(out);
    if (n == 0)
        return;
    /* n < size: snprintf left room for the NUL, which the point reuses. */
    std::memmove(out, out + 1, n - 1);
    out[n - 1] = '.';
    out[n] = '\0';
}

/* IM_format_int: format value as a card value into out (size bytes):
 * right-justified in 20 columns, so that it ends in column 30. */
void im_internal::IM_format_int(char *out, size_t size, int value)
{
    if (out == nullptr || size == 0)
        return;
    std::snprintf(out, size, "%20d", value);
}

/* IM_format_string: format value as a card string into out (size bytes):
 * in quotes, cut to 68 characters and blank padded to 8. */
void im_internal::IM_format_string(char *out, size_t size, const char *value)
{
    if (out == nullptr || size == 0)
        return;
    std::snprintf(out, size, "'%-8.68s'", value != nullptr ? value : "");
}

/* IM_wkey_set: write the card "keyword= value" (value a formatted card
 * value, the card cut at 80 columns) on the current descriptor f: it
 * replaces the keyword's card, searched from the current card on, or is
 * added after the current card.  Returns 1 written, 0 structural keyword,
 * -2 refused or null argument.  The card written becomes the current card. */
int im_internal::IM_wkey_set(const char *keyword, const char *value)
{
    if (keyword == nullptr || value == nullptr)
        return -2;
    char card[IM_CARD_LEN + 1];                  /* columns 11..80 hold 70 */
    std::snprintf(card, sizeof card, "%-8.8s= %.70s", keyword, value);
    if (IM_card_find(keyword) > 0)
        return IM_card_replace(card);
    return IM_card_add(card);
}

/* set_kwd: write the card of keyword with the value text in text on image
 * id.  Returns as IM_wkey_set, and -3 handle not open.  Leaves f at the
 * descriptor of id (null when there is none). */
static int set_kwd(int id, const char *keyword, const char *text)
{
    if (keyword == nullptr)
        return -2;
    if (IM_set_fid(id) < 0)
        return -3;
    return IM_wkey_set(keyword, text);
}

/* im_wkey_i: write an integer keyword, right-justified to column 30.
 * Returns as set_kwd. */
int im_wkey_i(int id, int value, const char *keyword)
{
    char text[VALUE_TEXT_LEN];
    IM_format_int(text, sizeof text, value);
    return set_kwd(id, keyword, text);
}

/* im_wkey_r: write a real keyword (" %19.10G" with a decimal point).
 * Returns as set_kwd; -2 for a NaN or infinite value, which has no FITS
 * card form (the header would not be readable). */
int im_wkey_r(int id, double value, const char *keyword)
{
    char text[VALUE_TEXT_LEN];
    if (!std::isfinite(value))
        return -2;
    IM_format_real(text, sizeof text, value);
    return set_kwd(id, keyword, text);
}

/* im_wkey_d: write a double keyword; the same text as im_wkey_r.
 * Returns as im_wkey_r. */
int im_wkey_d(int id, double value, const char *keyword)
{
    return im_wkey_r(id, value, keyword);
}

/* im_wkey_c: write a string keyword in quotes from column 11, cut to 68
 * characters and padded to 8.  Returns as set_kwd; -2 for a null string. */
int im_wkey_c(int id, const char *value, const char *keyword)
{
    char text[VALUE_TEXT_LEN];
    if (value == nullptr)
        return -2;
    IM_format_string(text, sizeof text, value);
    return set_kwd(id, keyword, text);
}

/* im_wkey_l: write a logical keyword, T (value non-zero) or F in column 30.
 * Returns as set_kwd. */
int im_wkey_l(int id, int value, const char *keyword)
{
    char text[VALUE_TEXT_LEN];
    std::snprintf(text, sizeof text, "%19s%c", "", value != 0 ? 'T' : 'F');
    return set_kwd(id, keyword, text);
}

/* set_comment: replace the comment of the current card by comment, after
 * the value (at column 31 at the earliest), cut at column 80.
 * Returns 1, or -1 with no current card.  Bypasses the keyword rules:
 * only columns after the value change. */
static int set_comment(const char *comment)
{
    header_struct *h = f->cur_header;
    if (h == nullptr)
        return -1;
    char out[IM_CARD_LEN + 1];
    std::memcpy(out, h->text, sizeof out);
    int len = static_cast<int>(std::strlen(out));

    /* Find where the value ends: a '/' outside quotes, the end of the
     * text, or column 76 at the latest. */
    int i = len < 10 ? len : 10;
    int quoted = 0;
    for (; i < 75 && out[i] != '\0'; i++) {
        if (out[i] == '\'')
            quoted = !quoted;
        else if (out[i] == '/' && !quoted)
            break;
    }
    for (int k = i; k < 30; k++)
        out[k] = ' ';
    int p = i < 30 ? 30 : i;               /* 0-based column of the blank */
    out[p] = ' ';
    out[p + 1] = '/';
    out[p + 2] = ' ';
    std::snprintf(out + p + 3, sizeof out - static_cast<size_t>(p + 3), "%s", comment);
    std::memcpy(h->text, out, sizeof out);
    f->changed |= IM_CHANGED_CARDS;
    return 1;
}

/* im_wkey_t: edit the header card by card.  position "end" appends card,
 * "add" adds it after the current card, 'r' replaces the current card,
 * 'd' deletes it, "/" sets its comment to card.  Returns the card store's
 * result (1 done; 0, -1, -2 as there), 1 or -1 for a comment, -2 for an
 * unknown position or a null argument, -3 handle not open. */
int im_wkey_t(int id, const char *card, const char *position)
{
    if (position == nullptr || (card == nullptr && position[0] != 'd'))
        return -2;
    if (IM_set_fid(id) < 0)
        return -3;
    switch (position[0]) {
    case 'e':
        return IM_card_append(card);
    case 'a':
        return IM_card_add(card);
    case 'r':
        return IM_card_replace(card);
    case 'd':
        return IM_card_delete();
    case '/':
        return set_comment(card);
    default:
        return -2;
    }
}

/* rkey: typed keyword reads and card reading on the current descriptor f.
 * Values are reported as seen through the current window: NAXISn as the
 * window's length, CRPIXn shifted by its start; the stored cards keep the
 * whole-file values.  Every read leaves the current card on the card found.
 * Caller buffers for strings and cards hold 81 characters (80 + NUL). */
#include <cstdio>
#include <cstring>

#include "im.h"

/* Size of a value text: the card from column 11, at most 70 characters,
 * or an adjusted 20-column value. */
static const size_t VALUE_LEN = IM_CARD_LEN + 1;

/* Axis number 1..NAXIS of image p named by keyword after its 5-letter
 * base, or 0 when the sixth character is not a single digit 1..9 (NAXIS12
 * names no axis of the window) or the axis lies beyond NAXIS, where a
 * window has no geometry. */
static int window_axis(const fid_struct *p, const char *keyword)
{
    char c = keyword[5];
    if (c < '1' || c > '9')
        return 0;
    char d = keyword[6];
    if (d >= '0' && d <= '9')
        return 0;
    int axis = c - '0';
    if (axis > p->val_naxis[0] || axis > IM_MAX_AXES)
        return 0;
    return axis;
}

/* adjust_for_windows: rewrite value (size bytes) of keyword as seen through
 * the current window of image p: NAXISn becomes the window's take ("%20d"),
 * CRPIXn loses the window's skip in single precision (" %19.10G" with a
 * point).  Nothing with no window or window 0 current, or for other
 * keywords. */
static void adjust_for_windows(const fid_struct *p, const char *keyword, char *value,
                               size_t size)
{
    const window_struct *w = p->cur_window;
    if (w == nullptr || w == &p->windows[0])
        return;
    if (std::strncmp(keyword, "NAXIS", 5) == 0) {
        int axis = window_axis(p, keyword);
        if (axis > 0)
            std::snprintf(value, size, "%20d", w->naxis_take[axis]);
    } else if (std::strncmp(keyword, "CRPIX", 5) == 0) {
        int axis = window_axis(p, keyword);
        float pix = 0.0f;
        if (axis > 0 && std::sscanf(value, "%f", &pix) == 1) {
            pix -= static_cast<float>(w->naxis_skip[axis]);
            IM_format_real(value, size, pix);
        }
    }
}

/* find_kwd: search keyword and copy its card's value text (column 11 on)
 * into value (VALUE_LEN bytes).  Returns the search's code 3, 2 or 1;
 * -1 not found; -2 null or too long keyword; -4 axis keyword beyond NAXIS
 * (the card found stays current). */
static int find_kwd(const char *keyword, char *value)
{
    if (keyword == nullptr)
        return -2;
    int rc = IM_card_find(keyword);
    if (rc <= 0)
        return rc < 0 ? rc : -1;
    const char *t = f->cur_header->text;
    std::snprintf(value, VALUE_LEN, "%s", std::strlen(t) > 10 ? t + 10 : "");
    if (!kwd_isvalid(keyword))
        return -4;
    return rc;
}

/* value_text: the common start of the typed reads: resolve the handle,
 * find keyword and copy its value text into v (VALUE_LEN bytes), adjusted
 * for the current window when adjust is set.  Returns the search's code
 * (3, 2, 1), or -2 null value pointer or bad keyword, -3 handle not open,
 * -1 not found, -4 axis beyond NAXIS.  Sets f; moves the current card. */
static int value_text(int id, const void *value, const char *keyword, char *v, bool adjust)
{
    if (value == nullptr)
        return -2;
    if (IM_set_fid(id) < 0)
        return -3;
    int rc = find_kwd(keyword, v);
    if (rc >= 0 && adjust)
        adjust_for_windows(f, keyword, v, VALUE_LEN);
    return rc;
}

/* im_rkey_i: read an integer keyword, window-adjusted.  "npix" gives the
 * current window's pixel count, "filetype" the file type (result 0).
 * Returns 3, 2, 1 found; 0 computed key; -1 not found; -2 null pointer or
 * bad keyword; -3 handle not open; -4 invalid axis or not an integer. */
int im_rkey_i(int id, int *value, const char *keyword)
{
    if (value == nullptr || keyword == nullptr)
        return -2;
    if (IM_set_fid(id) < 0)
        return -3;
    if (std::strncmp(keyword, "npix", 4) == 0) {
        window_struct *w = f->cur_window;
        if (w == nullptr)
            *value = f->n_pixels;
        else if (f->bytes_per_pix <= 0 || w->total_bytes <= 0)
            *value = 0;                /* no pixel size (BITPIX empty) */
        else
            *value = static_cast<int>(w->total_bytes / f->bytes_per_pix);
        return 0;
    }
    if (std::strncmp(keyword, "filetype", 8) == 0) {
        *value = static_cast<int>(f->file_type);
        return 0;
    }
    char v[VALUE_LEN];
    int rc = value_text(id, value, keyword, v, true);
    if (rc < 0)
        return rc;
    int n = 0;
    if (std::sscanf(v, "%d", &n) != 1)
        return -4;
    *value = n;
    return rc;
}

/* im_rkey_r: read a float keyword, window-adjusted.  Returns as im_rkey_i
 * (no computed keys). */
int im_rkey_r(int id, float *value, const char *keyword)
{
    char v[VALUE_LEN];
    int rc = value_text(id, value, keyword, v, true);
    if (rc < 0)
        return rc;
    float x = 0.0f;
    if (std::sscanf(v, "%f", &x) != 1)
        return -4;
    *value = x;
    return rc;
}

/* im_rkey_d: read a double keyword, window-adjusted.  Returns as
 * im_rkey_r. */
int im_rkey_d(int id, double *value, const char *keyword)
{
    char v[VALUE_LEN];
    int rc = value_text(id, value, keyword, v, true);
    if (rc < 0)
        return rc;
    double x = 0.0;
    if (std::sscanf(v, "%lf", &x) != 1)
        return -4;
    *value = x;
    return rc;
}

/* im_rkey_l: read a logical keyword: 1 when column 30 holds 'T', else 0.
 * Returns 3, 2, 1 found; -1, -2, -3, -4 as im_rkey_r. */
int im_rkey_l(int id, int *value, const char *keyword)
{
    char v[VALUE_LEN];
    int rc = value_text(id, value, keyword, v, false);
    if (rc < 0)
        return rc;
    *value = (std::strlen(v) >= 20 && v[19] == 'T') ? 1 : 0;
    return rc;
}

/* im_rkey_c: read a string keyword: the text between the quote in column
 * 11 and the next quote, into value (81 bytes).  Returns 3, 2, 1 found;
 * -1 not found or no quotes; -2, -3, -4 as im_rkey_r. */
int im_rkey_c(int id, char *value, const char *keyword)
{
    char v[VALUE_LEN];
    int rc = value_text(id, value, keyword, v, false);
    if (rc < 0)
        return rc;
    if (v[0] != '\'')
        return -1;
    const char *end = std::strchr(v + 1, '\'');
    if (end == nullptr)
        return -1;
    int n = static_cast<int>(end - (v + 1));
    std::snprintf(value, IM_CARD_LEN + 1, "%.*s", n, v + 1);
    return rc;
}

/* get_comment: copy the comment of the current card (after a '/' outside
 * quotes, found before column 78) into buffer.  Returns 2, or -1 with no
 * current card or no comment.  The current card does not move. */
static int get_comment(char *buffer)
{
    header_struct *h = f->cur_header;
    if (h == nullptr)
        return -1;
    const char *t = h->text;
    int len = static_cast<int>(std::strlen(t));
    int quoted = 0;
    for (int i = 10; i < 77 && i < len; i++) {
        if (t[i] == '\'') {
            quoted = !quoted;
        } else if (t[i] == '/' && !quoted) {
            std::snprintf(buffer, IM_CARD_LEN + 1, "%s", t + i + 1);
            return 2;
        }
    }
    return -1;
}

/* IM_card_seen: copy card h of image p into buffer (81 bytes), its value
 * as seen through p's current window.  Moves no current card; leaves f
 * alone. */
void im_internal::IM_card_seen(const fid_struct *p, const header_struct *h, char *buffer)
{
    std::snprintf(buffer, IM_CARD_LEN + 1, "%s", h->text);
    if (std::strlen(buffer) >= 10)
        adjust_for_windows(p, buffer, buffer + 10, IM_CARD_LEN + 1 - 10);
}

/* im_rkey_t: read a whole card into buffer (81 bytes).  key "1" first
 * card, "+" next, "-" previous, "=" current, "" last, "/" the current
 * card's comment, else a keyword search.  The card read becomes current and
 * its value is window-adjusted.  Returns 3, 2, 1 (see the keyword reads);
 * -1 no such card, no comment, or keyword not found or too long; -2 null
 * argument; -3 handle not open; -4 key names an axis beyond NAXIS. */
int im_rkey_t(int id, char *buffer, const char *key)
{
    if (buffer == nullptr || key == nullptr)
        return -2;
    if (IM_set_fid(id) < 0)
        return -3;

    header_struct *cur = f->cur_header;
    header_struct *h = nullptr;
    int rc = -1;
    switch (key[0]) {
    case '1':
        h = f->first_header;
        rc = (h != nullptr && h == cur) ? 2 : 1;
        break;
    case '+':
        h = cur != nullptr ? cur->next : nullptr;
        rc = 3;
        break;
    case '-':
        h = cur != nullptr ? cur->prev : nullptr;
        rc = 1;
        break;
    case '=':
        h = cur;
        rc = 2;
        break;
    case '\0':
        h = f->last_header;
        rc = (h != nullptr && h == cur) ? 2 : 3;
        break;
    case '/':
        return get_comment(buffer);
    default:
        rc = IM_card_find(key);
        if (rc <= 0)
            return -1;
        h = f->cur_header;
        break;
    }
    if (h == nullptr)
        return -1;

    f->cur_header = h;
    if (!kwd_isvalid(key)) {
        std::snprintf(buffer, IM_CARD_LEN + 1, "%s", h->text);
        return -4;
    }
    IM_card_seen(f, h, buffer);
    return rc;
}

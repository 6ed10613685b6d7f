/* window: box-shaped windows over an image's pixel array, their byte
 * positions, and the one walk that moves both cursors through them.
 * Invariants: after a window is built, 0 <= skip <= NAXISi and
 * 0 <= take <= NAXISi - skip on every axis; byte positions are 64-bit and
 * relative to io_offset; a walk never moves more than the window holds and
 * never moves anything over a window with empty lines. */
#include <climits>
#include <cstdio>
#include <cstring>

#include "im.h"

/* Largest request one walk moves: fits the int result and is a whole
 * number of pixels of every size (1, 2, 4, 8). */
static const int64_t walk_max = 2147483640;

/* Largest byte extent accepted for an image; keeps every position sum
 * (extent + io_offset + one line) far from overflowing. */
static const int64_t extent_max = INT64_MAX / 4;

/* NAXIS of the current descriptor, held to the axes the arrays can take. */
static int naxis_now(void)
{
    int n = f->val_naxis[0];
    if (n < 0)
        return 0;
    return n > IM_MAX_AXES ? IM_MAX_AXES : n;
}

/* Length of axis i of the current descriptor; a negative length counts 0. */
static int axis_len(int i)
{
    return f->val_naxis[i] < 0 ? 0 : f->val_naxis[i];
}

/* Bytes of one stored line (axis 1 plus its padding). */
static int64_t stored_line_bytes(void)
{
    int64_t pad = f->line_skip_pix < 0 ? 0 : f->line_skip_pix;
    return (static_cast<int64_t>(axis_len(1)) + pad) * f->bytes_per_pix;
}

/* 1 when the whole pixel array of the current descriptor (stored lines
 * times NAXIS2 .. NAXISn) stays below extent_max, 0 otherwise. */
static int extent_ok(void)
{
    int64_t d = stored_line_bytes();
    for (int i = 2; i <= naxis_now(); i++)
        if (__builtin_mul_overflow(d, static_cast<int64_t>(axis_len(i)), &d) || d > extent_max)
            return 0;
    return d <= extent_max;
}

/* Byte geometry of window w from its skips and takes (steps 5 of a
 * definition): start, line, skip and total bytes.  An image whose byte
 * extent cannot be represented gets an empty window. */
static void window_bytes(window_struct *w)
{
    int naxis = naxis_now();
    int64_t b = f->bytes_per_pix;
    int64_t line = stored_line_bytes();
    if (!extent_ok()) {
        w->start_byte = 0;
        w->line_bytes = 0;
        w->skip_bytes = 0;
        w->total_bytes = 0;
        return;
    }
    int take1 = naxis >= 1 ? w->naxis_take[1] : 0;
    int skip1 = naxis >= 1 ? w->naxis_skip[1] : 0;
    w->line_bytes = take1 * b;
    w->skip_bytes = line - take1 * b;
    w->start_byte = skip1 * b;
    w->total_bytes = take1 * b;
    int64_t d = line;
    for (int i = 2; i <= naxis; i++) {
        w->start_byte += d * w->naxis_skip[i];
        w->total_bytes *= w->naxis_take[i];
        d *= axis_len(i);
    }
}

/* Rewind one cursor of window w (read or write fields given by reference). */
static int rewind_cursor(window_struct *w, int64_t &cur, int64_t &total_left,
                         int64_t &line_left, int *left)
{
    cur = w->start_byte;
    total_left = w->total_bytes;
    line_left = w->line_bytes;
    for (int i = 2; i < naxis_now(); i++)
        left[i] = w->naxis_take[i];
    if (f->bytes_per_pix <= 0 || w->total_bytes <= 0)
        return 0;
    return static_cast<int>(w->total_bytes / f->bytes_per_pix);
}

/* IM_r_rewind: put window w's read cursor back to the window's start.
 * Returns the window's pixel count (0 while there is no pixel size), or -2
 * when w is null.  Acts on the current descriptor f. */
int im_internal::IM_r_rewind(window_struct *w)
{
    if (w == nullptr)
        return -2;
    return rewind_cursor(w, w->cur_byte_read, w->total_bytes_left_to_read,
                         w->line_bytes_left_to_read, w->left_to_read);
}

/* IM_w_rewind: put window w's write cursor back to the window's start.
 * With no current window yet, window 0 is built first and a null w means
 * that new window.  Returns the window's pixel count (0 while there is no
 * pixel size), or -2 when w is null and a window already existed. */
int im_internal::IM_w_rewind(window_struct *w)
{
    if (f->cur_window == nullptr) {
        IM_init_w();
        if (w == nullptr)
            w = f->cur_window;
    }
    if (w == nullptr)
        return -2;
    return rewind_cursor(w, w->cur_byte_write, w->total_bytes_left_to_write,
                         w->line_bytes_left_to_write, w->left_to_write);
}

/* IM_init_w: build window 0 over the whole image from the current BITPIX
 * and NAXISn, make it current and rewind both its cursors.  Acts on f. */
void im_internal::IM_init_w(void)
{
    window_struct *w = &f->windows[0];
    std::memset(w, 0, sizeof *w);
    f->cur_window = w;
    for (int i = 1; i <= naxis_now(); i++)
        w->naxis_take[i] = axis_len(i);
    window_bytes(w);
    IM_r_rewind(w);
    IM_w_rewind(w);
}

/* IM_define_window: define window 1..4 of the current image from takes
 * and skips, the skips relative to the current window, clipped to the full
 * image; both cursors rewound.  Returns 0, or -2 window number outside
 * 1..4 or a null array.  Builds window 0 first when f has no current
 * window. */
int im_internal::IM_define_window(int window, const int *takes, const int *skips)
{
    if (f->cur_window == nullptr)
        IM_init_w();
    if (window < 1 || window >= IM_N_WINDOWS || takes == nullptr)
        return -2;
    int given = takes[0] < 0 ? 0 : takes[0];
    if (given > IM_MAX_AXES)
        given = IM_MAX_AXES;
    if (given > 0 && skips == nullptr)
        return -2;

    window_struct *c = f->cur_window;
    window_struct nw;
    std::memset(&nw, 0, sizeof nw);
    int naxis = naxis_now();
    int last = given > naxis ? given : naxis;
    for (int i = 1; i <= last; i++) {
        if (i <= given) {
            /* 64-bit sum: a skip near INT_MAX plus the current skip */
            int64_t s = static_cast<int64_t>(skips[i]) + c->naxis_skip[i];
            nw.naxis_skip[i] = s > INT_MAX ? INT_MAX : (s < INT_MIN ? INT_MIN : static_cast<int>(s));
            nw.naxis_take[i] = takes[i];
        } else {
            nw.naxis_skip[i] = c->naxis_skip[i];
            nw.naxis_take[i] = c->naxis_take[i];
        }
    }
    /* Clip every image axis against the full image, not the current window. */
    for (int i = 1; i <= naxis; i++) {
        int64_t skip = nw.naxis_skip[i];
        int64_t take = nw.naxis_take[i];
        int64_t len = axis_len(i);
        if (skip < 0) {
            take += skip;
            skip = 0;
        } else if (skip >= len) {
            skip = len;
        }
        if (take < 0)
            take = 0;
        if (skip + take > len)
            take = len - skip;
        nw.naxis_skip[i] = static_cast<int>(skip);
        nw.naxis_take[i] = static_cast<int>(take);
    }
    window_bytes(&nw);
    window_struct *w = &f->windows[window];
    *w = nw;
    IM_r_rewind(w);
    IM_w_rewind(w);
    return 0;
}

/* im_dwin: define window 1..4 of image id (IM_define_window).  Returns 0;
 * -3 handle not open; -2 window number outside 1..4 or a null array.
 * Leaves f set. */
int im_dwin(int id, int window, const int *takes, const int *skips)
{
    if (IM_set_fid(id) < 0)
        return -3;
    return IM_define_window(window, takes, skips);
}

/* IM_select_window: make window 0..4 of the current image its current
 * window, cursors left where they stood.  Returns 0, or -2 window outside
 * 0..4 or not defined.  Builds window 0 first when f has no current
 * window. */
int im_internal::IM_select_window(int window)
{
    if (f->cur_window == nullptr)
        IM_init_w();
    if (window < 0 || window >= IM_N_WINDOWS || f->windows[window].total_bytes < 0)
        return -2;
    f->cur_window = &f->windows[window];
    return 0;
}

/* im_swin: make window 0..4 of image id current (IM_select_window).
 * Returns 0; -3 handle not open; -2 window outside 0..4 or not defined. */
int im_swin(int id, int window)
{
    if (IM_set_fid(id) < 0)
        return -3;
    return IM_select_window(window);
}

/* The jump of the cursor at the end of a window line: over the stored
 * line's bytes outside the window, then over the part of each higher axis
 * outside the window whose extent inside the enclosing block is done.
 * Counts the line off in left (per-axis counters, as the cursor's).
 * Returns 0 with *jump set, or -2 when the byte count overflows. */
static int end_of_line(const window_struct *w, int *left, int naxis, int64_t stored_line,
                       int64_t *jump)
{
    int64_t j = w->skip_bytes;
    left[2] -= 1;
    int64_t step = stored_line;
    for (int i = 2; i < naxis && left[i] == 0; i++) {
        int64_t over;
        if (__builtin_mul_overflow(static_cast<int64_t>(axis_len(i) - w->naxis_take[i]), step, &over)
            || __builtin_add_overflow(j, over, &j))
            return -2;
        left[i] = w->naxis_take[i];
        left[i + 1] -= 1;
        if (__builtin_mul_overflow(step, static_cast<int64_t>(axis_len(i)), &step))
            return -2;
    }
    *jump = j;
    return 0;
}

/* The bytes from the cursor that lie in one run of the file, at most
 * limit: the rest of the current line (line_left), and the lines after it
 * as long as each one starts where the one before ends (no padding, no
 * skipped pixels or lines between them). */
static int64_t contiguous_run(const window_struct *w, const int *left, int naxis,
                              int64_t stored_line, int64_t line_left, int64_t limit)
{
    if (limit <= line_left || w->skip_bytes != 0)
        return limit < line_left ? limit : line_left;
    int counters[IM_MAX_AXES + 1];
    std::memcpy(counters, left, sizeof counters);
    int64_t run = line_left;
    while (run < limit) {
        int64_t jump = 0;
        if (end_of_line(w, counters, naxis, stored_line, &jump) < 0 || jump != 0)
            break;
        run += limit - run < w->line_bytes ? limit - run : w->line_bytes;
    }
    return run;
}

/* IM_walk: move up to n_bytes (cut to what is left of the window, and to
 * walk_max) through the current window's read (writing 0) or write cursor,
 * each call of move taking one run of bytes that lie together in the file
 * (whole stored lines and planes when the window spans them) of at most
 * IM_WALK_PIECE bytes.  Returns the bytes moved (0 for an exhausted or
 * empty window, or empty lines); -2 when there is no current window or move
 * returned a negative value or nothing.  On -2 the window's byte count is
 * not reduced, but the cursor keeps the advance of the lines completed. */
int im_internal::IM_walk(int writing, unsigned char *buffer, int64_t n_bytes, IM_mover move)
{
    if (f == nullptr || f->cur_window == nullptr || move == nullptr)
        return -2;
    window_struct *w = f->cur_window;
    int64_t &cur = writing ? w->cur_byte_write : w->cur_byte_read;
    int64_t &total_left = writing ? w->total_bytes_left_to_write : w->total_bytes_left_to_read;
    int64_t &line_left = writing ? w->line_bytes_left_to_write : w->line_bytes_left_to_read;
    int *left = writing ? w->left_to_write : w->left_to_read;

    if (n_bytes > total_left)
        n_bytes = total_left;
    if (n_bytes > walk_max)
        n_bytes = walk_max;
    if (n_bytes <= 0 || w->line_bytes <= 0)
        return 0;

    int naxis = naxis_now();
    int64_t stored_line = stored_line_bytes();
    int64_t done = 0;
    while (done < n_bytes) {
        if (line_left <= 0 || line_left > w->line_bytes)
            line_left = w->line_bytes;
        int64_t limit = n_bytes - done < IM_WALK_PIECE ? n_bytes - done : IM_WALK_PIECE;
        int64_t chunk = contiguous_run(w, left, naxis, stored_line, line_left, limit);
        int64_t a = move(buffer + done, static_cast<int64_t>(f->io_offset) + cur,
                         static_cast<int>(chunk));
        if (a <= 0)
            return -2;
        if (a > chunk)
            a = chunk;
        /* Advance the cursor through the bytes moved, line by line. */
        while (a > 0) {
            int64_t take = a < line_left ? a : line_left;
            cur += take;
            line_left -= take;
            done += take;
            a -= take;
            if (line_left > 0)
                break;
            int64_t jump = 0;
            if (end_of_line(w, left, naxis, stored_line, &jump) < 0)
                return -2;
            cur += jump;
            line_left = w->line_bytes;
        }
    }
    total_left -= done;
    return static_cast<int>(done);
}

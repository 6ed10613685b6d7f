/* Windows: geometry, clipping, selection and the shared window walk,
 * checked on descriptors built by hand (no files: the walk's mover only
 * records where it was sent). */
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "im.h"

namespace {

/* A valid descriptor of the given axes and pixel size, made current. */
fid_struct *make_image(std::vector<int> axes, int bytes_per_pix, int line_skip = 0, int io_offset = 0)
{
    fid_struct *p = new_fid();
    p->magic = FID_MAGIC;
    p->mode = 1;
    p->file_type = Type_iraf;
    p->bytes_per_pix = bytes_per_pix;
    p->val_bitpix = bytes_per_pix == 1 ? 8 : (bytes_per_pix == 2 ? 16 : (bytes_per_pix == 4 ? 32 : -64));
    p->val_naxis[0] = static_cast<int>(axes.size());
    uint64_t n = 1;
    for (size_t i = 0; i < axes.size(); i++) {
        p->val_naxis[i + 1] = axes[i];
        n *= axes[i];
    }
    p->n_pixels = static_cast<int>(n & 0x7fffffff);
    p->line_skip_pix = line_skip;
    p->io_offset = io_offset;
    p->val_scale = 1.0;
    for (int w = 1; w < IM_N_WINDOWS; w++)
        p->windows[w].total_bytes = -1;
    f = p;
    return p;
}

struct Move {
    int64_t pos;
    int len;
};
std::vector<Move> moves;
int move_limit = 0;      /* > 0: each move transfers at most this many bytes */
int fail_after = -1;     /* >= 0: the move with this index returns fail_value */
int fail_value = -1;

int record_move(unsigned char *chunk, int64_t pos, int len)
{
    (void)chunk;
    if (fail_after >= 0 && static_cast<int>(moves.size()) == fail_after)
        return fail_value;
    int a = (move_limit > 0 && len > move_limit) ? move_limit : len;
    moves.push_back({pos, a});
    return a;
}

void reset_moves()
{
    moves.clear();
    move_limit = 0;
    fail_after = -1;
    fail_value = -1;
}

/* Per-pixel byte positions that the recorded moves covered. */
std::vector<int64_t> moved_pixels(int b)
{
    std::vector<int64_t> out;
    for (const Move &m : moves)
        for (int k = 0; k < m.len; k += b)
            out.push_back(m.pos + k);
    return out;
}

/* Byte positions of every pixel of a window, by direct enumeration. */
std::vector<int64_t> expected_pixels(const std::vector<int> &axes, const int *skip, const int *take,
                                     int b, int line_skip, int io_offset)
{
    std::vector<int64_t> out;
    int n = static_cast<int>(axes.size());
    std::vector<int> k(n + 1, 0);
    int64_t total = 1;
    for (int i = 1; i <= n; i++)
        total *= take[i];
    for (int64_t p = 0; p < total; p++) {
        int64_t rem = p;
        for (int i = 1; i <= n; i++) {
            k[i] = static_cast<int>(rem % take[i]) + skip[i];
            rem /= take[i];
        }
        int64_t line_index = 0;
        for (int i = n; i >= 2; i--)
            line_index = line_index * axes[i - 1] + k[i];
        out.push_back(io_offset + line_index * (axes[0] + line_skip) * b + static_cast<int64_t>(k[1]) * b);
    }
    return out;
}

class Window : public ::testing::Test {
protected:
    void TearDown() override
    {
        reset_moves();
        if (made != nullptr)
            destroy_fid(made);
    }
    fid_struct *made = nullptr;
    unsigned char buffer[1 << 16];
};

TEST_F(Window, DefinitionGivesBytePositionsAndPixelCount)
{
    made = make_image({100, 50}, 4);
    int takes[10] = {2, 20, 30};
    int skips[10] = {0, 10, 5};
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    window_struct *w = &made->windows[1];
    EXPECT_EQ(2040, w->start_byte);
    EXPECT_EQ(80, w->line_bytes);
    EXPECT_EQ(320, w->skip_bytes);
    EXPECT_EQ(2400, w->total_bytes);
    EXPECT_EQ(600, IM_r_rewind(w));
    EXPECT_EQ(600, IM_w_rewind(w));
    /* Defining does not select. */
    EXPECT_EQ(&made->windows[0], made->cur_window);
}

TEST_F(Window, SkipsAndTakesAreClippedToTheImage)
{
    made = make_image({100, 100, 100}, 2);
    int takes[10] = {3, 30, 5, 30};
    int skips[10] = {0, -10, 120, 90};
    ASSERT_EQ(0, im_dwin(made->id, 2, takes, skips));
    window_struct *w = &made->windows[2];
    EXPECT_EQ(0, w->naxis_skip[1]);
    EXPECT_EQ(20, w->naxis_take[1]);
    EXPECT_EQ(100, w->naxis_skip[2]);
    EXPECT_EQ(0, w->naxis_take[2]);
    EXPECT_EQ(90, w->naxis_skip[3]);
    EXPECT_EQ(10, w->naxis_take[3]);
    EXPECT_EQ(0, w->total_bytes);
    /* An empty window is defined, selectable, and moves nothing. */
    ASSERT_EQ(0, im_swin(made->id, 2));
    EXPECT_EQ(0, IM_walk(0, buffer, 100, record_move));
    EXPECT_TRUE(moves.empty());
}

TEST_F(Window, NoAxesGivenRepeatsTheCurrentWindow)
{
    made = make_image({40, 30}, 2);
    int takes[10] = {2, 7, 9};
    int skips[10] = {0, 3, 4};
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(made->id, 1));
    int none[10] = {0};
    ASSERT_EQ(0, im_dwin(made->id, 3, none, none));
    window_struct *a = &made->windows[1], *b = &made->windows[3];
    for (int i = 1; i <= 2; i++) {
        EXPECT_EQ(a->naxis_skip[i], b->naxis_skip[i]);
        EXPECT_EQ(a->naxis_take[i], b->naxis_take[i]);
    }
    EXPECT_EQ(a->start_byte, b->start_byte);
    EXPECT_EQ(a->total_bytes, b->total_bytes);
}

TEST_F(Window, SkipsAreRelativeToCurrentWindowButClippedAtImageEdge)
{
    made = make_image({100, 10}, 1);
    int takes[10] = {1, 20};
    int skips[10] = {0, 10};
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(made->id, 1));
    int takes2[10] = {1, 200};
    int skips2[10] = {0, 5};
    ASSERT_EQ(0, im_dwin(made->id, 2, takes2, skips2));
    EXPECT_EQ(15, made->windows[2].naxis_skip[1]);
    EXPECT_EQ(85, made->windows[2].naxis_take[1]);      /* image edge, not window 1's */
    EXPECT_EQ(10, made->windows[2].naxis_take[2]);      /* copied from window 1 */
}

TEST_F(Window, SelectionAndDefinitionRefuseBadNumbersAndHandles)
{
    made = make_image({10, 10}, 2);
    int takes[10] = {0};
    EXPECT_EQ(-2, im_swin(made->id, 3));                 /* not defined yet */
    EXPECT_EQ(&made->windows[0], made->cur_window);      /* window 0 built on the way */
    EXPECT_EQ(-2, im_swin(made->id, 5));
    EXPECT_EQ(-2, im_swin(made->id, -1));
    EXPECT_EQ(-2, im_dwin(made->id, 0, takes, takes));
    EXPECT_EQ(-2, im_dwin(made->id, 5, takes, takes));
    EXPECT_EQ(-2, im_dwin(made->id, 1, nullptr, takes));
    EXPECT_EQ(0, im_swin(made->id, 0));
    EXPECT_EQ(&made->windows[0], made->cur_window);
    EXPECT_EQ(-3, im_swin(-7, 0));
    EXPECT_EQ(-3, im_dwin(-7, 1, takes, takes));
    made->magic = 0;
    EXPECT_EQ(-3, im_swin(made->id, 0));
    made->magic = FID_MAGIC;
}

TEST_F(Window, SelectingDoesNotRewind)
{
    made = make_image({100, 4}, 2);
    int takes[10] = {1, 50};
    int skips[10] = {0, 10};
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(made->id, 1));
    ASSERT_EQ(20, IM_walk(0, buffer, 20, record_move));
    ASSERT_EQ(0, im_swin(made->id, 0));
    ASSERT_EQ(4, IM_walk(0, buffer, 4, record_move));
    ASSERT_EQ(0, im_swin(made->id, 1));
    reset_moves();
    ASSERT_EQ(2, IM_walk(0, buffer, 2, record_move));
    ASSERT_EQ(1u, moves.size());
    EXPECT_EQ((10 + 10) * 2, moves[0].pos);             /* the 11th pixel */
}

TEST_F(Window, WalkMatchesDirectEnumerationForPaddedWindows)
{
    std::mt19937 rng(12345);
    for (int trial = 0; trial < 60; trial++) {
        int naxis = 1 + static_cast<int>(rng() % 4);
        std::vector<int> axes;
        for (int i = 0; i < naxis; i++)
            axes.push_back(1 + static_cast<int>(rng() % 7));
        int b = 1 << (rng() % 4);
        int pad = static_cast<int>(rng() % 3);
        made = make_image(axes, b, pad, 1024);
        int takes[10] = {naxis}, skips[10] = {0};
        for (int i = 1; i <= naxis; i++) {
            skips[i] = static_cast<int>(rng() % axes[i - 1]);
            takes[i] = 1 + static_cast<int>(rng() % (axes[i - 1] - skips[i]));
        }
        ASSERT_EQ(0, im_dwin(made->id, 4, takes, skips));
        ASSERT_EQ(0, im_swin(made->id, 4));
        std::vector<int64_t> want = expected_pixels(axes, skips, takes, b, pad, 1024);
        /* Requests of uneven pixel counts resume in the middle of lines;
         * a writer-style short mover forces extra moves per line. */
        move_limit = (trial % 3 == 0) ? b : 0;
        int64_t got_total = 0;
        for (;;) {
            int n = IM_walk(trial % 2, buffer, b * (1 + static_cast<int>(rng() % 5)), record_move);
            ASSERT_GE(n, 0);
            if (n == 0)
                break;
            got_total += n;
        }
        EXPECT_EQ(static_cast<int64_t>(want.size()) * b, got_total);
        EXPECT_EQ(want, moved_pixels(b)) << "trial " << trial;
        reset_moves();
        destroy_fid(made);
        made = nullptr;
    }
}

TEST_F(Window, NextPlaneStartsAtWindowCornerOverPaddedLines)
{
    made = make_image({10, 6, 3}, 2, 2, 1024);           /* stored line: 12 pixels */
    int takes[10] = {2, 4, 2};
    int skips[10] = {0, 3, 1};
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(made->id, 1));
    ASSERT_EQ(2 * 4 * 2 * 3, IM_walk(0, buffer, 1000, record_move));
    ASSERT_EQ(6u, moves.size());                          /* one move per window line */
    EXPECT_EQ(1024 + (1 * 12 + 3) * 2, moves[0].pos);
    EXPECT_EQ(1024 + (6 * 12 + 1 * 12 + 3) * 2, moves[2].pos);   /* plane 2, line 2, pixel 4 */
}

TEST_F(Window, WholeImageWindowSkipsLinePadding)
{
    made = make_image({5, 3}, 4, 3, 1024);
    ASSERT_EQ(0, im_swin(made->id, 0));
    ASSERT_EQ(60, IM_walk(0, buffer, 60, record_move));
    ASSERT_EQ(3u, moves.size());
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(1024 + i * 8 * 4, moves[i].pos);
        EXPECT_EQ(20, moves[i].len);
    }
}

TEST_F(Window, RequestIsCutToWindowAndRewindStartsAgain)
{
    made = make_image({30, 20}, 4);
    int takes[10] = {2, 30, 20};
    int skips[10] = {0};
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(made->id, 1));
    EXPECT_EQ(2400, IM_walk(0, buffer, 4000, record_move));
    EXPECT_EQ(0, IM_walk(0, buffer, 4000, record_move));
    EXPECT_EQ(600, IM_r_rewind(made->cur_window));
    reset_moves();
    EXPECT_EQ(8, IM_walk(0, buffer, 8, record_move));
    EXPECT_EQ(0, moves[0].pos);
    /* The write cursor is independent of the read cursor. */
    EXPECT_EQ(2400, IM_walk(1, buffer, 4000, record_move));
    EXPECT_EQ(2392, made->cur_window->total_bytes_left_to_read);
}

TEST_F(Window, StoppedMoveGivesMinusTwoAndKeepsCompletedLines)
{
    made = make_image({10, 10}, 2);
    int takes[10] = {2, 5, 10};                           /* lines apart in the file: */
    int skips[10] = {0, 0, 0};                            /* one move each */
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(made->id, 1));
    fail_after = 2;                                       /* third line fails */
    EXPECT_EQ(-2, IM_walk(0, buffer, 100, record_move));
    window_struct *w = made->cur_window;
    EXPECT_EQ(100, w->total_bytes_left_to_read);          /* count not reduced */
    EXPECT_EQ(40, w->cur_byte_read);                      /* two lines done */
    reset_moves();
    fail_after = 0;
    fail_value = 0;                                       /* a move of nothing also stops */
    EXPECT_EQ(-2, IM_walk(1, buffer, 100, record_move));
    EXPECT_EQ(100, w->total_bytes_left_to_write);
}

TEST_F(Window, NoAxesMovesNothingAndNeverLoops)
{
    made = make_image({}, 4);
    EXPECT_EQ(1, made->n_pixels);
    ASSERT_EQ(0, im_swin(made->id, 0));
    EXPECT_EQ(0, IM_walk(0, buffer, 4, record_move));
    EXPECT_EQ(0, IM_walk(1, buffer, 4, record_move));
    EXPECT_TRUE(moves.empty());
    int none[10] = {0};
    EXPECT_EQ(0, im_dwin(made->id, 1, none, none));
    EXPECT_EQ(0, IM_r_rewind(&made->windows[1]));
}

TEST_F(Window, RewindWithoutPixelSizeCountsZero)
{
    made = make_image({10, 10}, 0);
    made->val_bitpix = 0;
    EXPECT_EQ(0, IM_w_rewind(nullptr));                   /* builds window 0 */
    ASSERT_NE(nullptr, made->cur_window);
    EXPECT_EQ(0, IM_r_rewind(made->cur_window));
    EXPECT_EQ(-2, IM_r_rewind(nullptr));
}

TEST_F(Window, WriteRewindBuildsWindowZeroForNewImage)
{
    made = make_image({8, 4}, 2);
    made->mode = 2;
    EXPECT_EQ(nullptr, made->cur_window);
    EXPECT_EQ(32, IM_w_rewind(nullptr));
    EXPECT_EQ(&made->windows[0], made->cur_window);
    EXPECT_EQ(-2, IM_w_rewind(nullptr));                  /* a window exists: null is no window */
}

TEST_F(Window, WalkWithoutCurrentWindowFails)
{
    made = make_image({8, 4}, 2);
    EXPECT_EQ(-2, IM_walk(0, buffer, 8, record_move));
}

TEST_F(Window, NineAxesFitTheArrays)
{
    made = make_image({3, 2, 2, 2, 2, 2, 2, 2, 3}, 1);
    int takes[10] = {9, 2, 1, 1, 1, 1, 1, 1, 1, 2};
    int skips[10] = {0, 1, 1, 0, 1, 0, 1, 0, 1, 1};
    ASSERT_EQ(0, im_dwin(made->id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(made->id, 1));
    std::vector<int> axes = {3, 2, 2, 2, 2, 2, 2, 2, 3};
    ASSERT_EQ(4, IM_walk(0, buffer, 100, record_move));
    EXPECT_EQ(expected_pixels(axes, skips, takes, 1, 0, 0), moved_pixels(1));
}

TEST_F(Window, UnrepresentableExtentGivesEmptyWindow)
{
    made = make_image({2000000000, 2000000000, 2000000000, 2000000000}, 8);
    ASSERT_EQ(0, im_swin(made->id, 0));
    EXPECT_EQ(0, made->cur_window->total_bytes);
    EXPECT_EQ(0, IM_walk(0, buffer, 8, record_move));
}

} // namespace

/* Each call of move takes one run of bytes that lie together in the file,
 * up to IM_WALK_PIECE: whole lines and planes merge when the window spans
 * them; padding, skipped pixels and skipped lines break the run. */
TEST_F(Window, MovesWholeRunsUpToThePieceSize)
{
    struct Case {
        const char *what;
        std::vector<int> axes;
        int b, pad;
        std::vector<int> takes, skips;           /* empty: window 0 */
        std::vector<Move> want;
    };
    const int64_t P = IM_WALK_PIECE;
    const Case cases[] = {
        {"whole image", {100, 50}, 2, 0, {}, {}, {{0, 10000}}},
        {"band of whole lines", {100, 50}, 2, 0, {2, 100, 20}, {0, 0, 10}, {{2000, 4000}}},
        {"lines cut along axis 1", {100, 3}, 2, 0, {2, 50, 3}, {0, 10, 0},
         {{20, 100}, {220, 100}, {420, 100}}},
        {"two whole planes", {10, 10, 5}, 4, 0, {3, 10, 10, 2}, {0, 0, 0, 1}, {{400, 800}}},
        {"a band in each plane", {10, 10, 3}, 1, 0, {3, 10, 4, 3}, {0, 0, 2, 0},
         {{20, 40}, {120, 40}, {220, 40}}},
        {"padded lines", {5, 3}, 4, 3, {}, {}, {{0, 20}, {32, 20}, {64, 20}}},
        {"larger than a piece", {1024, 1024}, 4, 0, {}, {},
         {{0, int(P)}, {P, int(P)}, {2 * P, int(P)}, {3 * P, int(P)}}},
    };
    std::vector<unsigned char> big(4 << 20);
    for (const Case &c : cases) {
        made = make_image(c.axes, c.b, c.pad);
        int window = 0;
        if (!c.takes.empty()) {
            int takes[10] = {0}, skips[10] = {0};
            std::copy(c.takes.begin(), c.takes.end(), takes);
            std::copy(c.skips.begin(), c.skips.end(), skips);
            window = 1;
            ASSERT_EQ(0, im_dwin(made->id, window, takes, skips)) << c.what;
        }
        ASSERT_EQ(0, im_swin(made->id, window)) << c.what;
        int64_t total = made->cur_window->total_bytes;
        ASSERT_EQ(total, IM_walk(0, big.data(), total, record_move)) << c.what;
        ASSERT_EQ(c.want.size(), moves.size()) << c.what;
        for (size_t i = 0; i < moves.size(); i++) {
            EXPECT_EQ(c.want[i].pos, moves[i].pos) << c.what << " move " << i;
            EXPECT_EQ(c.want[i].len, moves[i].len) << c.what << " move " << i;
        }
        reset_moves();
        destroy_fid(made);
        made = nullptr;
    }
}

/* A request that ends inside a run moves only what was asked; the next one
 * resumes there and takes the rest of the run in one move. */
TEST_F(Window, RequestsInsideARunResumeWhereTheyStopped)
{
    made = make_image({100, 50}, 2);
    ASSERT_EQ(0, im_swin(made->id, 0));
    ASSERT_EQ(300, IM_walk(0, buffer, 300, record_move));
    ASSERT_EQ(9700, IM_walk(0, buffer, 20000, record_move));
    ASSERT_EQ(2u, moves.size());
    EXPECT_EQ(300, moves[1].pos);
    EXPECT_EQ(9700, moves[1].len);
}

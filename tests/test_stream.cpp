/* test_stream: the tool's passes over the image in blocks give, byte for
 * byte, the output of the computation on the whole image held at once:
 * generated images of every BITPIX with blanks, infinities, constant
 * values and type extremes, read whole or through subsets, in blocks that
 * cut lines anywhere, written as FITS and as ZZ. */
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imlib.h"
#include "test_support.h"
#include "tool.h"

namespace {

using testsup::files::int_card;

/* One generated input: its FITS bytes and the reference points (in the
 * coordinates of the window the name selects). */
struct Case {
    std::string label;
    std::string name;             /* file name, with subset text when any */
    std::vector<int32_t> points;
};

void put_be(std::string &out, uint64_t v, int bytes)
{
    for (int k = bytes - 1; k >= 0; k--)
        out.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
}

std::string real_card(const char *key, double v)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8s= %20.12G", key, v);
    return text;
}

/* A stored value for pixel i of an image of bitpix, by kind of image:
 * noise about a tilted plane, a constant, or values near the type's
 * limits; some pixels blank (the BLANK code, or NaN) or, for floats,
 * infinite, negative zero, tiny or huge. */
struct Generator {
    std::mt19937 rng;
    int bitpix;
    int kind;        /* 0 noise, 1 constant, 2 extremes */
    int blank_code;  /* integer BLANK */

    explicit Generator(unsigned seed) : rng(seed), bitpix(16), kind(0), blank_code(0) {}

    int64_t int_value(int s, int l)
    {
        const int64_t lo = bitpix == 8 ? 0 : bitpix == 16 ? -32768 : INT32_MIN;
        const int64_t hi = bitpix == 8 ? 255 : bitpix == 16 ? 32767 : INT32_MAX;
        int64_t v;
        if (kind == 1)
            v = bitpix == 8 ? 17 : -1234;
        else if (kind == 2)
            v = rng() % 2 ? hi - int64_t(rng() % 3) : lo + int64_t(rng() % 3);
        else
            v = (bitpix == 8 ? 100 : 1000) + 3 * s - 2 * l + int64_t(rng() % 21) - 10;
        return v < lo ? lo : v > hi ? hi : v;
    }

    float float_value(int s, int l)
    {
        if (kind == 1)
            return 42.5f;
        if (kind == 2) {
            static const float extremes[] = {3.0e38f, -3.0e38f, 1.0e-44f, -0.0f, 0.0f,
                                             std::numeric_limits<float>::max(),
                                             -std::numeric_limits<float>::max()};
            return extremes[rng() % 7];
        }
        return 500.0f + 0.25f * s - 0.75f * l + static_cast<float>(rng() % 1000) / 100.0f;
    }

    /* Replace some values by blanks and infinities (never at kept). */
    void spoil(std::vector<int64_t> &ints, std::vector<float> &floats,
               const std::vector<size_t> &kept)
    {
        const size_t n = bitpix > 0 ? ints.size() : floats.size();
        const size_t spoilt = n / 7;
        for (size_t k = 0; k < spoilt; k++) {
            const size_t i = rng() % n;
            bool keep = false;
            for (size_t j : kept)
                keep = keep || j == i;
            if (keep)
                continue;
            if (bitpix > 0) {
                ints[i] = blank_code;
            } else {
                static const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                                            std::numeric_limits<float>::infinity(),
                                            -std::numeric_limits<float>::infinity()};
                floats[i] = bad[rng() % 3];
            }
        }
    }
};

/* Writes path: a FITS image of bitpix with the axes given and the kind of
 * values and cards chosen by g, and returns the points of a window of
 * wx x wy pixels at (x0, y0) of the plane of the two long axes (the
 * window's three corners, which are kept finite, and random others,
 * some outside). */
std::vector<int32_t> write_input(const std::string &path, Generator &g,
                                 const std::vector<int> &axes, int x0, int y0, int wx, int wy,
                                 bool spoilt, bool scaled)
{
    int samples = 1, lines = 1;
    int found = 0;
    for (int a : axes)
        if (a > 1)
            (found++ == 0 ? samples : lines) = a;
    std::vector<int32_t> pts = {1, 1, wx, 1, 1, wy};
    std::vector<size_t> kept;
    for (size_t i = 0; i < pts.size(); i += 2)
        kept.push_back(size_t(samples) * (y0 + pts[i + 1] - 1) + (x0 + pts[i] - 1));
    const int extra = int(g.rng() % 8);
    for (int k = 0; k < extra; k++) {
        pts.push_back(int32_t(g.rng() % (wx + 2)));       /* 0 and wx + 1 are outside */
        pts.push_back(int32_t(g.rng() % (wy + 2)));
    }

    const size_t n = size_t(samples) * lines;
    std::vector<int64_t> ints(g.bitpix > 0 ? n : 0);
    std::vector<float> floats(g.bitpix < 0 ? n : 0);
    for (size_t i = 0; i < n; i++) {
        const int s = int(i % samples) + 1, l = int(i / samples) + 1;
        if (g.bitpix > 0)
            ints[i] = g.int_value(s, l);
        else
            floats[i] = g.float_value(s, l);
    }
    if (spoilt)
        g.spoil(ints, floats, kept);
    /* The window's corners hold a value, never the blank code. */
    for (size_t i : kept)
        if (g.bitpix > 0 && spoilt && ints[i] == g.blank_code)
            ints[i] = g.blank_code == 255 ? 254 : g.blank_code + 1;

    std::vector<std::string> cards = {testsup::padded("SIMPLE  =                    T"),
                                      int_card("BITPIX", g.bitpix),
                                      int_card("NAXIS", long(axes.size()))};
    for (size_t a = 0; a < axes.size(); a++) {
        char key[9];
        std::snprintf(key, sizeof key, "NAXIS%d", int(a + 1));
        cards.push_back(int_card(key, axes[a]));
    }
    if (g.bitpix > 0 && spoilt)
        cards.push_back(int_card("BLANK", g.blank_code));
    if (scaled) {
        cards.push_back(real_card("BSCALE", g.rng() % 2 ? 0.5 : -0.03125));
        cards.push_back(real_card("BZERO", 1000.0));
    }
    cards.push_back(real_card("DATAMAX", 1.0));
    cards.push_back(testsup::padded("OBJECT  = 'generated'"));
    cards.push_back(testsup::padded("HISTORY made by the stream test"));
    std::string bytes = testsup::fits_records(cards);
    for (size_t i = 0; i < n; i++) {
        if (g.bitpix > 0) {
            put_be(bytes, uint64_t(ints[i]), g.bitpix / 8);
        } else {
            uint32_t u;
            std::memcpy(&u, &floats[i], 4);
            put_be(bytes, u, 4);
        }
    }
    bytes.append((2880 - bytes.size() % 2880) % 2880, '\0');
    testsup::write_file(path, bytes);
    return pts;
}

/* The tool's computation on the whole image held at once: read every
 * pixel, copy the header, fit and subtract, add the history card, clean
 * the header from the whole buffer, write every pixel, close. */
void whole_image_run(const std::string &in_name, const std::string &out_name,
                     const std::vector<int32_t> &pts)
{
    image_info in{}, out{};
    in.handle = im_open(in_name.c_str(), "read");
    ASSERT_GT(in.handle, 0) << in_name;
    out.handle = im_open(out_name.c_str(), "write");
    ASSERT_GT(out.handle, 0) << out_name;
    ASSERT_EQ(2, getimaginfo(&in));
    int lengths[2];
    nlengths(&in, lengths, 2);
    out.n_pixels = in.n_pixels;
    out.blank = in.blank;
    std::vector<float> px(size_t(in.n_pixels));
    ASSERT_EQ(in.n_pixels, im_rpix_r(in.handle, px.data(), in.n_pixels));
    const int old_ids[2] = {in.handle, 0};
    ASSERT_EQ(0, im_hdr(out.handle, old_ids, nullptr));
    pixel_range range;
    ASSERT_EQ(0, flatten(px.data(), lengths[0], lengths[1], pts.data(), int(pts.size() / 2),
                         in.blank, &range));
    char card[81];
    std::snprintf(card, sizeof card,
                  "HISTORY Flattened, planar subtraction (KELP flatten %s)", FLATTEN_VERSION);
    ASSERT_GT(im_wkey_t(out.handle, card, "end"), 0);
    hdrclean(px.data(), &out, &range);
    ASSERT_EQ(out.n_pixels, im_wpix_r(out.handle, px.data(), out.n_pixels));
    EXPECT_EQ(0, im_close(in.handle));
    ASSERT_EQ(0, im_close(out.handle));
}

/* Names and bytes of every file in dir. */
std::vector<std::pair<std::string, std::vector<unsigned char>>> dir_files(const std::string &dir)
{
    std::vector<std::pair<std::string, std::vector<unsigned char>>> files;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return files;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        files.emplace_back(e->d_name, testsup::slurp(dir + "/" + e->d_name));
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

class StreamIdentity : public ::testing::Test {
protected:
    void SetUp() override { dir = testsup::scratch_dir("stream"); }
    void TearDown() override { stream_block_pixels = saved_block; }
    std::string dir;
    const int saved_block = stream_block_pixels;
};

/* 288 images: every BITPIX, each kind of values, with and without blanks
 * and scaling, two or three axes, whole or through a subset, in a block
 * size drawn from sizes that cut lines at every place; each image written
 * as FITS and as ZZ by both computations. */
TEST_F(StreamIdentity, BlocksGiveTheWholeImageOutputByteForByte)
{
    Generator g(20261208u);
    const int bitpixes[] = {8, 16, 32, -32};
    int compared = 0;
    for (int bp : bitpixes) {
        for (int c = 0; c < 72; c++) {
            g.bitpix = bp;
            g.kind = c % 3;
            g.blank_code = bp == 8 ? 255 : bp == 16 ? -32768 : bp == 32 ? INT32_MIN : 0;
            const bool spoilt = (c / 3) % 2 == 1;
            const bool scaled = bp > 0 && (c / 6) % 2 == 1;
            const int samples = 2 + int(g.rng() % 40), lines = 2 + int(g.rng() % 30);
            /* the long axes, with an axis of length 1 before, between or
             * after them now and then */
            std::vector<int> axes = {samples, lines};
            const int shape = (c / 12) % 3;
            if (shape == 1)
                axes.insert(axes.begin(), 1);
            if (shape == 2)
                axes.insert(axes.begin() + 1, 1);
            const bool subset = shape == 0 && c % 2 == 0;
            int x0 = 0, y0 = 0, wx = samples, wy = lines;
            std::string text;
            if (subset) {
                wx = 2 + int(g.rng() % (samples - 1));
                wy = 2 + int(g.rng() % (lines - 1));
                x0 = int(g.rng() % (samples - wx + 1));
                y0 = int(g.rng() % (lines - wy + 1));
                text = ",@" + std::to_string(x0 + 1) + ":" + std::to_string(x0 + wx) + ",@" +
                       std::to_string(y0 + 1) + ":" + std::to_string(y0 + wy);
            }
            const std::string file = dir + "/in" + std::to_string(compared) + ".fits";
            const std::vector<int32_t> pts =
                write_input(file, g, axes, x0, y0, wx, wy, spoilt, scaled);
            const int blocks[] = {1, 2, 7, wx - 1, wx, wx + 1, 3 * wx - 1, 1000, 262144};
            stream_block_pixels = blocks[g.rng() % 9];
            for (const char *suffix : {".fits", ".zzh"}) {
                const std::string whole = dir + "/w" + std::to_string(compared);
                const std::string blocked = dir + "/b" + std::to_string(compared);
                ASSERT_EQ(0, mkdir(whole.c_str(), 0755));
                ASSERT_EQ(0, mkdir(blocked.c_str(), 0755));
                const std::string label = file + text + " -> " + suffix + " in blocks of " +
                                          std::to_string(stream_block_pixels);
                whole_image_run(file + text, whole + "/out" + suffix, pts);
                ASSERT_EQ(0, conductor((file + text).c_str(), (blocked + "/out" + suffix).c_str(),
                                       pts.data(), int(pts.size() / 2)));
                const auto a = dir_files(whole), b = dir_files(blocked);
                ASSERT_FALSE(a.empty()) << label;
                ASSERT_EQ(a.size(), b.size()) << label;
                for (size_t k = 0; k < a.size(); k++) {
                    EXPECT_EQ(a[k].first, b[k].first) << label;
                    EXPECT_TRUE(a[k].second == b[k].second) << label << ": " << a[k].first
                                                             << " differs";
                }
                compared++;
            }
        }
    }
    EXPECT_EQ(576, compared);
}

} // namespace

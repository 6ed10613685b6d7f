// Pixel writing: each writer by stored type, the blank, scaling, rounding
// and clipping rules, FITS byte order, raw mode, windows, update mode and
// first-write setup, checked against the bytes that land in the files.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::be16;
using testsup::be32;
using testsup::be_float;
using testsup::bits_be32;
using testsup::close_suite_dir;
using testsup::exists;
using testsup::new_image;
using testsup::open_suite_dir;
using testsup::path;
using testsup::run_in_child;
using testsup::slurp;

const float NaNf = std::nanf("");
const float Inf = INFINITY;

class Wpix : public ::testing::Test {
protected:
    static void SetUpTestSuite() { open_suite_dir("test_wpix"); }
    static void TearDownTestSuite() { close_suite_dir(); }
};

} // namespace

TEST_F(Wpix, Float16WithoutBlankRoundsHalvesAwayAndClips)
{
    int id = new_image("r16.fits", 16, 9, 0);
    float v[9] = {40000.0f, -40000.0f, NaNf, 2.5f, -2.5f, 0.49f, Inf, -Inf, 32766.5f};
    EXPECT_EQ(9, im_wpix_r(id, v, 9));
    // The buffer holds the stored form: big-endian shorts at its front.
    const unsigned char *sb = reinterpret_cast<const unsigned char *>(v);
    EXPECT_EQ(0x7F, sb[0]);
    EXPECT_EQ(0xFF, sb[1]);
    EXPECT_EQ(0, im_close(id));

    auto b = slurp(path("r16.fits"));
    ASSERT_EQ(size_t(2 * 2880), b.size());
    const int16_t want[9] = {32767, -32767, -32768, 3, -3, 0, -32768, -32768, 32767};
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(want[i], be16(b, 2880 + 2 * i)) << "pixel " << i;
    for (size_t i = 2880 + 18; i < b.size(); i++)
        ASSERT_EQ(0, b[i]) << "padding byte " << i;
}

TEST_F(Wpix, Float8UsesTruncatedHalfUpAndTheBlankTable)
{
    // No BLANK: range 0..255, blank code 0.
    int id = new_image("r8.fits", 8, 6, 0);
    float v[6] = {NaNf, 255.7f, -3.0f, 2.5f, 254.5f, 0.4f};
    EXPECT_EQ(6, im_wpix_r(id, v, 6));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("r8.fits"));
    const unsigned char want[6] = {0, 255, 0, 3, 255, 0};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(want[i], b[2880 + i]) << i;

    // BLANK 255: range 0..254.
    id = new_image("r8b255.fits", 8, 3, 0);
    EXPECT_GT(im_wkey_i(id, 255, "BLANK"), 0);
    float w[3] = {300.0f, NaNf, 254.2f};
    EXPECT_EQ(3, im_wpix_r(id, w, 3));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("r8b255.fits"));
    EXPECT_EQ(254, b[2880]);
    EXPECT_EQ(255, b[2881]);
    EXPECT_EQ(254, b[2882]);

    // BLANK 0: range 1..255.
    id = new_image("r8b0.fits", 8, 3, 0);
    EXPECT_GT(im_wkey_i(id, 0, "BLANK"), 0);
    float x[3] = {0.2f, NaNf, 999.0f};
    EXPECT_EQ(3, im_wpix_r(id, x, 3));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("r8b0.fits"));
    EXPECT_EQ(1, b[2880]);
    EXPECT_EQ(0, b[2881]);
    EXPECT_EQ(255, b[2882]);
}

TEST_F(Wpix, BlankCodesOutsideTheStoredTypeNeverWrapValues)
{
    // A BLANK of 300 cannot be stored in 8 bits; values stay within 0..255
    // instead of wrapping round.
    int id = new_image("r8b300.fits", 8, 2, 0);
    EXPECT_GT(im_wkey_i(id, 300, "BLANK"), 0);
    float v[2] = {280.0f, 256.0f};
    EXPECT_EQ(2, im_wpix_r(id, v, 2));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("r8b300.fits"));
    EXPECT_EQ(255, b[2880]);
    EXPECT_EQ(255, b[2881]);

    // 16 bits: such a BLANK counts as none, so a blank pixel gets the
    // default code -32768, which no value takes (cut to 16 bits, 65344
    // would be -192, an ordinary value).
    for (int blank : {65344, -40000}) {
        const std::string name = "r16b" + std::to_string(blank) + ".fits";
        id = new_image(name.c_str(), 16, 4, 0);
        EXPECT_GT(im_wkey_i(id, blank, "BLANK"), 0);
        float w[4] = {NaNf, -192.0f, -40000.0f, 40000.0f};
        EXPECT_EQ(4, im_wpix_r(id, w, 4));
        EXPECT_EQ(0, im_close(id));
        b = slurp(path(name.c_str()));
        const int16_t want[4] = {-32768, -192, -32767, 32767};
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(want[i], be16(b, 2880 + 2 * i)) << "BLANK " << blank << ", pixel " << i;
    }
}

TEST_F(Wpix, Float16WithBlankZeroKeepsValuesAboveIt)
{
    int id = new_image("r16b0.fits", 16, 3, 0);
    EXPECT_GT(im_wkey_i(id, 0, "BLANK"), 0);
    float v[3] = {-5.0f, NaNf, -32768.0f};
    EXPECT_EQ(3, im_wpix_r(id, v, 3));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("r16b0.fits"));
    EXPECT_EQ(1, be16(b, 2880));
    EXPECT_EQ(0, be16(b, 2882));
    EXPECT_EQ(1, be16(b, 2884));

    // BLANK > 0: range -32768 .. b-1.
    id = new_image("r16b7.fits", 16, 3, 0);
    EXPECT_GT(im_wkey_i(id, 7, "BLANK"), 0);
    float w[3] = {100.0f, -40000.0f, NaNf};
    EXPECT_EQ(3, im_wpix_r(id, w, 3));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("r16b7.fits"));
    EXPECT_EQ(6, be16(b, 2880));
    EXPECT_EQ(-32768, be16(b, 2882));
    EXPECT_EQ(7, be16(b, 2884));
}

TEST_F(Wpix, Int32LimitsAreComparedInDouble)
{
    int id = new_image("r32.fits", 32, 5, 0);
    float v[5] = {NaNf, -3.0e9f, 3.0e9f, 2147483648.0f, -2.5f};
    EXPECT_EQ(5, im_wpix_r(id, v, 5));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("r32.fits"));
    EXPECT_EQ(-2147483647, be32(b, 2880));
    EXPECT_EQ(-2147483646, be32(b, 2884));
    EXPECT_EQ(2147483647, be32(b, 2888));
    EXPECT_EQ(2147483647, be32(b, 2892));
    EXPECT_EQ(-3, be32(b, 2896));

    id = new_image("d32.fits", 32, 5, 0);
    double d[5] = {2147483647.7, 2147483646.5, -2147483646.5, -2147483645.4, 1e300};
    EXPECT_EQ(5, im_wpix_d(id, d, 5));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("d32.fits"));
    EXPECT_EQ(2147483647, be32(b, 2880));
    EXPECT_EQ(2147483647, be32(b, 2884));
    EXPECT_EQ(-2147483646, be32(b, 2888));
    EXPECT_EQ(-2147483645, be32(b, 2892));
    EXPECT_EQ(2147483647, be32(b, 2896));

    // With a positive BLANK the lower limit is -2147483647.
    id = new_image("d32b.fits", 32, 2, 0);
    EXPECT_GT(im_wkey_i(id, 5, "BLANK"), 0);
    double e[2] = {-3.0e9, 10.0};
    EXPECT_EQ(2, im_wpix_d(id, e, 2));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("d32b.fits"));
    EXPECT_EQ(-2147483647, be32(b, 2880));
    EXPECT_EQ(4, be32(b, 2884));
}

TEST_F(Wpix, ScalingIsUndoneAndReadsBack)
{
    int id = new_image("scaled.fits", 16, 4, 0);
    EXPECT_GT(im_wkey_d(id, 2.0, "BSCALE"), 0);
    EXPECT_GT(im_wkey_d(id, 10.0, "BZERO"), 0);
    float v[4] = {20.0f, 10.0f, -4.0f, 15.0f};
    EXPECT_EQ(4, im_wpix_r(id, v, 4));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("scaled.fits"));
    EXPECT_EQ(5, be16(b, 2880));
    EXPECT_EQ(0, be16(b, 2882));
    EXPECT_EQ(-7, be16(b, 2884));
    EXPECT_EQ(3, be16(b, 2886)); // 2.5 rounds away from zero

    int rid = im_open(path("scaled.fits").c_str(), "read");
    ASSERT_GT(rid, 0);
    float r[4];
    EXPECT_EQ(4, im_rpix_r(rid, r, 4));
    EXPECT_NEAR(20.0f, r[0], 1e-6);
    EXPECT_NEAR(10.0f, r[1], 1e-6);
    EXPECT_NEAR(-4.0f, r[2], 1e-6);
    EXPECT_NEAR(16.0f, r[3], 1e-6);
    EXPECT_EQ(0, im_close(rid));
}

TEST_F(Wpix, FitsFloatImagesUndoScalingFromEveryCallerTypeAndKeepBlanks)
{
    int id = new_image("f32.fits", -32, 4, 0);
    EXPECT_GT(im_wkey_d(id, 2.0, "BSCALE"), 0);
    float v[4] = {3.0f, Inf, NaNf, -1.0f};
    EXPECT_EQ(4, im_wpix_r(id, v, 4));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("f32.fits"));
    EXPECT_EQ(1.5f, be_float(b, 2880));
    EXPECT_EQ(0xFFFFFFFFu, bits_be32(b, 2884));
    EXPECT_EQ(0xFFFFFFFFu, bits_be32(b, 2888));
    EXPECT_EQ(-0.5f, be_float(b, 2892));

    id = new_image("d2f32.fits", -32, 3, 0);
    EXPECT_GT(im_wkey_d(id, 2.0, "BSCALE"), 0);
    double d[3] = {3.0, std::nan(""), 0.1};
    EXPECT_EQ(3, im_wpix_d(id, d, 3));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("d2f32.fits"));
    EXPECT_EQ(1.5f, be_float(b, 2880));
    EXPECT_TRUE(std::isnan(be_float(b, 2884)));
    EXPECT_EQ(float(0.1 / 2.0), be_float(b, 2888)); // divided in double, then narrowed

    id = new_image("d64.fits", -64, 2, 0);
    EXPECT_GT(im_wkey_d(id, 0.5, "BSCALE"), 0);
    EXPECT_GT(im_wkey_d(id, 3.0, "BZERO"), 0);
    double e[2] = {4.0, INFINITY};
    EXPECT_EQ(2, im_wpix_d(id, e, 2));
    EXPECT_EQ(0, im_close(id));
    int rid = im_open(path("d64.fits").c_str(), "read");
    ASSERT_GT(rid, 0);
    double back[2];
    ASSERT_EQ(2, im_rpix_d(rid, back, 2)); // the reader applies what the writer undid
    EXPECT_EQ(4.0, back[0]);
    EXPECT_TRUE(std::isnan(back[1]));
    EXPECT_EQ(0, im_close(rid));
}

TEST_F(Wpix, HostOrderFloatImagesAreNeverScaled)
{
    // Readers apply BSCALE/BZERO to FITS floats only, so the writers of the
    // other forms store floats as given: the image reads back unchanged.
    for (const char *name : {"f32.zzh", "f32.imh"}) {
        int id = new_image(name, -32, 2, 0);
        EXPECT_GT(im_wkey_d(id, 2.0, "BSCALE"), 0);
        float v[2] = {3.0f, -1.0f};
        EXPECT_EQ(2, im_wpix_r(id, v, 2)) << name;
        EXPECT_EQ(0, im_close(id)) << name;
        int rid = im_open(path(name).c_str(), "read");
        ASSERT_GT(rid, 0) << name;
        float r[2];
        ASSERT_EQ(2, im_rpix_r(rid, r, 2)) << name;
        EXPECT_EQ(3.0f, r[0]) << name;
        EXPECT_EQ(-1.0f, r[1]) << name;
        EXPECT_EQ(0, im_close(rid));
    }
}

TEST_F(Wpix, DoublesStoreTheDoubleBlankInFitsOrder)
{
    int id = new_image("f64.fits", -64, 3, 0);
    double d[3] = {1.5, INFINITY, -2.0};
    EXPECT_EQ(3, im_wpix_d(id, d, 3));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("f64.fits"));
    double blank;
    im_blankd(&blank);
    unsigned char bb[8];
    std::memcpy(bb, &blank, 8);
    for (int k = 0; k < 8; k++) // stored most significant byte first
        EXPECT_EQ(im_byteorder() ? bb[k] : bb[7 - k], b[2880 + 8 + k]) << k;
    EXPECT_EQ(0x3F, b[2880]); // 1.5 = 3FF8000000000000
    EXPECT_EQ(0xF8, b[2881]);
    EXPECT_EQ(0xC0, b[2896]); // -2.0 = C000000000000000

    // The float writer refuses BITPIX -64 and an image without BITPIX.
    id = new_image("f64r.fits", -64, 3, 0);
    float v[3] = {1, 2, 3};
    EXPECT_EQ(-2, im_wpix_r(id, v, 3));
    EXPECT_EQ(-2, im_close(id)); // no pixel was stored
    id = im_open(path("nobitpix.fits").c_str(), "write");
    EXPECT_EQ(-2, im_wpix_r(id, v, 1));
    double w[1] = {1};
    EXPECT_EQ(-2, im_wpix_d(id, w, 1));
    EXPECT_EQ(0, im_close(id));
}

TEST_F(Wpix, IrafFloatBlanksBecomeTheBlankValueOrZero)
{
    int id = new_image("ib.imh", -32, 3, 0);
    EXPECT_GT(im_wkey_i(id, -999, "BLANK"), 0);
    float v[3] = {NaNf, 2.0f, Inf};
    EXPECT_EQ(3, im_wpix_r(id, v, 3));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("ib.pix"));
    ASSERT_EQ(size_t(1024 + 12), b.size());
    float got[3];
    std::memcpy(got, &b[1024], 12); // host order
    EXPECT_EQ(-999.0f, got[0]);
    EXPECT_EQ(2.0f, got[1]);
    EXPECT_EQ(-999.0f, got[2]);

    id = new_image("inb.imh", -64, 2, 0);
    double d[2] = {std::nan(""), 7.0};
    EXPECT_EQ(2, im_wpix_d(id, d, 2));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("inb.pix"));
    double gd[2];
    std::memcpy(gd, &b[1024], 16);
    EXPECT_EQ(0.0, gd[0]);
    EXPECT_EQ(7.0, gd[1]);
}

TEST_F(Wpix, IntegerWritersAcceptOnlyTheirOwnWidth)
{
    int i4[2] = {1, 2};
    short i2[2] = {1, 2};
    unsigned char i1[2] = {1, 2};
    int id = new_image("w16.fits", 16, 2, 0);
    EXPECT_EQ(-2, im_wpix_i(id, i4, 2));
    EXPECT_EQ(-2, im_wpix_c(id, i1, 2));
    EXPECT_EQ(-2, im_wpix_i(id, i4, -1)); // checked before a rewind too
    EXPECT_EQ(2, im_wpix_s(id, i2, -1));
    EXPECT_EQ(2, im_wpix_s(id, i2, 2));
    EXPECT_EQ(0, im_close(id));
    id = new_image("w8.fits", 8, 2, 0);
    EXPECT_EQ(-2, im_wpix_s(id, i2, 2));
    EXPECT_EQ(2, im_wpix_c(id, i1, 2));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("w8.fits"));
    EXPECT_EQ(1, b[2880]);
    EXPECT_EQ(2, b[2881]);

    // Closed handles: -3 from every writer.
    EXPECT_EQ(-3, im_wpix_i(id, i4, 1));
    EXPECT_EQ(-3, im_wpix_s(id, i2, 1));
    EXPECT_EQ(-3, im_wpix_c(id, i1, 1));
    float r = 0;
    double d = 0;
    EXPECT_EQ(-3, im_wpix_r(id, &r, 1));
    EXPECT_EQ(-3, im_wpix_d(id, &d, 1));
}

TEST_F(Wpix, IntegerWritersSwapUnlessRaw)
{
    int id = new_image("s16.fits", 16, 2, 0);
    short v[2] = {0x0102, -2};
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    if (im_byteorder() == 0) {
        EXPECT_EQ(0x0201, v[0]); // the caller's shorts are left swapped
    }
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("s16.fits"));
    EXPECT_EQ(0x0102, be16(b, 2880));
    EXPECT_EQ(-2, be16(b, 2882));

    // Raw mode: the caller supplies FITS order and nothing is swapped.
    int old = im_raw(1);
    id = new_image("i32raw.fits", 32, 1, 0);
    const unsigned char fits_order[4] = {0x01, 0x02, 0x03, 0x04};
    int w;
    std::memcpy(&w, fits_order, 4);
    EXPECT_EQ(1, im_wpix_i(id, &w, 1));
    EXPECT_EQ(0, im_close(id));
    im_raw(old);
    b = slurp(path("i32raw.fits"));
    EXPECT_EQ(0x01020304, be32(b, 2880));

    id = new_image("i32.fits", 32, 1, 0);
    w = -123456789;
    EXPECT_EQ(1, im_wpix_i(id, &w, 1));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("i32.fits"));
    EXPECT_EQ(-123456789, be32(b, 2880));
}

TEST_F(Wpix, NameWithoutEndingBecomesFitsWithReservedHeader)
{
    int id = new_image("plain", 16, 2, 0); // 3 cards
    for (int i = 0; i < 30; i++)
        EXPECT_GT(im_wkey_t(id, "COMMENT filler", "end"), 0);
    short v[2] = {7, 8};
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    EXPECT_TRUE(exists(path("plain.fits")));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("plain.fits"));
    ASSERT_EQ(size_t(2 * 2880), b.size()); // 33 cards: one record
    EXPECT_EQ(7, be16(b, 2880));

    id = new_image("plain34", 16, 2, 0);
    for (int i = 0; i < 31; i++)
        EXPECT_GT(im_wkey_t(id, "COMMENT filler", "end"), 0);
    v[0] = 9;
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    EXPECT_EQ(0, im_close(id));
    b = slurp(path("plain34.fits"));
    ASSERT_EQ(size_t(3 * 2880), b.size()); // 34 cards: two records
    EXPECT_EQ(9, be16(b, 5760));
}

TEST_F(Wpix, IrafBitpix8IsRefusedForGood)
{
    int id = new_image("pic.imh", 8, 2, 0);
    unsigned char v[2] = {1, 2};
    float r[2] = {1, 2};
    EXPECT_EQ(-2, im_wpix_c(id, v, 2));
    EXPECT_FALSE(exists(path("pic.pix")));
    EXPECT_FALSE(exists(path("pic.imh")));
    EXPECT_EQ(-2, im_wpix_c(id, v, 2));
    EXPECT_EQ(-2, im_wpix_r(id, r, 2));
    EXPECT_FALSE(exists(path("pic.pix")));
    // Nothing could be created: the close reports it and releases.
    EXPECT_EQ(-2, im_close(id));
    EXPECT_EQ(-3, im_close(id));
}

TEST_F(Wpix, WritesStopAtTheWindowEndAndRewind)
{
    int id = new_image("win.fits", 16, 30, 20); // 600 pixels
    std::vector<float> v(1000, 1.0f);
    EXPECT_EQ(600, im_wpix_r(id, v.data(), 1000));
    EXPECT_EQ(0, im_wpix_r(id, v.data(), 10));
    EXPECT_EQ(600, im_wpix_r(id, v.data(), -1));
    v[0] = 42.0f;
    EXPECT_EQ(1, im_wpix_r(id, v.data(), 1));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("win.fits"));
    EXPECT_EQ(42, be16(b, 2880));
    EXPECT_EQ(1, be16(b, 2882));
    EXPECT_EQ(1, be16(b, 2880 + 2 * 599));
}

TEST_F(Wpix, ZeroPixelsCreateTheFiles)
{
    int id = new_image("zero.fits", 16, 4, 0);
    float v = 5.0f;
    EXPECT_EQ(0, im_wpix_r(id, &v, 0));
    EXPECT_TRUE(exists(path("zero.fits")));
    // Closed without its pixels: refused, and the file it made is removed.
    EXPECT_EQ(-2, im_close(id));
    EXPECT_FALSE(exists(path("zero.fits")));
}

TEST_F(Wpix, SubWindowLinesLandAtTheirFilePositions)
{
    int id = new_image("sub.fits", 16, 5, 4);
    std::vector<short> zeros(20, 0);
    EXPECT_EQ(20, im_wpix_s(id, zeros.data(), 20)); // every pixel, then a box
    int takes[3] = {2, 2, 2};
    int skips[3] = {0, 1, 1};
    ASSERT_EQ(0, im_dwin(id, 1, takes, skips));
    ASSERT_EQ(0, im_swin(id, 1));
    short v[4] = {11, 12, 21, 22};
    EXPECT_EQ(4, im_wpix_s(id, v, 4));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("sub.fits"));
    const int want[20] = {0, 0, 0, 0, 0,
                          0, 11, 12, 0, 0,
                          0, 21, 22, 0, 0,
                          0, 0, 0, 0, 0};
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(want[i], be16(b, 2880 + 2 * i)) << i;
}

TEST_F(Wpix, UpdateWritesInPlaceThroughTheWindow)
{
    int id = new_image("upd.fits", 16, 4, 3);
    EXPECT_GT(im_wkey_t(id, "OBJECT  = 'kept'", "end"), 0);
    std::vector<short> v(12);
    for (int i = 0; i < 12; i++)
        v[i] = short(i);
    EXPECT_EQ(12, im_wpix_s(id, v.data(), 12));
    EXPECT_EQ(0, im_close(id));
    const auto before = slurp(path("upd.fits"));

    int uid = im_open(path("upd.fits").c_str(), "update");
    ASSERT_GT(uid, 0);
    int takes[3] = {2, 2, 1};
    int skips[3] = {2, 1, 1};
    ASSERT_EQ(0, im_dwin(uid, 2, takes, skips));
    ASSERT_EQ(0, im_swin(uid, 2));
    float r[2] = {-1.0f, -2.0f};
    EXPECT_EQ(2, im_wpix_r(uid, r, 2));
    EXPECT_EQ(0, im_close(uid));
    const auto after = slurp(path("upd.fits"));
    ASSERT_EQ(before.size(), after.size());
    for (int i = 0; i < 12; i++) {
        const int want = i == 5 ? -1 : i == 6 ? -2 : i;
        EXPECT_EQ(want, be16(after, 2880 + 2 * i)) << i;
    }
    // The header is rewritten in place, unchanged.
    EXPECT_EQ(0, std::memcmp(before.data(), after.data(), 2880));

    // An image opened for reading cannot be written.
    int rid = im_open(path("upd.fits").c_str(), "read");
    ASSERT_GT(rid, 0);
    EXPECT_EQ(-2, im_wpix_r(rid, r, 1));
    short s = 1;
    EXPECT_EQ(-2, im_wpix_s(rid, &s, 1));
    EXPECT_EQ(0, im_close(rid));
}

TEST_F(Wpix, ZzImagesGetHostOrderPixelsAndATextHeader)
{
    int id = new_image("t.zzh", 16, 3, 0);
    float v[3] = {1.0f, -2.0f, NaNf};
    EXPECT_EQ(3, im_wpix_r(id, v, 3));
    EXPECT_EQ(0, im_close(id));
    auto p = slurp(path("t.zzp"));
    ASSERT_EQ(size_t(6), p.size()); // no padding
    short got[3];
    std::memcpy(got, p.data(), 6);
    EXPECT_EQ(1, got[0]);
    EXPECT_EQ(-2, got[1]);
    EXPECT_EQ(-32768, got[2]);
    auto h = slurp(path("t.zzh"));
    std::string text(h.begin(), h.end());
    EXPECT_EQ(0u, text.find("BITPIX  =                   16\nNAXIS   ="));
    EXPECT_EQ(std::string::npos, text.find("END"));
}

TEST_F(Wpix, LargeBuffersConvertLikeSmallOnes)
{
    // Long enough to cross several conversion chunks, with an odd tail.
    const int n = 5000;
    int id = new_image("big.fits", 16, n, 0);
    EXPECT_GT(im_wkey_d(id, 0.5, "BSCALE"), 0);
    std::vector<float> v(n);
    for (int i = 0; i < n; i++)
        v[i] = (i % 7 == 3) ? NaNf : float(i) * 0.75f - 1000.0f;
    EXPECT_EQ(n, im_wpix_r(id, v.data(), n));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("big.fits"));
    for (int i = 0; i < n; i++) {
        int want;
        if (i % 7 == 3) {
            want = -32768;
        } else {
            const double s = (double(float(i) * 0.75f - 1000.0f)) / 0.5;
            want = int(s >= 0 ? s + 0.5 : s - 0.5);
            want = want > 32767 ? 32767 : want < -32767 ? -32767 : want;
        }
        ASSERT_EQ(want, be16(b, 2880 + 2 * size_t(i))) << i;
    }
}

// The stored bytes at the front of a caller's buffer, as a byte vector.
static std::vector<unsigned char> front_bytes(const void *buffer, size_t n)
{
    const unsigned char *p = static_cast<const unsigned char *>(buffer);
    return std::vector<unsigned char>(p, p + n);
}

TEST_F(Wpix, ARequestPastTheWindowEndConvertsEveryPixel)
{
    // 60000 pixels in the window, 100000 handed over: several runs are
    // written, the rest only converted.
    int id = new_image("past.fits", 16, 300, 200);
    const int n = 100000;
    std::vector<float> v(n);
    for (int k = 0; k < n; k++)
        v[k] = (k % 13 == 6) ? NaNf : float(k % 50000 - 25000);
    EXPECT_EQ(60000, im_wpix_r(id, v.data(), n));
    const auto buf = front_bytes(v.data(), size_t(n) * 2);
    for (int k = 0; k < n; k++)
        ASSERT_EQ(k % 13 == 6 ? -32768 : k % 50000 - 25000, be16(buf, 2 * size_t(k))) << k;
    EXPECT_EQ(0, im_wpix_r(id, v.data(), 1));
    EXPECT_EQ(0, im_close(id));
    const auto b = slurp(path("past.fits"));
    ASSERT_GE(b.size(), size_t(2880 + 120000));
    EXPECT_EQ(0, std::memcmp(b.data() + 2880, buf.data(), 120000));
}

TEST_F(Wpix, AFailedWriteStillConvertsEveryPixelAndKeepsTheWindowCount)
{
    // Images of 1000 x 300 pixels in files that may hold the header and
    // 200000 bytes of pixels: the write fails a few runs into the request.
    const std::string n16 = path("fail16.fits"), n32 = path("fail32.fits");
    const int rc = run_in_child([&]() {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl;
        getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = 2880 + 200000;
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
            return 100;
        const int n = 250000;

        // Floats to shorts.
        int id = im_open(n16.c_str(), "write");
        if (id <= 0 || im_wkey_i(id, 16, "BITPIX") <= 0 || im_wkey_i(id, 2, "NAXIS") <= 0
            || im_wkey_i(id, 1000, "NAXIS1") <= 0 || im_wkey_i(id, 300, "NAXIS2") <= 0)
            return 101;
        std::vector<float> v(n);
        for (int k = 0; k < n; k++)
            v[k] = (k % 11 == 4) ? NaNf : float(k % 60000 - 30000);
        if (im_wpix_r(id, v.data(), n) != -2)
            return 1;
        if (f->cur_window->total_bytes_left_to_write != 600000)
            return 2;
        if (f->cur_window->cur_byte_write != 200000) /* 100 lines were stored */
            return 3;
        const auto s = front_bytes(v.data(), size_t(n) * 2);
        for (int k = 0; k < n; k++)
            if (be16(s, 2 * size_t(k)) != (k % 11 == 4 ? -32768 : k % 60000 - 30000))
                return 4;
        im_close(id);

        // Doubles narrowed to floats.
        id = im_open(n32.c_str(), "write");
        if (id <= 0 || im_wkey_i(id, -32, "BITPIX") <= 0 || im_wkey_i(id, 2, "NAXIS") <= 0
            || im_wkey_i(id, 1000, "NAXIS1") <= 0 || im_wkey_i(id, 300, "NAXIS2") <= 0)
            return 102;
        std::vector<double> d(n);
        for (int k = 0; k < n; k++)
            d[k] = (k % 11 == 4) ? double(NaNf) : k * 0.1 - 1.0e4;
        if (im_wpix_d(id, d.data(), n) != -2)
            return 5;
        if (f->cur_window->total_bytes_left_to_write != 1200000)
            return 6;
        if (f->cur_window->cur_byte_write != 200000) /* 50 lines were stored */
            return 7;
        const auto t = front_bytes(d.data(), size_t(n) * 4);
        for (int k = 0; k < n; k++) {
            const float got = be_float(t, 4 * size_t(k));
            const bool ok = k % 11 == 4 ? std::isnan(got) : got == float(k * 0.1 - 1.0e4);
            if (!ok)
                return 8;
        }
        im_close(id);
        return 0;
    });
    EXPECT_EQ(0, rc);
}

/* test_hdrclean: the output header's scaling keywords for each BITPIX, and
 * that pixels written with them read back unchanged (within one step). */
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "imlib.h"
#include "test_support.h"
#include "tool.h"

namespace {

const int S = 8, L = 5;

std::string temp_name(const char *stem)
{
    static int serial = 0;
    return "hdrclean_" + std::to_string(getpid()) + "_" + std::to_string(++serial) + "_" +
           stem + ".fits";
}

/* A new output image with a header of the given BITPIX (0: no BITPIX card)
 * and an S x L geometry; extra cards appended as given. */
int new_output(const std::string &name, int bitpix, const std::vector<std::string> &extra = {})
{
    int id = im_open(name.c_str(), "write");
    EXPECT_GT(id, 0);
    if (bitpix != 0) {
        EXPECT_GE(im_wkey_i(id, bitpix, "BITPIX"), 0);
    }
    EXPECT_GE(im_wkey_i(id, 2, "NAXIS"), 0);
    EXPECT_GE(im_wkey_i(id, S, "NAXIS1"), 0);
    EXPECT_GE(im_wkey_i(id, L, "NAXIS2"), 0);
    for (const std::string &c : extra)
        EXPECT_GE(im_wkey_t(id, c.c_str(), "end"), 0);
    return id;
}

image_info info_for(int id)
{
    image_info info{};
    info.handle = id;
    info.n_pixels = S * L;
    im_blank(&info.blank);
    return info;
}

/* Pixels spread evenly over [lo, hi]. */
std::vector<float> ramp(double lo, double hi)
{
    std::vector<float> p(S * L);
    for (int i = 0; i < S * L; i++)
        p[i] = static_cast<float>(lo + (hi - lo) * i / (S * L - 1));
    return p;
}

double rkey_d(int id, const char *key)
{
    double v = NAN;
    EXPECT_GT(im_rkey_d(id, &v, key), 0) << key;
    return v;
}

/* Write pixels through the header hdrclean chose, close, and read them back
 * with the library. */
std::vector<float> round_trip(int id, const std::string &name, std::vector<float> pixels)
{
    EXPECT_EQ(S * L, im_wpix_r(id, pixels.data(), S * L));
    EXPECT_EQ(0, im_close(id));
    int in = im_open(name.c_str(), "read");
    EXPECT_GT(in, id);
    std::vector<float> back(S * L, 0.0f);
    EXPECT_EQ(S * L, im_rpix_r(in, back.data(), S * L));
    EXPECT_EQ(0, im_close(in));
    std::remove(name.c_str());
    return back;
}

void expect_close(const std::vector<float> &want, const std::vector<float> &got, double tol)
{
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); i++) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << i;
        else
            EXPECT_NEAR(got[i], want[i], tol) << i;
    }
}

} // namespace

TEST(HeaderCleanup, Bitpix16CentresTheRange)
{
    std::string name = temp_name("b16");
    int id = new_output(name, 16);
    std::vector<float> px = ramp(-10.0, 30.0);
    image_info info = info_for(id);
    debug = 0;
    hdrclean(px.data(), &info);
    int blank = 0;
    EXPECT_GT(im_rkey_i(id, &blank, "BLANK"), 0);
    EXPECT_EQ(-32768, blank);
    EXPECT_NEAR(rkey_d(id, "BSCALE"), 40.0 / 65534.0, 1e-12);
    EXPECT_NEAR(rkey_d(id, "BZERO"), 10.0, 1e-9);
    EXPECT_NEAR(rkey_d(id, "DATAMAX"), 30.0, 1e-6);
    EXPECT_NEAR(rkey_d(id, "DATAMIN"), -10.0, 1e-6);
    expect_close(px, round_trip(id, name, px), 40.0 / 65534.0);
}

TEST(HeaderCleanup, Bitpix32UsesTheWholeIntRange)
{
    std::string name = temp_name("b32");
    int id = new_output(name, 32);
    std::vector<float> px = ramp(-5000.0, 125000.0);
    px[3] = NAN;                                   /* blanks take no part */
    image_info info = info_for(id);
    hdrclean(px.data(), &info);
    int blank = 0;
    EXPECT_GT(im_rkey_i(id, &blank, "BLANK"), 0);
    EXPECT_EQ(-2147483647, blank);
    EXPECT_NEAR(rkey_d(id, "BSCALE"), 130000.0 / 4294967292.0, 1e-12);
    EXPECT_NEAR(rkey_d(id, "BZERO"), 60000.0, 1e-6);
    EXPECT_NEAR(rkey_d(id, "DATAMAX"), 125000.0, 1e-3);
    EXPECT_NEAR(rkey_d(id, "DATAMIN"), -5000.0, 1e-3);
    /* One stored step is 3e-5; the float read back holds 24 bits. */
    expect_close(px, round_trip(id, name, px), 4e-3);
}

TEST(HeaderCleanup, Bitpix8MapsMinimumToZeroSoNothingIsClipped)
{
    std::string name = temp_name("b8");
    int id = new_output(name, 8);
    std::vector<float> px = ramp(-20.0, 107.0);
    image_info info = info_for(id);
    hdrclean(px.data(), &info);
    int blank = 0;
    EXPECT_GT(im_rkey_i(id, &blank, "BLANK"), 0);
    EXPECT_EQ(255, blank);
    EXPECT_NEAR(rkey_d(id, "BSCALE"), 127.0 / 254.0, 1e-12);
    EXPECT_NEAR(rkey_d(id, "BZERO"), -20.0, 1e-9);
    /* The whole range survives, the lower half included. */
    expect_close(px, round_trip(id, name, px), 0.5 * 127.0 / 254.0 + 1e-6);
}

TEST(HeaderCleanup, FloatOutputGetsOnlyTheDataRange)
{
    std::string name = temp_name("f32");
    int id = new_output(name, -32);
    std::vector<float> px = ramp(-3.5, 2.25);
    px[5] = INFINITY;                              /* not part of the range */
    px[6] = NAN;
    image_info info = info_for(id);
    hdrclean(px.data(), &info);
    double v;
    EXPECT_EQ(-1, im_rkey_d(id, &v, "BSCALE"));
    EXPECT_EQ(-1, im_rkey_d(id, &v, "BZERO"));
    EXPECT_EQ(-1, im_rkey_d(id, &v, "BLANK"));
    EXPECT_NEAR(rkey_d(id, "DATAMAX"), 2.25, 1e-6);
    EXPECT_NEAR(rkey_d(id, "DATAMIN"), -3.5, 1e-6);
    std::vector<float> back = round_trip(id, name, px);
    EXPECT_TRUE(std::isnan(back[6]));
    EXPECT_EQ(px[0], back[0]);
}

TEST(HeaderCleanup, ConstantImageKeepsItsValue)
{
    for (int bitpix : {8, 16, 32}) {
        std::string name = temp_name("const");
        int id = new_output(name, bitpix);
        std::vector<float> px(S * L, 7.25f);
        image_info info = info_for(id);
        hdrclean(px.data(), &info);
        EXPECT_EQ(1.0, rkey_d(id, "BSCALE")) << bitpix;
        EXPECT_NEAR(rkey_d(id, "BZERO"), 7.25, 1e-12) << bitpix;
        expect_close(px, round_trip(id, name, px), 1e-6);
    }
}

TEST(HeaderCleanup, AllBlankImageStaysReadable)
{
    for (int bitpix : {16, -32}) {
        std::string name = temp_name("blank");
        int id = new_output(name, bitpix, {"DATAMAX =                 12.0",
                                           "DATAMIN =                 -1.0"});
        std::vector<float> px(S * L);
        for (float &p : px)
            im_blank(&p);
        image_info info = info_for(id);
        hdrclean(px.data(), &info);
        double v;
        EXPECT_EQ(-1, im_rkey_d(id, &v, "DATAMAX")) << bitpix;
        EXPECT_EQ(-1, im_rkey_d(id, &v, "DATAMIN")) << bitpix;
        if (bitpix == 16) {
            EXPECT_EQ(1.0, rkey_d(id, "BSCALE"));
            EXPECT_EQ(0.0, rkey_d(id, "BZERO"));
        }
        expect_close(px, round_trip(id, name, px), 0.0);
    }
}

/* A range handed in by the caller stands for a scan of the pixels: the
 * header is card for card what the scan gives, and the pixels are not
 * consulted (a range unlike them is what the header then states). */
TEST(HeaderCleanup, SuppliedRangeReplacesTheScan)
{
    std::vector<float> px = ramp(-10.0, 30.0);
    px[4] = NAN;
    px[9] = -INFINITY;
    std::vector<std::string> scanned_cards, supplied_cards;
    for (int pass = 0; pass < 2; pass++) {
        std::string name = temp_name("range");
        int id = new_output(name, 16);
        image_info info = info_for(id);
        if (pass == 0) {
            hdrclean(px.data(), &info);
        } else {
            pixel_range r{};
            scan_range(px.data(), S * L, &r);
            hdrclean(px.data(), &info, &r);
        }
        std::vector<std::string> &cards = pass == 0 ? scanned_cards : supplied_cards;
        char card[81];
        for (int rc = im_rkey_t(id, card, "1"); rc > 0; rc = im_rkey_t(id, card, "+"))
            cards.push_back(card);
        EXPECT_EQ(0, im_file(id, "d")); // header checked: the image is not kept
        std::remove(name.c_str());
    }
    EXPECT_GT(scanned_cards.size(), 8u);
    EXPECT_EQ(scanned_cards, supplied_cards);

    std::string name = temp_name("range");
    int id = new_output(name, 16);
    image_info info = info_for(id);
    const pixel_range wide{-20.0f, 60.0f, 1};
    hdrclean(px.data(), &info, &wide);
    EXPECT_NEAR(rkey_d(id, "DATAMAX"), 60.0, 1e-9);
    EXPECT_NEAR(rkey_d(id, "DATAMIN"), -20.0, 1e-9);
    EXPECT_NEAR(rkey_d(id, "BSCALE"), 80.0 / 65534.0, 1e-12);
    EXPECT_NEAR(rkey_d(id, "BZERO"), 20.0, 1e-9);
    const pixel_range none{FLT_MAX, -FLT_MAX, 0};
    hdrclean(px.data(), &info, &none);
    double v;
    EXPECT_EQ(-1, im_rkey_d(id, &v, "DATAMAX"));
    EXPECT_EQ(-1, im_rkey_d(id, &v, "DATAMIN"));
    EXPECT_EQ(1.0, rkey_d(id, "BSCALE"));
    EXPECT_EQ(0.0, rkey_d(id, "BZERO"));
    EXPECT_EQ(0, im_file(id, "d")); // header checked: the image is not kept
    std::remove(name.c_str());
}

TEST(HeaderCleanup, MissingBitpixWarnsAndUses32)
{
    std::string name = temp_name("nobitpix");
    int id = new_output(name, 0);
    std::vector<float> px = ramp(0.0, 1.0);
    image_info info = info_for(id);
    testing::internal::CaptureStderr();
    hdrclean(px.data(), &info);
    EXPECT_EQ("No BITPIX value set for output image\nI'll set and use BITPIX = 32\n",
              testing::internal::GetCapturedStderr());
    int bitpix = 0, blank = 0;
    EXPECT_GT(im_rkey_i(id, &bitpix, "BITPIX"), 0);
    EXPECT_EQ(32, bitpix);
    EXPECT_GT(im_rkey_i(id, &blank, "BLANK"), 0);
    EXPECT_EQ(-2147483647, blank);
    EXPECT_EQ(0, im_file(id, "d")); // header checked: the image is not kept
    std::remove(name.c_str());
}

TEST(HeaderCleanup, DebugReportShowsTheChosenValues)
{
    std::string name = temp_name("report");
    int id = new_output(name, 16);
    std::vector<float> px = ramp(-10.0, 30.0);
    image_info info = info_for(id);
    debug = 7;
    testing::internal::CaptureStderr();
    hdrclean(px.data(), &info);
    std::string err = testing::internal::GetCapturedStderr();
    debug = 0;
    EXPECT_EQ("Cleanup decided on these values for the output header:\n"
              "Based on BITPIX = 16\n"
              "BLANK    == -32768\n"
              "BSCALE   == 0.0006103701895\n"
              "BZERO    == 10\n"
              "DATAMAX  == 30\n"
              "DATAMIN  == -10\n",
              err);
    EXPECT_EQ(0, im_file(id, "d")); // header checked: the image is not kept
    std::remove(name.c_str());
}

TEST(HeaderCleanupDeath, UnknownBitpixOrUnreadableHeaderIsFatal)
{
    GTEST_FLAG_SET(death_test_style, testsup::death_test_style());
    std::vector<float> px = ramp(0.0, 1.0);
    EXPECT_EXIT(
        {
            int id = new_output(temp_name("b64"), -64);
            image_info info = info_for(id);
            hdrclean(px.data(), &info);
        },
        testing::ExitedWithCode(255), "^HELP! Serious error bad bitpix\n$");
    EXPECT_EXIT(
        {
            image_info info = info_for(-5);
            hdrclean(px.data(), &info);
        },
        testing::ExitedWithCode(255), "^Couldn't rewind header on output image! Giving up\n$");
    EXPECT_EXIT(
        {
            int id = im_open(temp_name("empty").c_str(), "write");
            image_info info = info_for(id);
            hdrclean(px.data(), &info);
        },
        testing::ExitedWithCode(255), "Couldn't rewind header on output image! Giving up\n$");
}

// IRAF header writing: the IMHDR fields at their on-disk offsets, names and
// title, the history area (host-order characters, overflow to the user
// area), the user area, the copy at the start of the pixel file, updates,
// refused cards, read-back through im_open, and the IRAF time stamp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::close_suite_dir;
using testsup::new_image;
using testsup::open_suite_dir;
using testsup::path;
using testsup::slurp;

int32_t i32(const std::vector<unsigned char> &b, size_t at)
{
    int32_t v;
    std::memcpy(&v, &b.at(at), 4);
    return v;
}

float f32(const std::vector<unsigned char> &b, size_t at)
{
    float v;
    std::memcpy(&v, &b.at(at), 4);
    return v;
}

// 16-bit characters in host order (character in the low-order byte), up
// to a NUL character or n bytes.
std::string iraf_text(const std::vector<unsigned char> &b, size_t at, size_t n)
{
    std::string s;
    const size_t low = im_byteorder() == 1 ? 1 : 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        const unsigned char c = b.at(at + i + low);
        EXPECT_EQ(0, b.at(at + i + 1 - low)) << "high byte at " << at + i;
        if (c == 0)
            break;
        s.push_back(char(c));
    }
    return s;
}

int open_fds(void)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        n++;
    closedir(d);
    return n;
}

class IrafWrite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { open_suite_dir("test_iraf_write"); }
    static void TearDownTestSuite() { close_suite_dir(); }
};

} // namespace

TEST_F(IrafWrite, NewHeaderHasEveryFieldAtItsOffset)
{
    // Real pixels: BSCALE and BZERO stay in their fields (only scaled
    // integers are turned into real pixels).
    int id = new_image("pic.imh", -32, 3, 2);
    EXPECT_GT(im_wkey_d(id, 2.0, "BSCALE"), 0);
    EXPECT_GT(im_wkey_d(id, 100.0, "BZERO"), 0);
    EXPECT_GT(im_wkey_c(id, "M31 field", "OBJECT"), 0);
    EXPECT_GT(im_wkey_d(id, -5.0, "DATAMIN"), 0);
    EXPECT_GT(im_wkey_d(id, 250.0, "DATAMAX"), 0);
    EXPECT_GT(im_wkey_i(id, 4, "NBLANKS"), 0);
    EXPECT_GT(im_wkey_c(id, "2020-01-01", "DATE"), 0);
    EXPECT_GT(im_wkey_t(id, "HISTORY first", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "COMMENT kept in the user area", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "HISTORY second", "end"), 0);
    EXPECT_GT(im_wkey_d(id, 10.5, "CRVAL1"), 0);
    float v[6] = {1, 2, 3, -4, 5, 6};
    const int32_t before = get_iraf_time();
    EXPECT_EQ(6, im_wpix_r(id, v, 6));
    EXPECT_EQ(0, im_close(id));
    const int32_t after = get_iraf_time();

    auto h = slurp(path("pic.imh"));
    ASSERT_EQ(size_t(2052 + 2 * 162 + 2), h.size());
    EXPECT_EQ("imhdr", iraf_text(h, 0, 12));
    EXPECT_EQ(int32_t(h.size() / 4), i32(h, 12));
    EXPECT_EQ(6, i32(h, 16));
    EXPECT_EQ(2, i32(h, 20));
    EXPECT_EQ(3, i32(h, 24));
    EXPECT_EQ(2, i32(h, 28));
    EXPECT_EQ(3, i32(h, 52));
    EXPECT_EQ(2, i32(h, 56));
    EXPECT_EQ(513, i32(h, 88));
    EXPECT_EQ(513 + 12, i32(h, 92));
    EXPECT_EQ(513 + 12 + 4096, i32(h, 96));
    EXPECT_EQ(4, i32(h, 104));
    const int32_t ctime = i32(h, 108);
    EXPECT_GE(ctime, before);
    EXPECT_LE(ctime, after);
    EXPECT_EQ(ctime, i32(h, 112));
    EXPECT_EQ(ctime, i32(h, 116));
    EXPECT_FLOAT_EQ(250.0f, f32(h, 120));
    EXPECT_FLOAT_EQ(-5.0f, f32(h, 124));
    EXPECT_FLOAT_EQ(2.0f, f32(h, 212));
    EXPECT_FLOAT_EQ(100.0f, f32(h, 216));
    EXPECT_EQ("HDR$pic.pix", iraf_text(h, 412, 160));
    EXPECT_EQ("pic.imh", iraf_text(h, 572, 160));
    EXPECT_EQ("M31 field", iraf_text(h, 732, 160));

    // History: each entry ends in a newline character, the area in NUL.
    EXPECT_EQ("'2020-01-01'\nfirst\nsecond\n", iraf_text(h, 892, 1024));

    // User area: 81 characters per card, then one NUL unit.
    std::string u1 = "COMMENT kept in the user area";
    u1.resize(80, ' ');
    EXPECT_EQ(u1 + "\n", iraf_text(h, 2052, 162));
    EXPECT_EQ(0u, iraf_text(h, 2052 + 162, 162).find("CRVAL1  =                 10.5"));
    EXPECT_EQ(0, h[2052 + 324]);
    EXPECT_EQ(0, h[2052 + 325]);

    // The pixel file starts with the first 1024 bytes, magic "impix".
    auto p = slurp(path("pic.pix"));
    ASSERT_EQ(size_t(1024 + 24), p.size());
    EXPECT_EQ("impix", iraf_text(p, 0, 12));
    EXPECT_EQ(0, std::memcmp(&p[12], &h[12], 1024 - 12));
    float got[6];
    std::memcpy(got, &p[1024], 24);
    EXPECT_EQ(-4.0f, got[3]);
}

TEST_F(IrafWrite, WrittenImageReadsBack)
{
    int id = new_image("back.imh", -32, 4, 2);
    EXPECT_GT(im_wkey_c(id, "Crab", "OBJECT"), 0);
    EXPECT_GT(im_wkey_t(id, "OBSERVER= 'someone'", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "HISTORY step one", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "HISTORY step two", "end"), 0);
    float v[8] = {0.5f, 1.5f, 2.5f, 3.5f, -1.0f, -2.0f, 1e6f, 0.0f};
    EXPECT_EQ(8, im_wpix_r(id, v, 8));
    EXPECT_EQ(0, im_close(id));

    int rid = im_open(path("back.imh").c_str(), "read");
    ASSERT_GT(rid, 0);
    int n = 0;
    EXPECT_GT(im_rkey_i(rid, &n, "BITPIX"), 0);
    EXPECT_EQ(-32, n);
    EXPECT_GT(im_rkey_i(rid, &n, "NAXIS1"), 0);
    EXPECT_EQ(4, n);
    EXPECT_GT(im_rkey_i(rid, &n, "NAXIS2"), 0);
    EXPECT_EQ(2, n);
    char text[81];
    EXPECT_GT(im_rkey_c(rid, text, "OBJECT"), 0);
    EXPECT_STREQ("Crab    ", text); // the title keeps the quoted blanks
    EXPECT_GT(im_rkey_c(rid, text, "OBSERVER"), 0);
    EXPECT_STREQ("someone", text);
    char card[81];
    EXPECT_GT(im_rkey_t(rid, card, "HISTORY"), 0);
    EXPECT_STREQ("HISTORY step one", card);
    EXPECT_GT(im_rkey_t(rid, card, "HISTORY"), 0);
    EXPECT_STREQ("HISTORY step two", card);
    float r[8];
    EXPECT_EQ(8, im_rpix_r(rid, r, 8));
    EXPECT_FLOAT_EQ(2.5f, r[2]);
    EXPECT_FLOAT_EQ(1e6f, r[6]);
    EXPECT_EQ(0, im_close(rid));
}

TEST_F(IrafWrite, BzeroAloneGivesUnitScale)
{
    int id = new_image("bz.imh", -32, 1, 1);
    EXPECT_GT(im_wkey_d(id, 7.0, "BZERO"), 0);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("bz.imh"));
    EXPECT_FLOAT_EQ(1.0f, f32(h, 212));
    EXPECT_FLOAT_EQ(7.0f, f32(h, 216));

    id = new_image("bz0.imh", -32, 1, 1);
    EXPECT_GT(im_wkey_d(id, 0.0, "BSCALE"), 0);
    EXPECT_GT(im_wkey_d(id, 3.0, "BZERO"), 0);
    EXPECT_EQ(0, im_close(id));
    h = slurp(path("bz0.imh"));
    EXPECT_FLOAT_EQ(1.0f, f32(h, 212));
}

TEST_F(IrafWrite, ScaledIntegerImagesAreWrittenAsRealPixels)
{
    // IRAF tasks ignore BSCALE/BZERO, so scaled integers are stored as the
    // physical values in real pixels; unscaled integers stay integers.
    const struct {
        const char *name;
        int bitpix;
        double bscale, bzero;
        bool blank;
        int32_t pixtype;
    } cases[] = {
        {"s16.imh", 16, 0.5, 100.0, true, 6},
        {"z32.imh", 32, 1.0, 32768.0, false, 6},
        {"s8.imh", 8, 2.0, 0.0, false, 6},  // bytes become storable too
        {"p16.imh", 16, 1.0, 0.0, true, 3},
    };
    for (const auto &c : cases) {
        int id = new_image(c.name, c.bitpix, 3, 0);
        if (c.bscale != 1.0) {
            EXPECT_GT(im_wkey_d(id, c.bscale, "BSCALE"), 0);
        }
        if (c.bzero != 0.0) {
            EXPECT_GT(im_wkey_d(id, c.bzero, "BZERO"), 0);
        }
        if (c.blank) {
            EXPECT_GT(im_wkey_i(id, c.bitpix == 8 ? 255 : -32768, "BLANK"), 0);
        }
        float v[3] = {101.5f, NAN, 104.0f};
        EXPECT_EQ(3, im_wpix_r(id, v, 3)) << c.name;
        EXPECT_EQ(0, im_close(id)) << c.name;
        auto h = slurp(path(c.name));
        ASSERT_GT(h.size(), size_t(2052)) << c.name;
        EXPECT_EQ(c.pixtype, i32(h, 16)) << c.name;
        if (c.pixtype != 6)
            continue;
        EXPECT_EQ(0.0f, f32(h, 212)) << c.name; // no scaling left in the header
        EXPECT_EQ(0.0f, f32(h, 216)) << c.name;
        int rid = im_open(path(c.name).c_str(), "read");
        ASSERT_GT(rid, 0) << c.name;
        char card[81];
        for (const char *key : {"BSCALE", "BZERO", "BLANK"})
            EXPECT_EQ(-1, im_rkey_t(rid, card, key)) << c.name << " " << key;
        float r[3];
        ASSERT_EQ(3, im_rpix_r(rid, r, 3)) << c.name;
        EXPECT_EQ(101.5f, r[0]) << c.name;
        EXPECT_EQ(0.0f, r[1]) << c.name; // IRAF real images have no blank
        EXPECT_EQ(104.0f, r[2]) << c.name;
        EXPECT_EQ(0, im_close(rid));
    }

    // Integer callers cannot fill a real image.
    int id = new_image("ints.imh", 16, 2, 0);
    EXPECT_GT(im_wkey_d(id, 2.0, "BSCALE"), 0);
    short s[2] = {1, 2};
    EXPECT_EQ(-2, im_wpix_s(id, s, 2));
    im_close(id);
    EXPECT_EQ(-3, im_close(id));
}

TEST_F(IrafWrite, HistoryThatDoesNotFitGoesToTheUserArea)
{
    int id = new_image("hist.imh", 16, 1, 1);
    // Entries of 60 characters take 122 bytes: eight fit (976 bytes).
    const std::string sixty(60, 'h');
    for (int i = 0; i < 9; i++)
        EXPECT_GT(im_wkey_t(id, ("HISTORY " + sixty).c_str(), "end"), 0);
    EXPECT_GT(im_wkey_t(id, "HISTORY ok", "end"), 0); // 6 bytes still fit
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("hist.imh"));
    std::string want;
    for (int i = 0; i < 8; i++)
        want += sixty + "\n";
    want += "ok\n";
    EXPECT_EQ(want, iraf_text(h, 892, 1024));
    ASSERT_EQ(size_t(2052 + 162 + 2), h.size());
    EXPECT_EQ(0u, iraf_text(h, 2052, 162).find("HISTORY " + sixty));

    // Entries that end exactly at the area's last character unit.
    id = new_image("histfull.imh", 16, 1, 1);
    const std::string seventy2(72, 'x'); // 146 bytes each: 7 make 1022
    for (int i = 0; i < 8; i++)
        EXPECT_GT(im_wkey_t(id, ("HISTORY " + seventy2).c_str(), "end"), 0);
    EXPECT_EQ(0, im_close(id));
    h = slurp(path("histfull.imh"));
    EXPECT_EQ(size_t(7 * 73), iraf_text(h, 892, 1024).size());
    EXPECT_EQ('\n', h[892 + 1020 + (im_byteorder() ? 1 : 0)]);
    EXPECT_EQ(0, h[892 + 1022]);
    EXPECT_EQ(0, h[892 + 1023]);
    EXPECT_EQ(size_t(2052 + 162 + 2), h.size());
}

TEST_F(IrafWrite, AxesBeyondSevenGoToTheUserArea)
{
    int id = im_open(path("ax8.imh").c_str(), "write");
    ASSERT_GT(id, 0);
    EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
    EXPECT_GT(im_wkey_i(id, 8, "NAXIS"), 0);
    EXPECT_GT(im_wkey_i(id, 2, "NAXIS1"), 0);
    for (int k = 2; k <= 8; k++)
        EXPECT_GT(im_wkey_i(id, 1, im_key("NAXIS", k)), 0);
    short v[2] = {1, 2};
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("ax8.imh"));
    EXPECT_EQ(8, i32(h, 20));
    EXPECT_EQ(2, i32(h, 24));
    EXPECT_EQ(1, i32(h, 24 + 6 * 4));
    ASSERT_EQ(size_t(2052 + 162 + 2), h.size());
    EXPECT_EQ(0u, iraf_text(h, 2052, 162).find("NAXIS8  ="));
}

TEST_F(IrafWrite, CardColumnsDecideWhereCardsGo)
{
    int id = new_image("cols.imh", 16, 2, 1);
    EXPECT_GT(im_wkey_t(id, "ORIGIN  = 'KPNO'", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "NAXIS1X =                    5", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "NAXIS 7 =                    5", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "OBJECT  = 'O''Brien'", "end"), 0);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("cols.imh"));
    // ORIGIN: a history entry of its text from column 11.
    EXPECT_EQ("'KPNO'\n", iraf_text(h, 892, 1024));
    // The title ends at the first quote from column 13 on.
    EXPECT_EQ("O", iraf_text(h, 732, 160));
    // NAXIS with anything but a blank in column 7, or a blank column 6
    // followed by a character, is an ordinary user-area card.
    EXPECT_EQ(2, i32(h, 20));
    EXPECT_EQ(2, i32(h, 24));
    EXPECT_EQ(0, i32(h, 24 + 6 * 4));
    ASSERT_EQ(size_t(2052 + 2 * 162 + 2), h.size());
    EXPECT_EQ(0u, iraf_text(h, 2052, 162).find("NAXIS1X ="));
    EXPECT_EQ(0u, iraf_text(h, 2052 + 162, 162).find("NAXIS 7 ="));
}

TEST_F(IrafWrite, LongNamesAndTitlesAreCutToTheirFields)
{
    const std::string stem(100, 'n');
    int id = new_image(stem + ".imh", 16, 1, 1);
    const std::string title(68, 't');
    EXPECT_GT(im_wkey_c(id, title.c_str(), "OBJECT"), 0);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path(stem + ".imh"));
    EXPECT_EQ(stem.substr(0, 80), iraf_text(h, 572, 160));
    EXPECT_EQ("HDR$" + stem.substr(0, 76), iraf_text(h, 412, 160));
    EXPECT_EQ(title, iraf_text(h, 732, 160));
}

TEST_F(IrafWrite, UpdateTruncatesTheHeaderAtItsNewEnd)
{
    int id = new_image("upd.imh", 16, 2, 1);
    for (int i = 0; i < 5; i++)
        EXPECT_GT(im_wkey_t(id, "COMMENT old", "end"), 0);
    short v[2] = {8, 9};
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    EXPECT_EQ(0, im_close(id));
    auto old = slurp(path("upd.imh"));
    ASSERT_EQ(size_t(2052 + 5 * 162 + 2), old.size());

    int uid = im_open(path("upd.imh").c_str(), "update");
    ASSERT_GT(uid, 0);
    char buf[81];
    for (int i = 0; i < 3; i++) {
        EXPECT_GT(im_rkey_t(uid, buf, "COMMENT"), 0);
        EXPECT_EQ(1, im_wkey_t(uid, "", "delete"));
    }
    short w = 10;
    EXPECT_EQ(1, im_wpix_s(uid, &w, 1));
    EXPECT_EQ(0, im_close(uid));
    auto h = slurp(path("upd.imh"));
    ASSERT_EQ(size_t(2052 + 2 * 162 + 2), h.size());
    EXPECT_EQ(int32_t(h.size() / 4), i32(h, 12));
    EXPECT_EQ(i32(old, 108), i32(h, 108)); // creation time kept
    EXPECT_GE(i32(h, 112), i32(old, 112));
    EXPECT_EQ(3, i32(h, 16));
    EXPECT_EQ(2, i32(h, 24));
    auto p = slurp(path("upd.pix"));
    short got[2];
    std::memcpy(got, &p[1024], 4);
    EXPECT_EQ(10, got[0]);
    EXPECT_EQ(9, got[1]);
}

TEST_F(IrafWrite, RefusedPixelTypeKeepsTheImageOpenAndClosesTheHeaderFile)
{
    int id = new_image("ref.imh", 16, 2, 1);
    short v[2] = {1, 2};
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    EXPECT_GT(im_wkey_i(id, 8, "BITPIX"), 0);
    const int fds = open_fds();
    EXPECT_EQ(-2, im_close(id));
    EXPECT_EQ(fds, open_fds());
    EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("ref.imh"));
    EXPECT_EQ(3, i32(h, 16));

    // Without any BITPIX the header could not be read back: refused.
    id = im_open(path("nobit.imh").c_str(), "write");
    ASSERT_GT(id, 0);
    EXPECT_GT(im_wkey_i(id, 1, "NAXIS"), 0);
    EXPECT_GT(im_wkey_i(id, 1, "NAXIS1"), 0);
    EXPECT_EQ(-2, im_close(id));
    EXPECT_GT(im_wkey_i(id, -32, "BITPIX"), 0);
    EXPECT_EQ(0, im_close(id));
}

TEST(IrafTime, CountsLocalSecondsFrom1980)
{
    const char *old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    const int64_t epoch = 315532800;

    setenv("TZ", "UTC0", 1);
    tzset();
    int64_t now = int64_t(std::time(nullptr));
    int64_t stamp = get_iraf_time();
    EXPECT_NEAR(double(now - epoch), double(stamp), 2.0);

    setenv("TZ", "XXX-3", 1); // three hours east of Greenwich
    tzset();
    now = int64_t(std::time(nullptr));
    stamp = get_iraf_time();
    EXPECT_NEAR(double(now + 10800 - epoch), double(stamp), 2.0);

    // Five hours west, daylight saving time all year round.
    setenv("TZ", "EST5EDT,0/0,J365/25", 1);
    tzset();
    now = int64_t(std::time(nullptr));
    stamp = get_iraf_time();
    EXPECT_NEAR(double(now - 18000 + 3600 - epoch), double(stamp), 2.0);

    if (old != nullptr)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

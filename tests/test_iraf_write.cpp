// IRAF header writing: the IMHDR fields at their on-disk offsets, names and
// title, the history area (host-order characters, overflow to the user
// area), the user area, the copy at the start of the pixel file, updates,
// refused cards, read-back through im_open, and the IRAF time stamp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::close_suite_dir;
using testsup::new_image;
using testsup::open_suite_dir;
using testsup::open_fds;
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

// 8-bit text from byte at up to a NUL or n bytes.
// Writes every pixel (zeros) of the new image id, which a close needs.
void fill_pixels(int id)
{
    const fid_struct *p = find_fid(id);
    std::vector<float> v(p != nullptr ? size_t(p->n_pixels) : 0, 0.0f);
    EXPECT_EQ(int(v.size()), im_wpix_r(id, v.data(), int(v.size())));
}

std::string text8(const std::vector<unsigned char> &b, size_t at, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && b.at(at + i) != 0; i++)
        s.push_back(char(b[at + i]));
    return s;
}

// Sets the environment variable oifversion for one scope (unset for
// nullptr), putting back what it was.
class OifVersion {
public:
    explicit OifVersion(const char *value)
    {
        const char *old = std::getenv("oifversion");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value != nullptr)
            setenv("oifversion", value, 1);
        else
            unsetenv("oifversion");
    }
    ~OifVersion()
    {
        if (had_)
            setenv("oifversion", old_.c_str(), 1);
        else
            unsetenv("oifversion");
    }

private:
    bool had_ = false;
    std::string old_;
};

class IrafWrite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { open_suite_dir("test_iraf_write"); }
    static void TearDownTestSuite() { close_suite_dir(); }
};

// The cards that fill the header fields of both versions (scaling, title,
// limits, blank count, date) and a HISTORY and COMMENT card, given to id.
void give_field_cards(int id)
{
    EXPECT_GT(im_wkey_d(id, 2.0, "BSCALE"), 0);
    EXPECT_GT(im_wkey_d(id, 100.0, "BZERO"), 0);
    EXPECT_GT(im_wkey_c(id, "M31 field", "OBJECT"), 0);
    EXPECT_GT(im_wkey_d(id, -5.0, "DATAMIN"), 0);
    EXPECT_GT(im_wkey_d(id, 250.0, "DATAMAX"), 0);
    EXPECT_GT(im_wkey_i(id, 4, "NBLANKS"), 0);
    EXPECT_GT(im_wkey_c(id, "2020-01-01", "DATE"), 0);
    EXPECT_GT(im_wkey_t(id, "HISTORY first", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "COMMENT kept in the user area", "end"), 0);
}

// Write the six real pixels of the 3 x 2 field image to id and close it;
// before and after get the IRAF clock read around the write, the bounds of
// the creation time the header must record.
void write_field_pixels(int id, int32_t &before, int32_t &after)
{
    float v[6] = {1, 2, 3, -4, 5, 6};
    before = get_iraf_time();
    EXPECT_EQ(6, im_wpix_r(id, v, 6));
    EXPECT_EQ(0, im_close(id));
    after = get_iraf_time();
}

} // namespace

TEST_F(IrafWrite, NewHeaderHasEveryFieldAtItsOffset)
{
    // Real pixels: BSCALE and BZERO stay in their fields (only scaled
    // integers are turned into real pixels).
    int id = new_image("pic.imh", -32, 3, 2);
    give_field_cards(id);
    EXPECT_GT(im_wkey_t(id, "HISTORY second", "end"), 0);
    EXPECT_GT(im_wkey_d(id, 10.5, "CRVAL1"), 0);
    int32_t before = 0, after = 0;
    write_field_pixels(id, before, after);

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
    fill_pixels(id);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("bz.imh"));
    EXPECT_FLOAT_EQ(1.0f, f32(h, 212));
    EXPECT_FLOAT_EQ(7.0f, f32(h, 216));

    id = new_image("bz0.imh", -32, 1, 1);
    EXPECT_GT(im_wkey_d(id, 0.0, "BSCALE"), 0);
    EXPECT_GT(im_wkey_d(id, 3.0, "BZERO"), 0);
    fill_pixels(id);
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
    fill_pixels(id);
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
    fill_pixels(id);
    EXPECT_EQ(0, im_close(id));
    h = slurp(path("histfull.imh"));
    EXPECT_EQ(size_t(7 * 73), iraf_text(h, 892, 1024).size());
    EXPECT_EQ('\n', h[892 + 1020 + (im_byteorder() ? 1 : 0)]);
    EXPECT_EQ(0, h[892 + 1022]);
    EXPECT_EQ(0, h[892 + 1023]);
    EXPECT_EQ(size_t(2052 + 162 + 2), h.size());
}

TEST_F(IrafWrite, AxesBeyondSevenAreRefusedAtTheFirstWrite)
{
    // The reader takes at most 7 axes, so the writer makes no such header.
    for (int naxis : {8, 9}) {
        const std::string name = "ax" + std::to_string(naxis);
        int id = im_open(path(name + ".imh").c_str(), "write");
        ASSERT_GT(id, 0);
        EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
        EXPECT_GT(im_wkey_i(id, naxis, "NAXIS"), 0);
        EXPECT_GT(im_wkey_i(id, 2, "NAXIS1"), 0);
        for (int k = 2; k <= naxis; k++)
            EXPECT_GT(im_wkey_i(id, 1, im_key("NAXIS", k)), 0);
        short v[2] = {1, 2};
        EXPECT_EQ(-2, im_wpix_s(id, v, 2));
        EXPECT_EQ("IRAF images hold at most 7 axes, not " + std::to_string(naxis),
                  std::string(im_errmsg()));
        EXPECT_EQ(-2, im_close(id));
        EXPECT_FALSE(testsup::exists(path(name + ".imh")));
        EXPECT_FALSE(testsup::exists(path(name + ".pix")));
    }
    // More axes given after the first write: the header writer refuses
    // them, and the image stays open to be mended.
    int id8 = new_image("ax8late.imh", 16, 2, 1);
    short two[2] = {1, 2};
    EXPECT_EQ(2, im_wpix_s(id8, two, 2));
    EXPECT_GT(im_wkey_i(id8, 8, "NAXIS"), 0);
    EXPECT_EQ(-4, im_close(id8));
    EXPECT_EQ("IRAF images hold at most 7 axes, not 8", std::string(im_errmsg()));
    EXPECT_GT(im_wkey_i(id8, 2, "NAXIS"), 0);
    EXPECT_EQ(0, im_close(id8));
    // Seven axes are written; a NAXIS8 card beside them is a user card.
    int id = new_image("ax7.imh", 16, 2, 1);
    EXPECT_GT(im_wkey_i(id, 7, "NAXIS"), 0);
    for (int k = 3; k <= 8; k++)
        EXPECT_GT(im_wkey_i(id, 1, im_key("NAXIS", k)), 0);
    fill_pixels(id);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("ax7.imh"));
    EXPECT_EQ(7, i32(h, 20));
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
    fill_pixels(id);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("cols.imh"));
    // ORIGIN: a history entry of its text from column 11.
    EXPECT_EQ("'KPNO'\n", iraf_text(h, 892, 1024));
    // A doubled quote in the value is one quote of the title.
    EXPECT_EQ("O'Brien", iraf_text(h, 732, 160));
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
    fill_pixels(id);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path(stem + ".imh"));
    EXPECT_EQ(stem.substr(0, 80), iraf_text(h, 572, 160));
    EXPECT_EQ("HDR$" + stem.substr(0, 76), iraf_text(h, 412, 160));
    EXPECT_EQ(title, iraf_text(h, 732, 160));
}

// Every card of image id, in order.
static std::vector<std::string> cards_of(int id)
{
    std::vector<std::string> v;
    char card[81];
    for (int rc = im_rkey_t(id, card, "1"); rc > 0; rc = im_rkey_t(id, card, "+"))
        v.push_back(card);
    return v;
}

static bool has_key(const std::vector<std::string> &cards, const char *key8)
{
    for (const std::string &c : cards)
        if (c.compare(0, 8, key8) == 0)
            return true;
    return false;
}

TEST_F(IrafWrite, HeadersReadBackTheSameAfterAnUnchangedUpdate)
{
    // A title holding a quote (read as the escaped OBJECT card), an OBJECT
    // that is not a string (kept as a user card), limits of which one is
    // not a number (no limit cards at all), and DATAMAX and OBJECT given
    // twice (the first fills the field, the repeat stays a user card): an
    // update that changes nothing gives back the same cards.
    for (const char *version : {"1", "2"}) {
        OifVersion v(version);
        const std::string name = std::string("same") + version + ".imh";
        for (int variant = 0; variant < 4; variant++) {
            int id = new_image(name, 16, 2, 1);
            if (variant == 0) {
                EXPECT_GT(im_wkey_t(id, "OBJECT  = 'Andromeda''s core'", "end"), 0);
            }
            if (variant == 1) {
                EXPECT_GT(im_wkey_t(id, "OBJECT  =                    1.", "end"), 0);
            }
            if (variant == 2 || variant == 3) {
                EXPECT_GT(im_wkey_d(id, 1.0, "DATAMIN"), 0);
                EXPECT_GT(im_wkey_d(id, 9.0, "DATAMAX"), 0);
            }
            if (variant == 3) {
                EXPECT_GT(im_wkey_t(id, "OBJECT  = 'first'", "end"), 0);
                EXPECT_GT(im_wkey_t(id, "DATAMAX =                   5.", "end"), 0);
                EXPECT_GT(im_wkey_t(id, "OBJECT  = 'second'", "end"), 0);
            }
            short px[2] = {1, 9};
            EXPECT_EQ(2, im_wpix_s(id, px, 2));
            ASSERT_EQ(0, im_close(id));
            if (variant == 2) {
                // DATAMAX becomes a NaN in the header file.
                const size_t at = version[0] == '1' ? 120 : 118;
                const unsigned char be_nan[4] = {0x7F, 0xC0, 0, 0};
                const float nan = std::nanf("");
                std::FILE *fp = std::fopen(path(name).c_str(), "r+b");
                ASSERT_NE(nullptr, fp);
                std::fseek(fp, long(at), SEEK_SET);
                if (version[0] == '1')
                    std::fwrite(&nan, 4, 1, fp);
                else
                    std::fwrite(be_nan, 1, 4, fp);
                std::fclose(fp);
            }

            int rid = im_open(path(name).c_str(), "read");
            ASSERT_GT(rid, 0);
            const std::vector<std::string> before = cards_of(rid);
            im_close(rid);
            int uid = im_open(path(name).c_str(), "update");
            ASSERT_GT(uid, 0);
            ASSERT_EQ(0, im_close(uid));
            rid = im_open(path(name).c_str(), "read");
            ASSERT_GT(rid, 0);
            EXPECT_EQ(before, cards_of(rid)) << "version " << version << ", case " << variant;
            char text[81];
            if (variant == 0) {
                EXPECT_GT(im_rkey_t(rid, text, "OBJECT"), 0);
                EXPECT_STREQ("OBJECT  = 'Andromeda''s core'", text);
            }
            if (variant == 1) {
                double d = 0;
                EXPECT_GT(im_rkey_d(rid, &d, "OBJECT"), 0);
                EXPECT_EQ(1.0, d);
            }
            if (variant == 2) {
                EXPECT_FALSE(has_key(before, "DATAMIN "));
                EXPECT_FALSE(has_key(before, "DATAMAX "));
            }
            if (variant == 3) {
                // Searches go on from the current card: the first card first.
                double d = 0;
                EXPECT_GT(im_rkey_t(rid, text, "1"), 0);
                EXPECT_GT(im_rkey_c(rid, text, "OBJECT"), 0);
                EXPECT_STREQ("first   ", text);
                EXPECT_GT(im_rkey_t(rid, text, "1"), 0);
                EXPECT_GT(im_rkey_d(rid, &d, "DATAMAX"), 0);
                EXPECT_EQ(9.0, d);
            }
            im_close(rid);
        }
    }
    // The title field itself holds the quote once.
    OifVersion v1("1");
    int id = new_image("quote.imh", 16, 2, 1);
    EXPECT_GT(im_wkey_t(id, "OBJECT  = 'Andromeda''s core'", "end"), 0);
    short px[2] = {1, 9};
    EXPECT_EQ(2, im_wpix_s(id, px, 2));
    ASSERT_EQ(0, im_close(id));
    EXPECT_EQ("Andromeda's core", iraf_text(slurp(path("quote.imh")), 732, 160));
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
    EXPECT_EQ(-4, im_close(id));
    EXPECT_NE(nullptr, std::strstr(im_errmsg(), "cannot hold the card 'BITPIX"));
    EXPECT_EQ(fds, open_fds());
    EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("ref.imh"));
    EXPECT_EQ(3, i32(h, 16));

    // Without any BITPIX the header could not be read back: refused.  The
    // setup at close makes the pixel file; the pixels follow the BITPIX.
    id = im_open(path("nobit.imh").c_str(), "write");
    ASSERT_GT(id, 0);
    EXPECT_GT(im_wkey_i(id, 1, "NAXIS"), 0);
    EXPECT_GT(im_wkey_i(id, 1, "NAXIS1"), 0);
    EXPECT_EQ(-4, im_close(id));
    EXPECT_EQ("the header has no BITPIX card, which IRAF images need", std::string(im_errmsg()));
    EXPECT_GT(im_wkey_i(id, -32, "BITPIX"), 0);
    fill_pixels(id);
    EXPECT_EQ(0, im_close(id));
}

TEST_F(IrafWrite, Version2HeaderHasEveryFieldAtItsOffset)
{
    OifVersion v2("2");
    // Real pixels keep BSCALE and BZERO as cards (scaled integers would be
    // turned into real pixels).
    int id = new_image("pic2.imh", -32, 3, 2);
    give_field_cards(id);
    int32_t before = 0, after = 0;
    write_field_pixels(id, before, after);

    // User area from byte 2046: BSCALE, BZERO (no field of their own) and
    // the comment, 81 bytes each; a NUL, then one more to an even size.
    auto h = slurp(path("pic2.imh"));
    ASSERT_EQ(size_t(2046 + 3 * 81 + 1), h.size());
    EXPECT_EQ(0, std::memcmp(h.data(), "imhv2", 6));
    EXPECT_EQ(int32_t(h.size() / 2 + 1), testsup::be32(h, 6));
    EXPECT_EQ(6, testsup::be32(h, 10));
    EXPECT_EQ(im_byteorder() == 0 ? 1 : 0, testsup::be32(h, 14));
    EXPECT_EQ(2, testsup::be32(h, 18));
    const int32_t lens[7] = {3, 2, 1, 1, 1, 1, 1};
    for (int k = 0; k < 7; k++) {
        EXPECT_EQ(lens[k], testsup::be32(h, 22 + 4 * k)) << k;
        EXPECT_EQ(lens[k], testsup::be32(h, 50 + 4 * k)) << k;
    }
    EXPECT_EQ(513, testsup::be32(h, 86));
    EXPECT_EQ(513 + 12, testsup::be32(h, 90));
    EXPECT_EQ(513 + 12 + 4096, testsup::be32(h, 94));
    EXPECT_EQ(4, testsup::be32(h, 102));
    const int32_t ctime = testsup::be32(h, 106);
    EXPECT_GE(ctime, before);
    EXPECT_LE(ctime, after);
    EXPECT_EQ(ctime, testsup::be32(h, 110));
    EXPECT_EQ(ctime, testsup::be32(h, 114));
    EXPECT_FLOAT_EQ(250.0f, testsup::be_float(h, 118));
    EXPECT_FLOAT_EQ(-5.0f, testsup::be_float(h, 122));
    EXPECT_EQ("HDR$pic2.pix", text8(h, 126, 256));
    EXPECT_EQ("pic2.imh", text8(h, 382, 256));
    EXPECT_EQ("M31 field", text8(h, 638, 384));
    EXPECT_EQ("'2020-01-01'\nfirst\n", text8(h, 1022, 1024));
    EXPECT_EQ(0u, text8(h, 2046, 81).find("BSCALE  =                   2."));
    EXPECT_EQ(0u, text8(h, 2046 + 81, 81).find("BZERO   =                 100."));
    std::string c3 = "COMMENT kept in the user area";
    c3.resize(80, ' ');
    EXPECT_EQ(c3 + "\n", text8(h, 2046 + 162, 81));
    EXPECT_EQ(0, h[2046 + 243]);

    // The pixel file: "impv2", the fields up to im_pixfile, which names the
    // header here; the pixels at byte 1024 in host order.
    auto p = slurp(path("pic2.pix"));
    ASSERT_EQ(size_t(1024 + 24), p.size());
    EXPECT_EQ(0, std::memcmp(p.data(), "impv2", 6));
    EXPECT_EQ(0, std::memcmp(&p[6], &h[6], 126 - 6));
    EXPECT_EQ("pic2.imh", text8(p, 126, 256));
    float got[6];
    std::memcpy(got, &p[1024], 24);
    EXPECT_EQ(-4.0f, got[3]);
}

TEST_F(IrafWrite, VersionFollowsOifversion)
{
    const struct {
        const char *value;
        int version;
    } cases[] = {{nullptr, 1}, {"1", 1}, {"2", 2}, {" 2 ", 2}, {"", 1},
                 {"3", 1}, {"two", 1}, {"2x", 1}, {"-2", 1}};
    for (const auto &c : cases) {
        OifVersion env(c.value);
        int id = new_image("ver.imh", -32, 2, 1);
        float v[2] = {1.5f, -2.5f};
        EXPECT_EQ(2, im_wpix_r(id, v, 2));
        EXPECT_EQ(0, im_close(id));
        auto h = slurp(path("ver.imh"));
        ASSERT_GE(h.size(), 12u);
        const char *shown = c.value != nullptr ? c.value : "(unset)";
        if (c.version == 2) {
            EXPECT_EQ(0, std::memcmp(h.data(), "imhv2", 6)) << shown;
        } else {
            EXPECT_EQ("imhdr", iraf_text(h, 0, 12)) << shown;
        }

        int rid = im_open(path("ver.imh").c_str(), "r");
        ASSERT_GT(rid, 0) << im_errmsg();
        float r[2];
        EXPECT_EQ(2, im_rpix_r(rid, r, 2));
        EXPECT_EQ(1.5f, r[0]);
        EXPECT_EQ(-2.5f, r[1]);
        im_close(rid);
    }
}

TEST_F(IrafWrite, Version2PixelTypesFromBitpix)
{
    OifVersion v2("2");
    const struct {
        int bitpix;
        int32_t type;
    } cases[] = {{16, 3}, {32, 4}, {-32, 6}, {-64, 7}};
    for (const auto &c : cases) {
        int id = new_image("type2.imh", c.bitpix, 2, 1);
        double v[2] = {-3.0, 12.0};
        EXPECT_EQ(2, im_wpix_d(id, v, 2));
        EXPECT_EQ(0, im_close(id));
        auto h = slurp(path("type2.imh"));
        EXPECT_EQ(c.type, testsup::be32(h, 10)) << c.bitpix;
        int rid = im_open(path("type2.imh").c_str(), "r");
        ASSERT_GT(rid, 0);
        EXPECT_EQ(c.bitpix, find_fid(rid)->val_bitpix);
        double r[2];
        EXPECT_EQ(2, im_rpix_d(rid, r, 2));
        EXPECT_EQ(-3.0, r[0]);
        EXPECT_EQ(12.0, r[1]);
        im_close(rid);
    }
}

TEST_F(IrafWrite, Version2HistoryHoldsAtMost1022Characters)
{
    OifVersion v2("2");
    int id = new_image("hist2.imh", 16, 1, 1);
    // Entries of 70 characters take 71 bytes: fourteen fit (994 bytes),
    // the fifteenth goes to the user area, a short one still fits.
    const std::string seventy(70, 'h');
    for (int i = 0; i < 15; i++)
        EXPECT_GT(im_wkey_t(id, ("HISTORY " + seventy).c_str(), "end"), 0);
    EXPECT_GT(im_wkey_t(id, ("HISTORY " + std::string(27, 'k')).c_str(), "end"), 0);
    fill_pixels(id);
    EXPECT_EQ(0, im_close(id));
    auto h = slurp(path("hist2.imh"));
    std::string want;
    for (int i = 0; i < 14; i++)
        want += seventy + "\n";
    want += std::string(27, 'k') + "\n";
    EXPECT_EQ(want, text8(h, 1022, 1024));
    EXPECT_EQ(1022u, want.size());
    ASSERT_EQ(size_t(2046 + 81 + 1), h.size());
    EXPECT_EQ(0u, text8(h, 2046, 81).find("HISTORY " + seventy));
}

TEST_F(IrafWrite, UpdateKeepsTheVersionAndTheUnsignedType)
{
    // A version-2 image made unsigned (type 11) by hand.
    {
        OifVersion v2("2");
        int id = new_image("u2.imh", 16, 2, 1);
        short s[2] = {0, 1};
        EXPECT_EQ(2, im_wpix_s(id, s, 2));
        EXPECT_EQ(0, im_close(id));
    }
    auto h = slurp(path("u2.imh"));
    h[13] = 11;
    std::fill(h.begin() + 382, h.begin() + 638, 'x');   // a header name without its NUL
    testsup::write_file(path("u2.imh"), h);

    OifVersion v1("1");
    int uid = im_open(path("u2.imh").c_str(), "update");
    ASSERT_GT(uid, 0) << im_errmsg();
    double bzero = 0.0;
    EXPECT_GT(im_rkey_d(uid, &bzero, "BZERO"), 0);
    EXPECT_EQ(32768.0, bzero);
    short w[1] = {5};
    EXPECT_EQ(-2, im_wpix_s(uid, w, 1));   // the writers store signed pixels only
    EXPECT_GT(im_wkey_i(uid, 9, "ADDED"), 0);
    EXPECT_EQ(0, im_close(uid));
    h = slurp(path("u2.imh"));
    EXPECT_EQ(0, std::memcmp(h.data(), "imhv2", 6));
    EXPECT_EQ(11, testsup::be32(h, 10));
    ASSERT_EQ(size_t(2046 + 81 + 1), h.size());   // BZERO 32768 has no line
    EXPECT_EQ(0u, text8(h, 2046, 81).find("ADDED   ="));
    EXPECT_EQ(std::string(255, 'x'), text8(slurp(path("u2.pix")), 126, 256));

    // A version-1 image stays version 1 whatever oifversion says.
    int id = new_image("keep1.imh", 16, 2, 1);
    short s[2] = {3, 4};
    EXPECT_EQ(2, im_wpix_s(id, s, 2));
    EXPECT_EQ(0, im_close(id));
    OifVersion v2("2");
    uid = im_open(path("keep1.imh").c_str(), "update");
    ASSERT_GT(uid, 0);
    EXPECT_EQ(0, im_close(uid));
    EXPECT_EQ("imhdr", iraf_text(slurp(path("keep1.imh")), 0, 12));
}

TEST_F(IrafWrite, BothVersionsReadBackAsTheSameCards)
{
    std::vector<std::string> cards[2];
    for (int version = 1; version <= 2; version++) {
        OifVersion env(version == 2 ? "2" : "1");
        const std::string name = "same" + std::to_string(version) + ".imh";
        int id = new_image(name, -32, 3, 1);
        EXPECT_GT(im_wkey_c(id, "Crab", "OBJECT"), 0);
        EXPECT_GT(im_wkey_d(id, 0.5, "DATAMIN"), 0);
        EXPECT_GT(im_wkey_d(id, 9.5, "DATAMAX"), 0);
        EXPECT_GT(im_wkey_t(id, "OBSERVER= 'someone'", "end"), 0);
        EXPECT_GT(im_wkey_t(id, "HISTORY step one", "end"), 0);
        EXPECT_GT(im_wkey_c(id, "KPNO", "ORIGIN"), 0);
        float v[3] = {0.5f, 9.5f, 1.0f};
        EXPECT_EQ(3, im_wpix_r(id, v, 3));
        EXPECT_EQ(0, im_close(id));
        int rid = im_open(path(name).c_str(), "r");
        ASSERT_GT(rid, 0) << im_errmsg();
        cards[version - 1] = testsup::card_texts(rid);
        im_close(rid);
    }
    EXPECT_EQ(cards[0], cards[1]);
    EXPECT_EQ(10u, cards[1].size());
}

// Every header write starts from nothing that an earlier one left: after a
// full history area, a version-2 header, an update of an unsigned image, a
// refused header, or fields filled once (a repeat would go to the user
// area), a plain new image gets its own fields, history and user area.
TEST_F(IrafWrite, NothingCarriesOverFromOneHeaderWriteToTheNext)
{
    const struct {
        const char *name;
        std::function<void()> before;
    } cases[] = {
        {"full history",
         [] {
             int id = new_image("co_hist.imh", 16, 1, 1);
             for (int i = 0; i < 9; i++)
                 EXPECT_GT(im_wkey_t(id, ("HISTORY " + std::string(60, 'h')).c_str(), "end"), 0);
             fill_pixels(id);
             EXPECT_EQ(0, im_close(id));
         }},
        {"version 2",
         [] {
             OifVersion v2("2");
             int id = new_image("co_v2.imh", 32, 2, 1);
             EXPECT_GT(im_wkey_t(id, "HISTORY from a version-2 header", "end"), 0);
             fill_pixels(id);
             EXPECT_EQ(0, im_close(id));
         }},
        {"unsigned update",
         [] {
             int id = new_image("co_u.imh", 16, 2, 1);
             fill_pixels(id);
             EXPECT_EQ(0, im_close(id));
             auto h = slurp(path("co_u.imh"));
             const int32_t ushort_type = 11;
             std::memcpy(&h[16], &ushort_type, 4);
             testsup::write_file(path("co_u.imh"), h);
             int uid = im_open(path("co_u.imh").c_str(), "update");
             ASSERT_GT(uid, 0) << im_errmsg();
             EXPECT_GT(im_wkey_i(uid, 1, "ADDED"), 0);
             EXPECT_EQ(0, im_close(uid));
             EXPECT_EQ(11, i32(slurp(path("co_u.imh")), 16));
         }},
        {"refused header, then mended",
         [] {
             int id = new_image("co_ref.imh", 16, 2, 1);
             fill_pixels(id);
             EXPECT_GT(im_wkey_c(id, "first title", "OBJECT"), 0);
             EXPECT_GT(im_wkey_i(id, 8, "BITPIX"), 0);
             EXPECT_EQ(-4, im_close(id));
             EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
             EXPECT_EQ(0, im_close(id));
         }},
    };
    int k = 0;
    for (const auto &c : cases) {
        c.before();
        const std::string name = "co_plain" + std::to_string(++k) + ".imh";
        int id = new_image(name, 16, 2, 1);
        EXPECT_GT(im_wkey_c(id, "plain image", "OBJECT"), 0);
        EXPECT_GT(im_wkey_d(id, 1.0, "DATAMIN"), 0);
        EXPECT_GT(im_wkey_t(id, "HISTORY one", "end"), 0);
        fill_pixels(id);
        EXPECT_EQ(0, im_close(id)) << c.name << ": " << im_errmsg();
        auto h = slurp(path(name));
        EXPECT_EQ("imhdr", iraf_text(h, 0, 12)) << c.name;
        EXPECT_EQ(3, i32(h, 16)) << c.name;                  // signed 16-bit
        EXPECT_EQ("plain image", iraf_text(h, 732, 160)) << c.name;
        EXPECT_EQ(1.0f, f32(h, 124)) << c.name;              // im_min
        EXPECT_EQ("one\n", iraf_text(h, 892, 1024)) << c.name;
        EXPECT_EQ(size_t(2052 + 2), h.size()) << c.name;     // no user card
    }
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

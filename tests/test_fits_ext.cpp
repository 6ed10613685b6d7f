/* test_fits_ext: FITS image extensions named after the image name --
 * selection by number, by EXTNAME and EXTVER, subsets after the selector,
 * the cards callers see (INHERIT merging, place cards dropped), and the
 * refusals: other extension types, missing HDUs, damaged headers, modes
 * other than reading, and files whose own names end in brackets.
 * Multi-extension files are built here card by card. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "im.h"
#include "imlib.h"
#include "test_support.h"

namespace {

using testsup::card_texts;
using testsup::fits_records;
using testsup::files::int_card;
using testsup::write_file;

std::string path_of(const std::string &name)
{
    return testsup::scratch_dir("test_fits_ext") + "/" + name;
}

/* Big-endian 16-bit pixels of value base, base+1, ..., padded to records. */
std::string data16(int n, int base)
{
    std::string d;
    for (int i = 0; i < n; i++) {
        int v = base + i;
        d += static_cast<char>((v >> 8) & 0xFF);
        d += static_cast<char>(v & 0xFF);
    }
    testsup::pad_to_records(d, '\0');
    return d;
}

/* An image extension of nx x ny 16-bit pixels starting at base. */
std::string image_ext(const std::string &name, int ver, int nx, int ny, int base,
                      const std::vector<std::string> &extra = {})
{
    std::vector<std::string> c = {"XTENSION= 'IMAGE   '", int_card("BITPIX", 16),
                                  int_card("NAXIS", 2), int_card("NAXIS1", nx),
                                  int_card("NAXIS2", ny), int_card("PCOUNT", 0),
                                  int_card("GCOUNT", 1)};
    if (!name.empty())
        c.push_back("EXTNAME = '" + name + "'");
    if (ver > 0)
        c.push_back(int_card("EXTVER", ver));
    c.insert(c.end(), extra.begin(), extra.end());
    return fits_records(c) + data16(nx * ny, base);
}

/* A binary table of one 4-byte column and two rows. */
std::string table_ext(const std::string &name, bool compressed)
{
    std::vector<std::string> c = {"XTENSION= 'BINTABLE'", int_card("BITPIX", 8),
                                  int_card("NAXIS", 2), int_card("NAXIS1", 4),
                                  int_card("NAXIS2", 2), int_card("PCOUNT", 0),
                                  int_card("GCOUNT", 1), int_card("TFIELDS", 1),
                                  "TFORM1  = '1J      '", "EXTNAME = '" + name + "'"};
    if (compressed)
        c.push_back("ZIMAGE  =                    T");
    std::string d(8, '\1');
    testsup::pad_to_records(d, '\0');
    return fits_records(c) + d;
}

/* A primary HDU without data and the cards given. */
std::string primary(const std::vector<std::string> &extra)
{
    std::vector<std::string> c = {"SIMPLE  =                    T", int_card("BITPIX", 8),
                                  int_card("NAXIS", 0), "EXTEND  =                    T"};
    c.insert(c.end(), extra.begin(), extra.end());
    return fits_records(c);
}

/* The standard file of these tests: SCI 1 (3 x 2 from 100), a table,
 * SCI 2 (4 x 2 from 200) with INHERIT, ERR (2 x 2 from 300). */
std::string mef_path()
{
    static std::string p;
    if (p.empty()) {
        p = path_of("mef.fits");
        write_file(p, primary({"TELESCOP= 'HST'", "OBSERVER= 'primary'",
                               "HISTORY made for the tests"}) +
                          image_ext("SCI", 1, 3, 2, 100) + table_ext("TAB", false) +
                          image_ext("SCI", 2, 4, 2, 200,
                                    {"INHERIT =                    T", "OBSERVER= 'ext'"}) +
                          image_ext("err", 0, 2, 2, 300) + table_ext("ZSCI", true));
    }
    return p;
}

/* All pixels of an open image as floats. */
std::vector<float> pixels(int id)
{
    int n = im_rpix_r(id, nullptr, -1);
    std::vector<float> v(n > 0 ? n : 0);
    EXPECT_EQ(n, im_rpix_r(id, v.data(), n));
    return v;
}

bool has_card(int id, const std::string &head)
{
    for (const std::string &c : card_texts(id))
        if (c.compare(0, head.size(), head) == 0)
            return true;
    return false;
}

} // namespace

TEST(FitsExtension, SelectorsFindTheirImageAndItsPixels)
{
    const struct {
        const char *selector;
        std::vector<float> want;
    } cases[] = {
        {"[1]", {100, 101, 102, 103, 104, 105}},
        {"[SCI]", {100, 101, 102, 103, 104, 105}},       // first of the name
        {"[sci,2]", {200, 201, 202, 203, 204, 205, 206, 207}},
        {"[ SCI , 2 ]", {200, 201, 202, 203, 204, 205, 206, 207}},
        {"[3]", {200, 201, 202, 203, 204, 205, 206, 207}},
        {"[ERR,1]", {300, 301, 302, 303}},                // EXTVER absent means 1
        {"[4]", {300, 301, 302, 303}},
        {"[0]", {}},                                       // the primary: no pixels
        {"[SCI,2],@2:3,@2", {205, 206}},                   // subset after the selector
    };
    for (const auto &c : cases) {
        std::string name = mef_path() + c.selector;
        int id = im_open(name.c_str(), "read");
        ASSERT_GT(id, 0) << c.selector << ": " << im_errmsg();
        EXPECT_EQ(c.want, pixels(id)) << c.selector;
        EXPECT_EQ(0, im_close(id));
    }
}

TEST(FitsExtension, CallersSeeTheExtensionsCardsAndInheritedOnes)
{
    // Without INHERIT only the extension's own cards, less those that place
    // it in the file.
    int id = im_open((mef_path() + "[1]").c_str(), "read");
    ASSERT_GT(id, 0);
    std::vector<std::string> cards = card_texts(id);
    ASSERT_GE(cards.size(), 4u);
    EXPECT_EQ(0u, cards[0].find("BITPIX  ="));
    for (const char *gone : {"XTENSION", "PCOUNT", "GCOUNT", "TELESCOP", "INHERIT"})
        EXPECT_FALSE(has_card(id, gone)) << gone;
    EXPECT_TRUE(has_card(id, "EXTNAME = 'SCI'"));
    EXPECT_EQ(0, im_close(id));

    // With INHERIT = T the primary's cards follow, unless the extension has
    // its own; commentary cards are always inherited.
    id = im_open((mef_path() + "[SCI,2]").c_str(), "read");
    ASSERT_GT(id, 0);
    char value[81];
    EXPECT_GT(im_rkey_c(id, value, "OBSERVER"), 0);
    EXPECT_STREQ("ext", value);
    EXPECT_GT(im_rkey_c(id, value, "TELESCOP"), 0);
    EXPECT_STREQ("HST", value);
    EXPECT_TRUE(has_card(id, "HISTORY made for the tests"));
    int n = 0;
    EXPECT_GT(im_rkey_i(id, &n, "NAXIS1"), 0);
    EXPECT_EQ(4, n);                                 // not the primary's NAXIS
    EXPECT_FALSE(has_card(id, "INHERIT"));
    EXPECT_FALSE(has_card(id, "EXTEND"));
    EXPECT_EQ(0, im_close(id));
}

TEST(FitsExtension, RefusalsGiveTheirCodeAndReason)
{
    write_file(path_of("plain.zzh"), std::string("BITPIX  =                   16\n"));
    write_file(path_of("plain.zzp"), std::string(2, '\0'));
    std::string cut = primary({}) + image_ext("SCI", 1, 3, 2, 0);
    cut.resize(2880 + 1000);                          // the extension header ends early
    write_file(path_of("cut.fits"), cut);
    write_file(path_of("twice.fits"),
               primary({}) + image_ext("SCI", 1, 3, 2, 0, {int_card("NAXIS2", 4)}));
    const struct {
        std::string name;
        const char *mode;
        int code;
        const char *reason;
    } cases[] = {
        {mef_path() + "[2]", "r", -1, "extension [2] is a BINTABLE, not an image"},
        {mef_path() + "[ZSCI]", "r", -1, "tile-compressed image"},
        {mef_path() + "[9]", "r", -1, "no extension [9] in the file (it has 5)"},
        {mef_path() + "[SCI,3]", "r", -1, "no extension [SCI,3]"},
        {mef_path() + "[SCI,0]", "r", -2, "bad extension selector [SCI,0]"},
        {mef_path() + "[]", "r", -2, "bad extension selector []"},
        {mef_path() + "[1]", "u", -2, "can be opened for reading only"},
        {path_of("out.fits[1]"), "w", -2, "can be opened for reading only"},
        {path_of("plain.zzh[1]"), "r", -1, "taken for a ZZ image"},
        {path_of("cut.fits[1]"), "r", -1, "ends before its END card"},
        {path_of("none.fits[1]"), "r", -2, "no such file"},
        {path_of("twice.fits[1]"), "r", -1, "FITS extension card 'NAXIS2  =                    4' "
                                            "refused: NAXIS2 is given twice with different values"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.code, im_open(c.name.c_str(), c.mode)) << c.name;
        EXPECT_NE(std::string::npos, std::string(im_errmsg()).find(c.reason))
            << c.name << ": " << im_errmsg();
    }
}

TEST(FitsExtension, NamesThatEndInBracketsOpenAsTheyStand)
{
    // A file whose own name ends in "[1]" is opened as named; a name
    // without brackets behaves as it always did.
    std::string odd = path_of("odd[1]");
    write_file(odd, primary({}) + image_ext("SCI", 1, 2, 1, 7));
    int id = im_open(odd.c_str(), "read");
    ASSERT_GT(id, 0) << im_errmsg();
    EXPECT_TRUE(pixels(id).empty());                 // the primary, as named
    EXPECT_EQ(0, im_close(id));
    id = im_open((odd + "[1]").c_str(), "read");    // its extension, selected
    ASSERT_GT(id, 0) << im_errmsg();
    EXPECT_EQ((std::vector<float>{7, 8}), pixels(id));
    EXPECT_EQ(0, im_close(id));
    // A '[' without a closing ']' is part of the name, and the comma splits.
    write_file(path_of("a[b.fits"), primary({}));
    id = im_open((path_of("a[b.fits") + ",@1").c_str(), "read");
    EXPECT_EQ(-4, id);                                // NAXIS 0: no axis for the field
}

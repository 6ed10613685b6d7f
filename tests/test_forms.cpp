/* test_forms: the table of forms and suffixes -- the form an ending names,
 * the retry order and its message, the suffix a new image receives -- and
 * the ".fit" rule: a name ending in ".fit" is FITS for every open, as it
 * is for the retry list and for pixel-write setup. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "im.h"
#include "test_support.h"
#include "imlib.h"

namespace {

std::string path_of(const std::string &name)
{
    return testsup::scratch_dir("test_forms") + "/" + name;
}

} // namespace

TEST(FormTable, EndingsNameTheirForms)
{
    const struct {
        const char *name;
        file_type_enum type;
    } cases[] = {
        {"a.imh", Type_iraf},  {"a.zzh", Type_zz},       {"a.fits", Type_fits},
        {"a.fit", Type_fits},  {"a.s", Type_S},          {"dir.fit/a.s", Type_S},
        {"a.FITS", Type_unknown}, {"a.fitz", Type_unknown}, {"fits", Type_unknown},
        {"a.zzp", Type_unknown},  {"", Type_unknown},       {"-", Type_unknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.type, IM_type_from_ending(c.name)) << c.name;
}

TEST(FormTable, SuffixesAreTriedListedAndGivenInTableOrder)
{
    char list[64];
    IM_suffix_list(list, sizeof list);
    EXPECT_STREQ(".imh, .zzh, .fits, .fit or .s", list);
    for (const suffix_struct &s : IM_suffixes) {
        EXPECT_LE(std::strlen(s.suffix), size_t(IM_SUFFIX_ROOM)) << s.suffix;
        EXPECT_EQ(s.type, IM_type_from_ending(s.suffix)) << s.suffix;
    }
    /* a new image receives the first suffix of its form */
    EXPECT_STREQ(".imh", IM_suffix_of(Type_iraf));
    EXPECT_STREQ(".zzh", IM_suffix_of(Type_zz));
    EXPECT_STREQ(".fits", IM_suffix_of(Type_fits));
    EXPECT_EQ(nullptr, IM_suffix_of(Type_unknown));
    /* a short buffer is cut and terminated */
    char small[6];
    IM_suffix_list(small, sizeof small);
    EXPECT_STREQ(".imh,", small);
}

TEST(FitRule, ANewFitImageIsFitsFromItsOpenWhateverHeaderItCopies)
{
    /* A ZZ source: the copy of its header must not make the new image ZZ. */
    testsup::write_file(path_of("src.zzh"), "BITPIX  =                   16\n"
                                            "NAXIS   =                    1\n"
                                            "NAXIS1  =                    3\n");
    testsup::write_file(path_of("src.zzp"), std::string(6, '\0'));
    const int in = im_open(path_of("src.zzh").c_str(), "r");
    ASSERT_GT(in, 0) << im_errmsg();
    const int out = im_open(path_of("new.fit").c_str(), "w");
    ASSERT_GT(out, in);
    int type = -1;
    EXPECT_EQ(0, im_rkey_i(out, &type, "filetype"));
    EXPECT_EQ(int(Type_fits), type);
    const int olds[] = {in, 0};
    ASSERT_EQ(0, im_hdr(out, olds, ""));
    EXPECT_EQ(0, im_rkey_i(out, &type, "filetype"));
    EXPECT_EQ(int(Type_fits), type);
    const short want[3] = {1, -2, 300};
    short px[3] = {1, -2, 300};   /* the writer leaves the stored form here */
    ASSERT_EQ(3, im_wpix_s(out, px, 3));
    ASSERT_EQ(0, im_close(out)) << im_errmsg();
    ASSERT_EQ(0, im_close(in));
    EXPECT_FALSE(testsup::exists(path_of("new.fit.fits")));

    /* Read back under its own name: the FITS reader takes it. */
    const std::vector<unsigned char> b = testsup::slurp(path_of("new.fit"));
    ASSERT_EQ(size_t(2 * 2880), b.size());
    EXPECT_EQ(0, std::memcmp(b.data(), "SIMPLE  =", 9));
    const int back = im_open(path_of("new.fit").c_str(), "r");
    ASSERT_GT(back, 0) << im_errmsg();
    EXPECT_EQ(Type_fits, find_fid(back)->file_type);
    short got[3] = {0, 0, 0};
    EXPECT_EQ(3, im_rpix_s(back, got, 3));
    EXPECT_EQ(0, std::memcmp(want, got, sizeof want));
    im_close(back);

    /* A ".fit" name is FITS as ".fits" is: other content is refused. */
    testsup::write_file(path_of("text.fit"), "BITPIX  =                   16\n");
    EXPECT_EQ(-1, im_open(path_of("text.fit").c_str(), "r"));
    EXPECT_NE(nullptr, std::strstr(im_errmsg(), "taken for FITS")) << im_errmsg();
}

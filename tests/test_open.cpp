/* test_open: opening images -- names, suffix fallback, detection by content,
 * standard input, write opens, failure codes and the release of everything
 * a failed open took (each form's reader has its own test file).  Test images are built here
 * byte by byte in a private temporary directory. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "im.h"
#include "test_support.h"
#include "imlib.h"

namespace {

using testsup::card_texts;
using testsup::fits_records;
using testsup::write_file;
using namespace testsup::files;  /* int_card, image_cards, small_fits, s_file */

/* One temporary directory per process, removed at exit. */
std::string scratch_dir() { return testsup::scratch_dir("test_open"); }

std::string path_of(const std::string &name) { return scratch_dir() + "/" + name; }

/* Lowest free descriptor number right now. */
int next_fd()
{
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

} // namespace

TEST(OpenNames, WriteOpenSplitsNameAtFirstCommaAndOpensNothing)
{
    std::string name = path_of("new_out.fits") + ",b,c";
    int id = im_open(name.c_str(), "w");
    ASSERT_GT(id, 0);
    fid_struct *p = find_fid(id);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->user_filename, name.c_str());
    EXPECT_EQ(std::string(p->hdr_filename), path_of("new_out.fits"));
    EXPECT_STREQ(p->subset_text, "b,c");
    EXPECT_EQ(p->file_type, Type_fits);
    EXPECT_EQ(p->mode, 2);
    EXPECT_EQ(p->need_wpix_setup, 1);
    EXPECT_EQ(p->magic, FID_MAGIC);
    EXPECT_EQ(p->unix_hdr_fid, 0);
    EXPECT_EQ(p->n_headers, 0);
    EXPECT_DOUBLE_EQ(p->val_scale, 1.0);
    EXPECT_EQ(p->windows[1].total_bytes, -1);
    EXPECT_EQ(p->windows[4].total_bytes, -1);
    EXPECT_EQ(access(path_of("new_out.fits").c_str(), F_OK), -1);
}

TEST(OpenNames, WriteOpenTakesFormFromEnding)
{
    struct {
        const char *name;
        file_type_enum type;
    } cases[] = {{"a.imh", Type_iraf}, {"a.zzh", Type_zz}, {"a.fits", Type_fits},
                 {"a.s", Type_S},      {"a.fit", Type_fits}, {"s", Type_unknown},
                 {"a.FITS", Type_unknown}};
    int last = 0;
    for (const auto &c : cases) {
        int id = im_open(path_of(c.name).c_str(), "write");
        ASSERT_GT(id, last) << c.name;
        last = id;
        EXPECT_EQ(find_fid(id)->file_type, c.type) << c.name;
    }
    EXPECT_EQ(im_open("-", "w"), -2);
    int id = im_open("-", "w-");
    ASSERT_GT(id, last);
    EXPECT_EQ(find_fid(id)->file_type, Type_unknown);
}

TEST(OpenNames, OverlongNamesAndSubsetsAreRefusedNotTruncated)
{
    std::string dir = scratch_dir() + "/";
    /* user_filename holds 1023 characters */
    EXPECT_EQ(im_open(std::string(1024, 'n').c_str(), "w"), -2);
    /* the path must leave room for a five-character suffix */
    std::string longest = dir + std::string(1018 - dir.size(), 'p');
    int id = im_open(longest.c_str(), "w");
    ASSERT_GT(id, 0);
    EXPECT_EQ(std::strlen(find_fid(id)->hdr_filename), 1018u);
    EXPECT_EQ(im_open((longest + "q").c_str(), "w"), -2);
    EXPECT_EQ(im_open((longest + "q").c_str(), "r"), -2);
    /* subset_text holds 63 characters */
    std::string sub63 = dir + "o.fits," + std::string(63, 's');
    id = im_open(sub63.c_str(), "w");
    ASSERT_GT(id, 0);
    EXPECT_EQ(std::strlen(find_fid(id)->subset_text), 63u);
    EXPECT_EQ(im_open((sub63 + "s").c_str(), "w"), -4);
}

TEST(OpenModes, BadModesAndArguments)
{
    std::string img = path_of("modes.fits");
    write_file(img, small_fits());
    EXPECT_EQ(im_open(img.c_str(), "x"), -3);
    EXPECT_EQ(im_open(img.c_str(), ""), -3);
    EXPECT_EQ(im_open(img.c_str(), nullptr), -2);
    EXPECT_EQ(im_open(nullptr, "r"), -2);
    EXPECT_EQ(im_open("-", "r"), -3);
    EXPECT_EQ(im_open("-", "read"), -3);
}

TEST(OpenModes, ReadAndUpdateUseTheirOpenFlags)
{
    std::string img = path_of("flags.fits");
    write_file(img, small_fits());
    int r = im_open(img.c_str(), "read");
    ASSERT_GT(r, 0);
    fid_struct *p = find_fid(r);
    EXPECT_EQ(p->mode, 1);
    EXPECT_EQ(fcntl(p->unix_hdr_fid, F_GETFL) & O_ACCMODE, O_RDONLY);
    int u = im_open(img.c_str(), "update");
    ASSERT_GT(u, r);
    p = find_fid(u);
    EXPECT_EQ(p->mode, 3);
    EXPECT_EQ(fcntl(p->unix_hdr_fid, F_GETFL) & O_ACCMODE, O_RDWR);
    im_close(r);
    im_close(u);
}

TEST(OpenFallback, BareNameFindsSuffixedFileInOrder)
{
    write_file(path_of("m31.fits"), small_fits());
    int id = im_open(path_of("m31").c_str(), "r");
    ASSERT_GT(id, 0);
    fid_struct *p = find_fid(id);
    EXPECT_EQ(std::string(p->hdr_filename), path_of("m31.fits"));
    EXPECT_EQ(std::string(p->pix_filename), path_of("m31.fits"));
    EXPECT_EQ(p->file_type, Type_fits);
    im_close(id);

    /* ".fit" is the fourth suffix; ".s" the last, after a missing x.fits */
    write_file(path_of("old.fit"), small_fits());
    id = im_open(path_of("old").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(std::string(find_fid(id)->hdr_filename), path_of("old.fit"));
    EXPECT_EQ(find_fid(id)->file_type, Type_fits);
    im_close(id);

    write_file(path_of("x.fits.s"), s_file(46, 12, 2892, image_cards(16, 2, 2)));
    id = im_open(path_of("x.fits").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(std::string(find_fid(id)->hdr_filename), path_of("x.fits.s"));
    EXPECT_EQ(find_fid(id)->file_type, Type_S);
    im_close(id);

    EXPECT_EQ(im_open(path_of("absent.fits").c_str(), "r"), -2);
    EXPECT_EQ(im_open(path_of("absent.fits").c_str(), "u"), -2);
}

TEST(OpenDetect, ContentDecidesWhenEndingIsUnknown)
{
    write_file(path_of("simple.dat"), small_fits());
    int id = im_open(path_of("simple.dat").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->file_type, Type_fits);
    EXPECT_EQ(find_fid(id)->io_offset, 2880);
    im_close(id);

    write_file(path_of("bitpix.dat"), "BITPIX  =                   16\nNAXIS   =                    0\n");
    write_file(path_of("bitpix.dat.zzp"), "");
    id = im_open(path_of("bitpix.dat").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->file_type, Type_zz);
    EXPECT_EQ(std::string(find_fid(id)->pix_filename), path_of("bitpix.dat.zzp"));
    im_close(id);

    write_file(path_of("naxis.dat"), "NAXIS   =                    0\nBITPIX  =                    8\n");
    write_file(path_of("naxis.dat.zzp"), "");
    id = im_open(path_of("naxis.dat").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->file_type, Type_zz);
    im_close(id);

    write_file(path_of("tape.dat"), s_file(46, 100, 2980, image_cards(8, 2, 2)));
    id = im_open(path_of("tape.dat").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->file_type, Type_S);
    EXPECT_EQ(find_fid(id)->io_offset, 2980);
    im_close(id);

    /* no form, or too short to show one: bytes past the end match nothing */
    write_file(path_of("junk.dat"), std::string(100, 'j'));
    EXPECT_EQ(im_open(path_of("junk.dat").c_str(), "r"), -1);
    write_file(path_of("sim.dat"), "SIMPL");
    EXPECT_EQ(im_open(path_of("sim.dat").c_str(), "r"), -1);
    write_file(path_of("naxi.dat"), "NAXI");
    EXPECT_EQ(im_open(path_of("naxi.dat").c_str(), "r"), -1);
    write_file(path_of("empty.dat"), "");
    EXPECT_EQ(im_open(path_of("empty.dat").c_str(), "r"), -1);
    write_file(path_of("tape3.dat"), std::string("\x2e\0\0", 3));
    EXPECT_EQ(im_open(path_of("tape3.dat").c_str(), "r"), -1);
}

TEST(OpenStdin, FitsFromStandardInputIgnoresSubset)
{
    std::string img = path_of("stdin.fits");
    write_file(img, small_fits(3, 2));
    int saved = dup(0);
    ASSERT_GT(saved, 0);
    int fd = open(img.c_str(), O_RDONLY);
    ASSERT_GE(dup2(fd, 0), 0);
    close(fd);
    std::clearerr(stdin);

    int id = im_open("-,100:200", "r-");
    ASSERT_GT(id, 0);
    fid_struct *p = find_fid(id);
    EXPECT_EQ(p->unix_hdr_fid, 0);
    EXPECT_EQ(p->unix_pix_fid, 0);
    EXPECT_EQ(p->file_type, Type_fits);
    EXPECT_STREQ(p->subset_text, "");
    EXPECT_EQ(p->io_offset, 2880);
    EXPECT_EQ(p->n_pixels, 6);
    /* standard input now holds no further header */
    std::clearerr(stdin);
    EXPECT_EQ(im_open("-", "r-"), -1);

    dup2(saved, 0);
    close(saved);
    std::clearerr(stdin);
}

TEST(OpenStdin, ClosedStandardInputNeverLendsDescriptorZero)
{
    std::string img = path_of("fd0.fits");
    write_file(img, small_fits());
    write_file(path_of("fd0.zzh"), "NAXIS   =                    0\n");
    write_file(path_of("fd0.zzp"), "");
    int saved = dup(0);
    ASSERT_GT(saved, 0);
    close(0);
    int id = im_open(img.c_str(), "r");
    int zz = im_open(path_of("fd0.zzh").c_str(), "r");
    int zero_free = fcntl(0, F_GETFD) == -1;
    dup2(saved, 0);
    close(saved);
    ASSERT_GT(id, 0);
    ASSERT_GT(zz, id);
    EXPECT_GT(find_fid(id)->unix_hdr_fid, 0);
    EXPECT_GT(find_fid(zz)->unix_pix_fid, 0);
    EXPECT_TRUE(zero_free);
    im_close(id);
    im_close(zz);
}

TEST(OpenSubset, UnusableSubsetGivesMinus4)
{
    std::string img = path_of("sub.fits");
    write_file(img, small_fits());
    /* an ambiguous plain number range cannot be applied */
    EXPECT_EQ(im_open((img + ",100:200").c_str(), "r"), -4);
}

TEST(OpenRelease, FailedOpenConsumesHandleAndFreesDescriptor)
{
    int a = im_open(path_of("h1.fits").c_str(), "w");
    ASSERT_GT(a, 0);
    EXPECT_EQ(im_open(path_of("nothing_here").c_str(), "r"), -2);
    EXPECT_EQ(f, nullptr);
    int b = im_open(path_of("h2.fits").c_str(), "w");
    ASSERT_GT(b, a + 1);
    for (int h = a + 1; h < b; h++)
        EXPECT_EQ(find_fid(h), nullptr);
}

TEST(OpenRelease, ThousandsOfFailedOpensLeakNoDescriptors)
{
    write_file(path_of("rel_junk.dat"), std::string(64, 'j'));
    write_file(path_of("rel_noend.fits"), fits_records(image_cards(16, 2, 2), false));
    write_file(path_of("rel_huge.fits"), fits_records(image_cards(8, 65536, 65536)));
    write_file(path_of("rel_nopix.zzh"), "NAXIS   =                    0\n");
    std::string bad_s = s_file(46, 12, 12, {int_card("NAXIS", 0)});
    int32_t far = 1 << 30; /* pixels past the end of the file */
    std::memcpy(&bad_s[8], &far, 4);
    write_file(path_of("rel_bad.s"), bad_s);
    write_file(path_of("rel_sub.fits"), small_fits());
    std::vector<std::string> cards = image_cards(16, 2, 2);
    for (int i = 0; i < 120; i++) /* three card blocks before the failure */
        cards.push_back(int_card("EXTRA", i));
    cards.push_back(int_card("BITPIX", 24));
    write_file(path_of("rel_cards.fits"), fits_records(cards));

    struct {
        std::string name;
        int code;
    } kinds[] = {{path_of("rel_absent"), -2},       {path_of("rel_junk.dat"), -1},
                 {path_of("rel_noend.fits"), -1},   {path_of("rel_huge.fits"), -1},
                 {path_of("rel_nopix.zzh"), -2},    {path_of("rel_bad.s"), -1},
                 {path_of("rel_sub.fits") + ",100:200", -4},
                 {path_of("rel_cards.fits"), -1}};
    int before = next_fd();
    int wrong = 0;
    for (int i = 0; i < 3000; i++) {
        const auto &k = kinds[i % (sizeof kinds / sizeof kinds[0])];
        if (im_open(k.name.c_str(), i % 2 ? "r" : "u") != k.code)
            wrong++;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_LE(next_fd(), before);
}

/* ---- Reasons ---------------------------------------------------------- */

TEST(OpenReasons, EveryRefusalSaysWhy)
{
    write_file(path_of("why_junk.dat"), std::string(64, 'j'));
    std::vector<std::string> cards = image_cards(16, 2, 2);
    cards[0] = "SIMPLE  =                    F";
    write_file(path_of("why_simplef.fits"), fits_records(cards));
    write_file(path_of("why_noend.fits"), fits_records(image_cards(16, 2, 2), false));
    write_file(path_of("why_bitpix.fits"), fits_records(image_cards(24, 2, 2)));
    write_file(path_of("why_huge.fits"), fits_records(image_cards(8, 46341, 46341)));
    write_file(path_of("why_nopix.zzh"), std::string("BITPIX  =                   16\n"));
    write_file(path_of("why_type.s"), s_file(45, 12, 0, image_cards(16, 1, 1)));
    write_file(path_of("why_sub.fits"), small_fits());
    const struct {
        std::string name;
        const char *mode;
        int code;
        std::string reason;
    } cases[] = {
        {path_of("why_none"), "r", -2, "no such file (nor with .imh, .zzh, .fits, .fit or .s"},
        {path_of("why_junk.dat"), "r", -1, "match no known form"},
        {path_of("why_simplef.fits"), "r", -1, "taken for FITS, but its first card is not SIMPLE"},
        {path_of("why_noend.fits"), "r", -1, "ends before the END card"},
        {path_of("why_bitpix.fits"), "r", -1, "'BITPIX  =                   24'"},
        {path_of("why_huge.fits"), "r", -1, "'NAXIS2  =                46341' has a value the library cannot use"},
        {path_of("why_nopix.zzh"), "r", -2, "ZZ pixel file " + path_of("why_nopix.zzp") + ": no such file"},
        {path_of("why_type.s"), "r", -1, "not of type 46"},
        {path_of("why_sub.fits") + "," + std::string(70, '@'), "r", -4, "longer than 63 characters"},
        {path_of("why_sub.fits"), "x", -3, "unknown mode \"x\""},
        {"-", "r", -3, "standard input only in mode \"r-\""},
        {"-", "w", -2, "standard output only in mode \"w-\""},
        {std::string(1100, 'n'), "r", -2, "longer than 1023 characters"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.code, im_open(c.name.c_str(), c.mode)) << c.name.substr(0, 80);
        EXPECT_NE(std::string::npos, std::string(im_errmsg()).find(c.reason))
            << c.name.substr(0, 80) << ": " << im_errmsg();
    }
    int id = im_open(path_of("why_sub.fits").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_STREQ("", im_errmsg()); // a success leaves no reason behind
    im_close(id);
}

TEST(OpenReasons, PermissionDeniedIsNamed)
{
    // Root may read anything: the open is tried by an unprivileged child.
    std::string img = path_of("secret.fits");
    write_file(img, small_fits());
    ASSERT_EQ(0, chmod(img.c_str(), 0600));
    ASSERT_EQ(0, chmod(scratch_dir().c_str(), 0755));
    int status = testsup::run_in_child([&] {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 3;
        if (im_open(img.c_str(), "r") != -2)
            return 1;
        return std::string(im_errmsg()) == img + ": permission denied" ? 0 : 2;
    });
    EXPECT_EQ(0, status);
}

/* ---- Hostile headers -------------------------------------------------- */

TEST(OpenHostile, LayoutCardsGivenTwiceWithOtherValuesAreRefusedInEveryForm)
{
    std::vector<std::string> naxis1 = image_cards(16, 4, 3);
    naxis1.push_back(int_card("NAXIS1", 8));
    std::vector<std::string> bitpix = image_cards(16, 4, 3);
    bitpix.insert(bitpix.begin() + 2, int_card("BITPIX", 8));
    std::vector<std::string> naxis = image_cards(16, 4, 3);
    naxis.push_back(int_card("NAXIS", 1));
    write_file(path_of("twice_naxis1.fits"), fits_records(naxis1) + std::string(64, '\0'));
    write_file(path_of("twice_bitpix.fits"), fits_records(bitpix) + std::string(24, '\0'));
    write_file(path_of("twice_naxis.fits"), fits_records(naxis) + std::string(24, '\0'));
    write_file(path_of("twice.zzh"), "BITPIX  =                   16\nNAXIS   =                    2\n"
                                     "NAXIS1  =                    4\nNAXIS2  =                    3\n"
                                     "NAXIS2   =                   6\n");
    write_file(path_of("twice.zzp"), std::string(24, '\0'));
    std::vector<std::string> s_cards(naxis1.begin() + 1, naxis1.end());
    write_file(path_of("twice.s"), s_file(46, 12, 12 + 2880, s_cards) + std::string(24, '\0'));
    const struct {
        const char *name;
        const char *reason;
    } cases[] = {
        {"twice_naxis1.fits", "FITS card 'NAXIS1  =                    8' refused: NAXIS1 is given twice with different values"},
        {"twice_bitpix.fits", "FITS card 'BITPIX  =                    8' refused: BITPIX is given twice with different values"},
        {"twice_naxis.fits", "FITS card 'NAXIS   =                    1' refused: NAXIS is given twice with different values"},
        {"twice.zzh", "ZZ card 'NAXIS2   =                   6' refused: NAXIS2 is given twice with different values"},
        {"twice.s", "S card 'NAXIS1  =                    8' refused: NAXIS1 is given twice with different values"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(-1, im_open(path_of(c.name).c_str(), "r")) << c.name;
        EXPECT_STREQ(c.reason, im_errmsg()) << c.name;
    }

    /* the same value again: one card, and the image reads */
    std::vector<std::string> same = image_cards(16, 4, 3);
    same.push_back(int_card("NAXIS1", 4) + " / again");
    write_file(path_of("twice_same.fits"), fits_records(same) + std::string(24, '\0'));
    int id = im_open(path_of("twice_same.fits").c_str(), "r");
    ASSERT_GT(id, 0) << im_errmsg();
    EXPECT_EQ((std::vector<std::string>{int_card("BITPIX", 16), int_card("NAXIS", 2),
                                        int_card("NAXIS1", 4), int_card("NAXIS2", 3)}),
              card_texts(id));
    short pix[12];
    EXPECT_EQ(12, im_rpix_s(id, pix, 12));
    im_close(id);
}

TEST(OpenHostile, ScalingCardsGivenTwiceWithOtherValuesAreRefused)
{
    /* The pixels would follow the last BSCALE, BZERO or BLANK while keyword
     * reads find the first: refused.  The same value twice keeps both. */
    const struct {
        const char *key;
        int first, second;
        int code;
    } cases[] = {
        {"BSCALE", 2, 3, -1}, {"BZERO", 10, -10, -1}, {"BLANK", -1, 0, -1}, {"BSCALE", 2, 2, 1},
    };
    for (const auto &c : cases) {
        std::vector<std::string> cards = image_cards(16, 4, 3);
        cards.push_back(int_card(c.key, c.first));
        cards.push_back(int_card("DATE", 1));
        cards.push_back(int_card(c.key, c.second));
        write_file(path_of("twice_scale.fits"), fits_records(cards) + std::string(24, '\1'));
        const int id = im_open(path_of("twice_scale.fits").c_str(), "r");
        if (c.code < 0) {
            EXPECT_EQ(c.code, id) << c.key;
            EXPECT_EQ("FITS card '" + int_card(c.key, c.second) + "' refused: " + c.key +
                          " is given twice with different values",
                      std::string(im_errmsg()))
                << c.key;
            continue;
        }
        ASSERT_GT(id, 0) << im_errmsg();
        EXPECT_EQ(7u, card_texts(id).size());
        float pix[12];
        EXPECT_EQ(12, im_rpix_r(id, pix, 12));
        EXPECT_EQ(257.0f * 2, pix[0]);
        im_close(id);
    }
}

TEST(OpenHostile, ABlankOnlyValueMeansAnEmptyOneTrimmedOrNot)
{
    /* A ZZ line keeps its trailing blanks where the FITS reader cuts them:
     * "BSCALE  =" followed by blanks has no value, as it has in FITS, so
     * after another BSCALE it is refused in both forms, never taken as
     * the same value. */
    for (const char *key : {"BSCALE", "BZERO"}) {
        for (const char *pad : {"", "      "}) {
            const std::string empty = std::string(key) + std::string(8 - std::strlen(key), ' ') +
                                      "=" + pad;
            write_file(path_of("blankval.zzh"),
                       "BITPIX  =                   16\nNAXIS   =                    1\n"
                       "NAXIS1  =                    2\n" +
                           int_card(key, 3) + "\n" + empty + "\n");
            write_file(path_of("blankval.zzp"), std::string(4, '\0'));
            EXPECT_EQ(-1, im_open(path_of("blankval.zzh").c_str(), "r")) << key << pad;
            EXPECT_NE(std::string::npos,
                      std::string(im_errmsg())
                          .find(std::string("refused: ") + key + " is given twice"))
                << key << "[" << pad << "]: " << im_errmsg();
        }
    }
}

TEST(OpenHostile, CardsWithLineBreaksStayOneLineInEveryWrittenForm)
{
    for (const char *ending : {".zzh", ".imh", ".fits"}) {
        const std::string name = path_of(std::string("breaks") + ending);
        for (const char *version : {"1", "2"}) {
            setenv("oifversion", version, 1);
            int w = im_open(name.c_str(), "w");
            ASSERT_GT(w, 0);
            im_wkey_i(w, 16, "BITPIX");
            im_wkey_i(w, 1, "NAXIS");
            im_wkey_i(w, 2, "NAXIS1");
            EXPECT_EQ(1, im_wkey_c(w, "two\nlines", "OBJECT"));
            EXPECT_EQ(1, im_wkey_t(w, "HISTORY a\nNAXIS1  =                  999", "end"));
            short px[2] = {5, 6};
            ASSERT_EQ(2, im_wpix_s(w, px, 2));
            ASSERT_EQ(0, im_close(w));
            int r = im_open(name.c_str(), "r");
            ASSERT_GT(r, 0) << ending << ": " << im_errmsg();
            std::vector<std::string> got = card_texts(r);
            EXPECT_EQ(2, find_fid(r)->n_pixels) << ending;
            EXPECT_NE(got.end(), std::find(got.begin(), got.end(), "OBJECT  = 'two lines'"))
                << ending << " " << version;
            EXPECT_NE(got.end(), std::find(got.begin(), got.end(),
                                           "HISTORY a NAXIS1  =                  999"))
                << ending << " " << version;
            im_close(r);
        }
    }
    unsetenv("oifversion");
}

/* Files that are not regular: each open must fail at once with its reason.
 * Every case runs in a child that an alarm ends, so a blocking open or an
 * endless read fails the test instead of hanging it. */
TEST(OpenHostile, NonRegularFilesFailPromptlyWithAReason)
{
    const std::string fifo = path_of("fifo.fits");
    const std::string zz_fifo = path_of("pipe.zzh");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    ASSERT_EQ(0, mkfifo(zz_fifo.c_str(), 0644));
    ASSERT_EQ(0, symlink("/dev/zero", path_of("zero.zzh").c_str()));
    ASSERT_EQ(0, mkfifo(path_of("fifopix.pix").c_str(), 0644));
    ASSERT_EQ(0, mkfifo(path_of("zzpix.zzp").c_str(), 0644));
    write_file(path_of("zzpix.zzh"), "BITPIX  =                   16\nNAXIS   =                    0\n");
    ASSERT_EQ(0, mkdir(path_of("folder.fits").c_str(), 0755));
    /* a terminal: the secondary side of a new pseudo-terminal */
    int tty = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(tty, 0);
    ASSERT_EQ(0, grantpt(tty));
    ASSERT_EQ(0, unlockpt(tty));
    ASSERT_EQ(0, symlink(ptsname(tty), path_of("ttypix.pix").c_str()));
    /* IRAF headers (written by the library) whose pixel file names point at
     * the FIFO and the terminal */
    for (const char *base : {"fifopix", "ttypix"}) {
        const std::string real = path_of(std::string(base) + "_real.imh");
        int w = im_open(real.c_str(), "w");
        ASSERT_GT(w, 0);
        im_wkey_i(w, 16, "BITPIX");
        im_wkey_i(w, 1, "NAXIS");
        im_wkey_i(w, 2, "NAXIS1");
        short px[2] = {1, 2};
        ASSERT_EQ(2, im_wpix_s(w, px, 2));
        ASSERT_EQ(0, im_close(w));
        ASSERT_EQ(0, rename(real.c_str(), path_of(std::string(base) + ".imh").c_str()));
        std::vector<unsigned char> imh = testsup::slurp(path_of(std::string(base) + ".imh"));
        /* the pixel file name, 16-bit characters at byte 412: <base>_real -> <base> */
        const std::string old_name = std::string("HDR$") + base + "_real.pix";
        const std::string new_name = std::string("HDR$") + base + ".pix";
        const int low = im_byteorder() == 0 ? 0 : 1;
        for (size_t i = 0; i < 80; i++)
            imh[412 + 2 * i + low] = i < new_name.size() ? new_name[i] : '\0';
        ASSERT_GT(old_name.size(), new_name.size());
        write_file(path_of(std::string(base) + ".imh"), imh);
    }
    const char *not_regular = "not a regular file (a FIFO, device or socket)";
    const struct {
        std::string name;
        int code;
        std::string reason;
    } cases[] = {
        {fifo, -2, fifo + ": " + not_regular},
        {zz_fifo, -2, zz_fifo + ": " + not_regular},
        {path_of("zero.zzh"), -2, path_of("zero.zzh") + ": " + not_regular},
        {path_of("folder.fits"), -2, path_of("folder.fits") + ": is a folder"},
        {path_of("fifopix.imh"), -2, "IRAF pixel file " + path_of("fifopix.pix") + ": " + not_regular},
        {path_of("ttypix.imh"), -2, "IRAF pixel file " + path_of("ttypix.pix") + ": " + not_regular},
        {path_of("zzpix.zzh"), -2, "ZZ pixel file " + path_of("zzpix.zzp") + ": " + not_regular},
    };
    for (const auto &c : cases) {
        for (const char *mode : {"r", "u"}) {
            const int status = testsup::run_in_child([&] {
                alarm(10);
                const int id = im_open(c.name.c_str(), mode);
                if (id != c.code || c.reason != im_errmsg()) {
                    std::fprintf(stderr, "%s %s: %d %s\n", c.name.c_str(), mode, id, im_errmsg());
                    return 1;
                }
                return 0;
            });
            EXPECT_EQ(0, status) << c.name << " " << mode;
        }
    }
    close(tty);
}

// FITS header writing: record counts, the SIMPLE/EXTEND/END cards and their
// places, blank padding of cards and records, dropped checksum cards, the
// reservation made at the first pixel write, and headers on standard output.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::be16;
using testsup::card_at;
using testsup::close_suite_dir;
using testsup::new_image;
using testsup::open_suite_dir;
using testsup::padded;
using testsup::path;
using testsup::slurp;

const std::string EXTEND =
    padded("EXTEND  =                    T / TAPE MAY HAVE STANDARD FITS EXTENSIONS");
const std::string END = padded("END");
const std::string SIMPLE = padded("SIMPLE  =                    T");

// Index of the END card, or -1.
long end_index(const std::vector<unsigned char> &b)
{
    for (size_t k = 0; 80 * (k + 1) <= b.size(); k++)
        if (card_at(b, k) == END)
            return long(k);
    return -1;
}

class FitsWrite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { open_suite_dir("test_fits_write"); }
    static void TearDownTestSuite() { close_suite_dir(); }
};

void add_comments(int id, int n)
{
    for (int i = 0; i < n; i++) {
        char text[40];
        std::snprintf(text, sizeof text, "COMMENT card %d", i);
        EXPECT_GT(im_wkey_t(id, text, "end"), 0);
    }
}

} // namespace

TEST_F(FitsWrite, ThirtyFourCardsTakeTwoRecordsWithEndAlone)
{
    int id = new_image("c34.fits", 16, 2, 0);
    add_comments(id, 31);
    short v[2] = {5, -6};
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("c34.fits"));
    ASSERT_EQ(size_t(3 * 2880), b.size());
    EXPECT_EQ(SIMPLE, card_at(b, 0));
    EXPECT_EQ(padded("NAXIS1  =                    2"), card_at(b, 3));
    EXPECT_EQ(EXTEND, card_at(b, 4));
    EXPECT_EQ(padded("COMMENT card 30"), card_at(b, 35));
    EXPECT_EQ(END, card_at(b, 36));
    for (size_t i = 37 * 80; i < 5760; i++)
        ASSERT_EQ(' ', b[i]) << i;
    EXPECT_EQ(5, be16(b, 5760));
    EXPECT_EQ(-6, be16(b, 5762));
}

TEST_F(FitsWrite, ThirtyThreeCardsFillOneRecordExactly)
{
    int id = new_image("c33.fits", 16, 1, 0);
    add_comments(id, 30);
    short v = 77;
    EXPECT_EQ(1, im_wpix_s(id, &v, 1));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("c33.fits"));
    ASSERT_EQ(size_t(2 * 2880), b.size());
    EXPECT_EQ(EXTEND, card_at(b, 4));
    EXPECT_EQ(35, end_index(b));
    EXPECT_EQ(77, be16(b, 2880));
}

TEST_F(FitsWrite, AxisCardsAddedLateAreWrittenFirstAndExtendFollowsThem)
{
    // 34 cards with the NAXIS run last in the store: a FITS reader needs
    // BITPIX and the axis cards right after SIMPLE, so they are written
    // first and EXTEND closes their run; END opens the second of the two
    // reserved records and the pixels follow it directly.
    int id = im_open(path("naxislast.fits").c_str(), "write");
    ASSERT_GT(id, 0);
    add_comments(id, 31);
    EXPECT_GT(im_wkey_i(id, 16, "BITPIX"), 0);
    EXPECT_GT(im_wkey_i(id, 1, "NAXIS"), 0);
    EXPECT_GT(im_wkey_i(id, 3, "NAXIS1"), 0);
    short v[3] = {1, 2, 3};
    EXPECT_EQ(3, im_wpix_s(id, v, 3));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("naxislast.fits"));
    ASSERT_EQ(size_t(3 * 2880), b.size());
    EXPECT_EQ(SIMPLE, card_at(b, 0));
    EXPECT_EQ(padded("BITPIX  =                   16"), card_at(b, 1));
    EXPECT_EQ(padded("NAXIS   =                    1"), card_at(b, 2));
    EXPECT_EQ(padded("NAXIS1  =                    3"), card_at(b, 3));
    EXPECT_EQ(EXTEND, card_at(b, 4));
    EXPECT_EQ(padded("COMMENT card 0"), card_at(b, 5));
    EXPECT_EQ(padded("COMMENT card 30"), card_at(b, 35));
    EXPECT_EQ(36, end_index(b));
    EXPECT_EQ(1, be16(b, 5760));

    // A reader finds the pixels where they were written.
    int rid = im_open(path("naxislast.fits").c_str(), "read");
    ASSERT_GT(rid, 0);
    float r[3];
    EXPECT_EQ(3, im_rpix_r(rid, r, 3));
    EXPECT_FLOAT_EQ(1.0f, r[0]);
    EXPECT_FLOAT_EQ(3.0f, r[2]);
    EXPECT_EQ(0, im_close(rid));
}

TEST_F(FitsWrite, ChecksumCardsAreLeftOutAndNotCounted)
{
    int id = new_image("sum.fits", 16, 1, 0);
    EXPECT_GT(im_wkey_t(id, "CHECKSUM= 'ZZZZZZZZZZZZZZZZ'", "end"), 0);
    EXPECT_GT(im_wkey_t(id, "DATASUM = '12345'", "end"), 0);
    add_comments(id, 30); // 35 cards, 33 of them written: one record
    short v = 9;
    EXPECT_EQ(1, im_wpix_s(id, &v, 1));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("sum.fits"));
    ASSERT_EQ(size_t(2 * 2880), b.size());
    EXPECT_EQ(35, end_index(b));
    std::string hdr(b.begin(), b.begin() + 2880);
    EXPECT_EQ(std::string::npos, hdr.find("CHECKSUM"));
    EXPECT_EQ(std::string::npos, hdr.find("DATASUM"));
    EXPECT_EQ(9, be16(b, 2880));
}

TEST_F(FitsWrite, CardsArePaddedToEightyPrintableColumns)
{
    int id = new_image("pad.fits", 16, 1, 0);
    const std::string full(80, 'X');
    std::string longcard = "COMMENT " + full; // cut by the store at 80
    EXPECT_GT(im_wkey_t(id, longcard.c_str(), "end"), 0);
    EXPECT_GT(im_wkey_t(id, "HISTORY", "end"), 0);
    short v = 1;
    EXPECT_EQ(1, im_wpix_s(id, &v, 1));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("pad.fits"));
    ASSERT_EQ(size_t(2 * 2880), b.size());
    EXPECT_EQ(padded(longcard), card_at(b, 5));
    EXPECT_EQ(padded("HISTORY"), card_at(b, 6));
    EXPECT_EQ(END, card_at(b, 7));
    for (size_t i = 0; i < 2880; i++)
        ASSERT_TRUE(b[i] >= 0x20 && b[i] <= 0x7E) << i;
}

TEST_F(FitsWrite, ChangingTheRecordCountAfterTheFirstWriteFailsTheClose)
{
    int id = new_image("grow.fits", 16, 1, 0);
    add_comments(id, 30); // 33 cards: one record reserved
    short v = 1;
    EXPECT_EQ(1, im_wpix_s(id, &v, 1));
    add_comments(id, 1); // 34 cards need two records
    EXPECT_EQ(-4, im_close(id));
    EXPECT_NE(nullptr, std::strstr(im_errmsg(), "needs 2 records of 2880 bytes"));
    // The image stays open; removing the card lets it close.
    int n = 0;
    EXPECT_EQ(1, im_rkey_i(id, &n, "NAXIS1"));
    char buf[81];
    EXPECT_GT(im_rkey_t(id, buf, "COMMENT"), 0);
    EXPECT_EQ(1, im_wkey_t(id, "", "delete"));
    EXPECT_EQ(0, im_close(id));
    auto b = slurp(path("grow.fits"));
    ASSERT_EQ(size_t(2 * 2880), b.size());
    EXPECT_EQ(35, end_index(b));
}

TEST_F(FitsWrite, UpdateRewritesTheHeaderInPlace)
{
    int id = new_image("upd.fits", 16, 2, 0);
    EXPECT_GT(im_wkey_c(id, "before", "OBJECT"), 0);
    short v[2] = {3, 4};
    EXPECT_EQ(2, im_wpix_s(id, v, 2));
    EXPECT_EQ(0, im_close(id));

    int uid = im_open(path("upd.fits").c_str(), "update");
    ASSERT_GT(uid, 0);
    EXPECT_GT(im_wkey_c(uid, "after", "OBJECT"), 0);
    EXPECT_EQ(0, im_close(uid));
    auto b = slurp(path("upd.fits"));
    ASSERT_EQ(size_t(2 * 2880), b.size());
    EXPECT_EQ(padded("OBJECT  = 'after   '"), card_at(b, 5));
    EXPECT_EQ(3, be16(b, 2880));

    // A header that outgrows its records is refused and left as it was.
    uid = im_open(path("upd.fits").c_str(), "update");
    ASSERT_GT(uid, 0);
    add_comments(uid, 40);
    EXPECT_EQ(-4, im_close(uid));
    EXPECT_EQ(b, slurp(path("upd.fits")));
    // Still open until discarded, which writes nothing.
    EXPECT_EQ(0, im_file(uid, "d"));
    EXPECT_EQ(-3, im_close(uid));
    EXPECT_EQ(b, slurp(path("upd.fits")));
}

TEST_F(FitsWrite, StandardOutputGetsTheHeaderBeforeThePixelsOnce)
{
    const std::string out = path("stdout.fits");
    std::fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0)
            _exit(10);
        int id = im_open("-", "w-");
        if (id <= 0)
            _exit(11);
        im_wkey_i(id, 16, "BITPIX");
        im_wkey_i(id, 1, "NAXIS");
        im_wkey_i(id, 3, "NAXIS1");
        short a[2] = {1, 2};
        short c = 3;
        if (im_wpix_s(id, a, 2) != 2 || im_wpix_s(id, &c, 1) != 1)
            _exit(12);
        if (im_close(id) != 0)
            _exit(13);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
    auto b = slurp(out);
    ASSERT_EQ(size_t(2 * 2880), b.size());
    EXPECT_EQ(SIMPLE, card_at(b, 0));
    EXPECT_EQ(EXTEND, card_at(b, 4));
    EXPECT_EQ(5, end_index(b));
    EXPECT_EQ(1, be16(b, 2880));
    EXPECT_EQ(3, be16(b, 2884));
    for (size_t i = 2886; i < b.size(); i++)
        ASSERT_EQ(0, b[i]) << i;
    EXPECT_EQ(-2, im_open("-", "write"));
}

TEST(FitsHeaderSpace, StoreCardsPlusSimpleExtendAndEndFillWholeRecords)
{
    const struct {
        int64_t cards;
        int64_t bytes;
    } cases[] = {
        {0, 2880},      {33, 2880},      {34, 2 * 2880}, {69, 2 * 2880},
        {70, 3 * 2880}, {100000, 2880 * ((100000 + 38) / 36)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.bytes, IM_fits_hdr_bytes(c.cards)) << c.cards;
}

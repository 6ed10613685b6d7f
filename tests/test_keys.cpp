/* test_keys: typed keyword reads and writes, card reading and editing,
 * the window view of NAXISn/CRPIXn, comments and header copying. */
#include <gtest/gtest.h>

#include <cmath>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <cstdio>
#include <unistd.h>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::drop_desc;
using testsup::make_desc;

std::vector<std::string> cards(const fid_struct *p)
{
    std::vector<std::string> out;
    for (header_struct *h = p->first_header; h != nullptr; h = h->next)
        out.push_back(h->text);
    return out;
}

void add_cards(fid_struct *p, const std::vector<std::string> &texts)
{
    for (const std::string &t : texts)
        ASSERT_EQ(1, im_wkey_t(p->id, t.c_str(), "end")) << t;
}

/* A handle that is not open: a descriptor made and released at once. */
int closed_handle()
{
    fid_struct *p = make_desc();
    int id = p->id;
    drop_desc(p);
    return id;
}

/* A 2-axis image of 100 x 50 with a reference pixel, viewed through a
 * window that starts 10 pixels in along axis 1 and is 40 long. */
void set_window(fid_struct *p, int skip1, int take1)
{
    window_struct *w = &p->windows[1];
    w->naxis_skip[1] = skip1;
    w->naxis_take[1] = take1;
    w->naxis_skip[2] = 0;
    w->naxis_take[2] = 50;
    w->total_bytes = static_cast<int64_t>(take1) * 50 * 4;
    p->cur_window = w;
}

struct Keys : ::testing::Test {
    fid_struct *p = nullptr;
    int id = 0;
    void SetUp() override
    {
        p = make_desc();
        id = p->id;
        ASSERT_GT(id, 0);
    }
    void TearDown() override { drop_desc(p); }
};

} // namespace

TEST_F(Keys, IntegerWriteEndsInColumn30AndRewritesInPlace)
{
    ASSERT_EQ(1, im_wkey_c(id, "M31", "OBJECT"));
    ASSERT_EQ(1, im_wkey_i(id, 16, "BITPIX"));
    EXPECT_STREQ("BITPIX  =                   16", p->cur_header->text);
    EXPECT_EQ(30u, std::strlen(p->cur_header->text));
    EXPECT_EQ(16, p->val_bitpix);
    ASSERT_EQ(1, im_rkey_t(id, std::vector<char>(81).data(), "1"));
    ASSERT_EQ(1, im_wkey_i(id, 32, "BITPIX"));
    EXPECT_EQ((std::vector<std::string>{"OBJECT  = 'M31     '", "BITPIX  =                   32"}),
              cards(p));
    EXPECT_EQ(4, p->bytes_per_pix);
}

TEST_F(Keys, NewKeywordGoesAfterTheCurrentCard)
{
    add_cards(p, {"A       = 1", "B       = 2"});
    char buf[81];
    ASSERT_EQ(1, im_rkey_t(id, buf, "1"));
    ASSERT_EQ(1, im_wkey_i(id, 5, "NEW"));
    EXPECT_EQ("NEW     =                    5", cards(p)[1]);
    /* A keyword longer than 8 characters is never found: always added,
     * cut to 8 columns. */
    ASSERT_EQ(1, im_wkey_i(id, 6, "LONGNAME9"));
    ASSERT_EQ(1, im_wkey_i(id, 7, "LONGNAME9"));
    EXPECT_EQ(5, p->n_headers);
}

TEST_F(Keys, RealWriteCarriesADecimalPoint)
{
    ASSERT_EQ(1, im_wkey_d(id, 0.5, "HALF"));
    EXPECT_STREQ("HALF    =                  0.5", p->cur_header->text);
    ASSERT_EQ(1, im_wkey_d(id, 3.0, "THREE"));
    EXPECT_STREQ("THREE   =                   3.", p->cur_header->text);
    ASSERT_EQ(1, im_wkey_r(id, 100.0, "HUNDRED"));
    EXPECT_STREQ("HUNDRED =                 100.", p->cur_header->text);
    ASSERT_EQ(1, im_wkey_d(id, 1e20, "BIG"));
    EXPECT_STREQ("BIG     =               1E+20.", p->cur_header->text);
    ASSERT_EQ(1, im_wkey_d(id, -1.25e-30, "SMALL"));
    EXPECT_STREQ("SMALL   =            -1.25E-30", p->cur_header->text);
    double d = 0.0;
    ASSERT_EQ(2, im_rkey_d(id, &d, "SMALL"));
    EXPECT_NEAR(-1.25e-30, d, 1e-40);
    float r = 0.0f;
    ASSERT_GT(im_rkey_r(id, &r, "BIG"), 0);
    EXPECT_NEAR(1e20, r, 1e13);
}

TEST_F(Keys, NonFiniteRealsAreRefusedAndLeaveTheHeaderAlone)
{
    ASSERT_EQ(1, im_wkey_d(id, 2.0, "DATAMAX"));
    const int before = p->n_headers;
    EXPECT_EQ(-2, im_wkey_d(id, std::nan(""), "DATAMAX"));
    EXPECT_EQ(-2, im_wkey_d(id, -HUGE_VAL, "DATAMIN"));
    EXPECT_EQ(-2, im_wkey_r(id, HUGE_VAL, "BSCALE"));
    EXPECT_EQ(before, p->n_headers);
    double d = 0.0;
    ASSERT_GT(im_rkey_d(id, &d, "DATAMAX"), 0);
    EXPECT_EQ(2.0, d);
    EXPECT_EQ(1.0, p->val_scale);
}

TEST_F(Keys, StringWriteIsQuotedPaddedAndCut)
{
    ASSERT_EQ(1, im_wkey_c(id, "AB", "OBJECT"));
    EXPECT_STREQ("OBJECT  = 'AB      '", p->cur_header->text);
    char value[81];
    ASSERT_EQ(2, im_rkey_c(id, value, "OBJECT"));
    EXPECT_STREQ("AB      ", value);
    std::string longval(100, 'x');
    ASSERT_EQ(1, im_wkey_c(id, longval.c_str(), "LONG"));
    EXPECT_EQ(80u, std::strlen(p->cur_header->text));
    ASSERT_EQ(2, im_rkey_c(id, value, "LONG"));
    EXPECT_EQ(std::string(68, 'x'), value);
    EXPECT_EQ(-2, im_wkey_c(id, nullptr, "NULLSTR"));
}

TEST_F(Keys, StringReadNeedsBothQuotes)
{
    add_cards(p, {"NOQUOTE =                   12", "OPEN    = 'abc", "QSLASH  = 'a/b' / c"});
    char value[81] = "untouched";
    EXPECT_EQ(-1, im_rkey_c(id, value, "NOQUOTE"));
    EXPECT_EQ(-1, im_rkey_c(id, value, "OPEN"));
    EXPECT_STREQ("untouched", value);
    EXPECT_GT(im_rkey_c(id, value, "QSLASH"), 0);
    EXPECT_STREQ("a/b", value);
}

TEST_F(Keys, LogicalWriteAndRead)
{
    ASSERT_EQ(1, im_wkey_l(id, 7, "FLAG"));
    EXPECT_STREQ("FLAG    =                    T", p->cur_header->text);
    int v = -1;
    ASSERT_EQ(2, im_rkey_l(id, &v, "FLAG"));
    EXPECT_EQ(1, v);
    ASSERT_EQ(1, im_wkey_l(id, 0, "FLAG"));
    EXPECT_STREQ("FLAG    =                    F", p->cur_header->text);
    ASSERT_GT(im_rkey_l(id, &v, "FLAG"), 0);
    EXPECT_EQ(0, v);
    add_cards(p, {"SHORT   = T"});
    v = -1;
    ASSERT_GT(im_rkey_l(id, &v, "SHORT"), 0);
    EXPECT_EQ(0, v);
}

TEST_F(Keys, WritesReportTheStoreResult)
{
    EXPECT_EQ(-2, im_wkey_i(id, 24, "BITPIX"));
    EXPECT_EQ(0, im_wkey_l(id, 1, "SIMPLE"));
    EXPECT_EQ(0, im_wkey_l(id, 1, "EXTEND"));
    EXPECT_EQ(0, p->n_headers);
    EXPECT_EQ(-2, im_wkey_i(id, 1, nullptr));
    int gone = closed_handle();
    EXPECT_EQ(-3, im_wkey_i(gone, 1, "A"));
    EXPECT_EQ(-3, im_wkey_r(gone, 1.0, "A"));
    EXPECT_EQ(-3, im_wkey_d(gone, 1.0, "A"));
    EXPECT_EQ(-3, im_wkey_c(gone, "x", "A"));
    EXPECT_EQ(-3, im_wkey_l(gone, 1, "A"));
    EXPECT_EQ(-3, im_wkey_t(gone, "A       = 1", "end"));
}

TEST_F(Keys, TypedReadFailureCodes)
{
    add_cards(p, {"NAXIS   =                    2", "NAXIS1  =                  100",
                  "NAXIS2  =                   50", "NAXIS3  =                    7",
                  "TEXT    = 'abc'"});
    int v = 12345;
    EXPECT_EQ(-1, im_rkey_i(id, &v, "ABSENT"));
    EXPECT_EQ(-2, im_rkey_i(id, &v, "NINECHARS"));
    EXPECT_EQ(-4, im_rkey_i(id, &v, "TEXT"));
    EXPECT_EQ(-4, im_rkey_i(id, &v, "NAXIS3"));
    EXPECT_EQ(12345, v);
    EXPECT_EQ(-2, im_rkey_i(id, nullptr, "NAXIS1"));
    EXPECT_EQ(-2, im_rkey_r(id, nullptr, "NAXIS1"));
    EXPECT_EQ(-2, im_rkey_d(id, nullptr, "NAXIS1"));
    EXPECT_EQ(-2, im_rkey_l(id, nullptr, "NAXIS1"));
    EXPECT_EQ(-2, im_rkey_c(id, nullptr, "NAXIS1"));
    EXPECT_EQ(-2, im_rkey_i(id, &v, nullptr));
    float r = 0;
    double d = 0;
    EXPECT_EQ(-4, im_rkey_r(id, &r, "TEXT"));
    EXPECT_EQ(-4, im_rkey_d(id, &d, "TEXT"));
    int gone = closed_handle();
    char buf[81];
    EXPECT_EQ(-3, im_rkey_i(gone, &v, "NAXIS1"));
    EXPECT_EQ(-3, im_rkey_r(gone, &r, "NAXIS1"));
    EXPECT_EQ(-3, im_rkey_d(gone, &d, "NAXIS1"));
    EXPECT_EQ(-3, im_rkey_l(gone, &v, "NAXIS1"));
    EXPECT_EQ(-3, im_rkey_c(gone, buf, "NAXIS1"));
    EXPECT_EQ(-3, im_rkey_t(gone, buf, "1"));
}

TEST_F(Keys, ComputedKeysCountWindowPixelsAndName)
{
    add_cards(p, {"BITPIX  =                  -32", "NAXIS   =                    2",
                  "NAXIS1  =                  100", "NAXIS2  =                   50"});
    int v = 0;
    EXPECT_EQ(0, im_rkey_i(id, &v, "npix"));
    EXPECT_EQ(5000, v);
    set_window(p, 10, 40);
    EXPECT_EQ(0, im_rkey_i(id, &v, "npix"));
    EXPECT_EQ(2000, v);
    p->file_type = Type_iraf;
    EXPECT_EQ(0, im_rkey_i(id, &v, "filetype"));
    EXPECT_EQ(3, v);
    /* With BITPIX withdrawn there is no pixel size to divide by. */
    ASSERT_GT(im_rkey_i(id, &v, "BITPIX"), 0);
    ASSERT_EQ(1, im_wkey_t(id, "", "d"));
    EXPECT_EQ(0, p->bytes_per_pix);
    EXPECT_EQ(0, im_rkey_i(id, &v, "npix"));
    EXPECT_EQ(0, v);
}

TEST_F(Keys, AxisValuesAreSeenThroughTheWindow)
{
    add_cards(p, {"NAXIS   =                    2", "NAXIS1  =                  100",
                  "NAXIS2  =                   50", "CRPIX1  =                 25.5 / ref"});
    set_window(p, 10, 40);
    int n = 0;
    float r = 0;
    double d = 0;
    ASSERT_GT(im_rkey_i(id, &n, "NAXIS1"), 0);
    EXPECT_EQ(40, n);
    ASSERT_GT(im_rkey_r(id, &r, "CRPIX1"), 0);
    EXPECT_NEAR(15.5, r, 1e-6);
    ASSERT_GT(im_rkey_d(id, &d, "CRPIX1"), 0);
    EXPECT_NEAR(15.5, d, 1e-6);
    char buf[81];
    ASSERT_GT(im_rkey_t(id, buf, "NAXIS1"), 0);
    EXPECT_STREQ("NAXIS1  =                   40", buf);
    /* The stored card keeps the whole-file value. */
    EXPECT_STREQ("NAXIS1  =                  100", p->cur_header->text);
    ASSERT_GT(im_rkey_t(id, buf, "CRPIX1"), 0);
    EXPECT_STREQ("CRPIX1  =                 15.5", buf);
    /* Window 0 shows the stored values. */
    p->cur_window = &p->windows[0];
    ASSERT_GT(im_rkey_i(id, &n, "NAXIS1"), 0);
    EXPECT_EQ(100, n);
    ASSERT_GT(im_rkey_d(id, &d, "CRPIX1"), 0);
    EXPECT_NEAR(25.5, d, 1e-12);
}

TEST_F(Keys, ReferencePixelPassesThroughSinglePrecision)
{
    add_cards(p, {"NAXIS   =                    2", "NAXIS1  =                  100",
                  "NAXIS2  =                   50",
                  "CRPIX1  =           123.456789 / reference pixel"});
    set_window(p, 0, 100);
    double d = 0;
    ASSERT_GT(im_rkey_d(id, &d, "CRPIX1"), 0);
    EXPECT_NEAR(123.4567871, d, 1e-9);
    char buf[81];
    ASSERT_GT(im_rkey_t(id, buf, "CRPIX1"), 0);
    EXPECT_STREQ("CRPIX1  =          123.4567871", buf);
    /* An integral result gets its decimal point. */
    set_window(p, 3, 90);
    ASSERT_EQ(1, im_wkey_t(id, "CRPIX2  = 8", "end"));
    p->windows[1].naxis_skip[2] = 3;
    ASSERT_GT(im_rkey_t(id, buf, "CRPIX2"), 0);
    EXPECT_STREQ("CRPIX2  =                   5.", buf);
}

TEST_F(Keys, NinthAxisIsAdjustedAndTenthIsNot)
{
    add_cards(p, {"NAXIS   =                    9", "NAXIS9  =                   20",
                  "CRPIX9  =                   10", "NAXIS10 =                   30"});
    window_struct *w = &p->windows[1];
    w->naxis_skip[9] = 4;
    w->naxis_take[9] = 6;
    w->naxis_skip[1] = 7;
    w->naxis_take[1] = 1;
    p->cur_window = w;
    int n = 0;
    ASSERT_GT(im_rkey_i(id, &n, "NAXIS9"), 0);
    EXPECT_EQ(6, n);
    ASSERT_GT(im_rkey_i(id, &n, "CRPIX9"), 0);
    EXPECT_EQ(6, n);
    char buf[81];
    /* NAXIS10 is not axis 1 seen through the window. */
    ASSERT_GT(im_rkey_t(id, buf, "1"), 0);
    while (std::strncmp(buf, "NAXIS10", 7) != 0)
        ASSERT_EQ(3, im_rkey_t(id, buf, "+"));
    EXPECT_STREQ("NAXIS10 =                   30", buf);
}

TEST_F(Keys, CardReadingWalksTheHeader)
{
    char buf[81];
    EXPECT_EQ(-1, im_rkey_t(id, buf, "1"));
    EXPECT_EQ(-1, im_rkey_t(id, buf, ""));
    EXPECT_EQ(-1, im_rkey_t(id, buf, "="));
    add_cards(p, {"A       = 1", "B       = 2 / two", "C       = 3"});
    EXPECT_EQ(2, im_rkey_t(id, buf, ""));          // last card already current
    EXPECT_STREQ("C       = 3", buf);
    EXPECT_EQ(-1, im_rkey_t(id, buf, "+"));
    EXPECT_EQ(p->last_header, p->cur_header);
    EXPECT_EQ(1, im_rkey_t(id, buf, "1"));
    EXPECT_STREQ("A       = 1", buf);
    EXPECT_EQ(2, im_rkey_t(id, buf, "1"));
    EXPECT_EQ(-1, im_rkey_t(id, buf, "-"));
    EXPECT_EQ(3, im_rkey_t(id, buf, "+"));
    EXPECT_STREQ("B       = 2 / two", buf);
    EXPECT_EQ(2, im_rkey_t(id, buf, "="));
    EXPECT_EQ(2, im_rkey_t(id, buf, "/"));
    EXPECT_STREQ(" two", buf);
    EXPECT_EQ(1, im_rkey_t(id, buf, "-"));
    EXPECT_STREQ("A       = 1", buf);
    EXPECT_EQ(-1, im_rkey_t(id, buf, "/"));        // no comment
    EXPECT_EQ(3, im_rkey_t(id, buf, ""));
    EXPECT_EQ(1, im_rkey_t(id, buf, "A"));
    EXPECT_EQ(2, im_rkey_t(id, buf, "A"));
    EXPECT_EQ(-1, im_rkey_t(id, buf, "NINECHARS"));
    EXPECT_EQ(-1, im_rkey_t(id, buf, "Z"));
    EXPECT_EQ(-2, im_rkey_t(id, nullptr, "1"));
    EXPECT_EQ(-2, im_rkey_t(id, buf, nullptr));
    im_wkey_t(id, nullptr, "d");
    IM_card_find(nullptr);
    EXPECT_EQ(-1, im_rkey_t(id, buf, "+"));
    EXPECT_EQ(-1, im_rkey_t(id, buf, "-"));
    EXPECT_EQ(-1, im_rkey_t(id, buf, "/"));
}

TEST_F(Keys, CardReadOfAxisBeyondNaxisIsInvalid)
{
    add_cards(p, {"NAXIS   =                    2", "NAXIS3  =                    7",
                  "OTHER   = 1"});
    char buf[81];
    EXPECT_EQ(-4, im_rkey_t(id, buf, "NAXIS3"));
    EXPECT_STREQ("NAXIS3  =                    7", buf);
    EXPECT_STREQ("NAXIS3  =                    7", p->cur_header->text);
}

TEST_F(Keys, CardReadNeverWritesPast81Bytes)
{
    std::string longcard = "COMMENT " + std::string(72, 'c');
    add_cards(p, {longcard});
    char buf[90];
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(2, im_rkey_t(id, buf, "="));
    EXPECT_EQ(longcard, buf);
    for (size_t i = 81; i < sizeof buf; i++)
        EXPECT_EQ('#', buf[i]);
}

TEST_F(Keys, CardEditingPositions)
{
    add_cards(p, {"A       = 1", "C       = 3"});
    char buf[81];
    ASSERT_EQ(1, im_rkey_t(id, buf, "1"));
    EXPECT_EQ(1, im_wkey_t(id, "B       = 2", "add"));
    EXPECT_EQ(1, im_rkey_t(id, buf, "1"));
    EXPECT_EQ(1, im_wkey_t(id, "Z       = 9", "end"));
    EXPECT_EQ((std::vector<std::string>{"A       = 1", "B       = 2", "C       = 3",
                                        "Z       = 9"}),
              cards(p));
    EXPECT_EQ(1, im_wkey_t(id, "Y       = 8", "replace"));
    EXPECT_EQ(0, im_wkey_t(id, "END", "replace"));
    EXPECT_EQ(-2, im_wkey_t(id, "BITPIX  = 24", "r"));
    EXPECT_STREQ("Y       = 8", p->cur_header->text);
    EXPECT_EQ(1, im_wkey_t(id, "ignored", "delete"));
    EXPECT_EQ(3, p->n_headers);
    EXPECT_EQ(-2, im_wkey_t(id, "A       = 1", "x"));
    EXPECT_EQ(-2, im_wkey_t(id, "A       = 1", nullptr));
    EXPECT_EQ(-2, im_wkey_t(id, nullptr, "end"));
    IM_card_find(nullptr);
    EXPECT_EQ(-1, im_wkey_t(id, "", "d"));
    EXPECT_EQ(-1, im_wkey_t(id, "", "r"));
    EXPECT_EQ(-1, im_wkey_t(id, "comment", "/"));
    EXPECT_EQ(1, im_wkey_t(id, "FRONT   = 0", "a"));
    EXPECT_EQ("FRONT   = 0", cards(p).front());
}

TEST_F(Keys, CommentSetTwiceMovesTheSlashRight)
{
    ASSERT_EQ(1, im_wkey_i(id, 16, "BITPIX"));
    ASSERT_EQ(1, im_wkey_t(id, "bits", "/"));
    EXPECT_STREQ("BITPIX  =                   16 / bits", p->cur_header->text);
    ASSERT_EQ(1, im_wkey_t(id, "again", "/"));
    EXPECT_STREQ("BITPIX  =                   16  / again", p->cur_header->text);
    char buf[81];
    ASSERT_EQ(2, im_rkey_t(id, buf, "/"));
    EXPECT_STREQ(" again", buf);
    EXPECT_EQ(16, p->val_bitpix);
}

TEST_F(Keys, CommentPlacementOnShortQuotedAndLongCards)
{
    add_cards(p, {"HISTORY"});
    ASSERT_EQ(1, im_wkey_t(id, "c", "/"));
    EXPECT_EQ("HISTORY" + std::string(23, ' ') + " / c", p->cur_header->text);
    add_cards(p, {"PATH    = 'a/b/c'"});
    ASSERT_EQ(1, im_wkey_t(id, "where", "/"));
    EXPECT_STREQ("PATH    = 'a/b/c'              / where", p->cur_header->text);
    std::string wide = "WIDE    = '" + std::string(64, 'w') + "'";   // ends in column 76
    add_cards(p, {wide});
    ASSERT_EQ(1, im_wkey_t(id, "xyz", "/"));
    EXPECT_EQ(wide.substr(0, 75) + " / xy", p->cur_header->text);
    EXPECT_EQ(80u, std::strlen(p->cur_header->text));
}

/* The comment of a card is looked for in columns 11 to 77 only: a '/'
 * outside quotes there starts it, one in columns 78 to 80 is no comment.
 * The typed reads take their values whatever the comment. */
TEST_F(Keys, CommentScanEndsAtColumn77)
{
    // text padded with blanks to column slash_col - 1, then '/' and tail,
    // cut at column 80.
    auto with_slash = [](std::string text, int slash_col, const std::string &tail) {
        text.resize(static_cast<size_t>(slash_col - 1), ' ');
        return (text + "/" + tail).substr(0, 80);
    };
    const std::string number = "NUM     =                   42";
    const std::string ab = "STR     = 'ab'";
    const std::string w64 = "STR     = '" + std::string(64, 'w') + "'";  // quote ends col 76
    const std::string w65 = "STR     = '" + std::string(65, 'w') + "'";  // quote ends col 77
    const struct {
        std::string card;
        int comment_rc;      // im_rkey_t "/"
        const char *comment; // what it copies after the slash
        const char *string;  // im_rkey_c, or null for the number card
    } cases[] = {
        {with_slash(number, 31, " c"), 2, " c", nullptr},
        {with_slash(number, 76, " c"), 2, " c", nullptr},
        {with_slash(number, 77, " c"), 2, " c", nullptr},
        {with_slash(number, 77, ""), 2, "", nullptr},
        {with_slash(number, 78, " c"), IM_ERR_NOTFOUND, nullptr, nullptr},
        {with_slash(number, 79, "c"), IM_ERR_NOTFOUND, nullptr, nullptr},
        {with_slash(number, 80, ""), IM_ERR_NOTFOUND, nullptr, nullptr},
        {with_slash(ab, 77, " c"), 2, " c", "ab"},
        {with_slash(ab, 78, " c"), IM_ERR_NOTFOUND, nullptr, "ab"},
        {with_slash(w64, 77, " c"), 2, " c", nullptr},
        {with_slash(w65, 78, " c"), IM_ERR_NOTFOUND, nullptr, nullptr},
        // A slash in column 77 inside the quotes belongs to the string.
        {"STR     = '" + std::string(65, 'w') + "/' / c", IM_ERR_NOTFOUND, nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.card);
        ASSERT_EQ(1, im_wkey_t(id, c.card.c_str(), "end"));
        header_struct *card = p->cur_header;
        if (c.card.compare(0, 3, "NUM") == 0) {
            int i = 0;
            double d = 0.0;
            EXPECT_EQ(2, im_rkey_i(id, &i, "NUM"));
            EXPECT_EQ(42, i);
            EXPECT_EQ(2, im_rkey_d(id, &d, "NUM"));
            EXPECT_EQ(42.0, d);
        } else {
            // The string runs from column 12 to the next quote.
            const size_t close = c.card.find('\'', 11);
            const std::string want =
                c.string != nullptr ? c.string : c.card.substr(11, close - 11);
            char value[IM_CARD_SIZE] = "";
            EXPECT_EQ(2, im_rkey_c(id, value, "STR"));
            EXPECT_EQ(want, value);
        }
        char buf[IM_CARD_SIZE];
        std::snprintf(buf, sizeof buf, "untouched");
        EXPECT_EQ(c.comment_rc, im_rkey_t(id, buf, "/"));
        EXPECT_STREQ(c.comment != nullptr ? c.comment : "untouched", buf);
        EXPECT_EQ(card, p->cur_header);          // a comment read moves no card
        ASSERT_EQ(1, im_wkey_t(id, nullptr, "d"));
    }
}

/* ---- Header copying ------------------------------------------------- */

struct HeaderCopy : ::testing::Test {
    std::vector<fid_struct *> made;
    fid_struct *desc()
    {
        fid_struct *p = make_desc();
        made.push_back(p);
        return p;
    }
    void TearDown() override
    {
        im_history_line = nullptr;
        for (fid_struct *p : made)
            drop_desc(p);
    }
};

TEST_F(HeaderCopy, CopiesCardsThenMarkedHistoryThenTheNewLine)
{
    fid_struct *a = desc();
    add_cards(a, {"BITPIX  =                  -32", "NAXIS   =                    2",
                  "NAXIS1  =                  100", "NAXIS2  =                   50",
                  "HISTORY old step", "CRPIX1  =           123.456789 / ref",
                  "BSCALE  =                    2"});
    a->file_type = Type_fits;
    set_window(a, 0, 100);
    fid_struct *b = desc();
    add_cards(b, {"HISTORY *1 marked step", "OBJECT  = 'B'"});
    fid_struct *out = desc();
    char line[] = "flattened";
    im_history_line = line;
    int olds[] = {a->id, b->id, 0};
    ASSERT_EQ(0, im_hdr(out->id, olds, nullptr));
    EXPECT_EQ((std::vector<std::string>{
                  "BITPIX  =                  -32", "NAXIS   =                    2",
                  "NAXIS1  =                  100", "NAXIS2  =                   50",
                  "CRPIX1  =          123.4567871", "BSCALE  =                    2",
                  "HISTORY *0 (imported)", "HISTORY old step", "HISTORY *1 marked step",
                  "HISTORY *2 flattened"}),
              cards(out));
    EXPECT_EQ(Type_fits, out->file_type);
    EXPECT_EQ(5000, out->n_pixels);
    EXPECT_EQ(4, out->bytes_per_pix);
    EXPECT_DOUBLE_EQ(2.0, out->val_scale);
    EXPECT_EQ(out, f);
}

TEST_F(HeaderCopy, HistoryOnlyOptionAndImagesWithoutHistory)
{
    fid_struct *a = desc();
    add_cards(a, {"NAXIS   =                    0", "OBJECT  = 'A'"});
    fid_struct *out = desc();
    out->file_type = Type_zz;
    a->file_type = Type_fits;
    int olds[] = {a->id, a->id, 0};
    ASSERT_EQ(0, im_hdr(out->id, olds, "history only"));
    EXPECT_EQ((std::vector<std::string>{"HISTORY *0 (imported)", "HISTORY *0 (imported)"}),
              cards(out));
    EXPECT_EQ(Type_zz, out->file_type);
}

TEST_F(HeaderCopy, LongHistoryLineIsCutAtColumn80)
{
    fid_struct *a = desc();
    add_cards(a, {"HISTORY *3 x"});
    fid_struct *out = desc();
    std::string text(100, 'h');
    im_history_line = &text[0];
    int olds[] = {a->id, 0};
    ASSERT_EQ(0, im_hdr(out->id, olds, ""));
    std::vector<std::string> got = cards(out);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("HISTORY *3 x", got[0]);
    EXPECT_EQ("HISTORY *1 " + std::string(69, 'h'), got[1]);
}

TEST_F(HeaderCopy, AcceptsFiftyOneOldImagesNotFiftyTwo)
{
    fid_struct *a = desc();
    add_cards(a, {"HISTORY *1 x"});
    fid_struct *out = desc();
    std::vector<int> olds(52, a->id);
    olds.push_back(0);
    EXPECT_EQ(-1, im_hdr(out->id, olds.data(), "h"));
    EXPECT_EQ(0, out->n_headers);
    olds.erase(olds.begin());
    EXPECT_EQ(0, im_hdr(out->id, olds.data(), "h"));
    EXPECT_EQ(51, out->n_headers);
}

TEST_F(HeaderCopy, FailureCodes)
{
    fid_struct *a = desc();
    add_cards(a, {"OBJECT  = 'A'"});
    fid_struct *empty = desc();
    fid_struct *out = desc();
    int gone = closed_handle();
    int olds[] = {a->id, 0};
    EXPECT_EQ(-2, im_hdr(out->id, olds, "copy"));
    EXPECT_EQ(-3, im_hdr(gone, olds, nullptr));
    int gone_first[] = {gone, 0};
    EXPECT_EQ(-3, im_hdr(out->id, gone_first, nullptr));
    int empty_first[] = {empty->id, 0};
    EXPECT_EQ(-1, im_hdr(out->id, empty_first, nullptr));
    int empty_later[] = {a->id, empty->id, 0};
    EXPECT_EQ(-2, im_hdr(out->id, empty_later, nullptr));
    /* No old images: nothing but the caller's line. */
    fid_struct *solo = desc();
    int none[] = {0};
    char line[] = "made";
    im_history_line = line;
    EXPECT_EQ(0, im_hdr(solo->id, none, nullptr));
    EXPECT_EQ((std::vector<std::string>{"HISTORY *0 made"}), cards(solo));
    EXPECT_EQ(Type_unknown, solo->file_type);
}

TEST_F(HeaderCopy, OldImagesEndOnTheirLastCardAndACopyIntoItselfStops)
{
    /* Each old image is read as im_rkey_t "1" then "+" reads it: its last
     * card read stays current, so a later keyword search starts there. */
    fid_struct *a = desc();
    add_cards(a, {"AAA     = 1", "HISTORY *1 a", "ZZZ     = 2"});
    a->cur_header = a->first_header;
    fid_struct *out = desc();
    int olds[] = {a->id, 0};
    ASSERT_EQ(0, im_hdr(out->id, olds, ""));
    EXPECT_EQ(a->last_header, a->cur_header);
    EXPECT_EQ(out, f);
    char card[IM_CARD_LEN + 1];
    EXPECT_EQ(1, im_rkey_t(a->id, card, "AAA"));   /* found after wrapping */

    /* Copied into itself: each appended card becomes current, so the
     * reading stops after the first card instead of running on. */
    fid_struct *self = desc();
    add_cards(self, {"ONE     = 1", "TWO     = 2"});
    int own[] = {self->id, 0};
    ASSERT_EQ(0, im_hdr(self->id, own, ""));
    EXPECT_EQ((std::vector<std::string>{"ONE     = 1", "TWO     = 2", "ONE     = 1",
                                        "HISTORY *0 (imported)"}),
              cards(self));
}

/* ---- Through a file opened for reading ------------------------------ */

namespace {

/* Write a 4 x 3 FITS image (BITPIX 16) whose header holds cards. */
std::string write_fits(const std::vector<std::string> &extra)
{
    std::vector<std::string> hdr = {"SIMPLE  =                    T",
                                    "BITPIX  =                   16",
                                    "NAXIS   =                    2",
                                    "NAXIS1  =                    4",
                                    "NAXIS2  =                    3"};
    hdr.insert(hdr.end(), extra.begin(), extra.end());
    std::string block = testsup::fits_records(hdr);
    block += std::string(2880, '\0');
    char path[] = "/tmp/test_keys_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(block.size()), write(fd, block.data(), block.size()));
    close(fd);
    std::string named = std::string(path) + ".fits";
    EXPECT_EQ(0, rename(path, named.c_str()));
    return named;
}

} // namespace

TEST(KeysOnOpenImage, ReferencePixelReadsInSinglePrecisionAndCopiesSo)
{
    std::string path = write_fits({"CRPIX1  =           123.456789 / reference pixel",
                                   "HISTORY *1 earlier"});
    int in = im_open(path.c_str(), "read");
    ASSERT_GT(in, 0);
    double d = 0;
    EXPECT_GT(im_rkey_d(in, &d, "CRPIX1"), 0);
    EXPECT_NEAR(123.4567871, d, 1e-9);
    int n = 0;
    EXPECT_EQ(0, im_rkey_i(in, &n, "npix"));
    EXPECT_EQ(12, n);
    EXPECT_EQ(0, im_rkey_i(in, &n, "filetype"));
    EXPECT_EQ(Type_fits, n);

    fid_struct *out = make_desc();
    int olds[] = {in, 0};
    ASSERT_EQ(0, im_hdr(out->id, olds, nullptr));
    EXPECT_EQ((std::vector<std::string>{"BITPIX  =                   16",
                                        "NAXIS   =                    2",
                                        "NAXIS1  =                    4",
                                        "NAXIS2  =                    3",
                                        "CRPIX1  =          123.4567871",
                                        "HISTORY *1 earlier"}),
              cards(out));
    EXPECT_EQ(Type_fits, out->file_type);
    EXPECT_EQ(12, out->n_pixels);
    drop_desc(out);
    EXPECT_EQ(0, im_close(in));
    EXPECT_EQ(-3, im_rkey_d(in, &d, "CRPIX1"));
    std::remove(path.c_str());
}

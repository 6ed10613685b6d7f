/* test_card: the header card store: order, current card, search codes,
 * block reuse and the mirrored keyword fields. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::drop_desc;
using testsup::make_desc;

/* The card texts in list order, checking the back links on the way. */
std::vector<std::string> cards(fid_struct *p)
{
    std::vector<std::string> out;
    header_struct *prev = nullptr;
    for (header_struct *h = p->first_header; h != nullptr; h = h->next) {
        EXPECT_EQ(prev, h->prev);
        out.push_back(h->text);
        prev = h;
    }
    EXPECT_EQ(prev, p->last_header);
    EXPECT_EQ(static_cast<int>(out.size()), p->n_headers);
    return out;
}

struct CardStore : ::testing::Test {
    fid_struct *p = nullptr;
    void SetUp() override { p = make_desc(); }
    void TearDown() override { drop_desc(p); }
};

} // namespace

TEST_F(CardStore, FirstCardIsFirstLastAndCurrent)
{
    ASSERT_EQ(1, IM_card_add("OBJECT  = 'M31     '"));
    EXPECT_EQ(p->first_header, p->last_header);
    EXPECT_EQ(p->first_header, p->cur_header);
    EXPECT_EQ(1, p->n_headers);
    EXPECT_STREQ("OBJECT  = 'M31     '", p->cur_header->text);
}

TEST_F(CardStore, AddsAfterCurrentAndInFrontWithoutCurrent)
{
    IM_card_add("AAA     = 1");
    IM_card_add("CCC     = 3");
    ASSERT_EQ(1, IM_card_find("AAA"));
    IM_card_add("BBB     = 2");
    EXPECT_EQ((std::vector<std::string>{"AAA     = 1", "BBB     = 2", "CCC     = 3"}), cards(p));
    EXPECT_EQ(0, IM_card_find(nullptr));
    EXPECT_EQ(nullptr, p->cur_header);
    IM_card_add("ZERO    = 0");
    EXPECT_EQ("ZERO    = 0", cards(p).front());
    EXPECT_EQ(p->first_header, p->cur_header);
}

TEST_F(CardStore, StructuralCardsAreNotStored)
{
    IM_card_add("KEEP    = 1");
    header_struct *cur = p->cur_header;
    EXPECT_EQ(0, IM_card_add("SIMPLE  =                    T"));
    EXPECT_EQ(0, IM_card_add("END"));
    EXPECT_EQ(0, IM_card_add("EXTEND  =                    T"));
    EXPECT_EQ(0, IM_card_add("BLOCKED =                    T"));
    EXPECT_EQ(1, p->n_headers);
    EXPECT_EQ(cur, p->cur_header);
}

TEST_F(CardStore, LongCardIsCutAt80Columns)
{
    std::string longcard = "COMMENT " + std::string(100, 'x');
    ASSERT_EQ(1, IM_card_add(longcard.c_str()));
    EXPECT_EQ(80u, std::strlen(p->cur_header->text));
}

TEST_F(CardStore, BitpixSetsPixelSizeAndRefusesOddValues)
{
    EXPECT_EQ(1, IM_card_add("BITPIX  =                  -64"));
    EXPECT_EQ(-64, p->val_bitpix);
    EXPECT_EQ(8, p->bytes_per_pix);
    EXPECT_EQ(-2, IM_card_add("BITPIX  =                   24"));
    EXPECT_EQ(-2, IM_card_add("BITPIX  = sixteen"));
    EXPECT_EQ(-64, p->val_bitpix);
    EXPECT_EQ(1, p->n_headers);
    /* Withdrawing BITPIX leaves no pixel size rather than a stale one. */
    ASSERT_EQ(2, IM_card_find("BITPIX"));
    EXPECT_EQ(1, IM_card_delete());
    EXPECT_EQ(0, p->val_bitpix);
    EXPECT_EQ(0, p->bytes_per_pix);
}

TEST_F(CardStore, PixelCountFollowsAxisCards)
{
    IM_card_add("NAXIS   =                    2");
    EXPECT_EQ(0, p->n_pixels);
    IM_card_add("NAXIS1  =                  100");
    EXPECT_EQ(0, p->n_pixels);
    IM_card_add("NAXIS2  =                   50");
    EXPECT_EQ(5000, p->n_pixels);
    EXPECT_EQ(2, p->val_naxis[0]);
    EXPECT_EQ(100, p->val_naxis[1]);
    ASSERT_EQ(2, IM_card_find("NAXIS2"));
    EXPECT_EQ(1, IM_card_delete());
    EXPECT_EQ(0, p->val_naxis[2]);
    EXPECT_EQ(0, p->n_pixels);
    /* NAXIS = 0 is an empty product. */
    ASSERT_GT(IM_card_find("NAXIS"), 0);
    EXPECT_EQ(1, IM_card_replace("NAXIS   =                    0"));
    EXPECT_EQ(1, p->n_pixels);
    /* NAXIS0 and NAXIS10 are ordinary cards. */
    EXPECT_EQ(1, IM_card_add("NAXIS0  =                    1"));
    EXPECT_EQ(0, p->val_naxis[0]);
    EXPECT_EQ(1, IM_card_add("NAXIS10 =                   -7"));
    EXPECT_EQ(0, p->val_naxis[0]);
}

TEST_F(CardStore, AxisCardsThatWouldOverflowAreRefused)
{
    EXPECT_EQ(-2, IM_card_add("NAXISA  =                    5"));
    EXPECT_EQ(-2, IM_card_add("NAXIS   =                   10"));
    EXPECT_EQ(1, IM_card_add("NAXIS   =                    2"));
    EXPECT_EQ(1, IM_card_add("NAXIS1  =                70000"));
    /* A negative length leaves the table as it was. */
    EXPECT_EQ(-2, IM_card_add("NAXIS2  =                   -5"));
    EXPECT_EQ(0, p->val_naxis[2]);
    /* 70000 * 70000 does not fit the pixel count. */
    EXPECT_EQ(-2, IM_card_add("NAXIS2  =                70000"));
    EXPECT_EQ(0, p->val_naxis[2]);
    EXPECT_EQ(0, p->n_pixels);
    EXPECT_EQ(1, IM_card_add("NAXIS2  =                30000"));
    EXPECT_EQ(2100000000, p->n_pixels);
    EXPECT_EQ(-2, IM_card_add("NAXIS2  = many"));
    EXPECT_EQ(3, p->n_headers);
}

TEST_F(CardStore, BlankScaleAndZeroAreMirroredAndWithdrawn)
{
    IM_card_add("BSCALE  =                  2.5");
    IM_card_add("BZERO   =               -100.0");
    IM_card_add("BLANK   =               -32768");
    EXPECT_DOUBLE_EQ(2.5, p->val_scale);
    EXPECT_DOUBLE_EQ(-100.0, p->val_offset);
    EXPECT_EQ(1, p->val_blank_flag);
    EXPECT_EQ(-32768, p->val_blank);
    ASSERT_EQ(1, IM_card_find("BSCALE"));
    IM_card_delete();
    EXPECT_DOUBLE_EQ(1.0, p->val_scale);
    ASSERT_GT(IM_card_find("BLANK"), 0);
    IM_card_delete();
    EXPECT_EQ(0, p->val_blank_flag);
    EXPECT_EQ(0, p->val_blank);
    ASSERT_GT(IM_card_find("BZERO"), 0);
    IM_card_delete();
    EXPECT_DOUBLE_EQ(0.0, p->val_offset);
    EXPECT_EQ(0, p->n_headers);
    EXPECT_EQ(nullptr, p->cur_header);
    EXPECT_EQ(nullptr, p->first_header);
    EXPECT_EQ(nullptr, p->last_header);
}

TEST_F(CardStore, DeleteMovesToFollowingElsePrecedingCard)
{
    IM_card_add("A       = 1");
    IM_card_add("B       = 2");
    IM_card_add("C       = 3");
    ASSERT_GT(IM_card_find("B"), 0);
    EXPECT_EQ(1, IM_card_delete());
    EXPECT_STREQ("C       = 3", p->cur_header->text);
    EXPECT_EQ(1, IM_card_delete());
    EXPECT_STREQ("A       = 1", p->cur_header->text);
    EXPECT_EQ(p->cur_header, p->last_header);
    EXPECT_EQ(1, IM_card_delete());
    EXPECT_EQ(nullptr, p->cur_header);
    EXPECT_EQ(-1, IM_card_delete());
    EXPECT_EQ(-1, IM_card_replace("A       = 2"));
}

TEST_F(CardStore, ReplaceKeepsPlaceAndUpdatesMirror)
{
    IM_card_add("NAXIS   =                    1");
    IM_card_add("NAXIS1  =                   10");
    IM_card_add("OTHER   = 1");
    ASSERT_GT(IM_card_find("NAXIS1"), 0);
    EXPECT_EQ(1, IM_card_replace("NAXIS1  =                   20"));
    EXPECT_EQ(20, p->n_pixels);
    /* A card of another keyword withdraws the old value. */
    EXPECT_EQ(1, IM_card_replace("BSCALE  =                    3"));
    EXPECT_EQ(0, p->val_naxis[1]);
    EXPECT_EQ(0, p->n_pixels);
    EXPECT_DOUBLE_EQ(3.0, p->val_scale);
    EXPECT_EQ((std::vector<std::string>{"NAXIS   =                    1",
                                        "BSCALE  =                    3", "OTHER   = 1"}),
              cards(p));
}

TEST_F(CardStore, RefusedReplaceKeepsTheOldCardAndValue)
{
    IM_card_add("NAXIS   =                    1");
    IM_card_add("NAXIS1  =                   10");
    ASSERT_EQ(2, IM_card_find("NAXIS1"));
    EXPECT_EQ(-2, IM_card_replace("BITPIX  =                   24"));
    EXPECT_STREQ("NAXIS1  =                   10", p->cur_header->text);
    EXPECT_EQ(10, p->val_naxis[1]);
    EXPECT_EQ(10, p->n_pixels);
    EXPECT_EQ(0, IM_card_replace("END"));
    EXPECT_EQ(10, p->n_pixels);
    EXPECT_EQ(-2, IM_card_replace("NAXIS1  =                   -1"));
    EXPECT_EQ(10, p->val_naxis[1]);
    EXPECT_EQ(2, p->n_headers);
}

TEST_F(CardStore, SearchCodesWithoutCurrentCard)
{
    EXPECT_EQ(-1, IM_card_find("ANY"));
    IM_card_add("A       = 1");
    IM_card_add("B       = 2");
    IM_card_find(nullptr);
    EXPECT_EQ(1, IM_card_find("A"));
    IM_card_find(nullptr);
    EXPECT_EQ(2, IM_card_find("B"));       // only match is the start (last) card
    IM_card_find(nullptr);
    EXPECT_EQ(-1, IM_card_find("C"));
    EXPECT_EQ(nullptr, p->cur_header);
}

TEST_F(CardStore, SearchWrapsRoundToFirstCard)
{
    IM_card_add("HISTORY first");
    IM_card_add("OTHER   = 1");
    IM_card_add("HISTORY second");
    IM_card_add("LAST    = 2");
    IM_card_find(nullptr);
    ASSERT_EQ(1, IM_card_find("HISTORY"));
    EXPECT_STREQ("HISTORY first", p->cur_header->text);
    EXPECT_EQ(3, IM_card_find("HISTORY"));
    EXPECT_STREQ("HISTORY second", p->cur_header->text);
    EXPECT_EQ(1, IM_card_find("HISTORY"));
    EXPECT_STREQ("HISTORY first", p->cur_header->text);
    /* A failed search leaves the current card where it was. */
    EXPECT_EQ(-1, IM_card_find("NONE"));
    EXPECT_STREQ("HISTORY first", p->cur_header->text);
}

TEST_F(CardStore, SearchFindsTheStartCardLast)
{
    IM_card_add("HISTORY only");
    IM_card_add("OTHER   = 1");
    ASSERT_EQ(1, IM_card_find("HISTORY"));
    EXPECT_EQ(2, IM_card_find("HISTORY"));
}

TEST_F(CardStore, SearchMatchesExactPaddedKeyword)
{
    IM_card_add("NAXIS1  =                   10");
    IM_card_add("HISTORY");                 // bare card, trailing blanks removed
    EXPECT_EQ(-2, IM_card_find("NINECHARS"));
    EXPECT_EQ(-1, IM_card_find("NAXIS"));
    EXPECT_EQ(-1, IM_card_find("HISTORY"));
    EXPECT_EQ(-1, IM_card_find("naxis1"));
    EXPECT_GT(IM_card_find("NAXIS1"), 0);
}

TEST_F(CardStore, FiftyFirstCardObtainsSecondBlockAndFreedNodesAreReused)
{
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(1, IM_card_add("COMMENT card"));
    hdr_blk_struct *first = p->header_blocks;
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(nullptr, first->next);
    EXPECT_EQ(nullptr, p->free_header);
    ASSERT_EQ(1, IM_card_add("COMMENT 51"));
    EXPECT_NE(first, p->header_blocks);
    EXPECT_EQ(first, p->header_blocks->next);
    EXPECT_EQ(&p->header_blocks->headers[0], p->cur_header);
    /* A deleted node is the next one handed out. */
    header_struct *gone = p->cur_header;
    IM_card_delete();
    EXPECT_EQ(gone, p->free_header);
    IM_card_add("COMMENT again");
    EXPECT_EQ(gone, p->cur_header);
    EXPECT_EQ(51, p->n_headers);
}

TEST_F(CardStore, AxisKeywordsBeyondNaxisAreInvalid)
{
    IM_card_add("NAXIS   =                    2");
    EXPECT_EQ(1, kwd_isvalid("NAXIS2"));
    EXPECT_EQ(1, kwd_isvalid("CRVAL1"));
    EXPECT_EQ(0, kwd_isvalid("NAXIS3"));
    EXPECT_EQ(0, kwd_isvalid("CRPIX3"));
    EXPECT_EQ(0, kwd_isvalid("CTYPE9"));
    EXPECT_EQ(0, kwd_isvalid("CROTA12"));
    EXPECT_EQ(1, kwd_isvalid("CDELT3"));
    EXPECT_EQ(1, kwd_isvalid("NAXIS"));
    EXPECT_EQ(1, kwd_isvalid("NAXIS   =                    2"));
    EXPECT_EQ(0, kwd_isvalid("NAXIS3  =                    7"));
    EXPECT_EQ(1, kwd_isvalid("CRPIXA"));
}

TEST_F(CardStore, LayoutKeywordsHoldOneCardEach)
{
    ASSERT_EQ(1, IM_card_add("BITPIX  =                   16"));
    ASSERT_EQ(1, IM_card_add("NAXIS   =                    2"));
    ASSERT_EQ(1, IM_card_add("NAXIS1  =                    4"));
    ASSERT_EQ(1, IM_card_add("NAXIS2  =                   12"));
    ASSERT_EQ(1, IM_card_add("OBJECT  = 'M31     '"));
    const std::vector<std::string> before = cards(p);
    const struct {
        const char *card;
        int code;
    } repeats[] = {
        {"BITPIX  =                   16 / same value", 0},   /* absorbed */
        {"NAXIS1  =                    4", 0},
        {"NAXIS2  =                  12.", 0},                 /* read as 12 */
        {"BITPIX  =                   32", -2},
        {"NAXIS   =                    3", -2},
        {"NAXIS1  =                    8", -2},
        {"NAXIS2  =                    6", -2},
        {"BITPIX  =                   24", -2},                /* refused value */
    };
    for (const auto &r : repeats) {
        EXPECT_EQ(r.code, IM_card_add(r.card)) << r.card;
        EXPECT_EQ(before, cards(p)) << r.card;
        EXPECT_EQ(16, p->val_bitpix) << r.card;
        EXPECT_EQ(2, p->bytes_per_pix) << r.card;
        EXPECT_EQ(48, p->n_pixels) << r.card;
        EXPECT_EQ(4, p->val_naxis[1]) << r.card;
    }
    EXPECT_EQ(-2, IM_card_add("NAXIS1  =                    8"));
    IM_error_clear();
    EXPECT_EQ(-2, IM_card_fail(-2, "FITS", "NAXIS1  =                    8"));
    EXPECT_STREQ("FITS card 'NAXIS1  =                    8' refused: NAXIS1 is given twice "
                 "with different values", im_errmsg());

    /* a replacement may not make a second layout card either ... */
    ASSERT_GT(IM_card_find("OBJECT"), 0);
    EXPECT_EQ(-2, IM_card_replace("NAXIS1  =                    8"));
    EXPECT_EQ(0, IM_card_replace("NAXIS1  =                    4"));
    EXPECT_EQ(before, cards(p));
    /* ... but the card itself may change its value */
    ASSERT_GT(IM_card_find("NAXIS1"), 0);
    EXPECT_EQ(1, IM_card_replace("NAXIS1  =                    6"));
    EXPECT_EQ(72, p->n_pixels);
}

TEST_F(CardStore, LayoutCardsNeedTheValueIndicatorThatEveryFormKeeps)
{
    const struct {
        const char *card;
        int code;
    } table[] = {
        {"NAXIS1  5", -2},
        {"BITPIX   16", -2},
        {"NAXIS   :                    2", -2},
        {"NAXIS1  =                    5", 1},   /* '=' in column 9 */
        {"NAXIS2   =                   3", 1},   /* '=' in column 10, as ZZ keeps it */
        {"NAXIS0  5", 1},                        /* not a layout keyword */
        {"OBJECT  M31", 1},
    };
    for (const auto &t : table)
        EXPECT_EQ(t.code, IM_card_add(t.card)) << t.card;
    EXPECT_EQ(5, p->val_naxis[1]);
    EXPECT_EQ(3, p->val_naxis[2]);
    EXPECT_EQ(0, p->val_naxis[0]);
    EXPECT_EQ(0, p->val_bitpix);
}

TEST_F(CardStore, OnlyAnIntegerBlankGivesABlankCode)
{
    const struct {
        const char *card;
        int flag;
        int value;
    } table[] = {
        {"BLANK   =               -32768", 1, -32768},
        {"BLANK   =                   12 / blank code", 1, 12},
        {"BLANK   = 'NONE    '", 0, 0},
        {"BLANK   =                  1.5", 0, 0},
        {"BLANK   =                     ", 0, 0},   /* IRAF user areas keep the blanks */
        {"BLANK   =          99999999999", 0, 0},
        {"BLANK   =", 0, 0},
    };
    for (const auto &t : table) {
        ASSERT_EQ(1, IM_card_add(t.card)) << t.card;     /* the card is kept */
        EXPECT_EQ(t.flag, p->val_blank_flag) << t.card;
        EXPECT_EQ(t.value, p->val_blank) << t.card;
        EXPECT_EQ(t.card, std::string(p->cur_header->text));
        IM_card_delete();
    }
}

TEST_F(CardStore, ControlCharactersBecomeBlanks)
{
    ASSERT_EQ(1, IM_card_add("OBJECT  = 'two\nlines\r\tand\x7f'"));
    EXPECT_STREQ("OBJECT  = 'two lines  and '", p->cur_header->text);
    ASSERT_EQ(1, IM_card_replace("OBJECT  = 'a\nb'"));
    EXPECT_STREQ("OBJECT  = 'a b'", p->cur_header->text);
}

TEST_F(CardStore, CardCountIsCapped)
{
    for (int i = 0; i < IM_MAX_CARDS; i++)
        ASSERT_EQ(1, IM_card_add("HISTORY many")) << i;
    EXPECT_EQ(-2, IM_card_add("HISTORY one more"));
    EXPECT_EQ(IM_MAX_CARDS, p->n_headers);
    IM_error_clear();
    EXPECT_EQ(-1, IM_card_fail(-1, "ZZ", "HISTORY one more"));
    EXPECT_STREQ("ZZ header refused: more than 100000 cards", im_errmsg());
}

TEST_F(CardStore, EachImageKeepsWhyItsLatestCardWasRefused)
{
    ASSERT_EQ(1, IM_card_add("NAXIS   =                    1"));
    EXPECT_EQ(-2, IM_card_add("NAXIS   =                    2"));   /* given twice */
    fid_struct *other = make_desc();                           /* f is now other */
    EXPECT_EQ(-2, IM_card_add("BITPIX  =                   24"));   /* a bad value */
    EXPECT_EQ(1, IM_card_add("OBJECT  = 'fine'"));
    EXPECT_EQ(0, IM_card_full());
    IM_error_clear();
    IM_card_fail(-1, "FITS", "OBJECT  = 'fine'");
    EXPECT_NE(nullptr, std::strstr(im_errmsg(), "has a value the library cannot use"));
    f = p;
    IM_error_clear();
    IM_card_fail(-1, "FITS", "NAXIS   =                    2");
    EXPECT_NE(nullptr, std::strstr(im_errmsg(), "NAXIS is given twice")) << im_errmsg();
    drop_desc(other);
    f = p;
}

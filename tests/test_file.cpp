/* test_file: blank bit patterns, indexed keyword names, the file summary
 * and the card-list dump. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::drop_desc;
using testsup::make_desc;

const char RULER[] =
    "1234567890123456789012345678901234567890123456789012345678901234567890123456789\n";

} // namespace

TEST(Blank, FloatBlankHasAllBitsSet)
{
    float x = 1.0f;
    im_blank(&x);
    uint32_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    EXPECT_EQ(0xFFFFFFFFu, bits);
}

TEST(Blank, DoubleBlankIsStoredBitForBit)
{
    /* One 64-bit value on every host: its bytes in memory follow the
     * host's order. */
    double d = 1.0;
    im_blankd(&d);
    unsigned char b[8];
    std::memcpy(b, &d, sizeof b);
    const unsigned char little[8] = {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF};
    const unsigned char big[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(im_byteorder() ? big : little, b, sizeof b));
}

TEST(IndexedKey, BuildsNameAndNumber)
{
    EXPECT_STREQ("CRVAL1", im_key("CRVAL", 1));
    EXPECT_STREQ("NAXIS10", im_key("NAXIS", 10));
    EXPECT_STREQ("X-3", im_key("X", -3));
}

TEST(IndexedKey, SharesOneBuffer)
{
    char *a = im_key("NAXIS", 1);
    char *b = im_key("CTYPE", 2);
    EXPECT_EQ(a, b);
    EXPECT_STREQ("CTYPE2", a);
}

TEST(IndexedKey, LongResultIsCutTo15Characters)
{
    EXPECT_STREQ("ABCDEFGHIJKLMNO", im_key("ABCDEFGHIJKLMNOPQRST", 123));
    EXPECT_STREQ("ABCDEFGHIJKLM12", im_key("ABCDEFGHIJKLM", 123));
    EXPECT_STREQ("7", im_key(nullptr, 7));
}

TEST(FileSummary, ClosedHandleAndOtherOperationsPrintNothing)
{
    fid_struct *p = make_desc();
    int id = p->id;
    drop_desc(p);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-3, im_file(id, "p"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    p = make_desc();
    IM_card_add("A       = 1");
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, im_file(p->id, "x"));
    EXPECT_EQ(0, im_file(p->id, nullptr));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    drop_desc(p);
}

TEST(FileSummary, EmptyNewImage)
{
    fid_struct *p = make_desc();
    std::snprintf(p->user_filename, sizeof p->user_filename, "%s", "out.fits");
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, im_file(p->id, "p"));
    EXPECT_EQ(std::string("------- ???? file={out.fits}\n") + RULER + "-------\n",
              testing::internal::GetCapturedStdout());
    drop_desc(p);
}

TEST(FileSummary, ListsCardsThroughTheWindowAndKeepsCurrentCard)
{
    fid_struct *p = make_desc();
    p->file_type = Type_iraf;
    std::snprintf(p->user_filename, sizeof p->user_filename, "%s", "in.imh,[1:4,*]");
    ASSERT_EQ(1, im_wkey_i(p->id, 2, "NAXIS"));
    ASSERT_EQ(1, im_wkey_i(p->id, 10, "NAXIS1"));
    ASSERT_EQ(1, im_wkey_i(p->id, 20, "NAXIS2"));
    p->windows[1].naxis_take[1] = 4;
    p->windows[1].naxis_take[2] = 20;
    p->cur_window = &p->windows[1];
    ASSERT_GT(IM_card_find("NAXIS1"), 0);
    header_struct *cur = p->cur_header;

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, im_file(p->id, "p"));
    EXPECT_EQ(std::string("------- IRAF file={in.imh,[1:4,*]}\n") + RULER +
                  "NAXIS   =                    2\n"
                  "NAXIS1  =                    4\n"
                  "NAXIS2  =                   20\n"
                  "-------\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(cur, p->cur_header);
    drop_desc(p);
}

TEST(FileSummary, FormNames)
{
    const struct {
        file_type_enum t;
        const char *name;
    } forms[] = {{Type_fits, "FITS"}, {Type_zz, "ZZ"}, {Type_S, "S"}};
    for (const auto &form : forms) {
        fid_struct *p = make_desc();
        p->file_type = form.t;
        testing::internal::CaptureStdout();
        im_file(p->id, "p");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string("------- ") + form.name + " file={}\n", out.substr(0, out.find('\n') + 1));
        drop_desc(p);
    }
}

TEST(CardDump, EmptyListAndNoCurrentCardAreSafe)
{
    fid_struct *p = make_desc();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, im_file(p->id, "q"));
    EXPECT_EQ("n_headers = 0\nlast (none)\ncur (none)\n", testing::internal::GetCapturedStdout());
    drop_desc(p);
}

TEST(CardDump, ShowsEveryCardAndFreeSlot)
{
    fid_struct *p = make_desc();
    IM_card_add("A       = 1");
    IM_card_add("B       = 2");
    IM_card_add("C       = 3");
    IM_card_delete();                          // C goes back to the free list
    IM_card_find(nullptr);                     // no current card
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, im_file(p->id, "q"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, out.find("n_headers = 2\nlast "));
    EXPECT_NE(std::string::npos, out.find("\ncur (none)\n"));
    EXPECT_NE(std::string::npos, out.find(" A       = 1\n"));
    EXPECT_NE(std::string::npos, out.find(" B       = 2\n"));
    /* 2 cards, then 48 untouched slots behind the freed one. */
    size_t free_lines = 0;
    for (size_t pos = out.find("\nfree "); pos != std::string::npos;
         pos = out.find("\nfree ", pos + 1))
        free_lines++;
    EXPECT_EQ(48u, free_lines);
    EXPECT_NE(std::string::npos, out.find(" C       = 3\n"));
    drop_desc(p);
}

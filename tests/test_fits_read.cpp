/* test_fits_read: the FITS header reader -- the records it counts, the
 * cards it keeps and cuts, and the damaged or oversized headers it refuses.
 * Test images are built byte by byte in a private temporary directory. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "im.h"
#include "test_support.h"
#include "imlib.h"

namespace {

using testsup::card_texts;
using testsup::fits_records;
using testsup::write_file;
using namespace testsup::files;  /* int_card, image_cards, small_fits, s_file */

/* One temporary directory per process, removed at exit. */
std::string path_of(const std::string &name)
{
    return testsup::scratch_dir("test_fits_read") + "/" + name;
}

} // namespace

TEST(OpenFits, IoOffsetCountsHeaderRecordsAndCardsAreKept)
{
    write_file(path_of("one.fits"), small_fits(5, 7));
    int id = im_open(path_of("one.fits").c_str(), "r");
    ASSERT_GT(id, 0);
    fid_struct *p = find_fid(id);
    EXPECT_EQ(p->io_offset, 2880);
    EXPECT_EQ(p->unix_pix_fid, p->unix_hdr_fid);
    EXPECT_GT(p->unix_hdr_fid, 0);
    EXPECT_EQ(p->val_bitpix, 16);
    EXPECT_EQ(p->bytes_per_pix, 2);
    EXPECT_EQ(p->n_pixels, 35);
    EXPECT_EQ(p->line_skip_pix, 0);
    EXPECT_EQ(p->magic, FID_MAGIC);
    std::vector<std::string> cards = card_texts(id);
    ASSERT_EQ(cards.size(), 4u); /* SIMPLE and END are not stored */
    EXPECT_EQ(cards[0], int_card("BITPIX", 16));
    EXPECT_EQ(cards[3], int_card("NAXIS2", 7));
    /* window 1 covers the whole image and is current */
    EXPECT_EQ(p->cur_window, &p->windows[1]);
    EXPECT_EQ(p->windows[1].total_bytes, 70);
    im_close(id);

    std::vector<std::string> many = image_cards(16, 2, 2);
    for (int i = 0; i < 35; i++)
        many.push_back(int_card("EXTRA", i));
    write_file(path_of("two.fits"), fits_records(many) + std::string(8, '\0'));
    id = im_open(path_of("two.fits").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->io_offset, 5760);
    EXPECT_EQ(card_texts(id).size(), 39u);
    im_close(id);
}

TEST(OpenFits, TrailingBlanksCutOnlyWhenColumn80IsBlank)
{
    std::vector<std::string> cards = image_cards(8, 1, 1);
    std::string full(80, 'Z');
    full.replace(0, 10, "FULLCARD= ");
    cards.push_back(full);
    cards.push_back("HISTORY");
    cards.push_back("");
    cards.push_back("OBJECT  = 'M31     '");
    write_file(path_of("trim.fits"), fits_records(cards) + std::string(1, '\0'));
    int id = im_open(path_of("trim.fits").c_str(), "r");
    ASSERT_GT(id, 0);
    std::vector<std::string> got = card_texts(id);
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[4], full);
    EXPECT_EQ(got[5], "HISTORY");
    EXPECT_EQ(got[6], "");
    EXPECT_EQ(got[7], "OBJECT  = 'M31     '");
    im_close(id);
}

TEST(OpenFits, FirstCardEndGivesEmptyHeader)
{
    write_file(path_of("endonly.fits"), fits_records({}));
    int id = im_open(path_of("endonly.fits").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->n_headers, 0);
    EXPECT_EQ(find_fid(id)->io_offset, 2880);
    im_close(id);
}

TEST(OpenFits, DamagedHeadersAreRefused)
{
    std::vector<std::string> cards = image_cards(16, 2, 2);
    cards[0] = "SIMPLE  =                    F";
    write_file(path_of("simplef.fits"), fits_records(cards));
    EXPECT_EQ(im_open(path_of("simplef.fits").c_str(), "r"), -1);

    cards = image_cards(16, 2, 2);
    cards.erase(cards.begin());
    write_file(path_of("nosimple.fits"), fits_records(cards));
    EXPECT_EQ(im_open(path_of("nosimple.fits").c_str(), "r"), -1);

    write_file(path_of("noend.fits"), fits_records(image_cards(16, 2, 2), false));
    EXPECT_EQ(im_open(path_of("noend.fits").c_str(), "r"), -1);

    write_file(path_of("short.fits"), fits_records(image_cards(16, 2, 2)).substr(0, 2000));
    EXPECT_EQ(im_open(path_of("short.fits").c_str(), "r"), -1);

    write_file(path_of("bitpix24.fits"), fits_records(image_cards(24, 2, 2)));
    EXPECT_EQ(im_open(path_of("bitpix24.fits").c_str(), "r"), -1);
}

TEST(OpenFits, ByteCountMustFitAnInt)
{
    write_file(path_of("huge8.fits"), fits_records(image_cards(8, 46341, 46341)));
    EXPECT_EQ(im_open(path_of("huge8.fits").c_str(), "r"), -1);
    write_file(path_of("huge16.fits"), fits_records(image_cards(16, 1073741824, 1)));
    EXPECT_EQ(im_open(path_of("huge16.fits").c_str(), "r"), -1);
    /* an empty axis hides nothing: the other axes must still fit */
    write_file(path_of("hugezero.fits"), fits_records(image_cards(16, 2147483647, 0)));
    EXPECT_EQ(im_open(path_of("hugezero.fits").c_str(), "r"), -1);
    write_file(path_of("edge8.fits"), fits_records(image_cards(8, 2147483647, 1)));
    int id = im_open(path_of("edge8.fits").c_str(), "r");
    EXPECT_GT(id, 0);
    im_close(id);
}

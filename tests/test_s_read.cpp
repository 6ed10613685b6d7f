/* test_s_read: the S header reader -- the leading record, its header and
 * pixel offsets, and the damaged records it refuses. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "im.h"
#include "test_support.h"
#include "imlib.h"

namespace {

using testsup::write_file;
using namespace testsup::files;  /* int_card, image_cards, small_fits, s_file */

/* One temporary directory per process, removed at exit. */
std::string path_of(const std::string &name)
{
    return testsup::scratch_dir("test_s_read") + "/" + name;
}

} // namespace

TEST(OpenS, HeaderFromRecordAndPixelsAtImgStart)
{
    std::vector<std::string> cards = {int_card("BITPIX", 16), int_card("NAXIS", 1),
                                      int_card("NAXIS1", 4)};
    for (int i = 0; i < 40; i++)
        cards.push_back(int_card("EXTRA", i));
    write_file(path_of("two.s"), s_file(46, 64, 64 + 5760, cards) + std::string(8, '\0'));
    int id = im_open(path_of("two.s").c_str(), "r");
    ASSERT_GT(id, 0);
    fid_struct *p = find_fid(id);
    EXPECT_EQ(p->file_type, Type_S);
    EXPECT_EQ(p->io_offset, 64 + 5760);
    EXPECT_EQ(p->unix_pix_fid, p->unix_hdr_fid);
    EXPECT_EQ(std::string(p->pix_filename), path_of("two.s"));
    EXPECT_EQ(p->n_pixels, 4);
    EXPECT_EQ(p->n_headers, 43);
    im_close(id);
}

TEST(OpenS, DamagedRecordsAreRefused)
{
    std::vector<std::string> cards = {int_card("NAXIS", 0)};
    write_file(path_of("tape47.s"), s_file(47, 12, 2892, cards));
    EXPECT_EQ(im_open(path_of("tape47.s").c_str(), "r"), -1);
    write_file(path_of("tiny.s"), std::string("\x2e\0\0\0\x0c\0", 6));
    EXPECT_EQ(im_open(path_of("tiny.s").c_str(), "r"), -1);
    std::string neg = s_file(46, 12, 2892, cards);
    int32_t minus = -2880;
    std::memcpy(&neg[4], &minus, 4);
    write_file(path_of("neghdr.s"), neg);
    EXPECT_EQ(im_open(path_of("neghdr.s").c_str(), "r"), -1);
    std::memcpy(&neg[4], "\x0c\0\0\0", 4);
    std::memcpy(&neg[8], &minus, 4);
    write_file(path_of("negimg.s"), neg);
    EXPECT_EQ(im_open(path_of("negimg.s").c_str(), "r"), -1);
    write_file(path_of("imgpast.s"), s_file(46, 12, 2892, cards).substr(0, 2892) );
    EXPECT_GT(im_open(path_of("imgpast.s").c_str(), "r"), 0); /* img_start at the end */
    std::string past = s_file(46, 12, 2893, cards).substr(0, 2892);
    write_file(path_of("imgpast2.s"), past);
    EXPECT_EQ(im_open(path_of("imgpast2.s").c_str(), "r"), -1);
    std::string hpast = s_file(46, 12, 12, cards);
    int32_t far = 1 << 30;
    std::memcpy(&hpast[4], &far, 4);
    write_file(path_of("hdrpast.s"), hpast);
    EXPECT_EQ(im_open(path_of("hdrpast.s").c_str(), "r"), -1);
    write_file(path_of("noend.s"), s_file(46, 12, 12, cards, false));
    EXPECT_EQ(im_open(path_of("noend.s").c_str(), "r"), -1);
}

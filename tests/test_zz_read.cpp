/* test_zz_read: the ZZ header reader -- which text lines become cards,
 * long lines, the pixel file beside the header and its size. */
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
using testsup::write_file;

/* One temporary directory per process, removed at exit. */
std::string path_of(const std::string &name)
{
    return testsup::scratch_dir("test_zz_read") + "/" + name;
}

} // namespace

TEST(OpenZz, TextHeaderAndPixelFile)
{
    std::string hdr = "BITPIX  =                   16\n"
                      "NAXIS   =                    2\n"
                      "NAXIS1  =                    3\n"
                      "NAXIS2 =                     2\n" /* '=' in column 8: skipped */
                      "NAXIS2   =                   2\n" /* '=' in column 10: kept */
                      "\n"
                      "   \n"
                      "COMMENT keeps\n"
                      "HISTORY keeps\n"
                      "random words here\n"
                      "END\n";
    write_file(path_of("zz1.zzh"), hdr);
    write_file(path_of("zz1.zzp"), std::string(12, '\0'));
    int id = im_open(path_of("zz1.zzh").c_str(), "r");
    ASSERT_GT(id, 0);
    fid_struct *p = find_fid(id);
    EXPECT_EQ(p->file_type, Type_zz);
    EXPECT_EQ(std::string(p->pix_filename), path_of("zz1.zzp"));
    EXPECT_EQ(p->io_offset, 0);
    EXPECT_GT(p->unix_pix_fid, 0);
    EXPECT_EQ(p->n_pixels, 6);
    std::vector<std::string> want = {
        "BITPIX  =                   16", "NAXIS   =                    2",
        "NAXIS1  =                    3", "NAXIS2   =                   2",
        "", "   ", "COMMENT keeps", "HISTORY keeps"};
    EXPECT_EQ(card_texts(id), want);
    im_close(id);

    /* found through the fallback; the pixel file must exist */
    id = im_open(path_of("zz1").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(std::string(find_fid(id)->hdr_filename), path_of("zz1.zzh"));
    im_close(id);
    write_file(path_of("zz2.zzh"), "NAXIS   =                    0\n");
    EXPECT_EQ(im_open(path_of("zz2.zzh").c_str(), "r"), -2);
}

TEST(OpenZz, ShortLinesTestOnlyTheirOwnCharacters)
{
    /* A long line with '=' in columns 9 and 10, then short lines that an
     * old buffer would make look like cards. */
    std::string hdr = "BITPIX  ==                  16\n"
                      "END\n"
                      "AB\n"
                      "NAXIS   =                    0\n"
                      "XYZWVUTS\n";
    write_file(path_of("zz3.zzh"), hdr);
    write_file(path_of("zz3.zzp"), "");
    int id = im_open(path_of("zz3.zzh").c_str(), "r");
    ASSERT_GT(id, 0);
    std::vector<std::string> want = {"BITPIX  ==                  16", "NAXIS   =                    0"};
    EXPECT_EQ(card_texts(id), want);
    im_close(id);
}

TEST(OpenZz, LongLinesAreReadInPieces)
{
    std::string first = "COMMENT " + std::string(73, 'c');  /* 81 characters */
    std::string hdr = "NAXIS   =                    0\n" + first + "       tail\n";
    write_file(path_of("zz4.zzh"), hdr);
    write_file(path_of("zz4.zzp"), "");
    int id = im_open(path_of("zz4.zzh").c_str(), "r");
    ASSERT_GT(id, 0);
    std::vector<std::string> got = card_texts(id);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], first.substr(0, 80)); /* the store keeps 80 */
    EXPECT_EQ(got[2], "       tail");
    im_close(id);
}

TEST(OpenHostile, ZzPixelFileOfAnotherSizeThanItsHeaderIsRefused)
{
    const std::string hdr = "BITPIX  =                   16\nNAXIS   =                    2\n"
                            "NAXIS1  =                    4\nNAXIS2  =                    3\n";
    const struct {
        size_t bytes;
        int code;
    } sizes[] = {{24, 1}, {23, -1}, {0, -1}, {25, -1}, {48, -1}};
    for (const auto &s : sizes) {
        write_file(path_of("size.zzh"), hdr);
        write_file(path_of("size.zzp"), std::string(s.bytes, '\0'));
        const int id = im_open(path_of("size.zzh").c_str(), "r");
        if (s.code > 0) {
            EXPECT_GT(id, 0) << s.bytes << ": " << im_errmsg();
            im_close(id);
            continue;
        }
        EXPECT_EQ(s.code, id) << s.bytes;
        EXPECT_EQ("ZZ pixel file " + path_of("size.zzp") + " holds " + std::to_string(s.bytes) +
                      " bytes, but its header calls for 24 (BITPIX 16, 12 pixels)",
                  std::string(im_errmsg()));
    }
}

/* test_hosts: what must hold on every host, 32-bit and big-endian ones
 * included -- images whose pixels lie past 2 GiB (sparse files) read,
 * updated and written through 64-bit file positions, an extension that
 * starts past 2 GiB, and the double blank as one 64-bit value stored in
 * FITS order, with both patterns that earlier versions wrote read as blank.
 * The same suite runs natively and under each cross host's emulator. */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "im.h"
#include "imlib.h"
#include "test_support.h"

namespace {

using testsup::fits_records;
using testsup::files::int_card;

std::string path_of(const std::string &name)
{
    return testsup::scratch_dir("test_hosts") + "/" + name;
}

/* A BITPIX -32 image of LF_NX x LF_NY pixels: 2^31 - 4 bytes of data, as
 * many as an image may hold, from byte 2880, so that the last 720 pixels
 * lie past 2 GiB.  (2^29 - 1 = 256999 x 2089.) */
const int LF_NX = 256999;
const int LF_NY = 2089;
const int64_t LF_DATA = int64_t(LF_NX) * LF_NY * 4;

/* Byte position of pixel (x, y), 0-based, of the large image. */
int64_t lf_pos(int x, int y)
{
    return 2880 + (int64_t(y) * LF_NX + x) * 4;
}

/* Big-endian bytes of a float. */
void be_float_bytes(float v, unsigned char *b)
{
    uint32_t u;
    std::memcpy(&u, &v, 4);
    for (int k = 0; k < 4; k++)
        b[k] = static_cast<unsigned char>(u >> (24 - 8 * k));
}

float float_at(int fd, int64_t pos)
{
    unsigned char b[4] = {0, 0, 0, 0};
    EXPECT_EQ(4, pread(fd, b, 4, static_cast<off_t>(pos)));
    uint32_t u = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    float v;
    std::memcpy(&v, &u, 4);
    return v;
}

/* Makes the large image as a sparse file (header written, data a hole)
 * with the values 1.5, -2.25, 3e30 at the last three pixels; fails the test
 * when the file system refuses. */
void make_large_image(const std::string &p)
{
    std::string hdr = fits_records({"SIMPLE  =                    T", int_card("BITPIX", -32),
                                    int_card("NAXIS", 2), int_card("NAXIS1", LF_NX),
                                    int_card("NAXIS2", LF_NY)});
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GT(fd, 0) << p;
    ASSERT_EQ(ssize_t(hdr.size()), write(fd, hdr.data(), hdr.size()));
    const int64_t size = 2880 + (LF_DATA + 2879) / 2880 * 2880;
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size))) << "sparse file of " << size << " bytes";
    const float tail[3] = {1.5f, -2.25f, 3e30f};
    for (int k = 0; k < 3; k++) {
        unsigned char b[4];
        be_float_bytes(tail[k], b);
        ASSERT_EQ(4, pwrite(fd, b, 4, static_cast<off_t>(lf_pos(LF_NX - 3 + k, LF_NY - 1))));
    }
    close(fd);
}

/* Window 1 of image id over pixels x0 .. x0+n-1 of line y (0-based). */
int line_window(int id, int x0, int n, int y)
{
    const int takes[3] = {2, n, 1};
    const int skips[3] = {2, x0, y};
    int rc = im_dwin(id, 1, takes, skips);
    return rc == 0 ? im_swin(id, 1) : rc;
}

TEST(LargeFile, PixelsPastTwoGibAreReadAndUpdatedInPlace)
{
    static_assert(sizeof(off_t) == 8, "tests see 64-bit file positions too");
    const std::string p = path_of("large.fits");
    make_large_image(p);
    ASSERT_GT(lf_pos(LF_NX - 4, LF_NY - 1), int64_t(1) << 31);

    /* Read: the last four pixels (one from the hole) and a pixel of the
     * first line. */
    int id = im_open(p.c_str(), "read");
    ASSERT_GT(id, 0) << im_errmsg();
    ASSERT_EQ(0, line_window(id, LF_NX - 4, 4, LF_NY - 1));
    float v[4] = {9, 9, 9, 9};
    ASSERT_EQ(4, im_rpix_r(id, v, 4));
    EXPECT_EQ(0.0f, v[0]);
    EXPECT_EQ(1.5f, v[1]);
    EXPECT_EQ(-2.25f, v[2]);
    EXPECT_EQ(3e30f, v[3]);
    EXPECT_EQ(0, im_close(id));

    /* Update: two pixels past 2 GiB rewritten, the rest left alone. */
    id = im_open(p.c_str(), "update");
    ASSERT_GT(id, 0) << im_errmsg();
    ASSERT_EQ(0, line_window(id, LF_NX - 3, 2, LF_NY - 1));
    float w[2] = {-7.0f, 0.125f};
    ASSERT_EQ(2, im_wpix_r(id, w, 2));
    EXPECT_EQ(0, im_close(id));
    int fd = open(p.c_str(), O_RDONLY);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(-7.0f, float_at(fd, lf_pos(LF_NX - 3, LF_NY - 1)));
    EXPECT_EQ(0.125f, float_at(fd, lf_pos(LF_NX - 2, LF_NY - 1)));
    EXPECT_EQ(3e30f, float_at(fd, lf_pos(LF_NX - 1, LF_NY - 1)));
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(2880 + (LF_DATA + 2879) / 2880 * 2880, int64_t(st.st_size));
    close(fd);
    unlink(p.c_str());
}

TEST(LargeFile, NewImageIsWrittenPastTwoGib)
{
    const std::string p = path_of("large_new.fits");
    int id = im_open(p.c_str(), "write");
    ASSERT_GT(id, 0) << im_errmsg();
    ASSERT_GT(im_wkey_i(id, -32, "BITPIX"), 0);
    ASSERT_GT(im_wkey_i(id, 2, "NAXIS"), 0);
    ASSERT_GT(im_wkey_i(id, LF_NX, "NAXIS1"), 0);
    ASSERT_GT(im_wkey_i(id, LF_NY, "NAXIS2"), 0);
    /* Only the last line's tail is given (writing the whole 2 GiB would
     * take too long): the pixels land at their places past 2 GiB ... */
    ASSERT_EQ(0, line_window(id, LF_NX - 2, 2, LF_NY - 1));
    float w[2] = {4.0f, -0.5f};
    ASSERT_EQ(2, im_wpix_r(id, w, 2)) << im_errmsg();
    int fd = open(p.c_str(), O_RDONLY);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(4.0f, float_at(fd, lf_pos(LF_NX - 2, LF_NY - 1)));
    EXPECT_EQ(-0.5f, float_at(fd, lf_pos(LF_NX - 1, LF_NY - 1)));
    close(fd);

    /* ... and the close counts the pixels with 64-bit sizes: two of the
     * 2^29-odd were written, so the image is refused and removed. */
    EXPECT_EQ(-2, im_close(id));
    EXPECT_NE(std::string::npos, std::string(im_errmsg()).find("only 2 of the ")) << im_errmsg();
    struct stat st;
    EXPECT_NE(0, stat(p.c_str(), &st));
    unlink(p.c_str());
}

TEST(LargeFile, ExtensionStartingPastTwoGibIsRead)
{
    /* A primary of 2^31 - 1 bytes, then an image extension of 3 16-bit
     * pixels whose header and data lie past 2 GiB. */
    const std::string p = path_of("far_ext.fits");
    std::string primary = fits_records({"SIMPLE  =                    T", int_card("BITPIX", 8),
                                        int_card("NAXIS", 1), int_card("NAXIS1", 2147483647),
                                        "EXTEND  =                    T"});
    std::string ext = fits_records({"XTENSION= 'IMAGE   '", int_card("BITPIX", 16),
                                    int_card("NAXIS", 1), int_card("NAXIS1", 3),
                                    int_card("PCOUNT", 0), int_card("GCOUNT", 1),
                                    "EXTNAME = 'FAR     '"});
    const unsigned char data[6] = {0x00, 0x07, 0xFF, 0xFE, 0x7F, 0xFF};
    ext.append(reinterpret_cast<const char *>(data), sizeof data);
    testsup::pad_to_records(ext, '\0');
    const int64_t at = 2880 + (int64_t(2147483647) + 2879) / 2880 * 2880;
    ASSERT_GT(at, int64_t(1) << 31);
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(ssize_t(primary.size()), write(fd, primary.data(), primary.size()));
    ASSERT_EQ(ssize_t(ext.size()), pwrite(fd, ext.data(), ext.size(), static_cast<off_t>(at)));
    close(fd);

    for (const char *sel : {"[1]", "[FAR]"}) {
        int id = im_open((p + sel).c_str(), "read");
        ASSERT_GT(id, 0) << sel << ": " << im_errmsg();
        short s[3] = {0, 0, 0};
        EXPECT_EQ(3, im_rpix_s(id, s, 3)) << sel;
        EXPECT_EQ(7, s[0]);
        EXPECT_EQ(-2, s[1]);
        EXPECT_EQ(32767, s[2]);
        EXPECT_EQ(0, im_close(id));
    }
    unlink(p.c_str());
}

TEST(DoubleBlank, IsOneValueStoredMostSignificantByteFirst)
{
    double d = 0;
    im_blankd(&d);
    uint64_t u;
    std::memcpy(&u, &d, 8);
    EXPECT_EQ(0xFFFFFFFF7FFFFFFFull, u);

    /* Written to FITS: the same bytes whatever the host's order. */
    const std::string p = path_of("blank64.fits");
    int id = im_open(p.c_str(), "write");
    ASSERT_GT(id, 0);
    ASSERT_GT(im_wkey_i(id, -64, "BITPIX"), 0);
    ASSERT_GT(im_wkey_i(id, 1, "NAXIS"), 0);
    ASSERT_GT(im_wkey_i(id, 3, "NAXIS1"), 0);
    double v[3] = {d, 2.0, std::nan("")};
    ASSERT_EQ(3, im_wpix_d(id, v, 3));
    EXPECT_EQ(0, im_close(id));
    std::vector<unsigned char> b = testsup::slurp(p);
    ASSERT_GE(b.size(), size_t(2880 + 24));
    const unsigned char blank[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF};
    const unsigned char two[8] = {0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(blank, &b[2880], 8));
    EXPECT_EQ(0, std::memcmp(two, &b[2888], 8));
    EXPECT_EQ(0, std::memcmp(blank, &b[2896], 8));
}

TEST(DoubleBlank, BothPatternsOfEarlierVersionsReadAsBlank)
{
    /* FF FF FF FF 7F FF FF FF (little-endian hosts) and 7F FF FF FF FF FF
     * FF FF (big-endian hosts), then 1.0; read as doubles and, from a
     * 32-bit image converted by BSCALE, never mistaken for a number. */
    std::string d = fits_records({"SIMPLE  =                    T", int_card("BITPIX", -64),
                                  int_card("NAXIS", 1), int_card("NAXIS1", 3)});
    const unsigned char px[24] = {0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF,
                                  0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    d.append(reinterpret_cast<const char *>(px), sizeof px);
    testsup::pad_to_records(d, '\0');
    const std::string p = path_of("old_blanks.fits");
    testsup::write_file(p, d);
    int id = im_open(p.c_str(), "read");
    ASSERT_GT(id, 0) << im_errmsg();
    double v[3] = {0, 0, 0};
    ASSERT_EQ(3, im_rpix_d(id, v, 3));
    double blank;
    im_blankd(&blank);
    EXPECT_EQ(0, std::memcmp(&blank, &v[0], 8));
    EXPECT_EQ(0, std::memcmp(&blank, &v[1], 8));
    EXPECT_EQ(1.0, v[2]);
    EXPECT_EQ(0, im_close(id));
}

} // namespace

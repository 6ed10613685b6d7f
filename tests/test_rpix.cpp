/* Pixel reading: conversion of every stored type to every caller type,
 * blanks, scaling, byte order, windows, failures and the ".H" fallback,
 * on pixel files written here and descriptors built by hand. */
#include <gtest/gtest.h>

#include <limits>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::fits_records;
using testsup::write_file;
using testsup::drop_image;

/* One temporary directory per process, removed at exit. */
std::string scratch_dir() { return testsup::scratch_dir("test_rpix"); }

/* Stored bytes of values, most significant byte first (FITS order). */
template <typename T>
std::vector<unsigned char> fits_order(const std::vector<T> &v)
{
    std::vector<unsigned char> out;
    for (T x : v) {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &x, sizeof(T));
        if (im_byteorder() == 0)
            for (size_t i = 0; i < sizeof(T) / 2; i++)
                std::swap(b[i], b[sizeof(T) - 1 - i]);
        out.insert(out.end(), b, b + sizeof(T));
    }
    return out;
}

/* Stored bytes of values in host order (IRAF, ZZ, S). */
template <typename T>
std::vector<unsigned char> host_order(const std::vector<T> &v)
{
    std::vector<unsigned char> out(v.size() * sizeof(T));
    if (!v.empty())
        std::memcpy(out.data(), v.data(), out.size());
    return out;
}

/* A file of io_offset header bytes followed by pix, and a read descriptor
 * over it with window 1 (the whole image) current, as opening leaves it. */
fid_struct *make_image(const std::string &name, int bitpix, std::vector<int> axes,
                       const std::vector<unsigned char> &pix, file_type_enum type = Type_fits,
                       int io_offset = 2880)
{
    std::string path = scratch_dir() + "/" + name;
    std::vector<unsigned char> bytes(io_offset, ' ');
    bytes.insert(bytes.end(), pix.begin(), pix.end());
    write_file(path, bytes);
    fid_struct *p = new_fid();
    p->magic = FID_MAGIC;
    p->mode = 1;
    p->file_type = type;
    p->val_bitpix = bitpix;
    p->bytes_per_pix = std::abs(bitpix) / 8;
    p->val_naxis[0] = static_cast<int>(axes.size());
    p->n_pixels = 1;
    for (size_t i = 0; i < axes.size(); i++) {
        p->val_naxis[i + 1] = axes[i];
        p->n_pixels *= axes[i];
    }
    p->io_offset = io_offset;
    p->val_scale = 1.0;
    return testsup::open_desc_on(p, path);
}

uint32_t bits_of(float x)
{
    uint32_t u;
    std::memcpy(&u, &x, 4);
    return u;
}

uint64_t bits_of(double x)
{
    uint64_t u;
    std::memcpy(&u, &x, 8);
    return u;
}

const uint32_t float_blank = IM_FLOAT_BLANK_BITS;
uint64_t double_blank()
{
    return IM_DOUBLE_BLANK_BITS;
}

TEST(ReadPixels, SixteenBitMostNegativeValueAndBlank)
{
    fid_struct *p = make_image("s16.fits", 16, {1}, {0x80, 0x00});
    float r = 0;
    short s = 0;
    ASSERT_EQ(1, im_rpix_r(p->id, &r, 1));
    EXPECT_EQ(-32768.0f, r);
    ASSERT_EQ(1, im_rpix_s(p->id, &s, -1));
    ASSERT_EQ(1, im_rpix_s(p->id, &s, 1));
    EXPECT_EQ(-32768, s);
    p->val_blank_flag = 1;
    p->val_blank = -32768;
    ASSERT_EQ(1, im_rpix_r(p->id, &r, -1));
    ASSERT_EQ(1, im_rpix_r(p->id, &r, 1));
    EXPECT_EQ(float_blank, bits_of(r));
    ASSERT_EQ(1, im_rpix_s(p->id, &s, -1));
    ASSERT_EQ(1, im_rpix_s(p->id, &s, 1));
    EXPECT_EQ(-32768, s);
    drop_image(p);
}

TEST(ReadPixels, BytesAreUnsigned)
{
    fid_struct *p = make_image("u8.fits", 8, {3}, {0xC8, 0x00, 0xFF});
    float r[3];
    double d[3];
    unsigned char c[3];
    ASSERT_EQ(3, im_rpix_r(p->id, r, 3));
    EXPECT_EQ(200.0f, r[0]);
    EXPECT_EQ(255.0f, r[2]);
    p->val_blank_flag = 1;
    p->val_blank = 200;
    ASSERT_EQ(3, im_rpix_d(p->id, d, -1));
    ASSERT_EQ(3, im_rpix_d(p->id, d, 3));
    EXPECT_EQ(double_blank(), bits_of(d[0]));
    EXPECT_EQ(0.0, d[1]);
    EXPECT_EQ(255.0, d[2]);
    ASSERT_EQ(3, im_rpix_c(p->id, c, -1));
    ASSERT_EQ(3, im_rpix_c(p->id, c, 3));
    EXPECT_EQ(0xC8, c[0]);                               /* no blank handling */
    drop_image(p);
}

TEST(ReadPixels, ScaleAndZeroApplyToIntegersAndFitsFloats)
{
    fid_struct *p = make_image("sc16.fits", 16, {2}, fits_order<int16_t>({5, -7}));
    p->val_scale = 2.0;
    p->val_offset = 10.0;
    p->val_blank_flag = 1;
    p->val_blank = -7;
    float r[2];
    double d[2];
    short s[2];
    ASSERT_EQ(2, im_rpix_r(p->id, r, 2));
    EXPECT_EQ(20.0f, r[0]);
    EXPECT_EQ(float_blank, bits_of(r[1]));               /* blank stays blank */
    ASSERT_EQ(2, im_rpix_d(p->id, d, -1));
    ASSERT_EQ(2, im_rpix_d(p->id, d, 2));
    EXPECT_EQ(20.0, d[0]);
    EXPECT_EQ(double_blank(), bits_of(d[1]));
    ASSERT_EQ(2, im_rpix_s(p->id, s, -1));
    ASSERT_EQ(2, im_rpix_s(p->id, s, 2));
    EXPECT_EQ(5, s[0]);
    drop_image(p);

    /* FITS floats: physical = BSCALE x stored + BZERO; blanks stay blank.
     * Floats of the host-order forms are stored as meant: never scaled. */
    const struct {
        const char *name;
        file_type_enum type;
        int io_offset;
        float want;
    } floats[] = {
        {"scf.fits", Type_fits, 2880, 8.0f},
        {"scf.pix", Type_iraf, 1024, 3.5f},
        {"scf.zzp", Type_zz, 0, 3.5f},
    };
    for (const auto &c : floats) {
        std::vector<float> v = {3.5f, NAN};
        p = make_image(c.name, -32, {2},
                       c.type == Type_fits ? fits_order<float>(v) : host_order<float>(v), c.type,
                       c.io_offset);
        p->val_scale = 2.0;
        p->val_offset = 1.0;
        ASSERT_EQ(2, im_rpix_r(p->id, r, 2)) << c.name;
        EXPECT_EQ(c.want, r[0]) << c.name;
        EXPECT_EQ(float_blank, bits_of(r[1])) << c.name;
        ASSERT_EQ(2, im_rpix_d(p->id, d, -1));
        ASSERT_EQ(2, im_rpix_d(p->id, d, 2));
        EXPECT_EQ(double(c.want), d[0]) << c.name;
        EXPECT_EQ(double_blank(), bits_of(d[1])) << c.name;
        drop_image(p);
    }
    p = make_image("scd.fits", -64, {2}, fits_order<double>({0.1, INFINITY}));
    p->val_scale = 3.0;
    p->val_offset = -0.5;
    ASSERT_EQ(2, im_rpix_d(p->id, d, 2));
    EXPECT_EQ(0.1 * 3.0 + -0.5, d[0]);
    EXPECT_EQ(double_blank(), bits_of(d[1]));
    drop_image(p);
}

TEST(ReadPixels, FloatScalingRoundsAfterMultiplyAndAgainAfterAdd)
{
    /* Awkward scale and offset over many values and block boundaries: the
     * result must equal two separately rounded single-precision passes. */
    const int n = 5000;
    std::vector<int32_t> v(n);
    for (int i = 0; i < n; i++)
        v[i] = (i * 2654435761u) % 2000000 - 1000000;
    fid_struct *p = make_image("round32.fits", 32, {100, 50}, fits_order<int32_t>(v));
    p->val_scale = 0.1;
    p->val_offset = 32768.3;
    std::vector<float> r(n);
    ASSERT_EQ(n, im_rpix_r(p->id, r.data(), n));
    for (int i = 0; i < n; i++) {
        float x = static_cast<float>(v[i]);
        x = static_cast<float>(static_cast<double>(x) * 0.1);
        x = static_cast<float>(static_cast<double>(x) + 32768.3);
        ASSERT_EQ(bits_of(x), bits_of(r[i])) << i;
    }
    std::vector<double> d(n);
    ASSERT_EQ(n, im_rpix_d(p->id, d.data(), -1));
    ASSERT_EQ(n, im_rpix_d(p->id, d.data(), n));
    for (int i = 0; i < n; i++)
        ASSERT_EQ(static_cast<double>(v[i]) * 0.1 + 32768.3, d[i]) << i;
    drop_image(p);
}

TEST(ReadPixels, NanScaleCountsAsSet)
{
    fid_struct *p = make_image("nanscale.fits", 16, {2}, fits_order<int16_t>({4, 9}));
    p->val_scale = std::nan("");
    p->val_blank_flag = 1;
    p->val_blank = 9;
    float r[2];
    ASSERT_EQ(2, im_rpix_r(p->id, r, 2));
    EXPECT_TRUE(std::isnan(r[0]));
    EXPECT_EQ(float_blank, bits_of(r[1]));
    drop_image(p);
}

TEST(ReadPixels, NonFiniteFloatsBecomeBlank)
{
    float inf = INFINITY;
    std::vector<float> v = {1.5f, NAN, inf, -inf, -999.0f};
    fid_struct *p = make_image("f32.fits", -32, {5}, fits_order<float>(v));
    p->val_blank_flag = 1;
    p->val_blank = -999;
    float r[5];
    double d[5];
    ASSERT_EQ(5, im_rpix_r(p->id, r, 5));
    EXPECT_EQ(1.5f, r[0]);
    for (int i = 1; i < 4; i++)
        EXPECT_EQ(float_blank, bits_of(r[i])) << i;
    EXPECT_EQ(-999.0f, r[4]);                            /* FITS ignores BLANK for floats */
    ASSERT_EQ(5, im_rpix_d(p->id, d, -1));
    ASSERT_EQ(5, im_rpix_d(p->id, d, 5));
    EXPECT_EQ(1.5, d[0]);
    for (int i = 1; i < 4; i++)
        EXPECT_EQ(double_blank(), bits_of(d[i])) << i;
    EXPECT_EQ(-999.0, d[4]);
    drop_image(p);

    p = make_image("f32.pix", -32, {5}, host_order<float>(v), Type_iraf, 1024);
    p->val_blank_flag = 1;
    p->val_blank = -999;
    ASSERT_EQ(5, im_rpix_r(p->id, r, 5));
    EXPECT_EQ(1.5f, r[0]);
    EXPECT_EQ(float_blank, bits_of(r[4]));               /* IRAF: BLANK applies */
    ASSERT_EQ(5, im_rpix_d(p->id, d, -1));
    ASSERT_EQ(5, im_rpix_d(p->id, d, 5));
    EXPECT_EQ(double_blank(), bits_of(d[4]));
    drop_image(p);
}

TEST(ReadPixels, DoublesConvertOnlyThroughTheDoubleReader)
{
    std::vector<double> v = {-2.25, NAN, INFINITY, 1e300, -999.0};
    fid_struct *p = make_image("f64.fits", -64, {5}, fits_order<double>(v));
    double d[5];
    float r[5];
    EXPECT_EQ(-2, im_rpix_r(p->id, r, 5));
    EXPECT_EQ(-2, im_rpix_r(p->id, r, -1));
    ASSERT_EQ(5, im_rpix_d(p->id, d, 5));
    EXPECT_EQ(-2.25, d[0]);
    EXPECT_EQ(double_blank(), bits_of(d[1]));
    EXPECT_EQ(double_blank(), bits_of(d[2]));
    EXPECT_EQ(1e300, d[3]);
    EXPECT_EQ(-999.0, d[4]);
    drop_image(p);

    p = make_image("f64.pix", -64, {5}, host_order<double>(v), Type_iraf, 1024);
    p->val_blank_flag = 1;
    p->val_blank = -999;
    ASSERT_EQ(5, im_rpix_d(p->id, d, 5));
    EXPECT_EQ(-2.25, d[0]);
    EXPECT_EQ(double_blank(), bits_of(d[4]));
    drop_image(p);
}

TEST(ReadPixels, ThirtyTwoBitIntegersRoundToNearestFloat)
{
    fid_struct *p = make_image("i32.fits", 32, {2}, fits_order<int32_t>({16777217, -2147483647 - 1}));
    float r[2];
    double d[2];
    int i[2];
    ASSERT_EQ(2, im_rpix_r(p->id, r, 2));
    EXPECT_EQ(16777216.0f, r[0]);
    EXPECT_EQ(-2147483648.0f, r[1]);
    ASSERT_EQ(2, im_rpix_d(p->id, d, -1));
    ASSERT_EQ(2, im_rpix_d(p->id, d, 2));
    EXPECT_EQ(16777217.0, d[0]);
    ASSERT_EQ(2, im_rpix_i(p->id, i, -1));
    ASSERT_EQ(2, im_rpix_i(p->id, i, 2));
    EXPECT_EQ(16777217, i[0]);
    EXPECT_EQ(-2147483647 - 1, i[1]);
    drop_image(p);
}

TEST(ReadPixels, HostOrderFormsAreNotSwapped)
{
    fid_struct *p = make_image("h16.pix", 16, {3}, host_order<int16_t>({1, -2, 300}), Type_iraf, 1024);
    short s[3];
    double d[3];
    ASSERT_EQ(3, im_rpix_s(p->id, s, 3));
    EXPECT_EQ(300, s[2]);
    ASSERT_EQ(3, im_rpix_d(p->id, d, -1));
    ASSERT_EQ(3, im_rpix_d(p->id, d, 3));
    EXPECT_EQ(-2.0, d[1]);
    drop_image(p);
}

TEST(ReadPixels, RawModeKeepsFileOrderForIntegerReadersOnly)
{
    fid_struct *p = make_image("raw16.fits", 16, {1}, {0x01, 0x02});
    int before = im_raw(1);
    short s = 0;
    float r = 0;
    ASSERT_EQ(1, im_rpix_s(p->id, &s, 1));
    unsigned char b[2];
    std::memcpy(b, &s, 2);
    EXPECT_EQ(0x01, b[0]);
    EXPECT_EQ(0x02, b[1]);
    ASSERT_EQ(1, im_rpix_r(p->id, &r, -1));
    ASSERT_EQ(1, im_rpix_r(p->id, &r, 1));
    EXPECT_EQ(258.0f, r);
    drop_image(p);

    p = make_image("raw32.fits", 32, {1}, {0x01, 0x02, 0x03, 0x04});
    int i = 0;
    ASSERT_EQ(1, im_rpix_i(p->id, &i, 1));
    unsigned char c[4];
    std::memcpy(c, &i, 4);
    EXPECT_EQ(0x01, c[0]);
    EXPECT_EQ(0x04, c[3]);
    im_raw(before);
    ASSERT_EQ(1, im_rpix_i(p->id, &i, -1));
    ASSERT_EQ(1, im_rpix_i(p->id, &i, 1));
    EXPECT_EQ(0x01020304, i);
    drop_image(p);
}

TEST(ReadPixels, RequestIsCutToWindowThenZeroUntilRewind)
{
    std::vector<int16_t> v(600);
    for (int k = 0; k < 600; k++)
        v[k] = static_cast<int16_t>(k);
    fid_struct *p = make_image("w600.fits", 16, {30, 20}, fits_order<int16_t>(v));
    std::vector<float> r(1000);
    EXPECT_EQ(600, im_rpix_r(p->id, r.data(), 1000));
    EXPECT_EQ(599.0f, r[599]);
    EXPECT_EQ(0, im_rpix_r(p->id, r.data(), 1000));
    EXPECT_EQ(600, im_rpix_r(p->id, r.data(), -1));
    EXPECT_EQ(1, im_rpix_r(p->id, r.data(), 1));
    EXPECT_EQ(0.0f, r[0]);
    EXPECT_EQ(0, im_rpix_r(p->id, r.data(), 0));       /* nothing asked, nothing moved */
    EXPECT_EQ(1, im_rpix_r(p->id, r.data(), 1));
    EXPECT_EQ(1.0f, r[0]);
    drop_image(p);
}

TEST(ReadPixels, SubsetWindowDeliversItsPixelsInStorageOrder)
{
    /* 12 x 9 x 3 image of value x + 100 y + 10000 z, window 4:7 x 2:5 x 2:3
     * read in uneven pieces, across all five readers' conversion paths. */
    std::vector<int32_t> v;
    for (int z = 0; z < 3; z++)
        for (int y = 0; y < 9; y++)
            for (int x = 0; x < 12; x++)
                v.push_back(x + 100 * y + 10000 * z);
    fid_struct *p = make_image("cube.fits", 32, {12, 9, 3}, fits_order<int32_t>(v));
    int takes[10] = {3, 4, 4, 2};
    int skips[10] = {0, 3, 1, 1};
    ASSERT_EQ(0, im_dwin(p->id, 2, takes, skips));
    ASSERT_EQ(0, im_swin(p->id, 2));
    std::vector<double> want;
    for (int z = 1; z < 3; z++)
        for (int y = 1; y < 5; y++)
            for (int x = 3; x < 7; x++)
                want.push_back(x + 100 * y + 10000 * z);
    std::vector<double> got(want.size());
    size_t at = 0;
    for (int piece : {3, 7, 1, 10, 100}) {
        int n = im_rpix_d(p->id, got.data() + at, piece);
        ASSERT_GE(n, 0);
        at += n;
    }
    EXPECT_EQ(want.size(), at);
    EXPECT_EQ(want, got);
    drop_image(p);
}

TEST(ReadPixels, WideningCrossesBlocksWithoutLosingPixels)
{
    const int n = 4099;
    std::vector<unsigned char> v(n);
    std::vector<int16_t> w(n);
    for (int k = 0; k < n; k++) {
        v[k] = static_cast<unsigned char>(k * 31);
        w[k] = static_cast<int16_t>(k * 17 - 30000);
    }
    fid_struct *p = make_image("wide8.fits", 8, {n}, v);
    std::vector<double> d(n);
    ASSERT_EQ(n, im_rpix_d(p->id, d.data(), n));
    for (int k = 0; k < n; k++)
        ASSERT_EQ(static_cast<double>(v[k]), d[k]) << k;
    drop_image(p);
    p = make_image("wide16.fits", 16, {n}, fits_order<int16_t>(w));
    std::vector<float> r(n);
    ASSERT_EQ(n, im_rpix_r(p->id, r.data(), n));
    for (int k = 0; k < n; k++)
        ASSERT_EQ(static_cast<float>(w[k]), r[k]) << k;
    drop_image(p);
    std::vector<float> fl(n);
    for (int k = 0; k < n; k++)
        fl[k] = k * 0.25f - 7.0f;
    p = make_image("widef.fits", -32, {n}, fits_order<float>(fl));
    ASSERT_EQ(n, im_rpix_d(p->id, d.data(), n));
    for (int k = 0; k < n; k++)
        ASSERT_EQ(static_cast<double>(fl[k]), d[k]) << k;
    drop_image(p);
}

TEST(ReadPixels, LinesLongerThanAConversionPieceAreReadInPlace)
{
    // 20000 floats per line (80000 bytes) are longer than a conversion
    // piece, so each line is widened in several pieces inside the caller's
    // buffer; two lines check the line boundary on that path too.
    const int n = 20000;
    std::vector<float> fl(2 * n);
    for (int k = 0; k < 2 * n; k++)
        fl[k] = k * 0.5f - 1000.0f;
    fl[3] = std::numeric_limits<float>::infinity();
    fid_struct *p = make_image("longline.fits", -32, {n, 2}, fits_order<float>(fl));
    std::vector<double> d(2 * n);
    ASSERT_EQ(2 * n, im_rpix_d(p->id, d.data(), 2 * n));
    double dblank;
    im_blankd(&dblank);
    for (int k = 0; k < 2 * n; k++) {
        if (k == 3) {
            ASSERT_EQ(0, std::memcmp(&dblank, &d[k], sizeof(double)));
        } else {
            ASSERT_EQ(static_cast<double>(fl[k]), d[k]) << k;
        }
    }
    // Rewound and read in uneven pieces as floats: the same values.
    ASSERT_EQ(2 * n, im_rpix_r(p->id, nullptr, -1));
    std::vector<float> r(2 * n);
    ASSERT_EQ(12345, im_rpix_r(p->id, r.data(), 12345));
    ASSERT_EQ(2 * n - 12345, im_rpix_r(p->id, r.data() + 12345, 2 * n));
    for (int k = 0; k < 2 * n; k++) {
        if (k != 3) {
            ASSERT_EQ(fl[k], r[k]) << k;
        }
    }
    drop_image(p);
}

TEST(ReadPixels, ReadersRefuseOtherStoredTypes)
{
    fid_struct *p = make_image("t32.fits", 32, {4}, fits_order<int32_t>({1, 2, 3, 4}));
    short s[4];
    unsigned char c[4];
    int i[4];
    EXPECT_EQ(-2, im_rpix_s(p->id, s, 4));
    EXPECT_EQ(-2, im_rpix_s(p->id, s, -1));
    EXPECT_EQ(-2, im_rpix_c(p->id, c, 4));
    EXPECT_EQ(-2, im_rpix_c(p->id, c, -1));
    drop_image(p);
    p = make_image("t16.fits", 16, {4}, fits_order<int16_t>({1, 2, 3, 4}));
    EXPECT_EQ(-2, im_rpix_i(p->id, i, 4));
    EXPECT_EQ(-2, im_rpix_i(p->id, i, -1));
    EXPECT_EQ(4, im_rpix_s(p->id, s, 4));                /* nothing consumed by refusals */
    drop_image(p);
}

TEST(ReadPixels, UnknownHandleGivesMinusThree)
{
    fid_struct *p = make_image("h.fits", 16, {1}, {0, 1});
    int id = p->id;
    drop_image(p);
    int i;
    short s;
    unsigned char c;
    float r;
    double d;
    EXPECT_EQ(-3, im_rpix_i(id, &i, 1));
    EXPECT_EQ(-3, im_rpix_s(id, &s, 1));
    EXPECT_EQ(-3, im_rpix_c(id, &c, 1));
    EXPECT_EQ(-3, im_rpix_r(id, &r, 1));
    EXPECT_EQ(-3, im_rpix_d(id, &d, 1));
    EXPECT_EQ(nullptr, f);
}

TEST(ReadPixels, TruncatedFileFailsAndKeepsWindowCount)
{
    std::vector<unsigned char> pix = fits_order<int16_t>(std::vector<int16_t>(100, 3));
    pix.resize(150);                                     /* cut inside the pixel data */
    fid_struct *p = make_image("cut.fits", 16, {10, 10}, pix);
    std::vector<float> r(100);
    EXPECT_EQ(-2, im_rpix_r(p->id, r.data(), 100));
    EXPECT_EQ(200, p->cur_window->total_bytes_left_to_read);
    EXPECT_EQ(150, p->cur_window->cur_byte_read);        /* the whole pixels there */
    EXPECT_EQ(100, im_rpix_r(p->id, r.data(), -1));
    EXPECT_EQ(70, im_rpix_r(p->id, r.data(), 70));       /* what is there still reads */
    EXPECT_EQ(3.0f, r[69]);
    drop_image(p);
}

TEST(ReadPixels, NewImageWithoutWindowCannotBeRead)
{
    fid_struct *p = make_image("nowin.fits", 16, {4}, fits_order<int16_t>({1, 2, 3, 4}));
    p->cur_window = nullptr;
    float r[4];
    short s[4];
    EXPECT_EQ(-2, im_rpix_r(p->id, r, 4));
    EXPECT_EQ(-2, im_rpix_r(p->id, r, -1));
    EXPECT_EQ(-2, im_rpix_s(p->id, s, 4));
    drop_image(p);
}

TEST(ReadPixels, StandardInputIsReadStraightOn)
{
    std::string path = scratch_dir() + "/stdin.raw";
    write_file(path, fits_order<int16_t>({11, 22, 33, 44, 55, 66}));
    fid_struct *p = make_image("stdin.fits", 16, {3, 2}, {});
    close(p->unix_pix_fid);
    p->unix_pix_fid = 0;
    ASSERT_NE(nullptr, std::freopen(path.c_str(), "rb", stdin));
    float r[6];
    ASSERT_EQ(4, im_rpix_r(p->id, r, 4));
    ASSERT_EQ(2, im_rpix_r(p->id, r + 4, 4));
    EXPECT_EQ(11.0f, r[0]);
    EXPECT_EQ(66.0f, r[5]);
    EXPECT_EQ(0, im_rpix_r(p->id, r, 1));
    EXPECT_EQ(6, im_rpix_r(p->id, r, -1));
    EXPECT_EQ(-2, im_rpix_r(p->id, r, 1));               /* stream at its end: short read */
    std::freopen("/dev/null", "rb", stdin);
    destroy_fid(p);
}

/* ---- Through im_open ------------------------------------------------ */

/* A FITS file: the given cards (after SIMPLE), END, blank padding to a
 * 2880-byte record, then the stored pixel bytes. */
std::string fits_file(const std::string &name, const std::vector<std::string> &cards,
                      const std::vector<unsigned char> &pix)
{
    std::vector<std::string> all = {"SIMPLE  =                    T"};
    all.insert(all.end(), cards.begin(), cards.end());
    const std::string h = fits_records(all);
    std::vector<unsigned char> bytes(h.begin(), h.end());
    bytes.insert(bytes.end(), pix.begin(), pix.end());
    std::string path = scratch_dir() + "/" + name;
    write_file(path, bytes);
    return path;
}

TEST(ReadOpenedImage, ScaledSixteenBitImageWithBlank)
{
    std::vector<int16_t> v = {5, -7, 100, -32768, 0, 32767};
    std::string path = fits_file("open16.fits",
                                 {"BITPIX  =                   16", "NAXIS   =                    2",
                                  "NAXIS1  =                    3", "NAXIS2  =                    2",
                                  "BSCALE  =                  2.0", "BZERO   =                 10.0",
                                  "BLANK   =               -32768"},
                                 fits_order<int16_t>(v));
    int id = im_open(path.c_str(), "read");
    ASSERT_GT(id, 0);
    float r[6];
    ASSERT_EQ(6, im_rpix_r(id, r, -1));
    ASSERT_EQ(6, im_rpix_r(id, r, 6));
    EXPECT_EQ(20.0f, r[0]);
    EXPECT_EQ(-4.0f, r[1]);
    EXPECT_EQ(float_blank, bits_of(r[3]));
    EXPECT_EQ(65544.0f, r[5]);
    short s[6];
    ASSERT_EQ(6, im_rpix_s(id, s, -1));
    ASSERT_EQ(6, im_rpix_s(id, s, 6));
    EXPECT_EQ(-32768, s[3]);
    EXPECT_EQ(0, im_close(id));
    EXPECT_EQ(-3, im_rpix_r(id, r, 1));
}

TEST(ReadOpenedImage, SubsetOpensAsWindowOneAndWindowZeroShowsAll)
{
    std::vector<uint8_t> v(8 * 6);
    for (int k = 0; k < 48; k++)
        v[k] = static_cast<uint8_t>(k);
    std::string path = fits_file("sub8.fits",
                                 {"BITPIX  =                    8", "NAXIS   =                    2",
                                  "NAXIS1  =                    8", "NAXIS2  =                    6"},
                                 v);
    int id = im_open((path + ",@3:7,@2:5").c_str(), "read");
    ASSERT_GT(id, 0);
    unsigned char c[48];
    ASSERT_EQ(20, im_rpix_c(id, c, -1));
    ASSERT_EQ(3, im_rpix_c(id, c, 3));
    EXPECT_EQ(8 + 2, c[0]);                              /* pixel (3,2) */
    ASSERT_EQ(0, im_swin(id, 0));
    ASSERT_EQ(48, im_rpix_c(id, c, 48));
    EXPECT_EQ(47, c[47]);
    ASSERT_EQ(0, im_swin(id, 1));
    double d[20];
    ASSERT_EQ(17, im_rpix_d(id, d, 20));                 /* continues at its 4th pixel */
    EXPECT_EQ(8 + 5, d[0]);
    EXPECT_EQ(4 * 8 + 6, d[16]);                         /* pixel (7,5) */
    EXPECT_EQ(0, im_close(id));
}

TEST(ReadOpenedImage, FileCutShortInsidePixelsFails)
{
    std::vector<unsigned char> pix = fits_order<int32_t>(std::vector<int32_t>(100, 1));
    pix.resize(250);
    std::string path = fits_file("cut32.fits",
                                 {"BITPIX  =                   32", "NAXIS   =                    2",
                                  "NAXIS1  =                   10", "NAXIS2  =                   10"},
                                 pix);
    int id = im_open(path.c_str(), "read");
    ASSERT_GT(id, 0);
    std::vector<float> r(100);
    EXPECT_EQ(-2, im_rpix_r(id, r.data(), 100));
    std::vector<int> i(100);
    ASSERT_EQ(100, im_rpix_i(id, i.data(), -1));
    EXPECT_EQ(-2, im_rpix_i(id, i.data(), 100));
    EXPECT_EQ(0, im_close(id));
}

/* ---- The ".H" fallback ---------------------------------------------- */

class CompressedInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = scratch_dir() + "/hdecomp";
        mkdir(dir.c_str(), 0755);
        bin = dir + "/bin";
        mkdir(bin.c_str(), 0755);
        /* A short temporary directory: the decompression command, both
         * names in it, must fit in 99 characters. */
        char tmpl[] = "/tmp/hdXXXXXX";
        char *t = mkdtemp(tmpl);
        ASSERT_NE(nullptr, t);
        tmp = t;
        log = dir + "/log";
        std::remove(log.c_str());
        /* The real pixels, as a complete FITS file. */
        source = dir + "/plain.fits";
        std::vector<unsigned char> bytes(2880, ' ');
        std::vector<unsigned char> pix = fits_order<int16_t>({7, -8, 9, 1000, -1000, 12});
        bytes.insert(bytes.end(), pix.begin(), pix.end());
        write_file(source, bytes);
        write_stand_in(0);
        const char *old = std::getenv("PATH");
        old_path = old != nullptr ? old : "";
        setenv("PATH", (bin + ":" + old_path).c_str(), 1);
        const char *old_t = std::getenv("TMPDIR");
        old_tmpdir = old_t != nullptr ? old_t : "";
        had_tmpdir = old_t != nullptr;
        setenv("TMPDIR", tmp.c_str(), 1);
    }
    void TearDown() override
    {
        rmdir(tmp.c_str());
        setenv("PATH", old_path.c_str(), 1);
        if (had_tmpdir)
            setenv("TMPDIR", old_tmpdir.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    /* A stand-in "hdecomp": logs its arguments and where its output goes,
     * copies the plain FITS file to standard output, exits with status. */
    void write_stand_in(int status)
    {
        std::string script = "#!/bin/sh\n"
                             "echo \"args:$*\" >> '" + log + "'\n"
                             "echo \"out:$(readlink /proc/$$/fd/1)\" >> '" + log + "'\n"
                             "cat > /dev/null\n"
                             "cat '" + source + "'\n"
                             "exit " + std::to_string(status) + "\n";
        std::string path = bin + "/hdecomp";
        write_file(path, std::vector<unsigned char>(script.begin(), script.end()));
        chmod(path.c_str(), 0755);
    }
    std::string read_log()
    {
        std::string text;
        FILE *fp = std::fopen(log.c_str(), "r");
        if (fp == nullptr)
            return text;
        char line[512];
        while (std::fgets(line, sizeof line, fp) != nullptr)
            text += line;
        std::fclose(fp);
        return text;
    }
    int temp_files_left()
    {
        int n = 0;
        DIR *d = opendir(tmp.c_str());
        if (d == nullptr)
            return -1;
        while (dirent *e = readdir(d))
            if (std::strncmp(e->d_name, "quorvex_decompress", 18) == 0)
                n++;
        closedir(d);
        return n;
    }
    /* A ".H" image whose stored bytes are too short to answer a read. */
    fid_struct *compressed(const std::string &name)
    {
        return make_image(name, 16, {3, 2}, {0x42, 0x42, 0x42}, Type_fits);
    }
    std::string dir, bin, tmp, log, source, old_path, old_tmpdir;
    bool had_tmpdir = false;
};

TEST_F(CompressedInput, FailedReadDecompressesIntoTemporaryFileAndRemovesIt)
{
    fid_struct *p = compressed("c.H");
    short s[6] = {0};
    ASSERT_EQ(6, im_rpix_s(p->id, s, 6));
    EXPECT_EQ(7, s[0]);
    EXPECT_EQ(-1000, s[4]);
    EXPECT_EQ(12, s[5]);
    std::string text = read_log();
    EXPECT_NE(std::string::npos, text.find("args:-o fits")) << text;
    EXPECT_NE(std::string::npos, text.find("out:" + tmp + "/quorvex_decompress")) << text;
    EXPECT_EQ(0, temp_files_left());
    EXPECT_GT(p->unix_pix_fid, 0);                       /* the image's own file is back */
    EXPECT_EQ(0, im_rpix_s(p->id, s, 6));                /* window exhausted */
    drop_image(p);
}

TEST_F(CompressedInput, ReadThatTheStoredBytesAnswerIsNotDecompressed)
{
    fid_struct *p = compressed("d.H");
    short s = 0;
    ASSERT_EQ(1, im_rpix_s(p->id, &s, 1));
    EXPECT_EQ(0x4242, s);
    EXPECT_EQ("", read_log());
    /* The next read fails on the stored bytes and is answered from the
     * decompressed file at the same place: the second pixel. */
    ASSERT_EQ(1, im_rpix_s(p->id, &s, 1));
    EXPECT_EQ(-8, s);
    drop_image(p);
}

TEST_F(CompressedInput, OtherNamesAndOtherReadersDoNotDecompress)
{
    fid_struct *p = compressed("e.fits");
    short s[6];
    EXPECT_EQ(-2, im_rpix_s(p->id, s, 6));
    drop_image(p);
    p = compressed("f.H");
    float r[6];
    EXPECT_EQ(-2, im_rpix_r(p->id, r, 6));
    EXPECT_EQ("", read_log());
    drop_image(p);
}

TEST_F(CompressedInput, FailingCommandGivesMinusTwoAndLeavesNoFile)
{
    write_stand_in(3);
    fid_struct *p = compressed("g.H");
    short s[6];
    EXPECT_EQ(-2, im_rpix_s(p->id, s, 6));
    EXPECT_NE("", read_log());
    EXPECT_EQ(0, temp_files_left());
    EXPECT_EQ(12, p->cur_window->total_bytes_left_to_read);
    drop_image(p);
}

TEST_F(CompressedInput, ShellSyntaxInNameIsNotExecuted)
{
    /* The first name runs "touch" when names go to the shell unquoted, the
     * second when they are wrapped in quotes without escaping a quote. */
    for (const char *name : {"a;touch ran;b$(x).H", "q';touch ran;'.H"}) {
        std::string marker = dir + "/ran";
        std::remove(marker.c_str());
        fid_struct *p = compressed(name);
        char old_cwd[1024];
        ASSERT_NE(nullptr, getcwd(old_cwd, sizeof old_cwd));
        ASSERT_EQ(0, chdir(dir.c_str()));
        /* A relative name keeps the command within its length limit. */
        std::snprintf(p->pix_filename, sizeof p->pix_filename, "../%s", name);
        short s[6] = {0};
        int n = im_rpix_s(p->id, s, 6);
        ASSERT_EQ(0, chdir(old_cwd));
        EXPECT_EQ(6, n) << name;
        EXPECT_EQ(7, s[0]) << name;
        struct stat st;
        EXPECT_NE(0, stat(marker.c_str(), &st)) << name;
        drop_image(p);
    }
}

TEST_F(CompressedInput, OverlongCommandGivesMinusTwo)
{
    fid_struct *p = compressed("h.H");
    std::string long_name = std::string(60, 'x') + ".H";
    std::snprintf(p->pix_filename, sizeof p->pix_filename, "%s", long_name.c_str());
    short s[6];
    EXPECT_EQ(-2, im_rpix_s(p->id, s, 6));
    EXPECT_EQ("", read_log());
    EXPECT_EQ(0, temp_files_left());
    drop_image(p);
}

TEST_F(CompressedInput, OpenedCompressedImageReadsWholeThroughFallback)
{
    std::string path = fits_file("open.H",
                                 {"BITPIX  =                   16", "NAXIS   =                    2",
                                  "NAXIS1  =                    3", "NAXIS2  =                    2"},
                                 {0x42, 0x42, 0x42});
    int id = im_open(path.c_str(), "read");
    ASSERT_GT(id, 0);
    short s[6] = {0};
    ASSERT_EQ(6, im_rpix_s(id, s, 6));
    EXPECT_EQ(9, s[2]);
    EXPECT_EQ(0, temp_files_left());
    float r[6];
    ASSERT_EQ(6, im_rpix_r(id, r, -1));
    EXPECT_EQ(-2, im_rpix_r(id, r, 6));                  /* only the short reader decompresses */
    EXPECT_EQ(0, im_close(id));
}

} // namespace

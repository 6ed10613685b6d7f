/* Pixel reading in groups and pieces: every reader against a per-pixel
 * reference, for every BITPIX and byte order, scaled and not, with blank
 * codes, NaN and infinities, through windows with edges, and with
 * requests that end at odd places (one pixel, a line less one, a group of
 * the walk plus one, more than a group). */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "im.h"
#include "test_support.h"

namespace {

using testsup::drop_image;

std::string scratch_dir() { return testsup::scratch_dir("test_rpix_blocks"); }

/* One image form of the table. */
struct form_case {
    const char *name;
    int bitpix;
    file_type_enum type;
    bool other_order;   /* IRAF: pixels in the byte order that is not the host's */
    bool unsigned16;    /* IRAF: unsigned 16-bit pixels */
    bool blank_flag;
    int32_t blank;
    double scale, offset;
    bool raw;           /* raw mode on while reading */
};

const form_case forms[] = {
    {"fits8", 8, Type_fits, false, false, false, 0, 1.0, 0.0, false},
    {"fits8_blank_scaled", 8, Type_fits, false, false, true, 200, 0.5, -3.0, false},
    {"fits16", 16, Type_fits, false, false, false, 0, 1.0, 0.0, false},
    {"fits16_raw", 16, Type_fits, false, false, false, 0, 1.0, 0.0, true},
    {"fits16_blank", 16, Type_fits, false, false, true, -32768, 1.0, 0.0, false},
    {"fits16_scale", 16, Type_fits, false, false, false, 0, 0.01, 0.0, false},
    {"fits16_zero", 16, Type_fits, false, false, false, 0, 1.0, 32768.0, false},
    {"fits16_all", 16, Type_fits, false, false, true, 77, -0.37, 12.5, false},
    {"iraf16_host", 16, Type_iraf, false, false, false, 0, 1.0, 0.0, false},
    {"iraf16_other", 16, Type_iraf, true, false, true, 5, 2.0, 1.0, false},
    {"iraf16_unsigned", 16, Type_iraf, false, true, false, 0, 1.0, 32768.0, false},
    {"iraf16_unsigned_other", 16, Type_iraf, true, true, true, -1, 1.0, 32768.0, false},
    {"s16_scaled", 16, Type_S, false, false, true, 0, 3.0, 0.5, false},
    {"fits32", 32, Type_fits, false, false, false, 0, 1.0, 0.0, false},
    {"fits32_raw", 32, Type_fits, false, false, true, 9, 1.0, 0.0, true},
    {"fits32_all", 32, Type_fits, false, false, true, 123456789, 1e-3, -7.25, false},
    {"iraf32_other", 32, Type_iraf, true, false, true, -5, 1.0, 0.0, false},
    {"fitsf", -32, Type_fits, false, false, false, 0, 1.0, 0.0, false},
    {"fitsf_scaled", -32, Type_fits, false, false, true, -999, 2.5, -1.0, false},
    {"iraff_host_blank", -32, Type_iraf, false, false, true, -999, 1.0, 0.0, false},
    {"iraff_other_blank", -32, Type_iraf, true, false, true, -999, 1.0, 0.0, false},
    {"zzf_blank", -32, Type_zz, false, false, true, -999, 2.0, 0.0, false},
    {"fitsd", -64, Type_fits, false, false, false, 0, 1.0, 0.0, false},
    {"fitsd_scaled", -64, Type_fits, false, false, false, 0, 0.1, 3.0, false},
    {"irafd_other_blank", -64, Type_iraf, true, false, true, -999, 1.0, 0.0, false},
};

/* Pixels per line: odd, so that lines, pieces and groups never align. */
const int nx = 517;

/* Lines of the image of a BITPIX: the stored pixels fill about 1.3 MiB,
 * more than one group of the walk in every type. */
int lines_for(int bitpix)
{
    const int64_t want = IM_WALK_PIECE + IM_WALK_PIECE * 3 / 10;
    const int bpp = std::abs(bitpix) / 8;
    return static_cast<int>((want / bpp + nx - 1) / nx);
}

/* Small deterministic generator of the stored bytes. */
uint32_t next_random(uint32_t &state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

/* Whether the current host stores the most significant byte first. */
bool host_big() { return im_byteorder() == 1; }

/* Whether the file's stored pixels of c are most significant byte first. */
bool file_big(const form_case &c)
{
    if (c.type == Type_fits)
        return true;
    return c.other_order ? !host_big() : host_big();
}

/* The bytes of value v (size bytes), most significant first when big. */
void put_value(unsigned char *p, uint64_t v, int size, bool big)
{
    for (int i = 0; i < size; i++) {
        int shift = 8 * (big ? size - 1 - i : i);
        p[i] = static_cast<unsigned char>(v >> shift);
    }
}

/* The value of size bytes at p, most significant first when big. */
uint64_t get_value(const unsigned char *p, int size, bool big)
{
    uint64_t v = 0;
    for (int i = 0; i < size; i++) {
        int shift = 8 * (big ? size - 1 - i : i);
        v |= static_cast<uint64_t>(p[i]) << shift;
    }
    return v;
}

/* Stored pixels of c: random bytes with values that matter put in at
 * intervals (the blank code, extremes, NaN, infinities, -0, BLANK as a
 * floating value, integers that do not fit a float). */
std::vector<unsigned char> stored_pixels(const form_case &c, int64_t n)
{
    const int bpp = std::abs(c.bitpix) / 8;
    const bool big = file_big(c);
    std::vector<unsigned char> pix(static_cast<size_t>(n * bpp));
    uint32_t state = static_cast<uint32_t>(c.bitpix * 7919 + std::strlen(c.name));
    for (auto &b : pix)
        b = static_cast<unsigned char>(next_random(state));
    std::vector<uint64_t> special;
    switch (c.bitpix) {
    case 8:
        special = {static_cast<uint8_t>(c.blank), 0, 255};
        break;
    case 16:
        special = {static_cast<uint16_t>(c.blank), 0x8000u, 0x7FFFu, 0, 0xFFFFu};
        break;
    case 32:
        special = {static_cast<uint32_t>(c.blank), 0x80000000u, 0x7FFFFFFFu, 16777217u, 0xFFFFFFFFu};
        break;
    case -32: {
        float fb = static_cast<float>(c.blank);
        uint32_t u;
        std::memcpy(&u, &fb, 4);
        special = {u, 0x7FC00000u, 0x7F800000u, 0xFF800000u, 0x80000000u, 0x00000001u, 0xFFFFFFFFu};
        break;
    }
    default: {
        double db = static_cast<double>(c.blank);
        uint64_t u;
        std::memcpy(&u, &db, 8);
        special = {u, 0x7FF8000000000000ull, 0x7FF0000000000000ull, 0xFFF0000000000000ull,
                   0x8000000000000000ull, 0x0000000000000001ull, 0x7FEFFFFFFFFFFFFFull};
        break;
    }
    }
    for (int64_t k = 0; k < n; k += 37)
        put_value(&pix[static_cast<size_t>(k * bpp)], special[(k / 37) % special.size()], bpp, big);
    return pix;
}

/* A file of io_offset header bytes then pix, and a read descriptor over it
 * as opening leaves one of form c (window 1, the whole image, current). */
fid_struct *make_image(const form_case &c, int ny, const std::vector<unsigned char> &pix)
{
    const int io_offset = c.type == Type_iraf ? 1024 : 2880;
    std::string path = scratch_dir() + "/" + c.name + ".pix";
    std::vector<unsigned char> bytes(io_offset, ' ');
    bytes.insert(bytes.end(), pix.begin(), pix.end());
    testsup::write_file(path, bytes);
    fid_struct *p = new_fid();
    p->magic = FID_MAGIC;
    p->mode = 1;
    p->file_type = c.type;
    p->val_bitpix = c.bitpix;
    p->bytes_per_pix = std::abs(c.bitpix) / 8;
    p->val_naxis[0] = 2;
    p->val_naxis[1] = nx;
    p->val_naxis[2] = ny;
    p->n_pixels = static_cast<int64_t>(nx) * ny;
    p->io_offset = io_offset;
    p->val_blank_flag = c.blank_flag;
    p->val_blank = c.blank;
    p->val_scale = c.scale;
    p->val_offset = c.offset;
    p->pix_swap = c.other_order;
    p->pix_unsigned16 = c.unsigned16;
    return testsup::open_desc_on(p, path);
}

/* The stored value of pixel k as a host integer (its bits), unsigned
 * 16-bit IRAF values made signed. */
uint64_t stored_bits(const form_case &c, const std::vector<unsigned char> &pix, int64_t k)
{
    const int bpp = std::abs(c.bitpix) / 8;
    uint64_t v = get_value(&pix[static_cast<size_t>(k * bpp)], bpp, file_big(c));
    if (c.unsigned16 && c.bitpix == 16)
        v ^= 0x8000u;
    return v;
}

/* Integer value of stored bits v of c (signed except BITPIX 8). */
int64_t int_value(const form_case &c, uint64_t v)
{
    switch (c.bitpix) {
    case 8: return static_cast<int64_t>(v);
    case 16: return static_cast<int16_t>(static_cast<uint16_t>(v));
    default: return static_cast<int32_t>(static_cast<uint32_t>(v));
    }
}

/* Reference conversion of stored pixel k to Out (float or double), one
 * pixel at a time, as the readers are documented: integers blank when
 * they equal BLANK, else converted, multiplied by BSCALE and added to
 * BZERO (each step rounded to Out and done only when not neutral);
 * floating pixels blank when not finite or (IRAF) equal to BLANK, scaled
 * the same way in FITS only. */
template <typename Out>
Out reference(const form_case &c, const std::vector<unsigned char> &pix, int64_t k)
{
    Out blank;
    if constexpr (sizeof(Out) == 4)
        im_blank(&blank);
    else
        im_blankd(&blank);
    uint64_t v = stored_bits(c, pix, k);
    Out x;
    bool scaled;
    if (c.bitpix > 0) {
        int64_t iv = int_value(c, v);
        if (c.blank_flag && iv == c.blank)
            return blank;
        x = static_cast<Out>(iv);
        scaled = true;
    } else {
        double d;
        if (c.bitpix == -32) {
            float fv;
            uint32_t u = static_cast<uint32_t>(v);
            std::memcpy(&fv, &u, 4);
            d = fv;
        } else {
            std::memcpy(&d, &v, 8);
        }
        if (!std::isfinite(d) || (c.type == Type_iraf && c.blank_flag && d == c.blank))
            return blank;
        x = static_cast<Out>(d);
        scaled = c.type == Type_fits;
    }
    if (scaled && c.scale != 1.0)
        x = static_cast<Out>(static_cast<double>(x) * c.scale);
    if (scaled && c.offset != 0.0)
        x = static_cast<Out>(static_cast<double>(x) + c.offset);
    return x;
}

/* Reference of the integer readers: the stored integer in host order, or
 * its file bytes unchanged for FITS in raw mode. */
template <typename T>
T reference_int(const form_case &c, const std::vector<unsigned char> &pix, int64_t k)
{
    T out;
    if (c.type == Type_fits && c.raw) {
        std::memcpy(&out, &pix[static_cast<size_t>(k * sizeof(T))], sizeof out);
        return out;
    }
    uint64_t v = stored_bits(c, pix, k);
    T t = static_cast<T>(int_value(c, v));
    return t;
}

/* A window of the table: skips and takes per axis (0 take: the whole axis). */
struct window_case {
    const char *name;
    int skip1, take1, skip2, take2;
};

/* Whole image; a subset touching neither edge of a line; the last column
 * alone; the first two lines whole. */
const window_case windows[] = {
    {"whole", 0, 0, 0, 0},
    {"inner", 3, nx - 4, 2, 0},
    {"last_column", nx - 1, 1, 0, 0},
    {"two_lines", 0, nx, 0, 2},
};

/* Index in storage order of the pixels of window wc, in the order read. */
std::vector<int64_t> window_pixels(const window_case &wc, int ny)
{
    int take1 = wc.take1 ? wc.take1 : nx - wc.skip1;
    int take2 = wc.take2 ? wc.take2 : ny - wc.skip2;
    std::vector<int64_t> idx;
    for (int y = wc.skip2; y < wc.skip2 + take2; y++)
        for (int x = wc.skip1; x < wc.skip1 + take1; x++)
            idx.push_back(static_cast<int64_t>(y) * nx + x);
    return idx;
}

/* Request sizes for a window of width pixels per line read with pixels
 * of bpp bytes: one pixel, a line less one, a line plus one, a group of
 * the walk plus one, then more than is left. */
std::vector<int> request_sizes(int width, int bpp)
{
    return {1, width > 1 ? width - 1 : 1, width + 1, IM_WALK_PIECE / bpp + 1, 1 << 22};
}

/* Read window wc of image p with reader (id, buffer, n) -> count, in the
 * requests of request_sizes, into one buffer; the pixels delivered. */
template <typename T, typename Reader>
std::vector<T> read_window(fid_struct *p, const window_case &wc, int ny, Reader reader, int64_t n)
{
    int takes[10] = {2, wc.take1 ? wc.take1 : nx - wc.skip1, wc.take2 ? wc.take2 : ny - wc.skip2};
    int skips[10] = {0, wc.skip1, wc.skip2};
    EXPECT_EQ(0, im_swin(p->id, 1));      /* window 2 is defined within the current one */
    EXPECT_EQ(0, im_dwin(p->id, 2, takes, skips));
    EXPECT_EQ(0, im_swin(p->id, 2));
    /* Room for the window and a guard, poisoned so that a pixel not
     * delivered shows: the last request asks for more than is left, and
     * nothing past the pixels delivered may be touched. */
    const size_t guard = 64;
    std::vector<T> got(static_cast<size_t>(n) + guard);
    std::memset(got.data(), 0x5A, got.size() * sizeof(T));
    int64_t at = 0;
    for (int req : request_sizes(takes[1], p->bytes_per_pix)) {
        int r = reader(p->id, got.data() + at, req);
        EXPECT_GE(r, 0) << wc.name << " request " << req;
        if (r <= 0)
            break;
        EXPECT_EQ(std::min<int64_t>(req, n - at), r) << wc.name << " request " << req;
        at += r;
    }
    EXPECT_EQ(n, at) << wc.name;
    EXPECT_EQ(0, reader(p->id, got.data(), 1)) << wc.name;
    for (size_t k = static_cast<size_t>(n); k < got.size(); k++) {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &got[k], sizeof(T));
        for (unsigned char x : b)
            EXPECT_EQ(0x5A, x) << wc.name << " guard pixel " << k - n;
    }
    got.resize(static_cast<size_t>(n));
    return got;
}

/* Count of pixels whose bits differ between got and want (the first few
 * reported). */
template <typename T>
int64_t count_differences(const std::vector<T> &got, const std::vector<T> &want,
                          const std::string &what)
{
    int64_t bad = 0;
    for (size_t k = 0; k < want.size(); k++)
        if (std::memcmp(&got[k], &want[k], sizeof(T)) != 0 && bad++ < 3)
            ADD_FAILURE() << what << " pixel " << k << ": got " << +got[k] << ", want " << +want[k];
    return bad;
}

class ReadInGroups : public ::testing::TestWithParam<form_case> {};

TEST_P(ReadInGroups, EveryReaderMatchesThePerPixelReferenceThroughEveryWindow)
{
    const form_case &c = GetParam();
    const int ny = lines_for(c.bitpix);
    const int64_t n_all = static_cast<int64_t>(nx) * ny;
    const std::vector<unsigned char> pix = stored_pixels(c, n_all);
    fid_struct *p = make_image(c, ny, pix);
    const int old_raw = im_raw(c.raw ? 1 : 0);
    for (const window_case &wc : windows) {
        const std::vector<int64_t> idx = window_pixels(wc, ny);
        const int64_t n = static_cast<int64_t>(idx.size());
        const std::string what = std::string(c.name) + " " + wc.name;

        std::vector<double> want_d(idx.size());
        for (size_t k = 0; k < idx.size(); k++)
            want_d[k] = reference<double>(c, pix, idx[k]);
        EXPECT_EQ(0, count_differences(read_window<double>(p, wc, ny, im_rpix_d, n), want_d,
                                       what + " im_rpix_d"));
        if (c.bitpix != -64) {
            std::vector<float> want_r(idx.size());
            for (size_t k = 0; k < idx.size(); k++)
                want_r[k] = reference<float>(c, pix, idx[k]);
            EXPECT_EQ(0, count_differences(read_window<float>(p, wc, ny, im_rpix_r, n), want_r,
                                           what + " im_rpix_r"));
        }
        if (c.bitpix == 16) {
            std::vector<short> want_s(idx.size());
            for (size_t k = 0; k < idx.size(); k++)
                want_s[k] = reference_int<short>(c, pix, idx[k]);
            EXPECT_EQ(0, count_differences(read_window<short>(p, wc, ny, im_rpix_s, n), want_s,
                                           what + " im_rpix_s"));
        }
        if (c.bitpix == 32) {
            std::vector<int> want_i(idx.size());
            for (size_t k = 0; k < idx.size(); k++)
                want_i[k] = reference_int<int>(c, pix, idx[k]);
            EXPECT_EQ(0, count_differences(read_window<int>(p, wc, ny, im_rpix_i, n), want_i,
                                           what + " im_rpix_i"));
        }
        if (c.bitpix == 8) {
            std::vector<unsigned char> want_c(idx.size());
            for (size_t k = 0; k < idx.size(); k++)
                want_c[k] = pix[static_cast<size_t>(idx[k])];
            EXPECT_EQ(0, count_differences(read_window<unsigned char>(p, wc, ny, im_rpix_c, n),
                                           want_c, what + " im_rpix_c"));
        }
    }
    im_raw(old_raw);
    drop_image(p);
}

INSTANTIATE_TEST_SUITE_P(Forms, ReadInGroups, ::testing::ValuesIn(forms),
                         [](const ::testing::TestParamInfo<form_case> &info) {
                             return std::string(info.param.name);
                         });

TEST(ReadInGroupsFailure, FileEndingInALaterGroupFailsAndKeepsTheWindowCount)
{
    /* 16-bit FITS of 1.3 MiB cut 100 bytes into its second group: reading
     * the whole image fails and leaves the window's count as it was; what
     * the file holds still reads after a rewind, widened in place. */
    const form_case c = {"cut16", 16, Type_fits, false, false, false, 0, 1.0, 0.0, false};
    const int ny = lines_for(16);
    const int64_t n_all = static_cast<int64_t>(nx) * ny;
    std::vector<unsigned char> pix = stored_pixels(c, n_all);
    std::vector<unsigned char> cut(pix.begin(), pix.begin() + IM_WALK_PIECE + 100);
    fid_struct *p = make_image(c, ny, cut);
    std::vector<float> r(static_cast<size_t>(n_all));
    EXPECT_EQ(-2, im_rpix_r(p->id, r.data(), static_cast<int>(n_all)));
    EXPECT_EQ(2 * n_all, p->cur_window->total_bytes_left_to_read);
    EXPECT_EQ(n_all, im_rpix_r(p->id, r.data(), -1));
    const int have = (IM_WALK_PIECE + 100) / 2;
    ASSERT_EQ(have, im_rpix_r(p->id, r.data(), have));
    for (int k = 0; k < have; k++)
        ASSERT_EQ(reference<float>(c, pix, k), r[k]) << k;
    EXPECT_EQ(-2, im_rpix_r(p->id, r.data(), 1));
    short s[4];
    EXPECT_EQ(-2, im_rpix_s(p->id, s, 4));
    drop_image(p);
}

} /* namespace */

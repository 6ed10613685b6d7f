/* test_iraf_read: the IRAF header layout and reader -- fixed fields to
 * cards, user area, history, pixel file location, pixel offset, and the
 * refusal of damaged headers.  Headers are built here byte by byte at the
 * documented offsets (not through IMHDR), so the record layout is checked
 * independently of the structure declaration. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "im.h"
#include "test_support.h"
#include "imlib.h"
#include "irafhdr.h"

namespace {

using testsup::card_texts;
using testsup::write_file;

/* One temporary directory per process, removed at exit. */
std::string scratch_dir() { return testsup::scratch_dir("test_iraf"); }

std::string path_of(const std::string &name) { return scratch_dir() + "/" + name; }

/* Everything a test may vary in an IRAF image. */
struct IrafImage {
    std::string magic = "imhdr";
    int32_t pixtype = 3;
    int32_t ndim = 2;
    int32_t len[7] = {4, 3, 0, 0, 0, 0, 0};
    int32_t physlen0 = -1;              /* -1: same as len[0] */
    int32_t pixoff = 513;               /* what this library writes */
    float bscale = 0.0f, bzero = 0.0f, dmin = 0.0f, dmax = 0.0f;
    int32_t nbpix = 0;
    std::string title;
    std::string pixfile;                /* empty: "HDR$<base>.pix" */
    std::string history;                /* characters in host order */
    bool history_other_byte = false;    /* characters in the other byte */
    std::vector<std::string> user;
    std::string user_tail = std::string(2, '\0');
    std::string pix_magic = "impix";
};

void put32(std::string &b, size_t off, int32_t v) { std::memcpy(&b[off], &v, 4); }
void putf(std::string &b, size_t off, float v) { std::memcpy(&b[off], &v, 4); }

/* 16-bit characters: the character in the host's low-order byte (or in
 * the other byte when other_byte is set), at most size/2 of them. */
void put_text(std::string &b, size_t off, size_t size, const std::string &text,
              bool other_byte = false)
{
    int low = ((im_byteorder() == 0) != other_byte) ? 0 : 1;
    for (size_t i = 0; i < text.size() && 2 * i + 1 < size; i++)
        b[off + 2 * i + low] = text[i];
}

std::string imh_bytes(const IrafImage &im)
{
    std::string b(IRAF_USER_AREA, '\0');
    put_text(b, 0, 12, im.magic);
    put32(b, 16, im.pixtype);
    put32(b, 20, im.ndim);
    for (int k = 0; k < 7; k++) {
        put32(b, 24 + 4 * k, im.len[k]);
        put32(b, 52 + 4 * k, im.len[k]);
    }
    put32(b, 52, im.physlen0 >= 0 ? im.physlen0 : im.len[0]);
    put32(b, 88, im.pixoff);
    put32(b, 104, im.nbpix);
    putf(b, 120, im.dmax);
    putf(b, 124, im.dmin);
    putf(b, 212, im.bscale);
    putf(b, 216, im.bzero);
    put_text(b, 412, 160, im.pixfile);
    put_text(b, 732, 160, im.title);
    put_text(b, 892, 1024, im.history, im.history_other_byte);
    for (std::string card : im.user) {
        card.resize(80, ' ');
        card += '\n';
        std::string rec(IRAF_USER_CARD, '\0');
        put_text(rec, 0, IRAF_USER_CARD, card);
        b += rec;
    }
    return b + im.user_tail;
}

std::string pix_bytes(const IrafImage &im)
{
    size_t start = im.pixoff > 0 ? static_cast<size_t>(im.pixoff - 1) * 2 : 1024;
    std::string b(start < 1024 ? 1024 : start, '\0');
    put_text(b, 0, 12, im.pix_magic);
    return b + std::string(256, '\0');
}

/* The image with its pixel file named "HDR$<base>.pix" unless it names
 * its own. */
IrafImage named(IrafImage im, const std::string &base)
{
    if (im.pixfile.empty())
        im.pixfile = "HDR$" + base + ".pix";
    return im;
}

/* Write <base>.imh and, unless the image names its own, <base>.pix. */
void write_iraf(const std::string &base, const IrafImage &im)
{
    if (im.pixfile.empty())
        write_file(path_of(base + ".pix"), pix_bytes(im));
    write_file(path_of(base + ".imh"), imh_bytes(named(im, base)));
}

std::vector<std::string> keywords(int id)
{
    std::vector<std::string> out;
    for (const std::string &c : card_texts(id)) {
        std::string k = c.substr(0, 8);
        k.erase(k.find_last_not_of(' ') + 1);
        out.push_back(k);
    }
    return out;
}

/* The numeric value of the first card of keyword, NAN when absent. */
double value_of(int id, const std::string &keyword)
{
    for (const std::string &c : card_texts(id)) {
        std::string k = c.substr(0, 8);
        k.erase(k.find_last_not_of(' ') + 1);
        if (k == keyword && c.size() > 10)
            return std::strtod(c.c_str() + 10, nullptr);
    }
    return NAN;
}

int open_iraf(const std::string &base) { return im_open(path_of(base + ".imh").c_str(), "r"); }

/* ---- Version 2: numbers big-endian at the documented byte offsets, text
 * 8-bit, user area as newline-ended lines from byte 2046. ---- */

struct Iraf2Image {
    std::string magic = "imhv2";
    int32_t pixtype = 3;
    int32_t swapped = 1;                /* 1: pixels little-endian */
    int32_t ndim = 2;
    int32_t len[7] = {4, 3, 1, 1, 1, 1, 1};
    int32_t physlen0 = -1;              /* -1: same as len[0] */
    int32_t pixoff = 1025;              /* what IRAF writes: byte 2048 */
    int32_t nbpix = 0;
    float dmin = 0.0f, dmax = 0.0f;
    std::string title;
    std::string pixfile;                /* empty: "HDR$<base>.pix" */
    std::string history;
    std::vector<std::string> user;      /* lines, each written with a newline */
    std::string user_tail = std::string(1, '\0');
    std::string pix_magic = "impv2";
    std::string pixels;                 /* bytes from the pixel start */
};

void put_be32(std::string &b, size_t off, int32_t v)
{
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; i++)
        b[off + i] = static_cast<char>(u >> (24 - 8 * i));
}

void put_be_float(std::string &b, size_t off, float v)
{
    int32_t bits;
    std::memcpy(&bits, &v, 4);
    put_be32(b, off, bits);
}

std::string imh2_bytes(const Iraf2Image &im)
{
    std::string b(2046, '\0');
    b.replace(0, im.magic.size(), im.magic);
    put_be32(b, 10, im.pixtype);
    put_be32(b, 14, im.swapped);
    put_be32(b, 18, im.ndim);
    for (int k = 0; k < 7; k++) {
        put_be32(b, 22 + 4 * k, im.len[k]);
        put_be32(b, 50 + 4 * k, im.len[k]);
    }
    put_be32(b, 50, im.physlen0 >= 0 ? im.physlen0 : im.len[0]);
    put_be32(b, 86, im.pixoff);
    put_be32(b, 102, im.nbpix);
    put_be_float(b, 118, im.dmax);
    put_be_float(b, 122, im.dmin);
    b.replace(126, im.pixfile.size(), im.pixfile);
    b.replace(638, im.title.size(), im.title);
    b.replace(1022, im.history.size(), im.history);
    for (const std::string &line : im.user)
        b += line + "\n";
    return b + im.user_tail;
}

std::string pix2_bytes(const Iraf2Image &im)
{
    size_t start = im.pixoff > 0 ? static_cast<size_t>(im.pixoff - 1) * 2 : 2048;
    std::string b(start, '\0');
    b.replace(0, im.pix_magic.size(), im.pix_magic);
    return b + im.pixels + std::string(64, '\0');
}

Iraf2Image named2(Iraf2Image im, const std::string &base)
{
    if (im.pixfile.empty())
        im.pixfile = "HDR$" + base + ".pix";
    return im;
}

/* Write <base>.imh and <base>.pix (the pixel file also when the image
 * names its own). */
void write_iraf2(const std::string &base, const Iraf2Image &im)
{
    write_file(path_of(base + ".pix"), pix2_bytes(im));
    write_file(path_of(base + ".imh"), imh2_bytes(named2(im, base)));
}

/* One stored pixel of IRAF type pixtype holding v, in big-endian or
 * little-endian order. */
std::string stored(double v, int32_t pixtype, bool little)
{
    uint64_t bits = 0;
    int size = 0;
    switch (pixtype) {
    case 3: case 11: bits = static_cast<uint16_t>(static_cast<int64_t>(v)); size = 2; break;
    case 4: case 5: bits = static_cast<uint32_t>(static_cast<int64_t>(v)); size = 4; break;
    case 6: { float x = static_cast<float>(v); uint32_t u; std::memcpy(&u, &x, 4); bits = u; size = 4; break; }
    default: std::memcpy(&bits, &v, 8); size = 8; break;
    }
    std::string out(size, '\0');
    for (int i = 0; i < size; i++) {
        int shift = little ? 8 * i : 8 * (size - 1 - i);
        out[i] = static_cast<char>(bits >> shift);
    }
    return out;
}

} // namespace

TEST(IrafRead, FixedFieldsUserAreaAndHistoryBecomeCardsInOrder)
{
    IrafImage im;
    im.pixtype = 6;
    im.len[0] = 5;
    im.len[1] = 3;
    im.physlen0 = 8;
    im.bscale = 2.5f;
    im.bzero = 100.0f;
    im.title = "M31 core";
    im.dmax = 255.0f;
    im.nbpix = 3;
    im.user = {"OBSERVER= 'someone '", "EXPTIME =                  30."};
    im.history = "first line\nsecond line\n";
    write_iraf("full", im);

    int id = open_iraf("full");
    ASSERT_GT(id, 0);
    fid_struct *p = find_fid(id);
    EXPECT_EQ(p->file_type, Type_iraf);
    EXPECT_EQ(std::string(p->pix_filename), path_of("full.pix"));
    EXPECT_GT(p->unix_pix_fid, 0);
    EXPECT_EQ(p->io_offset, 1024);
    EXPECT_EQ(p->line_skip_pix, 3);
    EXPECT_EQ(p->val_bitpix, -32);
    EXPECT_EQ(p->n_pixels, 15);
    EXPECT_DOUBLE_EQ(p->val_scale, 2.5);
    EXPECT_DOUBLE_EQ(p->val_offset, 100.0);
    EXPECT_EQ(p->magic, FID_MAGIC);
    std::vector<std::string> want = {"BITPIX", "NAXIS",   "NAXIS1",  "NAXIS2",  "BSCALE",
                                     "BZERO",  "OBJECT",  "DATAMIN", "DATAMAX", "NBLANKS",
                                     "OBSERVER", "EXPTIME", "HISTORY", "HISTORY"};
    EXPECT_EQ(keywords(id), want);
    std::vector<std::string> cards = card_texts(id);
    ASSERT_EQ(cards.size(), want.size());
    EXPECT_EQ(cards[0], "BITPIX  =                  -32");
    EXPECT_EQ(cards[6].substr(0, 21), "OBJECT  = 'M31 core'");
    EXPECT_NEAR(value_of(id, "DATAMIN"), 0.0, 1e-12);
    EXPECT_NEAR(value_of(id, "DATAMAX"), 255.0, 1e-9);
    EXPECT_NEAR(value_of(id, "NBLANKS"), 3.0, 1e-12);
    /* user cards come back padded to 80 columns, without the newline */
    EXPECT_EQ(cards[10], std::string("OBSERVER= 'someone '") + std::string(60, ' '));
    EXPECT_EQ(cards[12], "HISTORY first line");
    EXPECT_EQ(cards[13], "HISTORY second line");
    im_close(id);
}

/* The fixed-field cards are the ones the public keyword writers make for the
 * same values: integers, reals (BSCALE, BZERO, limits) and the quoted title
 * come out column for column as im_wkey_i, im_wkey_r and im_wkey_c write
 * them.  Each case lists the writes that should give the same cards. */
TEST(IrafRead, FixedFieldCardsEqualWhatThePublicWritersMake)
{
    struct Write {
        char kind;                      /* 'i', 'r' or 'c' */
        const char *keyword;
        double number;
        const char *text;
    };
    struct Case {
        const char *name;
        std::function<void(IrafImage &)> set;
        std::vector<Write> writes;
    };
    const std::string long_title(80, 'T');
    const std::string long_title_68(68, 'T');
    const Case cases[] = {
        {"float image, every field",
         [](IrafImage &im) {
             im.pixtype = 6; im.len[0] = 5; im.len[1] = 3; im.bscale = 2.5f;
             im.bzero = 100.0f; im.title = "M31 core"; im.dmax = 255.0f; im.nbpix = 3;
         },
         {{'i', "BITPIX", -32, ""}, {'i', "NAXIS", 2, ""}, {'i', "NAXIS1", 5, ""},
          {'i', "NAXIS2", 3, ""}, {'r', "BSCALE", 2.5f, ""}, {'r', "BZERO", 100.0f, ""},
          {'c', "OBJECT", 0, "M31 core"}, {'r', "DATAMIN", 0.0f, ""},
          {'r', "DATAMAX", 255.0f, ""}, {'i', "NBLANKS", 3, ""}}},
        {"unsigned 16-bit, quotes in the title, limits far from 1",
         [](IrafImage &im) {
             im.pixtype = 11; im.title = "O'Neil's field"; im.dmin = -4.5e-7f;
             im.dmax = 1.2345678e9f;
         },
         {{'i', "BITPIX", 16, ""}, {'i', "NAXIS", 2, ""}, {'i', "NAXIS1", 4, ""},
          {'i', "NAXIS2", 3, ""}, {'r', "BZERO", 32768.0f, ""},
          {'c', "OBJECT", 0, "O''Neil''s field"}, {'r', "DATAMIN", -4.5e-7f, ""},
          {'r', "DATAMAX", 1.2345678e9f, ""}}},
        {"three axes, a tiny scale, a title past 68 characters",
         [&long_title](IrafImage &im) {
             im.pixtype = 7; im.ndim = 3; im.len[2] = 2; im.bscale = 1e-20f;
             im.bzero = -3.25f; im.title = long_title;
         },
         {{'i', "BITPIX", -64, ""}, {'i', "NAXIS", 3, ""}, {'i', "NAXIS1", 4, ""},
          {'i', "NAXIS2", 3, ""}, {'i', "NAXIS3", 2, ""}, {'r', "BSCALE", 1e-20f, ""},
          {'r', "BZERO", -3.25f, ""}, {'c', "OBJECT", 0, long_title_68.c_str()}}},
        {"a zero scale with an infinite offset gives neither card",
         [](IrafImage &im) {
             im.pixtype = 4; im.ndim = 1; im.len[1] = 0; im.bzero = INFINITY;
         },
         {{'i', "BITPIX", 32, ""}, {'i', "NAXIS", 1, ""}, {'i', "NAXIS1", 4, ""}}},
    };
    for (const Case &c : cases) {
        IrafImage im;
        c.set(im);
        write_iraf("writers", im);
        int id = open_iraf("writers");
        ASSERT_GT(id, 0) << c.name;
        std::vector<std::string> read = card_texts(id);
        im_close(id);

        int out = im_open(path_of("writers_ref.fits").c_str(), "w");
        ASSERT_GT(out, 0) << c.name;
        for (const Write &w : c.writes) {
            int rc = w.kind == 'i'   ? im_wkey_i(out, static_cast<int>(w.number), w.keyword)
                     : w.kind == 'r' ? im_wkey_r(out, w.number, w.keyword)
                                     : im_wkey_c(out, w.text, w.keyword);
            EXPECT_EQ(rc, 1) << c.name << ": " << w.keyword;
        }
        EXPECT_EQ(read, card_texts(out)) << c.name;
        im_close(out);
    }
}

TEST(IrafRead, PixelTypeCodesMapToBitpix)
{
    const struct {
        int32_t code;
        int bitpix;
    } cases[] = {{3, 16}, {4, 32}, {5, 32}, {6, -32}, {7, -64}};
    for (const auto &c : cases) {
        IrafImage im;
        im.pixtype = c.code;
        write_iraf("type", im);
        int id = open_iraf("type");
        ASSERT_GT(id, 0) << c.code;
        EXPECT_EQ(find_fid(id)->val_bitpix, c.bitpix) << c.code;
        im_close(id);
    }
    for (int32_t bad : {0, 1, 2, 8, -3}) {
        IrafImage im;
        im.pixtype = bad;
        write_iraf("badtype", im);
        EXPECT_EQ(open_iraf("badtype"), -1) << bad;
    }
}

TEST(IrafRead, OptionalCardsOnlyWhenMeaningful)
{
    IrafImage im;
    im.bscale = 1.0f;
    write_iraf("plain", im);
    int id = open_iraf("plain");
    ASSERT_GT(id, 0);
    std::vector<std::string> want = {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2"};
    EXPECT_EQ(keywords(id), want);
    im_close(id);

    /* a blank count that the image cannot hold (IRAF 2.17 leaves stray
     * characters there) gives no NBLANKS */
    for (int32_t stray : {13, 0x00650065, -2}) {
        im.nbpix = stray;
        write_iraf("stray", im);
        id = open_iraf("stray");
        ASSERT_GT(id, 0);
        EXPECT_EQ(keywords(id), want) << stray;
        im_close(id);
    }
    im.nbpix = 0;

    im.bscale = 0.0f;
    im.dmin = -4.0f;
    write_iraf("limits", im);
    id = open_iraf("limits");
    ASSERT_GT(id, 0);
    want = {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "DATAMIN", "DATAMAX"};
    EXPECT_EQ(keywords(id), want);
    EXPECT_NEAR(value_of(id, "DATAMIN"), -4.0, 1e-12);
    EXPECT_NEAR(value_of(id, "DATAMAX"), 0.0, 1e-12);
    im_close(id);
}

TEST(IrafRead, PixelStartFollowsPixoff)
{
    const struct {
        int32_t pixoff;
        int offset;
    } cases[] = {{1025, 2048}, {513, 1024}, {0, 1024}, {7, 12}};
    for (const auto &c : cases) {
        IrafImage im;
        im.pixoff = c.pixoff;
        write_iraf("offset", im);
        int id = open_iraf("offset");
        ASSERT_GT(id, 0) << c.pixoff;
        EXPECT_EQ(find_fid(id)->io_offset, c.offset) << c.pixoff;
        im_close(id);
    }
    for (int32_t bad : {-5, 1, 6, 2147483647}) {
        IrafImage im;
        write_iraf("badoffset", im);
        im.pixoff = bad;
        write_file(path_of("badoffset.imh"), imh_bytes(named(im, "badoffset")));
        EXPECT_EQ(open_iraf("badoffset"), -1) << bad;
    }
}

TEST(IrafRead, HistoryIsReadInHostCharacterOrderWithinItsArea)
{
    IrafImage im;
    im.history = "a\nb\n";
    write_iraf("hist", im);
    int id = open_iraf("hist");
    ASSERT_GT(id, 0);
    std::vector<std::string> cards = card_texts(id);
    ASSERT_EQ(cards.size(), 6u);
    EXPECT_EQ(cards[4], "HISTORY a");
    EXPECT_EQ(cards[5], "HISTORY b");
    im_close(id);

    im.history_other_byte = true;
    write_iraf("histother", im);
    id = open_iraf("histother");
    ASSERT_GT(id, 0);
    EXPECT_EQ(card_texts(id).size(), 4u);
    im_close(id);

    /* a full area of one unterminated line stays inside the area */
    im.history_other_byte = false;
    im.history = std::string(512, 'h');
    write_iraf("histfull", im);
    id = open_iraf("histfull");
    ASSERT_GT(id, 0);
    cards = card_texts(id);
    ASSERT_EQ(cards.size(), 5u);
    EXPECT_EQ(cards[4], "HISTORY " + std::string(72, 'h'));
    im_close(id);
}

TEST(IrafRead, UserAreaEndsAtShortPieceAndKeepsNulRecords)
{
    IrafImage im;
    im.user = {"COMMENT one", ""};
    im.user_tail = std::string(100, 'x'); /* a short final piece */
    write_iraf("user", im);
    /* turn the second record into NUL characters */
    std::string imh = imh_bytes(named(im, "user"));
    std::fill(imh.begin() + IRAF_USER_AREA + IRAF_USER_CARD,
              imh.begin() + IRAF_USER_AREA + 2 * IRAF_USER_CARD, '\0');
    write_file(path_of("user.imh"), imh);
    int id = open_iraf("user");
    ASSERT_GT(id, 0);
    std::vector<std::string> cards = card_texts(id);
    ASSERT_EQ(cards.size(), 6u);
    EXPECT_EQ(cards[4], "COMMENT one" + std::string(69, ' '));
    EXPECT_EQ(cards[5], "");
    im_close(id);
}

TEST(IrafRead, PixelFileLocatedFromHeaderName)
{
    std::filesystem::create_directories(path_of("pix"));
    IrafImage im;
    im.pixfile = "node!HDR$pix/m31.pix";
    write_file(path_of("pix/m31.pix"), pix_bytes(im));
    write_file(path_of("m31.imh"), imh_bytes(im));
    int id = open_iraf("m31");
    ASSERT_GT(id, 0);
    EXPECT_EQ(std::string(find_fid(id)->pix_filename), path_of("pix/m31.pix"));
    im_close(id);

    im.pixfile = path_of("abs.pix");
    ASSERT_LE(im.pixfile.size(), 63u);
    write_file(path_of("abs.pix"), pix_bytes(im));
    write_file(path_of("abs.imh"), imh_bytes(im));
    id = open_iraf("abs");
    ASSERT_GT(id, 0);
    EXPECT_EQ(std::string(find_fid(id)->pix_filename), im.pixfile);
    im_close(id);

    /* a header path without a directory: the pixel file is beside it */
    write_iraf("rel", IrafImage{});
    std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(scratch_dir());
    id = im_open("rel.imh", "r");
    std::string pix = id > 0 ? find_fid(id)->pix_filename : "";
    std::filesystem::current_path(cwd);
    ASSERT_GT(id, 0);
    EXPECT_EQ(pix, "rel.pix");
    im_close(id);
}

TEST(IrafRead, PixelFileNameLongerThan63IsRefused)
{
    std::string name63 = std::string(59, 'n') + ".pix";
    IrafImage im;
    im.pixfile = "HDR$" + name63;
    write_file(path_of(name63), pix_bytes(im));
    write_file(path_of("name63.imh"), imh_bytes(im));
    int id = open_iraf("name63");
    ASSERT_GT(id, 0);
    im_close(id);

    std::string name64 = "m" + name63;
    im.pixfile = "HDR$" + name64;
    write_file(path_of(name64), pix_bytes(im));
    write_file(path_of("name64.imh"), imh_bytes(im));
    EXPECT_EQ(open_iraf("name64"), -1);

    /* 80 characters and no terminator inside the field */
    im.pixfile = std::string(80, 'q');
    write_file(path_of("name80.imh"), imh_bytes(im));
    EXPECT_EQ(open_iraf("name80"), -1);
}

TEST(IrafRead, DamagedHeadersAndPixelFilesAreRefused)
{
    IrafImage good;
    write_iraf("cut", good);
    std::string imh = imh_bytes(named(good, "cut"));
    write_file(path_of("cut.imh"), imh.substr(0, IRAF_HDR_SIZE - 1));
    EXPECT_EQ(open_iraf("cut"), -1);

    IrafImage im;
    im.magic = "imhdx";
    write_iraf("magic", im);
    EXPECT_EQ(open_iraf("magic"), -1);

    im = IrafImage{};
    im.pix_magic = "impiy";
    write_iraf("pixmagic", im);
    EXPECT_EQ(open_iraf("pixmagic"), -1);

    im = IrafImage{};
    im.pixfile = "HDR$missing.pix";
    write_file(path_of("nopix.imh"), imh_bytes(im));
    EXPECT_EQ(open_iraf("nopix"), -2);

    im.pixfile = "HDR$tiny.pix";
    write_file(path_of("tiny.pix"), "imp");
    write_file(path_of("tiny.imh"), imh_bytes(im));
    EXPECT_EQ(open_iraf("tiny"), -1);

    im = IrafImage{};
    im.ndim = 8;
    write_iraf("ndim8", im);
    EXPECT_EQ(open_iraf("ndim8"), -1);
    im.ndim = -1;
    write_iraf("ndimneg", im);
    EXPECT_EQ(open_iraf("ndimneg"), -1);

    im = IrafImage{};
    im.physlen0 = 3; /* shorter than the line */
    write_iraf("phys", im);
    EXPECT_EQ(open_iraf("phys"), -1);

    im = IrafImage{};
    im.len[1] = -3;
    write_iraf("neglen", im);
    EXPECT_EQ(open_iraf("neglen"), -1);

    im = IrafImage{};
    im.pixtype = 6;
    im.len[0] = 46341;
    im.len[1] = 11586;
    write_iraf("huge", im);
    EXPECT_EQ(open_iraf("huge"), -1);
    /* padding counts too: 2^29 stored floats per line is 2^31 bytes */
    im.len[0] = 1;
    im.len[1] = 1;
    im.physlen0 = 1 << 29;
    write_iraf("hugepad", im);
    EXPECT_EQ(open_iraf("hugepad"), -1);
}

TEST(IrafDetect, ImhSuffixWinsAndContentIsReadInHostOrder)
{
    write_iraf("m51", IrafImage{});
    write_file(path_of("m51.fits"), std::string(2880, ' '));
    int id = im_open(path_of("m51").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->file_type, Type_iraf);
    EXPECT_EQ(std::string(find_fid(id)->hdr_filename), path_of("m51.imh"));
    im_close(id);

    write_file(path_of("m51.header"), imh_bytes(named(IrafImage{}, "m51")));
    id = im_open(path_of("m51.header").c_str(), "r");
    ASSERT_GT(id, 0);
    EXPECT_EQ(find_fid(id)->file_type, Type_iraf);
    im_close(id);
}

TEST(IrafRead, FailedOpensCloseHeaderAndPixelFiles)
{
    IrafImage im;
    im.pix_magic = "impiy";
    write_iraf("leak", im);
    int probe = open("/dev/null", O_RDONLY);
    close(probe);
    int wrong = 0;
    for (int i = 0; i < 1000; i++)
        if (im_open(path_of("leak.imh").c_str(), i % 2 ? "r" : "u") != -1)
            wrong++;
    EXPECT_EQ(wrong, 0);
    int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_LE(after, probe);
}

TEST(IrafRead, ImageWrittenByThisLibraryReadsBack)
{
    std::string name = path_of("roundtrip.imh");
    int w = im_open(name.c_str(), "w");
    ASSERT_GT(w, 0);
    EXPECT_EQ(im_wkey_i(w, 16, "BITPIX"), 1);
    EXPECT_EQ(im_wkey_i(w, 2, "NAXIS"), 1);
    EXPECT_EQ(im_wkey_i(w, 3, "NAXIS1"), 1);
    EXPECT_EQ(im_wkey_i(w, 2, "NAXIS2"), 1);
    EXPECT_EQ(im_wkey_t(w, "HISTORY *0 made here", "end"), 1);
    EXPECT_EQ(im_wkey_t(w, "HISTORY *1 and here", "end"), 1);
    short out[6] = {1, -2, 3, 400, -500, 600};
    ASSERT_EQ(im_wpix_s(w, out, 6), 6);
    ASSERT_EQ(im_close(w), 0);

    int r = im_open(name.c_str(), "r");
    ASSERT_GT(r, w);
    fid_struct *p = find_fid(r);
    EXPECT_EQ(p->io_offset, 1024);
    EXPECT_EQ(p->n_pixels, 6);
    std::vector<std::string> cards = card_texts(r);
    ASSERT_GE(cards.size(), 2u);
    EXPECT_EQ(cards[cards.size() - 2], "HISTORY *0 made here");
    EXPECT_EQ(cards.back(), "HISTORY *1 and here");
    short in[6] = {0};
    ASSERT_EQ(im_rpix_s(r, in, 6), 6);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(in[i], out[i]) << i;
    im_close(r);
}

TEST(Iraf2Read, SameCardsAsVersion1ForTheSameImage)
{
    const std::vector<std::string> user = {"OBSERVER= 'someone '", "EXPTIME =                  30.",
                                           "HISTORY from the user area"};
    for (int32_t type : {3, 6, 11}) {
        IrafImage v1;
        v1.pixtype = type;
        v1.title = "M31 core";
        v1.dmin = -2.0f;
        v1.dmax = 255.0f;
        v1.nbpix = 3;
        v1.user = user;
        v1.history = "first line\nsecond line\n";
        v1.pixoff = 1025;
        write_iraf("same1", v1);

        Iraf2Image v2;
        v2.pixtype = type;
        v2.title = v1.title;
        v2.dmin = v1.dmin;
        v2.dmax = v1.dmax;
        v2.nbpix = v1.nbpix;
        for (std::string card : user) {
            card.resize(80, ' ');   /* IRAF pads its cards */
            v2.user.push_back(card);
        }
        v2.history = v1.history;
        write_iraf2("same2", v2);

        int id1 = open_iraf("same1");
        int id2 = open_iraf("same2");
        ASSERT_GT(id1, 0) << type;
        ASSERT_GT(id2, 0) << type << ": " << im_errmsg();
        EXPECT_EQ(card_texts(id1), card_texts(id2)) << type;
        EXPECT_EQ(find_fid(id2)->io_offset, 2048);
        EXPECT_EQ(find_fid(id2)->pix_unsigned16, type == 11 ? 1 : 0);
        std::vector<std::string> want = {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2"};
        if (type == 11)
            want.push_back("BZERO");
        for (const char *k : {"OBJECT", "DATAMIN", "DATAMAX", "NBLANKS", "OBSERVER", "EXPTIME",
                              "HISTORY", "HISTORY", "HISTORY"})
            want.push_back(k);
        EXPECT_EQ(keywords(id2), want) << type;
        if (type == 11) {
            EXPECT_EQ(value_of(id2, "BZERO"), 32768.0);
        }
        im_close(id1);
        im_close(id2);
    }
}

TEST(Iraf2Read, PixelsOfEveryTypeInEitherByteOrder)
{
    const struct {
        int32_t type;
        int bitpix;
        std::vector<double> values;   /* physical values, 3 x 2 */
    } cases[] = {
        {3, 16, {-32768, -1, 0, 1, 32767, 1234}},
        {11, 16, {0, 1, 32767, 32768, 40000, 65535}},
        {4, 32, {-2147483648.0, -1, 0, 1, 2147483647.0, 16777217}},
        {5, 32, {-2000000000, -7, 0, 5, 2000000000, -16777217}},
        {6, -32, {-1.5, 0, 3.25, 1e30, -2.5e-3, 7}},
        {7, -64, {-1.5, 0, 3.25, 1e300, 0.1, 7}},
    };
    for (const auto &c : cases) {
        for (bool little : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "type " << c.type << (little ? " little" : " big"));
            Iraf2Image im;
            im.pixtype = c.type;
            im.swapped = little ? 1 : 0;
            im.len[0] = 3;
            im.len[1] = 2;
            im.physlen0 = 5;   /* two padding pixels per line */
            for (int line = 0; line < 2; line++) {
                for (int k = 0; k < 3; k++) {
                    im.pixels += stored(c.values[3 * line + k], c.type, little);
                }
                im.pixels += std::string(2 * stored(0, c.type, little).size(), '\xAB');
            }
            write_iraf2("pixels", im);
            int id = open_iraf("pixels");
            ASSERT_GT(id, 0) << im_errmsg();
            EXPECT_EQ(find_fid(id)->val_bitpix, c.bitpix);
            EXPECT_EQ(find_fid(id)->pix_swap, little != (im_byteorder() == 0) ? 1 : 0);
            double d[6];
            ASSERT_EQ(im_rpix_d(id, d, 6), 6);
            for (int k = 0; k < 6; k++)
                EXPECT_EQ(d[k], c.bitpix == -32 ? double(float(c.values[k])) : c.values[k]) << k;
            if (c.bitpix != -64) {
                float r[6];
                ASSERT_EQ(im_rpix_r(id, r, -1), 6);
                ASSERT_EQ(im_rpix_r(id, r, 6), 6);
                for (int k = 0; k < 6; k++)
                    EXPECT_EQ(r[k], float(c.values[k])) << k;
            }
            if (c.bitpix == 16) {
                short s[6];
                ASSERT_EQ(im_rpix_s(id, s, -1), 6);
                ASSERT_EQ(im_rpix_s(id, s, 6), 6);
                for (int k = 0; k < 6; k++)
                    EXPECT_EQ(s[k], c.values[k] - (c.type == 11 ? 32768 : 0)) << k;
            }
            if (c.bitpix == 32) {
                int n[6];
                ASSERT_EQ(im_rpix_i(id, n, -1), 6);
                ASSERT_EQ(im_rpix_i(id, n, 6), 6);
                for (int k = 0; k < 6; k++)
                    EXPECT_EQ(n[k], c.values[k]) << k;
            }
            im_close(id);
        }
    }
}

TEST(Iraf2Read, PixelStartFollowsPixoff)
{
    const struct {
        int32_t pixoff;
        int offset;
    } cases[] = {{1025, 2048}, {513, 1024}, {0, 2048}, {4097, 8192}};
    for (const auto &c : cases) {
        Iraf2Image im;
        im.pixoff = c.pixoff;
        im.pixels = std::string(24, '\0');
        im.pixels[0] = 7;   /* little-endian 7 */
        write_iraf2("offset2", im);
        int id = open_iraf("offset2");
        ASSERT_GT(id, 0) << c.pixoff << ": " << im_errmsg();
        EXPECT_EQ(find_fid(id)->io_offset, c.offset) << c.pixoff;
        short first[1];
        ASSERT_EQ(im_rpix_s(id, first, 1), 1);
        EXPECT_EQ(first[0], 7) << c.pixoff;
        im_close(id);
    }
}

TEST(Iraf2Read, TextFieldsUserAreaAndHistoryStayInsideTheirAreas)
{
    Iraf2Image im;
    im.title = std::string(383, 't');
    im.history = "one\n" + std::string(1018, 'h');  /* the last line has no newline */
    im.user = {std::string(90, 'u'), "SHORT   =                    1", ""};
    im.user_tail = "LAST    =                    2";   /* no newline, no NUL */
    std::string imh = imh2_bytes(named2(im, "text2"));
    imh[638 + 383] = 'X';     /* IRAF may leave anything in a field's last byte */
    imh[1022 + 1023] = 'Y';
    write_file(path_of("text2.pix"), pix2_bytes(im));
    write_file(path_of("text2.imh"), imh);
    int id = open_iraf("text2");
    ASSERT_GT(id, 0) << im_errmsg();
    std::vector<std::string> cards = card_texts(id);
    ASSERT_EQ(cards.size(), 11u);
    EXPECT_EQ(cards[4], "OBJECT  = '" + std::string(68, 't') + "'");
    EXPECT_EQ(cards[5], std::string(80, 'u'));
    EXPECT_EQ(cards[6], "SHORT   =                    1");
    EXPECT_EQ(cards[7], "");
    EXPECT_EQ(cards[8], "LAST    =                    2");
    EXPECT_EQ(cards[9], "HISTORY one");
    EXPECT_EQ(cards[10], "HISTORY " + std::string(72, 'h'));
    im_close(id);

    /* a NUL ends the user area */
    im = Iraf2Image{};
    im.user = {"A       =                    1"};
    im.user_tail = std::string("\0B       =                    2\n", 33);
    write_iraf2("nul2", im);
    id = open_iraf("nul2");
    ASSERT_GT(id, 0);
    EXPECT_EQ(card_texts(id).back(), "A       =                    1");
    im_close(id);
}

TEST(Iraf2Read, PixelFileNamesAsIrafWritesThem)
{
    std::filesystem::create_directories(path_of("pixels2"));
    const struct {
        std::string pixfile;
        std::string where;   /* the pixel file, relative to the scratch dir */
    } cases[] = {
        {"vm!" + path_of("pixels2/abs.pix"), "pixels2/abs.pix"},
        /* longer than version 1 allows */
        {"HDR$pixels2/" + std::string(120, 'l') + ".pix", "pixels2/" + std::string(120, 'l') + ".pix"},
    };
    for (const auto &c : cases) {
        Iraf2Image im;
        im.pixfile = c.pixfile;
        write_file(path_of(c.where), pix2_bytes(im));
        write_file(path_of("names2.imh"), imh2_bytes(im));
        int id = open_iraf("names2");
        ASSERT_GT(id, 0) << c.pixfile << ": " << im_errmsg();
        EXPECT_EQ(std::string(find_fid(id)->pix_filename), path_of(c.where));
        im_close(id);
    }
}

TEST(IrafReasons, EveryRefusalSaysWhy)
{
    const struct {
        const char *what;
        std::function<void(Iraf2Image &)> change;
        int code;
        std::string reason;
    } cases[] = {
        {"version 3", [](Iraf2Image &im) { im.magic = "imhv3"; }, -1,
         "IRAF header version 3 is not supported"},
        {"magic", [](Iraf2Image &im) { im.magic = "imhx2"; }, -1, "not an IRAF header (wrong magic)"},
        {"type 12", [](Iraf2Image &im) { im.pixtype = 12; }, -1, "unknown IRAF pixel type 12"},
        {"complex", [](Iraf2Image &im) { im.pixtype = 8; }, -1,
         "IRAF pixel type 8 (complex) is not supported"},
        {"axes", [](Iraf2Image &im) { im.ndim = 8; }, -1, "IRAF image with 8 axes (at most 7)"},
        {"length", [](Iraf2Image &im) { im.len[1] = -3; }, -1, "IRAF axis 2 has length -3"},
        {"stored line", [](Iraf2Image &im) { im.physlen0 = 2; }, -1,
         "IRAF stored line of 2 pixels is shorter than the line (4)"},
        {"pixoff", [](Iraf2Image &im) { im.pixoff = 3; }, -1, "IRAF pixel offset 3 is unusable"},
        {"swapped", [](Iraf2Image &im) { im.swapped = 7; }, -1,
         "IRAF pixel byte-order flag 7 is not understood"},
        {"pixel magic", [](Iraf2Image &im) { im.pix_magic = "impix"; }, -1,
         "not an IRAF version-2 pixel file (wrong magic)"},
        {"no pixel file", [](Iraf2Image &im) { im.pixfile = "HDR$missing2.pix"; }, -2,
         "IRAF pixel file " + path_of("missing2.pix") + ": no such file"},
    };
    for (const auto &c : cases) {
        Iraf2Image im;
        c.change(im);
        write_file(path_of("why2.pix"), pix2_bytes(im));
        write_file(path_of("why2.imh"), imh2_bytes(named2(im, "why2")));
        EXPECT_EQ(open_iraf("why2"), c.code) << c.what;
        EXPECT_EQ(std::string(im_errmsg()), c.reason) << c.what;
    }

    /* cut short */
    write_file(path_of("short2.imh"), imh2_bytes(named2(Iraf2Image{}, "short2")).substr(0, 2000));
    EXPECT_EQ(open_iraf("short2"), -1);
    EXPECT_STREQ(im_errmsg(), "IRAF header cut short (2000 of 2046 bytes)");

    /* version 1: 8-byte fields of 64-bit IRAF, its own limits */
    IrafImage v1;
    std::string imh = imh_bytes(named(v1, "wide1"));
    std::fill(imh.begin() + 12, imh.begin() + 52, '\0');
    imh.replace(12, 4, "v2/e");           /* what 64-bit IRAF leaves after the magic */
    int64_t wide[3] = {554, 6, 2};        /* hdrlen, pixtype, ndim at 24, 32, 40 */
    std::memcpy(&imh[24], wide, sizeof wide);
    write_file(path_of("wide1.imh"), imh);
    EXPECT_EQ(open_iraf("wide1"), -1);
    EXPECT_STREQ(im_errmsg(), "IRAF version-1 header with 8-byte fields (written by 64-bit IRAF) is not supported");

    v1.pixtype = 9;
    write_iraf("type1", v1);
    EXPECT_EQ(open_iraf("type1"), -1);
    EXPECT_STREQ(im_errmsg(), "unknown IRAF pixel type 9");
    v1 = IrafImage{};
    v1.pixfile = "HDR$" + std::string(64, 'n');
    write_file(path_of("long1.imh"), imh_bytes(v1));
    EXPECT_EQ(open_iraf("long1"), -1);
    EXPECT_STREQ(im_errmsg(), "IRAF pixel file name longer than 63 characters");
    v1 = IrafImage{};
    v1.pix_magic = "impiy";
    write_iraf("pixmagic1", v1);
    EXPECT_EQ(open_iraf("pixmagic1"), -1);
    EXPECT_STREQ(im_errmsg(), "not an IRAF pixel file (wrong magic)");
}

namespace {

/* A version-1 image turned into the byte order of the other kind of host,
 * by its documented layout alone: 4-byte numbers (bytes 12-331 and
 * 372-411 of the header and of its copy at the start of the pixel file)
 * reversed, every other byte pair of the header and the user area (16-bit
 * characters) exchanged, and each pixel from pixel_start reversed. */
std::string other_order_v1(std::string b, size_t header_end, size_t pixel_start, int bpp)
{
    for (size_t i = 0; i + 1 < header_end; i += 2) {
        if ((i >= 12 && i < 332) || (i >= 372 && i < 412)) {
            std::reverse(b.begin() + long(i), b.begin() + long(i) + 4);
            i += 2;
        } else {
            std::swap(b[i], b[i + 1]);
        }
    }
    for (size_t i = pixel_start; i + size_t(bpp) <= b.size(); i += size_t(bpp))
        std::reverse(b.begin() + long(i), b.begin() + long(i) + bpp);
    return b;
}

std::string file_bytes(const std::string &p)
{
    std::vector<unsigned char> v = testsup::slurp(p);
    return std::string(v.begin(), v.end());
}

} // namespace

TEST(IrafRead, Version1FromHostOfOtherByteOrderGivesSameCardsAndPixels)
{
    std::filesystem::create_directories(path_of("swapped"));
    const int bitpixes[] = {16, 32, -32, -64};
    for (int bitpix : bitpixes) {
        const std::string base = "order" + std::to_string(bitpix < 0 ? 100 - bitpix : bitpix);
        int w = im_open(path_of(base + ".imh").c_str(), "w");
        ASSERT_GT(w, 0);
        im_wkey_i(w, bitpix, "BITPIX");
        im_wkey_i(w, 2, "NAXIS");
        im_wkey_i(w, 5, "NAXIS1");
        im_wkey_i(w, 3, "NAXIS2");
        im_wkey_c(w, "a title", "OBJECT");
        im_wkey_c(w, "someone", "OBSERVER");
        im_wkey_t(w, "HISTORY made in another order", "end");
        double out[15], given[15];
        for (int i = 0; i < 15; i++)
            out[i] = given[i] = (i - 7) * 1001.0 + (bitpix < 0 ? 0.25 : 0.0);
        ASSERT_EQ(im_wpix_d(w, given, 15), 15);    /* the writer may use its buffer */
        ASSERT_EQ(im_close(w), 0);

        std::string imh = file_bytes(path_of(base + ".imh"));
        std::string pix = file_bytes(path_of(base + ".pix"));
        const int bpp = bitpix < 0 ? -bitpix / 8 : bitpix / 8;
        write_file(path_of("swapped/" + base + ".imh"), other_order_v1(imh, imh.size(), imh.size(), bpp));
        write_file(path_of("swapped/" + base + ".pix"), other_order_v1(pix, 1024, 1024, bpp));
        ASSERT_NE(file_bytes(path_of("swapped/" + base + ".pix")), pix);

        int a = open_iraf(base);
        ASSERT_GT(a, 0);
        /* by content too, without the .imh ending */
        write_file(path_of("swapped/" + base + ".hdr"), file_bytes(path_of("swapped/" + base + ".imh")));
        int b = im_open(path_of("swapped/" + base + ".hdr").c_str(), "r");
        ASSERT_GT(b, 0) << bitpix << ": " << im_errmsg();
        EXPECT_EQ(find_fid(b)->file_type, Type_iraf);
        EXPECT_EQ(card_texts(b), card_texts(a)) << bitpix;
        double pa[15], pb[15];
        ASSERT_EQ(im_rpix_d(a, pa, 15), 15);
        ASSERT_EQ(im_rpix_d(b, pb, 15), 15) << bitpix;
        for (int i = 0; i < 15; i++) {
            EXPECT_EQ(pa[i], out[i]) << bitpix << " " << i;
            EXPECT_EQ(pb[i], out[i]) << bitpix << " " << i;
        }
        im_close(a);
        im_close(b);

        /* the writers keep the host's order: no update */
        EXPECT_EQ(im_open(path_of("swapped/" + base + ".imh").c_str(), "u"), -1);
        EXPECT_STREQ(im_errmsg(),
                     "IRAF version-1 image from a host of the other byte order cannot be updated");
    }
}

TEST(IrafDetect, Version2MagicWithoutImhEnding)
{
    write_iraf2("bycontent", Iraf2Image{});
    write_file(path_of("bycontent.hdr"), imh2_bytes(named2(Iraf2Image{}, "bycontent")));
    int id = im_open(path_of("bycontent.hdr").c_str(), "r");
    ASSERT_GT(id, 0) << im_errmsg();
    EXPECT_EQ(find_fid(id)->file_type, Type_iraf);
    im_close(id);

    /* a later version is classed as IRAF too, so its refusal says why */
    Iraf2Image v9;
    v9.magic = "imhv9";
    write_file(path_of("v9.hdr"), imh2_bytes(named2(v9, "bycontent")));
    EXPECT_EQ(im_open(path_of("v9.hdr").c_str(), "r"), -1);
    EXPECT_STREQ(im_errmsg(), "IRAF header version 9 is not supported");
}

TEST(IrafRead, UserAreaCardsFollowTheCardStoreRulesInBothVersions)
{
    const std::string blank_empty = "BLANK   =";
    const struct {
        std::string card;
        int code;
        std::string reason;
    } cases[] = {
        {blank_empty, 1, ""},
        {blank_empty + std::string(71, ' '), 1, ""},
        {"BLANK   = 'NONE    '", 1, ""},
        {"NAXIS1  =                    4 / as the fixed field", 1, ""},
        {"NAXIS1  =                    9", -1, "IRAF user-area card 'NAXIS1  =                    9' "
                                              "refused: NAXIS1 is given twice with different values"},
        {"BITPIX  =                  -32", -1, "IRAF user-area card 'BITPIX  =                  -32' "
                                              "refused: BITPIX is given twice with different values"},
    };
    for (const auto &c : cases) {
        for (int version : {1, 2}) {
            int id;
            if (version == 1) {
                IrafImage im;
                im.user = {"OBSERVER= 'someone '", c.card};
                write_iraf("user1", im);
                id = open_iraf("user1");
            } else {
                Iraf2Image im;
                im.user = {"OBSERVER= 'someone '", c.card};
                write_iraf2("user2", im);
                id = open_iraf("user2");
            }
            if (c.code < 0) {
                EXPECT_EQ(c.code, id) << c.card << " v" << version;
                EXPECT_EQ(c.reason, im_errmsg()) << version;
                continue;
            }
            ASSERT_GT(id, 0) << c.card << " v" << version << ": " << im_errmsg();
            const fid_struct *p = find_fid(id);
            EXPECT_EQ(0, p->val_blank_flag) << c.card << " v" << version;   /* no blank code */
            EXPECT_EQ(4, p->val_naxis[1]);
            std::vector<std::string> k = keywords(id);
            EXPECT_EQ(1, std::count(k.begin(), k.end(), "NAXIS1")) << c.card;
            EXPECT_EQ(c.card.substr(0, 5) == "BLANK" ? 1 : 0, std::count(k.begin(), k.end(), "BLANK"));
            im_close(id);
        }
    }
}

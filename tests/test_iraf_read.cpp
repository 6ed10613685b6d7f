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

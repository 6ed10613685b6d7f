// Subset text: grammar, classification of values and the skip/take
// selection, through rwcf on hand-filled records and through IM_setw1 on a
// descriptor whose header holds the world-coordinate keywords.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "im.h"
#include "test_support.h"

// A record of n axes of 512 pixels, unnamed, CDELT 1, CRVAL 0, CRPIX 1.
static rwc_struct image(int n_axes)
{
    rwc_struct r;
    std::memset(&r, 0, sizeof r);
    r.magic = RWC_MAGIC;
    r.n_axes = n_axes;
    for (int a = 1; a <= RWC_MAX_AXES; a++) {
        r.naxis[a] = 512;
        r.cdelt[a] = 1.0;
        r.crpix[a] = 1.0;
    }
    return r;
}

static void axis(rwc_struct &r, int a, const char *ctype, double cdelt, double crval,
                 double crpix)
{
    std::snprintf(r.ctype[a], sizeof r.ctype[a], "%s", ctype);
    r.cdelt[a] = cdelt;
    r.crval[a] = crval;
    r.crpix[a] = crpix;
}

// An RA/DEC gnomonic image centred on 12h30m +45d, 0.01 degree pixels,
// reference pixel 100, optionally with a third axis VELO-LSR.
static rwc_struct sky(int n_axes = 2)
{
    rwc_struct r = image(n_axes);
    axis(r, 1, "RA---TAN", -0.01, 187.5, 100.0);
    axis(r, 2, "DEC--TAN", 0.01, 45.0, 100.0);
    if (n_axes > 2)
        axis(r, 3, "VELO-LSR", 1.0, 0.0, 1.0);
    return r;
}

struct Sel {
    int rc;
    int skips[10];
    int takes[10];
};

static Sel run(rwc_struct &r, const char *text)
{
    Sel s;
    for (int i = 0; i < 10; i++) {
        s.skips[i] = -777;
        s.takes[i] = -777;
    }
    s.rc = rwcf(&r, text, s.skips, s.takes);
    return s;
}

#define EXPECT_AXIS(sel, a, skip, take)                                     \
    do {                                                                    \
        EXPECT_EQ(skip, (sel).skips[a]) << "skip of axis " << (a);          \
        EXPECT_EQ(take, (sel).takes[a]) << "take of axis " << (a);          \
    } while (0)

TEST(SubsetPixels, RangeCarriesAtSignToSecondValue)
{
    rwc_struct r = image(2);
    Sel s = run(r, "@100:200");
    ASSERT_EQ(0, s.rc);
    EXPECT_EQ(2, s.takes[0]);
    EXPECT_EQ(-777, s.skips[0]); // element 0 of skips is not written
    EXPECT_AXIS(s, 1, 99, 101);
    EXPECT_AXIS(s, 2, 0, 32767);

    s = run(r, "@200:100");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 99, 101);

    s = run(r, "@100:200,@50:150");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 99, 101);
    EXPECT_AXIS(s, 2, 49, 101);
}

TEST(SubsetPixels, SinglePixelsAndEmptyFieldsAdvanceAxes)
{
    rwc_struct r = image(3);
    Sel s = run(r, "@5");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 4, 1);
    EXPECT_AXIS(s, 3, 0, 32767);

    s = run(r, ",,@5");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 0, 32767);
    EXPECT_AXIS(s, 2, 0, 32767);
    EXPECT_AXIS(s, 3, 4, 1);

    s = run(r, "@,@7,"); // '@' alone is no value; a final comma adds no field
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 0, 32767);
    EXPECT_AXIS(s, 2, 6, 1);

    s = run(r, "");
    ASSERT_EQ(0, s.rc);
    EXPECT_EQ(3, s.takes[0]);
    EXPECT_AXIS(s, 2, 0, 32767);
}

TEST(SubsetPixels, RelativeOffsetsCountFromReferencePixel)
{
    rwc_struct r = image(2);
    r.crpix[1] = 256.5;
    Sel s = run(r, "@-10:10");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 246, 21);
    s = run(r, "@+0");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 256, 1); // position 256.5 is pixel 257
}

TEST(SubsetPixels, CentreAndSize)
{
    rwc_struct r = image(2);
    Sel s = run(r, "^@64");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 224, 64);
    s = run(r, "@256^@64");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 223, 64);
    s = run(r, "@256^@-0.2"); // size below one pixel is raised to 1
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 255, 1);
    s = run(r, "@10^"); // size without a value: 1 pixel
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 9, 1);
}

TEST(SubsetPixels, OpenEndsRunToAxisLimits)
{
    rwc_struct r = image(2);
    Sel s = run(r, "@100:");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 99, 32768 - 99);
    s = run(r, ":@200");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 0, 200);
}

TEST(SubsetWorld, OneAxisWorldRangeConvertsThroughHeader)
{
    rwc_struct r = image(3);
    axis(r, 3, "VELO-LSR", 2.0, 100.0, 1.0);
    Sel s = run(r, ",,110.0:120.0");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 3, 5, 6);
    s = run(r, "@3,VELO-LSR110.0^4.0"); // size in world units / CDELT
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 2, 1);
    EXPECT_AXIS(s, 3, 4, 2); // centre 6, 2 pixels: 5 and 6
    r.cdelt[3] = 0.0; // only a hand-filled record: world values become 1.0
    s = run(r, ",,110.0");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 3, 0, 1);
}

TEST(SubsetWorld, PrefixNamesAxisByExactCtype)
{
    rwc_struct r = image(3);
    axis(r, 1, "SAMP", 1, 0, 1);
    axis(r, 2, "FREQ    ", 1, 0, 1);
    axis(r, 3, "VELO-LSR", 1, 0, 1);
    Sel s = run(r, "VELO-LSR10.5:20.5");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 3, 11, 11);
    EXPECT_AXIS(s, 1, 0, 32767);
    EXPECT_EQ(-1, run(r, "FREQ10.5").rc);     // blanks inside the quotes count
    EXPECT_EQ(-1, run(r, "WAVE10.5").rc);
    s = run(r, "@5,SAMP@7,@9"); // a later field replaces; next axis follows it
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 6, 1);
    EXPECT_AXIS(s, 2, 8, 1);
}

TEST(SubsetWorld, ValueKindsAmbiguousAndIllegal)
{
    rwc_struct r = image(2);
    EXPECT_EQ(-21, run(r, "100:200").rc);
    EXPECT_EQ(-21, run(r, "10.5:20").rc);
    EXPECT_EQ(-21, run(r, "10d").rc);
    EXPECT_EQ(-11, run(r, "10.5d").rc);
    EXPECT_EQ(-11, run(r, "@5 ").rc);       // nothing may follow the number
    EXPECT_EQ(-11, run(r, "@5^@2^x").rc);   // value 3 is still classified
    EXPECT_EQ(-22, run(r, "@1,5").rc);      // field 2 ambiguous
    EXPECT_EQ(-12, run(r, "@1,@5x").rc);    // field 2 malformed
    EXPECT_EQ(0, run(r, "@ 5").rc);         // leading blanks are allowed
    Sel s = run(r, "@5:10.0d");             // a 'd' value is read as degrees
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 4, 7);                // 5 .. 10 + CRPIX 1 - CRVAL 0 = 11
}

TEST(SubsetSky, BoxAroundEquatorialPosition)
{
    rwc_struct r = sky();
    Sel s = run(r, "r12h30m+45d^0.5");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 74, 50); // centre pixel 100, 0.5 / 0.01 = 50 pixels
    EXPECT_AXIS(s, 2, 74, 50);
    s = run(r, "r12h30m+45d");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 99, 1);
    EXPECT_AXIS(s, 2, 99, 1);
    s = run(r, "12h30m+45d:0.5d"); // no letter: hours imply equatorial
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 74, 50);
    s = run(r, "R12h30m+45d^0.5^0.2"); // value 3 sizes the latitude axis
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 74, 50);
    EXPECT_AXIS(s, 2, 89, 20);
    s = run(r, "r12h30m+45d^0d2m");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 98, 3);
    s = run(r, "r12h30m+45d^@7^@-3");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 96, 7);
    EXPECT_AXIS(s, 2, 98, 3);
}

TEST(SubsetSky, GalacticPositionIsConvertedBeforeProjection)
{
    rwc_struct r = sky();
    r.crval[1] = 190.0;
    r.crval[2] = 85.0;
    map_struct m;
    std::memset(&m, 0, sizeof m);
    ASSERT_EQ(0, map_set(&m, "RA---TAN", "DEC--TAN", -0.01, 0.01, 190.0, 85.0, 100, 100, 0, 0));
    double x = 0, y = 0;
    ASSERT_EQ(0, mapf(&m, 'g', 120.5, 30.2, &x, &y));
    Sel s = run(r, "g120.5+30.2");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, static_cast<int>(x - 0.5), 1);
    EXPECT_AXIS(s, 2, static_cast<int>(y - 0.5), 1);
}

TEST(SubsetSky, FieldAfterSkyPositionTakesAxisAfterLatitude)
{
    rwc_struct r = sky(3);
    Sel s = run(r, "r12h30m+45d,@5");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 3, 4, 1);
}

TEST(SubsetSky, RefusalsOfSkyFields)
{
    rwc_struct r = sky();
    EXPECT_EQ(-11, run(r, "120.5+30.2").rc);
    EXPECT_EQ(-21, run(r, "r12h30m+45d^2m").rc);
    EXPECT_EQ(-11, run(r, "r12h30m+45d^2.5m").rc);
    EXPECT_EQ(-3, run(r, "r12h30m").rc);
    EXPECT_EQ(-3, run(r, "r+45").rc);
    EXPECT_EQ(-21, run(r, "rx+45").rc); // "rx" is an axis name, not a letter

    rwc_struct mixed = sky();
    std::snprintf(mixed.ctype[2], sizeof mixed.ctype[2], "DEC--SIN");
    EXPECT_EQ(-2, run(mixed, "r12h30m+45d").rc);

    rwc_struct swapped = image(2); // latitude before longitude
    axis(swapped, 1, "DEC--TAN", 0.01, 45, 100);
    axis(swapped, 2, "RA---TAN", -0.01, 187.5, 100);
    EXPECT_EQ(-1, run(swapped, "r12h30m+45d").rc);
    rwc_struct plain = image(2);
    EXPECT_EQ(-1, run(plain, "g10+10").rc);
}

TEST(SubsetLimits, RecordAndArgumentsChecked)
{
    rwc_struct r = image(2);
    int skips[10], takes[10];
    EXPECT_EQ(-9, rwcf(nullptr, "@1", skips, takes));
    EXPECT_EQ(-9, rwcf(&r, nullptr, skips, takes));
    EXPECT_EQ(-9, rwcf(&r, "@1", nullptr, takes));
    EXPECT_EQ(-9, rwcf(&r, "@1", skips, nullptr));
    rwc_struct bad = r;
    bad.magic = 0;
    EXPECT_EQ(-9, run(bad, "@1").rc);
    bad = r;
    bad.n_axes = 10;
    EXPECT_EQ(-9, run(bad, "@1").rc);
    bad.n_axes = -1;
    EXPECT_EQ(-9, run(bad, "@1").rc);
    bad = r;
    std::memset(bad.ctype[2], 'X', sizeof bad.ctype[2]); // no terminator
    EXPECT_EQ(-9, run(bad, "@1").rc);
}

TEST(SubsetLimits, OverlongTextsAreRefusedNotCut)
{
    rwc_struct r = image(9);
    std::string t63, t64;
    for (int i = 0; i < 8; i++)
        t63 += "@12345,";
    t64 = t63 + "@1234567";
    t63 += "@123456";
    ASSERT_EQ(63u, t63.size());
    Sel s = run(r, t63.c_str());
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 9, 123455, 1);
    EXPECT_EQ(-10, run(r, t64.c_str()).rc);

    std::string field40 = "@1,@" + std::string(39, '1'); // field 2: 40 characters
    EXPECT_EQ(-12, run(r, field40.c_str()).rc);
    std::string field39 = "@1,@" + std::string(38, '1');
    EXPECT_EQ(0, run(r, field39.c_str()).rc);

    EXPECT_EQ(-11, run(r, "ABCDEFGHIJKLMNOP@5").rc); // prefix of 16 letters
    EXPECT_EQ(-1, run(r, "ABCDEFGHIJKLMNO@5").rc);   // 15 letters: names no axis

    EXPECT_EQ(-20, run(r, ",,,,,,,,,@5").rc);        // a tenth field
    s = run(r, ",,,,,,,,@5,");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 9, 4, 1);
}

TEST(SubsetLimits, NonFiniteValuesAreIllegal)
{
    rwc_struct r = image(2);
    EXPECT_EQ(-11, run(r, "@nan").rc);
    EXPECT_EQ(-11, run(r, "@inf:").rc);
    EXPECT_EQ(-11, run(r, "@-infinity").rc);
    EXPECT_EQ(-11, run(r, "1e999").rc);
    EXPECT_EQ(-11, run(r, "@1:@nan").rc);
    EXPECT_EQ(-11, run(r, "@1:1e999d").rc);
    EXPECT_EQ(-1, run(r, "nan").rc); // letters only: an axis name
    EXPECT_EQ(-21, run(r, "+nan").rc);
    EXPECT_EQ(-11, run(r, "@+nan").rc);
    r.crpix[1] = std::nan("");
    EXPECT_EQ(-11, run(r, "@+1").rc); // header value not finite
    r = image(2);
    r.cdelt[1] = 1e-320;
    EXPECT_EQ(-11, run(r, "1e300").rc); // world position overflows
}

TEST(SubsetLimits, HugePositionsClampWithoutOverflow)
{
    rwc_struct r = image(2);
    Sel s = run(r, "@-1e300:@1e300");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, -1000000000, 2000000000);
    s = run(r, "@1e300^@1e300");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 500000000, 1000000000);
    s = run(r, "@3e9");
    ASSERT_EQ(0, s.rc);
    EXPECT_AXIS(s, 1, 1000000000, 0);
}

TEST(SubsetLimits, NoAxesMeansEveryFieldFails)
{
    rwc_struct r = image(0);
    EXPECT_EQ(-1, run(r, "@5").rc);
    EXPECT_EQ(-1, run(r, ",").rc);
    Sel s = run(r, "");
    ASSERT_EQ(0, s.rc);
    EXPECT_EQ(0, s.takes[0]);
}

TEST(SubsetLimits, FailureLeavesTakesZeroAndTextUnchanged)
{
    rwc_struct r = sky();
    char text[] = "r12h30m+45d^0.5d^1d";
    int skips[10] = {0}, takes[10] = {0};
    takes[0] = -55;
    ASSERT_EQ(0, rwcf(&r, text, skips, takes));
    EXPECT_STREQ("r12h30m+45d^0.5d^1d", text);
    takes[0] = -55;
    EXPECT_EQ(-22, rwcf(&r, "@1,100", skips, takes));
    EXPECT_EQ(-55, takes[0]);
}

// ---- Through the header: rwc_fid and IM_setw1 ----

using testsup::drop_desc;

// A descriptor open for writing, made current, with the given cards added.
// Returns null when the keyword layer cannot store cards yet.
static fid_struct *descriptor_with(const char *const *cards)
{
    fid_struct *p = new_fid();
    p->magic = FID_MAGIC;
    p->mode = 2;
    p->val_scale = 1.0;
    f = p;
    for (int i = 0; cards[i] != nullptr; i++) {
        if (im_wkey_t(p->id, cards[i], "end") < 0) {
            drop_desc(p);
            return nullptr;
        }
    }
    return p;
}

static const char *const sky_cards[] = {
    "NAXIS   =                    3",
    "NAXIS1  =                  200",
    "NAXIS2  =                  200",
    "NAXIS3  =                   40",
    "CTYPE1  = 'RA---TAN'",
    "CTYPE2  = 'DEC--TAN'",
    "CTYPE3  = 'VELO'",
    "CDELT1  =                -0.01",
    "CDELT2  =                 0.01",
    "CDELT3  =                   0.",
    "CRVAL1  =                187.5",
    "CRVAL2  =                 45.0",
    "CRVAL3  =                 -12.5",
    "CRPIX1  =                100.0",
    "CRPIX2  =                100.0",
    "CROTA2  =                  0.0",
    nullptr};

TEST(SubsetHeader, RwcFidReadsKeywordsWithDefaults)
{
    fid_struct *p = descriptor_with(sky_cards);
    ASSERT_NE(nullptr, p);
    rwc_struct r;
    std::memset(&r, 0x5a, sizeof r);
    ASSERT_EQ(0, rwc_fid(&r, p->id));
    EXPECT_EQ(RWC_MAGIC, r.magic);
    EXPECT_EQ(3, r.n_axes);
    EXPECT_EQ(40, r.naxis[3]);
    EXPECT_STREQ("RA---TAN", r.ctype[1]);
    EXPECT_STREQ("VELO", r.ctype[3]);
    EXPECT_DOUBLE_EQ(-0.01, r.cdelt[1]);
    EXPECT_EQ(1.0, r.cdelt[3]); // 0 in the header
    EXPECT_DOUBLE_EQ(-12.5, r.crval[3]);
    EXPECT_EQ(1.0, r.crpix[3]); // absent
    EXPECT_EQ(0.0, r.crota[1]); // absent
    EXPECT_EQ(f, p);
    drop_desc(p);
}

TEST(SubsetHeader, RwcFidRefusesClosedHandleAndOversizedHeader)
{
    rwc_struct r;
    EXPECT_EQ(-9, rwc_fid(&r, 2147483000));
    EXPECT_STREQ("image handle 2147483000 is not open", im_errmsg());
    EXPECT_EQ(-9, rwc_fid(nullptr, 1));
    EXPECT_STREQ("no world-coordinate record to fill", im_errmsg());

    // The card store keeps NAXIS within 0..9; a card edited behind its back
    // stands for a header that holds more axes than the record.
    static const char *const one_axis[] = {"NAXIS   =                    1", nullptr};
    fid_struct *p = descriptor_with(one_axis);
    ASSERT_NE(nullptr, p);
    ASSERT_NE(nullptr, p->first_header);
    std::snprintf(p->first_header->text, sizeof p->first_header->text, "%-8s= %20d", "NAXIS", 10);
    EXPECT_EQ(-8, rwc_fid(&r, p->id));
    EXPECT_NE(RWC_MAGIC, r.magic);
    EXPECT_STREQ("NAXIS is 10: subsets handle images of 0 to 9 axes", im_errmsg());
    drop_desc(p);

    static const char *const no_naxis[] = {"OBJECT  = 'M31'", nullptr};
    p = descriptor_with(no_naxis);
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(0, rwc_fid(&r, p->id));
    EXPECT_EQ(0, r.n_axes);
    int skips[10], takes[10];
    EXPECT_EQ(-1, rwcf(&r, "@1", skips, takes));
    drop_desc(p);
}

TEST(SubsetHeader, SetW1TranslatesDescriptorSubsetText)
{
    int skips[10] = {0}, takes[10] = {0};
    EXPECT_EQ(-4, IM_setw1(nullptr, skips, takes));
    EXPECT_EQ(0, takes[0]);

    fid_struct *p = descriptor_with(sky_cards);
    ASSERT_NE(nullptr, p);
    takes[0] = 9;
    EXPECT_EQ(0, IM_setw1(p, skips, takes)); // no subset text: whole image
    EXPECT_EQ(0, takes[0]);

    std::snprintf(p->subset_text, sizeof p->subset_text, "r12h30m+45d^0.5,-12.5");
    ASSERT_EQ(0, IM_setw1(p, skips, takes));
    EXPECT_EQ(3, takes[0]);
    EXPECT_EQ(74, skips[1]);
    EXPECT_EQ(50, takes[1]);
    EXPECT_EQ(74, skips[2]);
    EXPECT_EQ(50, takes[2]);
    EXPECT_EQ(0, skips[3]); // CRVAL3 at CRPIX3 1
    EXPECT_EQ(1, takes[3]);

    std::snprintf(p->subset_text, sizeof p->subset_text, "100:200");
    EXPECT_EQ(-4, IM_setw1(p, skips, takes));
    EXPECT_EQ(0, takes[0]);
    std::snprintf(p->subset_text, sizeof p->subset_text, "@1,@1,@1,@1");
    EXPECT_EQ(-4, IM_setw1(p, skips, takes));
    drop_desc(p);
}

// ---- Through im_open: the subset after the comma becomes window 1 ----

// A 200 x 100 FITS image of 16-bit pixels whose value is its index
// (line * 200 + sample), on an RA/DEC gnomonic grid centred on pixel
// (100, 50) at 12h30m +45d with 0.01 degree pixels.
static std::string write_sky_fits()
{
    std::string path = std::string(HELPER_DIR) + "/subset_sky.fits";
    const std::vector<std::string> cards = {
        "SIMPLE  =                    T", "BITPIX  =                   16",
        "NAXIS   =                    2", "NAXIS1  =                  200",
        "NAXIS2  =                  100", "CTYPE1  = 'RA---TAN'",
        "CTYPE2  = 'DEC--TAN'",           "CDELT1  =                -0.01",
        "CDELT2  =                 0.01", "CRVAL1  =                187.5",
        "CRVAL2  =                 45.0", "CRPIX1  =                100.0",
        "CRPIX2  =                 50.0", "END"};
    const std::string hdr = testsup::fits_records(cards, false);
    std::string data(((200 * 100 * 2 + 2879) / 2880) * 2880, '\0');
    for (int i = 0; i < 200 * 100; i++) {
        data[2 * i] = static_cast<char>((i >> 8) & 0xff); // big-endian
        data[2 * i + 1] = static_cast<char>(i & 0xff);
    }
    FILE *fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr)
        return "";
    std::fwrite(hdr.data(), 1, hdr.size(), fp);
    std::fwrite(data.data(), 1, data.size(), fp);
    std::fclose(fp);
    return path;
}

TEST(SubsetOpen, PixelAndSkySubsetsSelectWindow)
{
    std::string path = write_sky_fits();
    ASSERT_FALSE(path.empty());
    struct {
        const char *subset;
        int naxis1, naxis2, first;
    } cases[] = {
        {",@10:20,@5", 11, 1, 4 * 200 + 9},
        {",r12h30m+45d^0.1", 10, 10, 44 * 200 + 94}, // 10-pixel box on (100, 50)
        {",g0+0", 0, 0, 0}, // far off the image: opens, selects nothing usable
    };
    for (const auto &c : cases) {
        std::string name = path + c.subset;
        int id = im_open(name.c_str(), "read");
        ASSERT_GT(id, 0) << name;
        int n1 = -1, n2 = -1;
        EXPECT_GE(im_rkey_i(id, &n1, "NAXIS1"), 0);
        EXPECT_GE(im_rkey_i(id, &n2, "NAXIS2"), 0);
        if (c.naxis1 > 0) {
            EXPECT_EQ(c.naxis1, n1) << name;
            EXPECT_EQ(c.naxis2, n2) << name;
            short pix[2] = {0, 0};
            EXPECT_EQ(2, im_rpix_s(id, pix, 2)) << name;
            EXPECT_EQ(c.first, pix[0]) << name;
        }
        EXPECT_EQ(0, im_close(id));
    }
    std::string bad = path + ",100:200";
    EXPECT_EQ(-4, im_open(bad.c_str(), "read"));
}

// ---- World-coordinate matrices: PCi_j and CDi_j read by rwc_fid ----

static const double deg = 0.017453292519943295;

static std::string num_card(const std::string &key, double v)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, "%-8s= %20.14G", key.c_str(), v);
    return buf;
}

static std::string text_card(const std::string &key, const std::string &v)
{
    char buf[81];
    std::snprintf(buf, sizeof buf, "%-8s= '%s'", key.c_str(), v.c_str());
    return buf;
}

// The cards of a 400 x 300 image (with a third axis VELO-LSR of 20 planes
// when n_axes is 3) whose first two axes are c1 and c2, reference pixel
// (200.5, 150.5) at (187.5, 45); matrix cards follow.
static std::vector<std::string> wcs_header(const char *c1 = "RA---TAN", const char *c2 = "DEC--TAN",
                                           int n_axes = 2)
{
    std::vector<std::string> h = {num_card("NAXIS", n_axes), num_card("NAXIS1", 400),
                                  num_card("NAXIS2", 300),   text_card("CTYPE1", c1),
                                  text_card("CTYPE2", c2),   num_card("CRVAL1", 187.5),
                                  num_card("CRVAL2", 45.0),  num_card("CRPIX1", 200.5),
                                  num_card("CRPIX2", 150.5)};
    if (n_axes == 3) {
        h.push_back(num_card("NAXIS3", 20));
        h.push_back(text_card("CTYPE3", "VELO-LSR"));
        h.push_back(num_card("CRVAL3", 1000.0));
        h.push_back(num_card("CRPIX3", 1.0));
    }
    return h;
}

// The CD cards of [[c1 cos t, -c2 sin t], [c1 sin t, c2 cos t]], the matrix
// that CDELT1 = c1, CDELT2 = c2, CROTA2 = t (degrees) stand for; the
// second column turned by a further skew degrees.
static std::vector<std::string> cd_cards(double c1, double c2, double t, double skew = 0.0)
{
    double t2 = t + skew;
    return {num_card("CD1_1", c1 * std::cos(t * deg)), num_card("CD1_2", -c2 * std::sin(t2 * deg)),
            num_card("CD2_1", c1 * std::sin(t * deg)), num_card("CD2_2", c2 * std::cos(t2 * deg))};
}

static std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// rwc_fid's record of a header made of cards; rc receives rwc_fid's code
// (expected 0 when rc is null).
static rwc_struct record_of(const std::vector<std::string> &cards, int *rc = nullptr)
{
    rwc_struct r;
    std::memset(&r, 0, sizeof r);
    std::vector<const char *> texts;
    for (const std::string &c : cards)
        texts.push_back(c.c_str());
    texts.push_back(nullptr);
    fid_struct *p = descriptor_with(texts.data());
    if (p == nullptr) {
        ADD_FAILURE() << "the card store refused the header";
        return r;
    }
    int code = rwc_fid(&r, p->id);
    if (rc != nullptr)
        *rc = code;
    else
        EXPECT_EQ(0, code);
    drop_desc(p);
    return r;
}

TEST(SubsetMatrix, MatrixWithoutSkewBecomesCdeltAndCrota)
{
    const double c20 = std::cos(-20 * deg), s20 = std::sin(-20 * deg);
    struct {
        const char *what;
        std::vector<std::string> cards;
        double cdelt1, cdelt2, crota;
        rwc_lin_kind kind;
    } cases[] = {
        {"CD diagonal", {num_card("CD1_1", -0.01), num_card("CD2_2", 0.01)}, -0.01, 0.01, 0,
         RWC_LIN_CD},
        {"CD turned 30 degrees", cd_cards(-0.01, 0.01, 30), -0.01, 0.01, 30, RWC_LIN_CD},
        {"CD turned -150: scales turn round", cd_cards(-0.01, 0.01, -150), 0.01, -0.01, 30,
         RWC_LIN_CD},
        {"CD mirrored (east right), turned 135", cd_cards(0.01, 0.01, 135), -0.01, -0.01, -45,
         RWC_LIN_CD},
        {"CD mirrored in y", {num_card("CD1_1", -0.01), num_card("CD2_2", -0.02)}, -0.01, -0.02,
         0, RWC_LIN_CD},
        {"CD quarter turn",
         {num_card("CD1_2", -0.01), num_card("CD2_1", -0.01), num_card("CD1_1", 0.0)}, -0.01,
         0.01, 90, RWC_LIN_CD},
        {"CD wins over CDELT and CROTA",
         {num_card("CD1_1", -0.002), num_card("CD2_2", 0.002), num_card("CDELT1", -1.0),
          num_card("CDELT2", 1.0), num_card("CROTA2", 10.0)},
         -0.002, 0.002, 0, RWC_LIN_CD},
        {"CD skewed within the tolerance: mean rotation",
         cd_cards(-0.01, 0.01, 30, 0.005), -0.01, 0.01, 30.0025, RWC_LIN_CD},
        {"PC with CDELT, CROTA ignored",
         {num_card("CDELT1", -0.01), num_card("CDELT2", 0.01), num_card("PC1_1", c20),
          num_card("PC1_2", s20), num_card("PC2_1", -s20), num_card("PC2_2", c20),
          num_card("CROTA2", 5.0)},
         -0.01, 0.01, -20, RWC_LIN_PC},
        {"PC entries missing are the identity's",
         {num_card("CDELT1", -0.01), num_card("CDELT2", 0.01), num_card("PC1_2", 0.0)}, -0.01,
         0.01, 0, RWC_LIN_PC},
        {"PC without CDELT scales by 1",
         {num_card("PC1_1", -0.5), num_card("PC2_2", 0.25)}, -0.5, 0.25, 0, RWC_LIN_PC},
        {"PC wins over CD",
         {num_card("CDELT1", -0.01), num_card("CDELT2", 0.01), num_card("PC1_1", 2.0),
          num_card("CD1_1", -0.5), num_card("CD2_2", 0.5)},
         -0.02, 0.01, 0, RWC_LIN_PC},
        {"no matrix: CDELT and CROTA as written",
         {num_card("CDELT1", -0.01), num_card("CDELT2", 0.01), num_card("CROTA1", 7.0),
          num_card("CROTA2", 7.0)},
         -0.01, 0.01, 7, RWC_LIN_CDELT},
    };
    for (const auto &c : cases) {
        rwc_struct r = record_of(wcs_header() + c.cards);
        EXPECT_EQ(c.kind, r.lin_kind) << c.what;
        EXPECT_EQ(RWC_AXIS_OK, r.axis_state[1]) << c.what;
        EXPECT_EQ(RWC_AXIS_OK, r.axis_state[2]) << c.what;
        EXPECT_NEAR(c.cdelt1, r.cdelt[1], 1e-15) << c.what;
        EXPECT_NEAR(c.cdelt2, r.cdelt[2], 1e-15) << c.what;
        EXPECT_NEAR(c.crota, r.crota[2], 1e-9) << c.what;
        EXPECT_EQ(r.crota[1], r.crota[2]) << c.what;
    }
    // A diagonal matrix gives the header's numbers exactly, so its boxes are
    // those of the same header written with CDELT.
    rwc_struct d = record_of(wcs_header() + cases[0].cards);
    EXPECT_EQ(-0.01, d.cdelt[1]);
    EXPECT_EQ(0.01, d.cdelt[2]);
    EXPECT_EQ(0.0, d.crota[1]);
    EXPECT_FALSE(std::signbit(d.crota[2]));
}

// The record's CDELT and CROTA put back into a matrix give the header's
// matrix: the form is the one the mapping uses, for every quadrant.
TEST(SubsetMatrix, CdeltAndCrotaReproduceTheMatrix)
{
    for (double t = -180; t < 180; t += 22.5) {
        for (double c1 : {-0.01, 0.003}) {
            for (double c2 : {0.01, -0.004}) {
                std::vector<std::string> cd = cd_cards(c1, c2, t);
                rwc_struct r = record_of(wcs_header() + cd);
                ASSERT_EQ(RWC_AXIS_OK, r.axis_state[1]) << t << " " << c1 << " " << c2;
                double a = r.cdelt[1], b = r.cdelt[2], u = r.crota[2] * deg;
                EXPECT_GT(r.crota[2], -90.0);
                EXPECT_LE(r.crota[2], 90.0);
                double m[4] = {a * std::cos(u), -b * std::sin(u), a * std::sin(u), b * std::cos(u)};
                double want[4] = {c1 * std::cos(t * deg), -c2 * std::sin(t * deg),
                                  c1 * std::sin(t * deg), c2 * std::cos(t * deg)};
                for (int k = 0; k < 4; k++) {
                    EXPECT_NEAR(want[k], m[k], 1e-13) << t << " " << c1 << " " << c2 << " " << k;
                }
            }
        }
    }
}

TEST(SubsetMatrix, MatrixWithoutThatFormMarksAxes)
{
    struct {
        const char *what;
        std::vector<std::string> cards;
        int n_axes;
        rwc_axis_state state[4];
        int other[4];
    } cases[] = {
        {"skewed by 0.8 degrees", cd_cards(-0.01, 0.01, 30, 0.8), 2,
         {RWC_AXIS_OK, RWC_AXIS_SKEWED, RWC_AXIS_SKEWED}, {0, 2, 1}},
        {"skewed just past the tolerance", cd_cards(-0.01, 0.01, 30, 0.006), 2,
         {RWC_AXIS_OK, RWC_AXIS_SKEWED, RWC_AXIS_SKEWED}, {0, 2, 1}},
        {"parallel columns",
         {num_card("CD1_1", -0.01), num_card("CD1_2", -0.01), num_card("CD2_1", 0.01),
          num_card("CD2_2", 0.01)},
         2, {RWC_AXIS_OK, RWC_AXIS_SINGULAR, RWC_AXIS_SINGULAR}, {0, 2, 1}},
        {"a zero column", {num_card("CD1_1", -0.01), num_card("CD2_1", 0.01)}, 2,
         {RWC_AXIS_OK, RWC_AXIS_SINGULAR, RWC_AXIS_SINGULAR}, {0, 2, 1}},
        {"CD for one axis only", {num_card("CD1_1", -0.01)}, 2,
         {RWC_AXIS_OK, RWC_AXIS_SINGULAR, RWC_AXIS_SINGULAR}, {0, 2, 1}},
        {"PC with CDELT2 = 0",
         {num_card("PC1_1", 1.0), num_card("CDELT1", -0.01), num_card("CDELT2", 0.0)}, 2,
         {RWC_AXIS_OK, RWC_AXIS_SINGULAR, RWC_AXIS_SINGULAR}, {0, 2, 1}},
        {"a value that is no number",
         {num_card("CD1_1", -0.01), text_card("CD1_2", "abc"), num_card("CD2_2", 0.01)}, 2,
         {RWC_AXIS_OK, RWC_AXIS_NOT_FINITE, RWC_AXIS_OK}, {0, 2, 0}},
        {"cube: velocity row mixes in axis 1",
         cd_cards(-0.01, 0.01, 0) + std::vector<std::string>{num_card("CD3_3", 2.0),
                                                             num_card("CD3_1", 1e-3)},
         3, {RWC_AXIS_OK, RWC_AXIS_OK, RWC_AXIS_OK, RWC_AXIS_MIXED}, {0, 0, 0, 1}},
        {"cube: longitude row mixes in axis 3",
         cd_cards(-0.01, 0.01, 0) + std::vector<std::string>{num_card("CD3_3", 2.0),
                                                             num_card("CD1_3", 1e-3)},
         3, {RWC_AXIS_OK, RWC_AXIS_MIXED, RWC_AXIS_OK, RWC_AXIS_OK}, {0, 3, 0, 0}},
        {"cube: no CD3_3, no scale on axis 3",
         cd_cards(-0.01, 0.01, 10) + std::vector<std::string>{num_card("CDELT3", 2.0)}, 3,
         {RWC_AXIS_OK, RWC_AXIS_OK, RWC_AXIS_OK, RWC_AXIS_SINGULAR}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        rwc_struct r = record_of(wcs_header("RA---TAN", "DEC--TAN", c.n_axes) + c.cards);
        for (int a = 1; a <= c.n_axes; a++) {
            EXPECT_EQ(c.state[a], r.axis_state[a]) << c.what << ", axis " << a;
            EXPECT_EQ(c.other[a], r.other_axis[a]) << c.what << ", axis " << a;
        }
    }
    rwc_struct r = record_of(wcs_header() + cd_cards(-0.01, 0.01, 30, 0.8));
    EXPECT_NEAR(0.8, r.skew[1], 1e-9);
    rwc_struct cube = record_of(wcs_header("RA---TAN", "DEC--TAN", 3) + cd_cards(-0.01, 0.01, 0) +
                                std::vector<std::string>{num_card("CD3_3", 2.5)});
    EXPECT_EQ(2.5, cube.cdelt[3]); // a diagonal entry is that axis's scale
    EXPECT_EQ(RWC_AXIS_OK, cube.axis_state[3]);
}

// Plain images (no celestial axis): a term between the two axes spoils the
// row it stands in.
TEST(SubsetMatrix, CouplingOfPlainAxesSpoilsItsRow)
{
    rwc_struct r = record_of(wcs_header("X", "Y") +
                             std::vector<std::string>{num_card("CD1_1", 2.0),
                                                      num_card("CD1_2", 0.5),
                                                      num_card("CD2_2", 3.0)});
    EXPECT_EQ(RWC_AXIS_MIXED, r.axis_state[1]);
    EXPECT_EQ(2, r.other_axis[1]);
    EXPECT_EQ(RWC_AXIS_OK, r.axis_state[2]);
    EXPECT_EQ(3.0, r.cdelt[2]);
    EXPECT_EQ(0.0, r.crota[2]);
}

TEST(SubsetMatrix, LongCtypeIsKeptWhole)
{
    const std::string longest = "VELO" + std::string(64, '-'); // 68 characters
    std::vector<std::string> h = wcs_header("RA---TAN-SIP", "DEC--TAN-SIP", 3);
    h[h.size() - 3] = text_card("CTYPE3", longest);
    ASSERT_EQ(80u, h[h.size() - 3].size());
    rwc_struct r = record_of(h + cd_cards(-0.01, 0.01, 0));
    EXPECT_STREQ("RA---TAN-SIP", r.ctype[1]);
    EXPECT_STREQ("DEC--TAN-SIP", r.ctype[2]);
    EXPECT_EQ(longest, r.ctype[3]);
    Sel s = run(r, "r12h30m+45d^0.5,@2:4");
    ASSERT_EQ(0, s.rc) << im_errmsg();
    EXPECT_AXIS(s, 1, 175, 50);
    EXPECT_AXIS(s, 2, 125, 50);
    EXPECT_AXIS(s, 3, 1, 3);
}

// ---- Reasons: every refusal names the field and says why ----

TEST(SubsetReasons, EveryRefusalNamesFieldAndWhy)
{
    rwc_struct plain = image(2);
    rwc_struct nine = image(9);
    rwc_struct named = image(3);
    axis(named, 1, "SAMP", 1, 0, 1);
    axis(named, 2, "FREQ    ", 1, 0, 1);
    axis(named, 3, "VELO-LSR", 1, 0, 1);
    rwc_struct skyr = sky();
    rwc_struct mixed = sky();
    axis(mixed, 2, "DEC--SIN", 0.01, 45.0, 100.0);
    rwc_struct swapped = image(2);
    axis(swapped, 1, "DEC--TAN", 0.01, 45, 100);
    axis(swapped, 2, "RA---TAN", -0.01, 187.5, 100);
    rwc_struct ait = image(2);
    axis(ait, 1, "GLON-AIT", -0.5, 0, 360.5);
    axis(ait, 2, "GLAT-AIT", 0.5, 10, 180.5);
    rwc_struct turned = sky();
    turned.crota[1] = 5.0;
    rwc_struct car = image(2);
    axis(car, 1, "RA---CAR", -0.01, 187.5, 100);
    axis(car, 2, "DEC--CAR", 0.01, 45, 100);
    rwc_struct linear_zea = image(2); // a linear longitude with a ZEA latitude
    axis(linear_zea, 1, "RA", -0.01, 187.5, 100);
    axis(linear_zea, 2, "DEC--ZEA", 0.01, 45, 100);
    rwc_struct not_finite = image(2);
    not_finite.crpix[1] = std::nan("");
    rwc_struct unfilled = image(2);
    unfilled.magic = 0;

    rwc_struct skewed = record_of(wcs_header() + cd_cards(-0.01, 0.01, 30, 0.8));
    rwc_struct zea = record_of(wcs_header("RA---ZEA", "DEC--ZEA") + cd_cards(-0.01, 0.01, 0));
    rwc_struct singular = record_of(wcs_header() + std::vector<std::string>{
                                        num_card("CD1_1", -0.01), num_card("CD1_2", -0.01),
                                        num_card("CD2_1", 0.01), num_card("CD2_2", 0.01)});
    rwc_struct no_number = record_of(wcs_header() + std::vector<std::string>{
                                         num_card("CD1_1", -0.01), text_card("CD1_2", "abc"),
                                         num_card("CD2_2", 0.01)});
    rwc_struct pc_no_number = record_of(wcs_header() + std::vector<std::string>{
                                            num_card("PC1_1", 1.0), text_card("CDELT1", "x")});
    rwc_struct cube_mixed = record_of(wcs_header("RA---TAN", "DEC--TAN", 3) + cd_cards(-0.01, 0.01, 0) +
                                      std::vector<std::string>{num_card("CD3_3", 2.0),
                                                               num_card("CD3_1", 1e-3)});
    rwc_struct cube_no_scale = record_of(wcs_header("RA---TAN", "DEC--TAN", 3) +
                                         cd_cards(-0.01, 0.01, 0));

    const std::string long_text(64, '@');
    struct {
        rwc_struct *r;
        std::string text;
        int code;
        const char *reason; // the whole reason, or a part of it after "..."
    } cases[] = {
        {&unfilled, "@1", -9, "the world-coordinate record was not filled by rwc_fid"},
        {&plain, long_text, -10, "subset text is longer than 63 characters"},
        {&plain, "@1,@5x", -12, "field 2 ('@5x'): value 1 ('@5x') is malformed"},
        {&plain, "@5^@2^x", -11, "field 1 ('@5^@2^x'): value 3 ('x') is malformed"},
        {&plain, "@5-3", -11, "field 1 ('@5-3'): value 1 ('@5-3') is malformed"},
        {&skyr, "120.5+30.2", -11, "...a sky position in degrees needs a system letter e, g or r in front"},
        {&nine, ",,,,,,,,,@5", -20, "field 10: more than 9 fields"},
        {&plain, "@1,@" + std::string(39, '1'), -12, "field 2 is longer than 39 characters"},
        {&plain, "ABCDEFGHIJKLMNOP@5", -11,
         "field 1 ('ABCDEFGHIJKLMNOP@5'): axis name longer than 15 characters"},
        {&not_finite, "@+1", -11, "field 1 ('@+1'): the position is not a finite number of pixels"},
        {&plain, "100:200", -21,
         "field 1 ('100:200'): ambiguous number '100' (write @100 for a pixel or 100.0 for a world "
         "value)"},
        {&plain, "10.5:20", -21, "...ambiguous number '20' (write @20 for a pixel"},
        {&skyr, "r12h30m+45d^2m", -21, "...ambiguous number '2m' (mark a pixel value with @"},
        {&named, "WAVE10.5", -1,
         "field 1 ('WAVE10.5'): no axis named WAVE (the axes are named 'SAMP', 'FREQ    ', "
         "'VELO-LSR')"},
        {&named, "@1,@1,@1,@1", -1, "field 4 ('@1'): no axis 4: the image has 3"},
        {&plain, "g10+10", -1, "...a sky position needs a longitude axis"},
        {&swapped, "r12h30m+45d", -1,
         "...needs a latitude axis (DEC, GLAT or ELAT) after axis 2 ('RA---TAN')"},
        {&mixed, "r12h30m+45d", -2,
         "field 1 ('r12h30m+45d'): axes 1 ('RA---TAN') and 2 ('DEC--SIN') have different "
         "projections"},
        {&ait, "g10+0", -2, "...CRVAL2 is 10, but projection -AIT needs a reference latitude of 0"},
        {&turned, "r12h30m+45d", -2, "...CROTA1 (5) is not 0 and differs from CROTA2 (0)"},
        {&skyr, "r12h30m", -3, "...no latitude after the longitude in 'r12h30m'"},
        {&skyr, "r.+45", -3, "...the longitude of 'r.+45' is malformed"},
        {&skyr, "r12h30m+x", -3, "...the latitude of 'r12h30m+x' is malformed"},
        {&skyr, "12.5+45h", -3, "...'12.5+45h' names no coordinate system"},
        {&skewed, "r12h30m+45d^0.5", -4,
         "field 1 ('r12h30m+45d^0.5'): CD matrix of axes 1 and 2 is skewed by 0.8 degrees (at "
         "most 0.00573 is taken as a rotation); only pixel fields (@) can be used"},
        {&skewed, "187.5:187.6", -4, "...is skewed by 0.8 degrees"},
        {&skewed, "@5,45.0", -4, "...field 2 ('45.0'): CD matrix of axes 2 and 1 is skewed"},
        {&singular, "r12h30m+45d", -5, "...CD matrix of axes 1 and 2 is singular"},
        {&cube_no_scale, ",,1000.0:1010.0", -5,
         "field 3 ('1000.0:1010.0'): CD matrix gives axis 3 no scale (its diagonal entry is 0); "
         "only pixel fields (@) can be used"},
        {&no_number, "r12h30m+45d", -5, "...CD1_2 is not a finite number"},
        {&no_number, "@1,45.0", -5, "...CD1_2 is not a finite number"},
        {&pc_no_number, "187.5", -5, "...PC1_1 or CDELT1 is not a finite number"},
        {&cube_mixed, ",,^4.0", -6,
         "field 3 ('^4.0'): CD matrix couples axis 3 with axis 1 (CD3_1 is not 0); only pixel "
         "fields (@) can be used"},
        {&zea, "r12h30m+45d^0.5", -7,
         "field 1 ('r12h30m+45d^0.5'): unknown projection ZEA of axis 1 ('RA---ZEA'); only AIT, "
         "TAN, SIN, ARC, POL and linear axes take world values, pixel fields (@) work on any"},
        {&zea, "187.5:187.6", -7, "...unknown projection ZEA of axis 1"},
        {&car, "g120+30", -7, "...unknown projection CAR of axis 1 ('RA---CAR')"},
        {&car, "@1,45.0", -7, "...unknown projection CAR of axis 2 ('DEC--CAR')"},
        {&linear_zea, "r12h30m+45d", -7, "...unknown projection ZEA of axis 2 ('DEC--ZEA')"},
    };
    for (const auto &c : cases) {
        Sel s = run(*c.r, c.text.c_str());
        EXPECT_EQ(c.code, s.rc) << c.text;
        std::string reason = im_errmsg();
        std::string want = c.reason;
        if (want.compare(0, 3, "...") == 0) {
            EXPECT_NE(std::string::npos, reason.find(want.substr(3))) << c.text << ": " << reason;
            EXPECT_EQ(0u, reason.find(c.code == -10 || c.code == -9 ? "" : "field ")) << reason;
        } else {
            EXPECT_EQ(want, reason) << c.text;
        }
    }

    // Pixel fields work on every image whose world values are refused.
    for (rwc_struct *r : {&skewed, &zea, &singular, &no_number, &pc_no_number, &cube_mixed,
                          &cube_no_scale, &car, &linear_zea}) {
        Sel s = run(*r, "@10:20,@5");
        ASSERT_EQ(0, s.rc) << r->ctype[1] << ": " << im_errmsg();
        EXPECT_AXIS(s, 1, 9, 11);
        EXPECT_AXIS(s, 2, 4, 1);
        EXPECT_STREQ("", im_errmsg()); // rwcf clears the reason on entry
    }
}

// What stays usable next to a refused axis: a clean velocity row beside a
// coupled one, a linear axis named like no celestial one.
TEST(SubsetReasons, UsableAxesBesideRefusedOnesKeepWorking)
{
    rwc_struct cube = record_of(wcs_header("RA---ZEA", "DEC--ZEA", 3) + cd_cards(-0.01, 0.01, 0) +
                                std::vector<std::string>{num_card("CD3_3", 2.5)});
    Sel s = run(cube, ",,1000.0:1010.0"); // VELO-LSR is linear: positions 1 to 5
    ASSERT_EQ(0, s.rc) << im_errmsg();
    EXPECT_AXIS(s, 3, 0, 5);
    s = run(cube, "VELO-LSR1005.0^5.0"); // centre 3, 2 pixels
    ASSERT_EQ(0, s.rc) << im_errmsg();
    EXPECT_AXIS(s, 3, 1, 2);

    // Row 1 couples with axis 3, row 3 is clean: axis 3 keeps its world values.
    rwc_struct lon_mixed = record_of(wcs_header("RA---TAN", "DEC--TAN", 3) +
                                     cd_cards(-0.01, 0.01, 0) +
                                     std::vector<std::string>{num_card("CD3_3", 2.5),
                                                              num_card("CD1_3", 1e-3)});
    s = run(lon_mixed, ",,1000.0:1010.0");
    ASSERT_EQ(0, s.rc) << im_errmsg();
    EXPECT_AXIS(s, 3, 0, 5);
    EXPECT_EQ(-6, run(lon_mixed, "r12h30m+45d").rc);
    EXPECT_EQ(-6, run(lon_mixed, "@1,45.0").rc); // the pair shares row 1's coupling
}

// ---- Through im_open: matrix headers, long CTYPE values and refusals ----

// A 200 x 100 FITS image of 16-bit pixels whose value is its index, with
// the given world-coordinate cards (NAXIS cards come first); its path.
static std::string write_wcs_fits(const std::string &name, const std::vector<std::string> &wcs)
{
    std::string path = std::string(HELPER_DIR) + "/" + name;
    std::vector<std::string> cards = {"SIMPLE  =                    T", "BITPIX  =                   16",
                                      "NAXIS   =                    2", "NAXIS1  =                  200",
                                      "NAXIS2  =                  100"};
    cards = cards + wcs;
    cards.push_back("END");
    const std::string hdr = testsup::fits_records(cards, false);
    std::string data(((200 * 100 * 2 + 2879) / 2880) * 2880, '\0');
    for (int i = 0; i < 200 * 100; i++) {
        data[2 * i] = static_cast<char>((i >> 8) & 0xff);
        data[2 * i + 1] = static_cast<char>(i & 0xff);
    }
    testsup::write_file(path, hdr + data);
    return path;
}

// The window an open with subset text selects: NAXIS1, NAXIS2 and the first
// pixel (its index in the whole image); {-code} when the open fails.
static std::vector<int> window_of(const std::string &name)
{
    int id = im_open(name.c_str(), "read");
    if (id < 0)
        return {id};
    int n1 = -1, n2 = -1;
    short pix = -1;
    im_rkey_i(id, &n1, "NAXIS1");
    im_rkey_i(id, &n2, "NAXIS2");
    if (n1 > 0 && n2 > 0)
        im_rpix_s(id, &pix, 1);
    im_close(id);
    return {n1, n2, pix};
}

TEST(SubsetOpen, MatrixHeadersSelectTheWindowsOfTheirCdeltForm)
{
    const std::vector<std::string> frame = {
        "CTYPE1  = 'GLON-TAN'",           "CTYPE2  = 'GLAT-TAN'",
        "CRVAL1  =                120.0", "CRVAL2  =                 30.0",
        "CRPIX1  =                100.0", "CRPIX2  =                 50.0"};
    const double c = std::cos(30 * deg), s = std::sin(30 * deg);
    std::string cdelt = write_wcs_fits("subset_cdelt.fits",
                                       frame + std::vector<std::string>{
                                                   num_card("CDELT1", -0.01), num_card("CDELT2", 0.01),
                                                   num_card("CROTA2", 30.0)});
    std::string cd = write_wcs_fits("subset_cd.fits",
                                    frame + std::vector<std::string>{
                                                num_card("CD1_1", -0.01 * c), num_card("CD1_2", -0.01 * s),
                                                num_card("CD2_1", -0.01 * s), num_card("CD2_2", 0.01 * c)});
    std::string pc = write_wcs_fits("subset_pc.fits",
                                    frame + std::vector<std::string>{
                                                num_card("CDELT1", -0.01), num_card("CDELT2", 0.01),
                                                num_card("PC1_1", c), num_card("PC1_2", s),
                                                num_card("PC2_1", -s), num_card("PC2_2", c)});
    for (const char *subset : {",g120.3+30.1^0.2", ",g119.5+29.8^0.3^0.1", ",g120.05+29.9",
                               ",@20:40,@10"}) {
        std::vector<int> want = window_of(cdelt + subset);
        ASSERT_EQ(3u, want.size()) << subset << ": " << im_errmsg();
        EXPECT_GT(want[0], 0) << subset;
        EXPECT_EQ(want, window_of(cd + subset)) << subset;
        EXPECT_EQ(want, window_of(pc + subset)) << subset;
    }
}

TEST(SubsetOpen, RefusedSubsetsFailWithTheirReason)
{
    const std::vector<std::string> frame = {
        "CRVAL1  =                187.5", "CRVAL2  =                 45.0",
        "CRPIX1  =                100.0", "CRPIX2  =                 50.0"};
    std::string skewed = write_wcs_fits(
        "subset_skewed.fits",
        std::vector<std::string>{"CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'"} + frame +
            cd_cards(-0.01, 0.01, 30, 0.8));
    std::string zea = write_wcs_fits(
        "subset_zea.fits",
        std::vector<std::string>{"CTYPE1  = 'RA---ZEA'", "CTYPE2  = 'DEC--ZEA'"} + frame +
            cd_cards(-0.01, 0.01, 0));
    struct {
        std::string name;
        const char *reason;
    } cases[] = {
        {skewed + ",r12h30m+45d^0.5",
         "subset refused: field 1 ('r12h30m+45d^0.5'): CD matrix of axes 1 and 2 is skewed by 0.8 "
         "degrees (at most 0.00573 is taken as a rotation); only pixel fields (@) can be used"},
        {zea + ",@3,45.0",
         "subset refused: field 2 ('45.0'): unknown projection ZEA of axis 2 ('DEC--ZEA'); only "
         "AIT, TAN, SIN, ARC, POL and linear axes take world values, pixel fields (@) work on any"},
        {zea + "," + std::string(64, '@'), "subset refused: the subset text is longer than 63 characters"},
        {zea + ",100:200",
         "subset refused: field 1 ('100:200'): ambiguous number '100' (write @100 for a pixel or "
         "100.0 for a world value)"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(-4, im_open(c.name.c_str(), "read")) << c.name;
        EXPECT_STREQ(c.reason, im_errmsg()) << c.name;
    }
    for (const std::string &path : {skewed, zea}) {
        std::vector<int> w = window_of(path + ",@10:20,@5");
        EXPECT_EQ((std::vector<int>{11, 1, 4 * 200 + 9}), w) << path;
        EXPECT_STREQ("", im_errmsg());
    }
}

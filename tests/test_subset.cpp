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
    EXPECT_EQ(-9, rwc_fid(nullptr, 1));

    static const char *const long_ctype[] = {"NAXIS   =                    1",
                                             "CTYPE1  = 'RA---TAN-SIP1'", nullptr};
    fid_struct *p = descriptor_with(long_ctype);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(-8, rwc_fid(&r, p->id));
    EXPECT_NE(RWC_MAGIC, r.magic);
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

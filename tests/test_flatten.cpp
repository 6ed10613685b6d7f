/* test_flatten: the plane fit and its subtraction, the 3x3 solver, the row
 * pointers, and the tool's image geometry routines. */
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <limits>

#include "im.h"
#include "test_support.h"
#include "tool.h"

namespace {

struct Plane {
    double a, b, c;
};

/* Independent least squares: normal equations of Z = a + b*x + c*y over the
 * given (x, y, z) triples, solved by Gaussian elimination with partial
 * pivoting. */
Plane reference_fit(const std::vector<int32_t> &pts, const std::vector<float> &img, int samples)
{
    double m[3][4] = {};
    for (size_t i = 0; i + 1 < pts.size(); i += 2) {
        double x = pts[i], y = pts[i + 1];
        double z = img[static_cast<size_t>(samples) * (pts[i + 1] - 1) + (pts[i] - 1)];
        const double row[3] = {1.0, x, y};
        for (int r = 0; r < 3; r++) {
            for (int c = 0; c < 3; c++)
                m[r][c] += row[r] * row[c];
            m[r][3] += row[r] * z;
        }
    }
    for (int col = 0; col < 3; col++) {
        int piv = col;
        for (int r = col + 1; r < 3; r++)
            if (std::fabs(m[r][col]) > std::fabs(m[piv][col]))
                piv = r;
        for (int c = 0; c < 4; c++)
            std::swap(m[col][c], m[piv][c]);
        for (int r = 0; r < 3; r++) {
            if (r == col)
                continue;
            double k = m[r][col] / m[col][col];
            for (int c = col; c < 4; c++)
                m[r][c] -= k * m[col][c];
        }
    }
    return Plane{m[0][3] / m[0][0], m[1][3] / m[1][1], m[2][3] / m[2][2]};
}

/* A tilted plane with a small deterministic ripple, so that a fit is not
 * exact and the least-squares choice matters. */
std::vector<float> make_image(int samples, int lines)
{
    std::vector<float> img(static_cast<size_t>(samples) * lines);
    for (int l = 1; l <= lines; l++)
        for (int s = 1; s <= samples; s++)
            img[static_cast<size_t>(samples) * (l - 1) + (s - 1)] =
                static_cast<float>(100.0 + 0.75 * s - 1.25 * l + 3.0 * std::sin(0.7 * s * l));
    return img;
}

float blank_value()
{
    float b;
    im_blank(&b);
    return b;
}

/* Every non-blank pixel equals its original minus the given plane. */
void expect_subtracted(const std::vector<float> &before, const std::vector<float> &after,
                       int samples, const Plane &p, double tol)
{
    for (size_t i = 0; i < after.size(); i++) {
        int s = static_cast<int>(i % samples) + 1;
        int l = static_cast<int>(i / samples) + 1;
        if (std::isnan(before[i])) {
            EXPECT_TRUE(std::isnan(after[i])) << "pixel " << i;
            continue;
        }
        double want = before[i] - (p.a + s * p.b + l * p.c);
        ASSERT_NEAR(after[i], want, tol) << "pixel (" << s << ", " << l << ")";
    }
}

} // namespace

TEST(PlaneFit, MatchesIndependentLeastSquares)
{
    const int S = 23, L = 17;
    std::vector<float> img = make_image(S, L);
    const std::vector<float> orig = img;
    std::vector<int32_t> pts = {2, 3, 20, 2, 11, 9, 5, 15, 22, 16, 14, 4, 7, 7, 18, 12};
    Plane want = reference_fit(pts, orig, S);
    debug = 0;
    ASSERT_EQ(0, flatten(img.data(), S, L, pts.data(), static_cast<int>(pts.size() / 2),
                         blank_value()));
    expect_subtracted(orig, img, S, want, 1e-4);
}

TEST(PlaneFit, PerfectPlaneThroughThreePointsLeavesZero)
{
    const int S = 40, L = 30;
    std::vector<float> img(S * L);
    for (int l = 1; l <= L; l++)
        for (int s = 1; s <= S; s++)
            img[S * (l - 1) + (s - 1)] = static_cast<float>(12.5 + 0.5 * s + 2.0 * l);
    std::vector<int32_t> pts = {1, 1, 40, 2, 5, 30};
    ASSERT_EQ(0, flatten(img.data(), S, L, pts.data(), 3, blank_value()));
    for (float v : img)
        ASSERT_NEAR(v, 0.0f, 1e-4);
}

TEST(PlaneFit, PointsOutsideTheImageDoNotCount)
{
    const int S = 10, L = 8;
    std::vector<float> img = make_image(S, L);
    /* Two usable points plus four just outside: too few, the fit fails. */
    std::vector<int32_t> outside = {2, 2, 5, 7, S + 1, 1, 1, L + 1, 0, 3, 3, 0};
    std::vector<float> copy = img;
    EXPECT_EQ(-1, flatten(copy.data(), S, L, outside.data(), 6, blank_value()));
    /* The far corner (samples, lines) is inside and makes the third point. */
    std::vector<int32_t> corner = {2, 2, 5, 7, S + 1, 1, S, L, 1, L + 1};
    const std::vector<float> orig = img;
    std::vector<int32_t> used = {2, 2, 5, 7, S, L};
    Plane want = reference_fit(used, orig, S);
    ASSERT_EQ(0, flatten(img.data(), S, L, corner.data(), 5, blank_value()));
    expect_subtracted(orig, img, S, want, 1e-4);
}

TEST(PlaneFit, DuplicatePointCountsTwice)
{
    const int S = 16, L = 12;
    std::vector<float> img = make_image(S, L);
    const std::vector<float> orig = img;
    std::vector<int32_t> pts = {1, 1, 16, 1, 8, 12, 3, 9, 3, 9, 3, 9};
    Plane with = reference_fit(pts, orig, S);
    std::vector<int32_t> once(pts.begin(), pts.begin() + 8);
    Plane without = reference_fit(once, orig, S);
    ASSERT_GT(std::fabs(with.a - without.a), 1e-3);   /* the weighting shows */
    ASSERT_EQ(0, flatten(img.data(), S, L, pts.data(), 6, blank_value()));
    expect_subtracted(orig, img, S, with, 1e-4);
}

TEST(PlaneFit, CollinearOrTooFewPointsFailAndLeavePixelsAlone)
{
    const int S = 9, L = 9;
    std::vector<float> img = make_image(S, L);
    const std::vector<float> orig = img;
    std::vector<int32_t> diagonal = {1, 1, 4, 4, 9, 9, 6, 6};
    EXPECT_EQ(-1, flatten(img.data(), S, L, diagonal.data(), 4, blank_value()));
    std::vector<int32_t> row = {1, 5, 3, 5, 8, 5};
    EXPECT_EQ(-1, flatten(img.data(), S, L, row.data(), 3, blank_value()));
    EXPECT_EQ(-1, flatten(img.data(), S, L, nullptr, 0, blank_value()));
    EXPECT_EQ(0, std::memcmp(orig.data(), img.data(), orig.size() * sizeof(float)));
}

TEST(PlaneFit, BlankReferencePixelIsLeftOutNotSpreadEverywhere)
{
    const int S = 12, L = 10;
    std::vector<float> img = make_image(S, L);
    img[S * (4 - 1) + (6 - 1)] = blank_value();          /* pixel (6, 4) */
    const std::vector<float> orig = img;
    std::vector<int32_t> pts = {1, 1, 12, 2, 6, 4, 3, 10, 11, 9};
    std::vector<int32_t> good = {1, 1, 12, 2, 3, 10, 11, 9};
    Plane want = reference_fit(good, orig, S);
    ASSERT_EQ(0, flatten(img.data(), S, L, pts.data(), 5, blank_value()));
    int nans = 0;
    for (float v : img)
        nans += std::isnan(v) ? 1 : 0;
    EXPECT_EQ(1, nans);
    expect_subtracted(orig, img, S, want, 1e-4);
}

TEST(PlaneFit, InfiniteReferencePixelIsLeftOutToo)
{
    // An overflowed pixel (e.g. an integer image with a huge BSCALE) under a
    // reference point must not turn the plane, and every pixel, into NaN.
    const int S = 12, L = 10;
    std::vector<float> img = make_image(S, L);
    img[S * (4 - 1) + (6 - 1)] = -std::numeric_limits<float>::infinity();
    const std::vector<float> orig = img;
    std::vector<int32_t> pts = {1, 1, 12, 2, 6, 4, 3, 10, 11, 9};
    std::vector<int32_t> good = {1, 1, 12, 2, 3, 10, 11, 9};
    Plane want = reference_fit(good, orig, S);
    ASSERT_EQ(0, flatten(img.data(), S, L, pts.data(), 5, blank_value()));
    EXPECT_TRUE(std::isinf(img[S * (4 - 1) + (6 - 1)]));
    img[S * (4 - 1) + (6 - 1)] = 0.0f;
    std::vector<float> finite_orig = orig;
    finite_orig[S * (4 - 1) + (6 - 1)] = static_cast<float>(want.a + 6 * want.b + 4 * want.c);
    expect_subtracted(finite_orig, img, S, want, 1e-4);
}

TEST(PlaneFit, NonNanBlankValueIsKeptAndNotFitted)
{
    const int S = 8, L = 6;
    std::vector<float> img(S * L);
    for (int l = 1; l <= L; l++)
        for (int s = 1; s <= S; s++)
            img[S * (l - 1) + (s - 1)] = static_cast<float>(1.0 + s + 10.0 * l);
    img[S * 2 + 3] = -999.0f;                              /* pixel (4, 3) */
    std::vector<int32_t> pts = {4, 3, 1, 1, 8, 1, 1, 6};
    ASSERT_EQ(0, flatten(img.data(), S, L, pts.data(), 4, -999.0));
    for (int i = 0; i < S * L; i++) {
        if (i == S * 2 + 3)
            EXPECT_EQ(-999.0f, img[i]);
        else
            ASSERT_NEAR(img[i], 0.0f, 1e-4) << i;
    }
}

TEST(PlaneFit, Debug14EchoesPointsAndExits)
{
    GTEST_FLAG_SET(death_test_style, testsup::death_test_style());
    std::vector<float> img(4 * 4, 1.0f);
    std::vector<int32_t> pts = {1, 2, 3, 4};
    EXPECT_EXIT(
        {
            debug = 14;
            flatten(img.data(), 4, 4, pts.data(), 2, blank_value());
        },
        testing::ExitedWithCode(14),
        "Interpreted inputs in flatten:\nNumber of reference points = 2\n"
        "Point   X    Y \n---------------\n   0    1    2\n   1    3    4\n"
        "Terminating on Debug mode = 14\n");
}

namespace {

uint32_t bits_of(float v)
{
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u;
}

/* Plain scalar range of the finite pixels, independent of the order keys:
 * -0 counts as below +0; nothing finite leaves found 0 (lo FLT_MAX, hi
 * -FLT_MAX). */
pixel_range reference_range(const std::vector<float> &px)
{
    pixel_range r{FLT_MAX, -FLT_MAX, 0};
    for (float v : px) {
        if (!std::isfinite(v))
            continue;
        bool above = v > r.hi || (v == r.hi && std::signbit(r.hi) && !std::signbit(v));
        bool below = v < r.lo || (v == r.lo && !std::signbit(r.lo) && std::signbit(v));
        if (!r.found || above)
            r.hi = v;
        if (!r.found || below)
            r.lo = v;
        r.found = 1;
    }
    return r;
}

void expect_same_range(const pixel_range &want, const pixel_range &got, const std::string &what)
{
    EXPECT_EQ(want.found, got.found) << what;
    EXPECT_EQ(bits_of(want.hi), bits_of(got.hi)) << what << " hi " << want.hi << " " << got.hi;
    EXPECT_EQ(bits_of(want.lo), bits_of(got.lo)) << what << " lo " << want.lo << " " << got.lo;
}

} // namespace

/* The range flatten finds while subtracting is bit for bit the range a
 * separate scan of the final buffer gives, over random buffers full of
 * NaN, infinities, signed zeros, huge and tiny values and blank pixels,
 * with widths beyond the piece size of the subtraction. */
TEST(PlaneFit, RangeFoundWhileSubtractingMatchesAScanOfTheResult)
{
    std::mt19937 rng(20240611);
    const float specials[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 3.0e38f, -3.0e38f,
                              FLT_MAX, -FLT_MAX, 1e-45f, -1e-45f, FLT_MIN, -999.0f};
    const double blanks[] = {static_cast<double>(blank_value()), -999.0, 0.0, -0.0};
    const int shapes[][2] = {{1, 2}, {3, 1}, {17, 5}, {64, 9}, {4099, 3}, {8200, 2}};
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_real_distribution<float> val(-50.0f, 50.0f);
    int runs = 0, fitted = 0;
    for (const auto &shape : shapes) {
        const int S = shape[0], L = shape[1];
        for (double blank : blanks) {
            for (int trial = 0; trial < 6; trial++) {
                std::vector<float> img(static_cast<size_t>(S) * L);
                int special_share = trial * 15;               /* 0 .. 75 % */
                for (float &v : img) {
                    int p = pick(rng);
                    if (p < special_share)
                        v = specials[p % (sizeof specials / sizeof specials[0])];
                    else if (p % 7 == 0)
                        v = val(rng) * 1e-30f;            /* may cancel to a signed zero */
                    else
                        v = val(rng);
                }
                /* Reference points spread over the image (some repeated, so
                 * thin images still have three usable points now and then). */
                std::vector<int32_t> pts;
                for (int i = 0; i < 12; i++) {
                    pts.push_back(1 + static_cast<int>(rng() % S));
                    pts.push_back(1 + static_cast<int>(rng() % L));
                }
                std::string what = std::to_string(S) + "x" + std::to_string(L) + " blank " +
                                   std::to_string(blank) + " trial " + std::to_string(trial);
                pixel_range got{1.0f, 2.0f, 7};
                const pixel_range untouched = got;
                std::vector<float> plain = img;
                int rc = flatten(img.data(), S, L, pts.data(), 12, blank, &got);
                runs++;
                /* The range changes nothing about the subtraction itself. */
                EXPECT_EQ(rc, flatten(plain.data(), S, L, pts.data(), 12, blank)) << what;
                ASSERT_EQ(0, std::memcmp(img.data(), plain.data(), img.size() * sizeof(float)))
                    << what;
                if (rc != 0) {
                    expect_same_range(untouched, got, what + " (fit failed)");
                    continue;
                }
                fitted++;
                expect_same_range(reference_range(img), got, what);
                pixel_range scanned{0.0f, 0.0f, -1};
                scan_range(img.data(), static_cast<int>(img.size()), &scanned);
                expect_same_range(scanned, got, what + " (scan_range)");
            }
        }
    }
    EXPECT_EQ(144, runs);
    EXPECT_GT(fitted, 80);                     /* most trials got past the fit */
}

/* Zeros of both signs at the extreme: +0 is the maximum, -0 the minimum,
 * wherever they lie in the buffer, so the header never depends on the
 * order of the scan. */
TEST(PlaneFit, SignedZeroExtremesDoNotDependOnPosition)
{
    for (int at = 0; at < 40; at++) {
        std::vector<float> px(40, -0.0f);
        px[at] = 0.0f;
        pixel_range r{};
        scan_range(px.data(), 40, &r);
        EXPECT_EQ(1, r.found);
        EXPECT_EQ(bits_of(0.0f), bits_of(r.hi)) << at;
        EXPECT_EQ(bits_of(-0.0f), bits_of(r.lo)) << at;
        for (float &v : px)
            v = 0.0f;
        px[at] = -0.0f;
        scan_range(px.data(), 40, &r);
        EXPECT_EQ(bits_of(0.0f), bits_of(r.hi)) << at;
        EXPECT_EQ(bits_of(-0.0f), bits_of(r.lo)) << at;
    }
    std::vector<float> none = {NAN, INFINITY, -INFINITY};
    pixel_range r{0.0f, 0.0f, 1};
    scan_range(none.data(), 3, &r);
    EXPECT_EQ(0, r.found);
    EXPECT_EQ(FLT_MAX, r.lo);
    EXPECT_EQ(-FLT_MAX, r.hi);
    scan_range(none.data(), 0, &r);
    EXPECT_EQ(0, r.found);
}

/* The range pass's bounds: range_block must leave exactly the keys that
 * subtracting every pixel gives, for any block cut, plane and blank, with
 * zeros of both signs at the extreme in different segments of a line
 * (a segment whose bound only ties the extreme must still be looked at). */
TEST(PlaneFit, RangeByBoundedSegmentsEqualsTheFullSubtraction)
{
    std::mt19937 rng(20261208);
    const float specials[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 3.0e38f, -3.0e38f,
                              FLT_MAX, -FLT_MAX, 1e-45f};
    const double planes[][3] = {{0.0, 0.0, 0.0}, {10.0, 0.5, -0.25}, {-3.0, -1e-3, 2.0},
                                {1e30, 1e28, -1e29}, {0.0, 1e-40, 0.0}};
    const int shapes[][2] = {{3000, 4}, {1024, 3}, {7, 50}, {2049, 2}};
    const double blanks[] = {static_cast<double>(blank_value()), -999.0};
    int cases = 0;
    for (const auto &shape : shapes) {
        const int S = shape[0], L = shape[1];
        for (const auto &abc : planes) {
            for (double blank : blanks) {
                for (int kind = 0; kind < 4; kind++) {
                    std::vector<float> img(static_cast<size_t>(S) * L);
                    for (size_t i = 0; i < img.size(); i++) {
                        const unsigned p = rng() % 100;
                        if (kind == 0)          /* zeros of both signs, negatives */
                            img[i] = p < 3 ? 0.0f : p < 50 ? -0.0f : -static_cast<float>(p);
                        else if (kind == 1)     /* the specials among noise */
                            img[i] = p < 10 ? specials[p] : static_cast<float>(p) - 50.0f;
                        else if (kind == 2)     /* mostly NaN */
                            img[i] = p < 95 ? NAN : static_cast<float>(p);
                        else
                            img[i] = p == 0 ? -999.0f : static_cast<float>(p) * 0.01f;
                    }
                    std::vector<float> whole = img;
                    uint32_t want[2] = {RANGE_NO_HI, RANGE_NO_LO};
                    subtract_block(whole.data(), int64_t(whole.size()), 0, S, abc,
                                   static_cast<float>(blank), want);
                    const int64_t block = 1 + int64_t(rng() % (3 * S));
                    uint32_t got[2] = {RANGE_NO_HI, RANGE_NO_LO};
                    for (int64_t at = 0; at < int64_t(img.size()); at += block) {
                        const int64_t n = std::min<int64_t>(block, int64_t(img.size()) - at);
                        range_block(img.data() + at, n, at, S, abc, static_cast<float>(blank),
                                    got);
                    }
                    const std::string what = std::to_string(S) + "x" + std::to_string(L) +
                                             " kind " + std::to_string(kind) + " block " +
                                             std::to_string(block) + " a " +
                                             std::to_string(abc[0]);
                    EXPECT_EQ(want[0], got[0]) << what;
                    EXPECT_EQ(want[1], got[1]) << what;
                    cases++;
                }
            }
        }
    }
    EXPECT_EQ(160, cases);
    /* One line, +0 only in its third segment, -0 before: the maximum is +0. */
    std::vector<float> line(3000, -1.0f);
    line[5] = -0.0f;
    line[2500] = 0.0f;
    const double zero[3] = {0.0, 0.0, 0.0};
    uint32_t keys[2] = {RANGE_NO_HI, RANGE_NO_LO};
    range_block(line.data(), 3000, 0, 3000, zero, static_cast<float>(blank_value()), keys);
    EXPECT_EQ(bits_of(0.0f), bits_of(range_key_value(keys[0])));
}

TEST(Solver, SolvesKnownSystem)
{
    const double m[9] = {2, 1, -1, -3, -1, 2, -2, 1, 2};
    const double b[3] = {8, -11, -3};
    double x[3] = {0, 0, 0};
    ASSERT_EQ(0, solvlin(m, 3, b, x));
    EXPECT_NEAR(x[0], 2.0, 1e-12);
    EXPECT_NEAR(x[1], 3.0, 1e-12);
    EXPECT_NEAR(x[2], -1.0, 1e-12);
}

TEST(Solver, RefusesOtherSizesAndSingularMatrices)
{
    const double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};      /* rows linearly dependent */
    const double b[3] = {1, 2, 3};
    double x[3] = {42, 42, 42};
    EXPECT_EQ(-1, solvlin(m, 2, b, x));
    EXPECT_EQ(-1, solvlin(m, 4, b, x));
    EXPECT_EQ(-10, solvlin(m, 3, b, x));
    EXPECT_EQ(42.0, x[0]);
}

TEST(Solver, DeterminantBySarrus)
{
    const double id[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(1.0, det3(id));
    const double m[9] = {6, 1, 1, 4, -2, 5, 2, 8, 7};
    EXPECT_NEAR(det3(m), -306.0, 1e-12);
    /* Exactly singular integer matrices give exactly 0. */
    const double s[9] = {1, 2, 3, 2, 4, 6, 5, 1, 7};
    EXPECT_EQ(0.0, det3(s));
}

TEST(Solver, DeterminantIsExactAndTheSameOnEveryHost)
{
    /* Nearly singular matrices (third row about 0.3 x first + 0.7 x second)
     * lose nine digits to cancellation; the expected values are their exact
     * determinants rounded to double, computed with Python's fractions. */
    const struct {
        double m[9];
        double det;
    } cases[] = {
        {{-352334.4703336753, -698301.6521509961, 301868.9460797075, -855127.4266649145,
          71764.00861337851, -268622.1661748289, -704289.5406495448, -159255.6896010624,
          -97474.83342347667}, 423829141.6029564},
        {{-132708.6326752283, -860289.1528507621, -818573.9733122699, -150961.62171497208,
          653704.249344076, -752396.0777007088, -145485.72555657104, 199506.22894049098,
          -772249.4454887592}, -842396947.7705866},
        {{154205.89723499725, -206639.0506984397, 952510.2111858402, -906834.6387644875,
          716936.9180973591, -420781.4273366475, -588522.4786761318, 439864.12669420394,
          -8793.936162937573}, 1064112412.2081773},
        {{632252.7182400627, -638547.240152125, 163200.32732493244, 277826.9378523682,
          -255204.91454853758, 95488.93141911575, 384154.67109425453, -370207.6131104115,
          115802.34960277818}, 20698112.786629908},
        {{360799.9463635718, -144815.38866119424, -371705.659246417, 171123.72701527737,
          -93631.24725844932, -400466.0062726353, 228026.59340852464, -108986.48928128391,
          -391837.90267657675}, 50449735.74341087},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.det, det3(c.m));

    /* The normal matrix of 1000 collinear points (line = 2 sample + 1, far
     * from the origin) is exactly singular; its products pass 2^53, where a
     * rounded evaluation leaves a nonzero determinant. */
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
    for (int x = 30000; x < 31000; x++) {
        double y = 2.0 * x + 1.0;
        n += 1;
        sx += x;
        sy += y;
        sxx += double(x) * x;
        sxy += x * y;
        syy += y * y;
    }
    const double normal[9] = {n, sx, sy, sx, sxx, sxy, sy, sxy, syy};
    EXPECT_EQ(0.0, det3(normal));
    const double rhs[3] = {1, 2, 3};
    double x[3] = {42, 42, 42};
    EXPECT_EQ(-10, solvlin(normal, 3, rhs, x));
}

TEST(RowPointers, PointAtConsecutivePairs)
{
    const int32_t pts[6] = {10, 20, 11, 21, 12, 22};
    const int32_t **rows = nullptr;
    mk2darray(pts, 2, 3, &rows);
    ASSERT_NE(nullptr, rows);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(pts + 2 * i, rows[i]);
        EXPECT_EQ(10 + i, rows[i][0]);
        EXPECT_EQ(20 + i, rows[i][1]);
    }
    free(rows);
}

TEST(Geometry, LengthsSkipUnitAxesAndPadWithOne)
{
    static image_info info;
    info.n_axes = 3;
    info.naxis[0] = 1;
    info.naxis[1] = 40;
    info.naxis[2] = 30;
    int out[4] = {0, 0, 0, 0};
    nlengths(&info, out, 2);
    EXPECT_EQ(40, out[0]);
    EXPECT_EQ(30, out[1]);
    nlengths(&info, out, 4);
    EXPECT_EQ(1, out[2]);
    EXPECT_EQ(1, out[3]);
    info.naxis[0] = 5;
    nlengths(&info, out, 2);                               /* stops after k */
    EXPECT_EQ(5, out[0]);
    EXPECT_EQ(40, out[1]);
    info.n_axes = 0;
    nlengths(&info, out, 2);
    EXPECT_EQ(1, out[0]);
    EXPECT_EQ(1, out[1]);
}

namespace {

/* A new image opened for writing whose header holds the given axes. */
int image_with_axes(const std::vector<int> &axes)
{
    int id = im_open("geometry_unused.fits", "write");
    EXPECT_GT(id, 0);
    EXPECT_GE(im_wkey_i(id, 16, "BITPIX"), 0);
    EXPECT_GE(im_wkey_i(id, static_cast<int>(axes.size()), "NAXIS"), 0);
    for (size_t i = 0; i < axes.size(); i++) {
        std::string key = "NAXIS" + std::to_string(i + 1);
        EXPECT_GE(im_wkey_i(id, axes[i], key.c_str()), 0);
    }
    return id;
}

/* A descriptor whose cards are linked by hand, bypassing the keyword rules
 * of the card store, so that headers the store would refuse can reach the
 * geometry query. */
int image_with_raw_cards(const std::vector<std::string> &cards, int naxis_mirror)
{
    static std::vector<header_struct> nodes;
    nodes.assign(cards.size(), header_struct{});
    fid_struct *p = new_fid();
    for (size_t i = 0; i < cards.size(); i++) {
        std::snprintf(nodes[i].text, sizeof nodes[i].text, "%s", cards[i].c_str());
        nodes[i].prev = i > 0 ? &nodes[i - 1] : nullptr;
        nodes[i].next = i + 1 < cards.size() ? &nodes[i + 1] : nullptr;
    }
    p->first_header = &nodes.front();
    p->last_header = &nodes.back();
    p->n_headers = static_cast<int>(cards.size());
    p->val_naxis[0] = naxis_mirror;
    p->mode = 1;
    p->val_scale = 1.0;
    p->magic = FID_MAGIC;
    return p->id;
}

} // namespace

TEST(Geometry, ThirdAxisOfLengthOneCountsOnce)
{
    image_info info{};
    info.handle = image_with_axes({30, 20, 1});
    EXPECT_EQ(2, getimaginfo(&info));
    EXPECT_EQ(3, info.n_axes);
    EXPECT_EQ(600, info.n_pixels);
    EXPECT_TRUE(std::isnan(info.blank));
    int len[2];
    nlengths(&info, len, 2);
    EXPECT_EQ(30, len[0]);
    EXPECT_EQ(20, len[1]);
    EXPECT_EQ(0, im_file(info.handle, "d")); // a scratch image, discarded
    std::remove("geometry_unused.fits");
}

TEST(Geometry, CountsOnlyAxesLongerThanOne)
{
    struct Case {
        std::vector<int> axes;
        int longer;
        int n_pixels;
    };
    const Case cases[] = {{{1, 40, 30}, 2, 1200}, {{25}, 1, 25}, {{}, 0, 1},
                          {{4, 5, 6}, 3, 120}, {{7, 0}, 1, 0}};
    for (const Case &c : cases) {
        image_info info{};
        info.handle = image_with_axes(c.axes);
        EXPECT_EQ(c.longer, getimaginfo(&info)) << c.axes.size();
        EXPECT_EQ(static_cast<int>(c.axes.size()), info.n_axes);
        EXPECT_EQ(c.n_pixels, info.n_pixels);
        EXPECT_EQ(0, im_file(info.handle, "d")); // a scratch image, discarded
        std::remove("geometry_unused.fits");
    }
}

TEST(GeometryDeath, UnusableHeadersAreRefused)
{
    GTEST_FLAG_SET(death_test_style, testsup::death_test_style());
    EXPECT_EXIT(
        {
            image_info info{};
            info.handle = image_with_raw_cards({"BITPIX  =                   16"}, 0);
            getimaginfo(&info);
        },
        testing::ExitedWithCode(255), "^Error getting imageinfo\n$");
    EXPECT_EXIT(
        {
            image_info info{};
            info.handle = image_with_raw_cards({"NAXIS   =                 1003"}, 0);
            getimaginfo(&info);
        },
        testing::ExitedWithCode(255), "NAXIS must be 0 to 1002");
    EXPECT_EXIT(
        {
            image_info info{};
            info.handle = image_with_raw_cards({"NAXIS   =                   -1"}, 0);
            getimaginfo(&info);
        },
        testing::ExitedWithCode(255), "NAXIS must be 0 to 1002");
    EXPECT_EXIT(
        {
            image_info info{};
            info.handle = image_with_raw_cards({"NAXIS   =                    2",
                                                "NAXIS1  =                70000",
                                                "NAXIS2  =                70000"},
                                               2);
            getimaginfo(&info);
        },
        testing::ExitedWithCode(255), "Image too large");
    EXPECT_EXIT(
        {
            image_info info{};
            info.handle = image_with_raw_cards({"NAXIS   =                    2",
                                                "NAXIS1  =                   10",
                                                "NAXIS2  =                   -3"},
                                               2);
            getimaginfo(&info);
        },
        testing::ExitedWithCode(255), "negative axis length");
}

/* test_clip: rejection of outlying reference points by iterative clipping,
 * and the fit report written from the result. */
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool.h"

namespace {

/* A small generator of its own, so that every host draws the same noise:
 * 64-bit LCG, Gaussian values by Box-Muller. */
struct Noise {
    uint64_t s;
    double uniform()
    {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(s >> 11) + 0.5) / 9007199254740992.0;
    }
    double gauss()
    {
        const double u = uniform(), v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }
};

/* Reference points on a grid over a samples x lines image, the pixel under
 * each (plane + Gaussian noise of sigma), and bright sources added under
 * the points listed in sources. */
struct Field {
    int samples, lines;
    double abc[3];
    std::vector<int32_t> points;
    std::vector<float> values;
};

Field make_field(uint64_t seed, double sigma, const std::vector<int> &sources, double bright)
{
    Field f{400, 300, {1000.0, 0.35, -0.6}, {}, {}};
    Noise noise{seed};
    for (int y = 10; y <= 290; y += 40)
        for (int x = 15; x <= 390; x += 75) {
            f.points.push_back(x);
            f.points.push_back(y);
            f.values.push_back(
                static_cast<float>(plane_at(f.abc, x, y) + sigma * noise.gauss()));
        }
    for (int i : sources)
        f.values[i] += static_cast<float>(bright);
    return f;
}

int count_of(const Field &f)
{
    return static_cast<int>(f.values.size());
}

/* The largest difference between two planes over the image's corners. */
double plane_error(const double a[3], const double b[3], int samples, int lines)
{
    double worst = 0.0;
    const int32_t xs[4] = {1, samples, 1, samples}, ys[4] = {1, 1, lines, lines};
    for (int c = 0; c < 4; c++)
        worst = std::fmax(worst, std::fabs(plane_at(a, xs[c], ys[c]) - plane_at(b, xs[c], ys[c])));
    return worst;
}

/* fit_plane over the field, then clip_plane; states and result out. */
int fit_and_clip(const Field &f, double k, int rounds, std::vector<unsigned char> *state,
                 double plain[3], double clipped[3], clip_result *result)
{
    debug = 0;
    const int n = count_of(f);
    if (fit_plane(f.values.data(), f.samples, f.lines, f.points.data(), n, NAN, plain) != 0)
        return -100;
    state->assign(static_cast<size_t>(n), 0);
    classify_points(f.values.data(), f.samples, f.lines, f.points.data(), n, NAN,
                    state->data());
    std::memcpy(clipped, plain, 3 * sizeof(double));
    return clip_plane(f.values.data(), f.points.data(), n, k, rounds, state->data(), clipped,
                      result);
}

std::vector<int> rejected_points(const std::vector<unsigned char> &state)
{
    std::vector<int> out;
    for (size_t i = 0; i < state.size(); i++)
        if (state[i] == Point_rejected)
            out.push_back(static_cast<int>(i));
    return out;
}

} // namespace

TEST(Clip, RecoversThePlaneWhereThePlainFitDoesNot)
{
    /* Sources under some points: bright ones, a dark one, a group in one
     * corner; each case at noise sigma 1. */
    struct Case {
        const char *what;
        std::vector<int> sources;
        double bright;
    } cases[] = {
        {"three bright stars", {3, 17, 30}, 400.0},
        {"one deep cold pixel", {12}, -900.0},
        {"a group in a corner", {0, 1, 5, 6}, 150.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Field f = make_field(7, 1.0, c.sources, c.bright);
        std::vector<unsigned char> state;
        double plain[3], clipped[3];
        clip_result r;
        ASSERT_EQ(0, fit_and_clip(f, 3.0, 10, &state, plain, clipped, &r));
        EXPECT_GT(plane_error(plain, f.abc, f.samples, f.lines), 10.0);
        /* 48 points of sigma 1: the plane is known to well under 2 at the
         * corners once the sources are out. */
        EXPECT_LT(plane_error(clipped, f.abc, f.samples, f.lines), 2.0);
        EXPECT_EQ(c.sources, rejected_points(state));
        EXPECT_EQ(static_cast<int>(c.sources.size()), r.rejected);
        EXPECT_FALSE(r.floor_reached);
        EXPECT_NEAR(r.scale, 1.0, 0.4);
    }
}

TEST(Clip, WithoutOutliersTheClippedFitIsThePlainFitBitForBit)
{
    /* Gaussian noise only; with K = 8 no point lies beyond the limit. */
    for (uint64_t seed : {1u, 2u, 3u}) {
        const Field f = make_field(seed, 2.5, {}, 0.0);
        std::vector<unsigned char> state;
        double plain[3], clipped[3];
        clip_result r;
        ASSERT_EQ(0, fit_and_clip(f, 8.0, 10, &state, plain, clipped, &r));
        EXPECT_EQ(0, std::memcmp(plain, clipped, sizeof plain)) << "seed " << seed;
        EXPECT_EQ(0, r.rejected);
        EXPECT_EQ(0, r.rounds);
        /* And fit_subset over every usable point gives those bits too. */
        double again[3];
        ASSERT_EQ(0, fit_subset(f.values.data(), f.points.data(), count_of(f), state.data(),
                                again));
        EXPECT_EQ(0, std::memcmp(plain, again, sizeof plain));
    }
}

TEST(Clip, NeverLeavesFewerThanThreePointsOffOneLine)
{
    /* Ten points on line 5 follow the plane; two on line 20 sit 1000 above
     * and below it.  Rejecting those two would leave points on one line
     * only: the plain fit is kept and the floor reported. */
    Field f{50, 30, {10.0, 1.0, 2.0}, {}, {}};
    Noise noise{11};
    for (int x = 1; x <= 10; x++) {
        f.points.insert(f.points.end(), {x, 5});
        f.values.push_back(static_cast<float>(plane_at(f.abc, x, 5) + 0.1 * noise.gauss()));
    }
    f.points.insert(f.points.end(), {3, 20, 7, 20});
    f.values.push_back(static_cast<float>(plane_at(f.abc, 3, 20) + 1000.0));
    f.values.push_back(static_cast<float>(plane_at(f.abc, 7, 20) - 1000.0));
    std::vector<unsigned char> state;
    double plain[3], clipped[3];
    clip_result r;
    ASSERT_EQ(0, fit_and_clip(f, 3.0, 10, &state, plain, clipped, &r));
    EXPECT_TRUE(r.floor_reached);
    EXPECT_EQ(0, r.rejected);
    EXPECT_EQ(0, std::memcmp(plain, clipped, sizeof plain));
    EXPECT_TRUE(rejected_points(state).empty());
}

TEST(Clip, ZeroScaleRejectsNothing)
{
    /* Values exactly on a plane with integer coefficients: every residual
     * is 0, the scale is 0, and nothing goes even at a tiny K. */
    Field f{20, 20, {5.0, 2.0, -3.0}, {}, {}};
    for (int y = 2; y <= 18; y += 4)
        for (int x = 3; x <= 19; x += 4) {
            f.points.insert(f.points.end(), {x, y});
            f.values.push_back(static_cast<float>(plane_at(f.abc, x, y)));
        }
    std::vector<unsigned char> state;
    double plain[3], clipped[3];
    clip_result r;
    ASSERT_EQ(0, fit_and_clip(f, 1e-6, 10, &state, plain, clipped, &r));
    EXPECT_EQ(0.0, r.scale);
    EXPECT_EQ(0, r.rejected);
    EXPECT_EQ(0, std::memcmp(plain, clipped, sizeof plain));
}

TEST(Clip, RoundsStopAtTheCap)
{
    /* Sources of falling strength: a strong one inflates the first
     * residuals so that weaker ones only stand out in later rounds. */
    Field f = make_field(5, 1.0, {}, 0.0);
    const float strength[] = {3000.0f, 1200.0f, 400.0f, 120.0f, 40.0f, 14.0f, 9.0f};
    const int under[] = {10, 20, 25, 33, 40, 2, 44};
    for (int j = 0; j < 7; j++)
        f.values[under[j]] += strength[j];
    std::vector<unsigned char> state;
    double plain[3], clipped[3];
    clip_result all, one;
    ASSERT_EQ(0, fit_and_clip(f, 2.5, 10, &state, plain, clipped, &all));
    const std::vector<int> rejected_all = rejected_points(state);
    ASSERT_GE(all.rounds, 2) << "the field no longer needs several rounds";
    ASSERT_EQ(0, fit_and_clip(f, 2.5, 1, &state, plain, clipped, &one));
    EXPECT_EQ(1, one.rounds);
    EXPECT_LT(one.rejected, all.rejected);
    EXPECT_EQ(static_cast<size_t>(one.rejected), rejected_points(state).size());
    /* Every source is out after all rounds. */
    for (int p : under)
        EXPECT_NE(rejected_all.end(), std::find(rejected_all.begin(), rejected_all.end(), p))
            << "point " << p;
}

TEST(Clip, PointsAreClassedAsTheFitUsesThem)
{
    const float blank = -999.0f;
    const std::vector<int32_t> pts = {1, 1, 10, 8, 11, 1, 1, 9, 0, 4, 5, 5, 6, 6, 7, 7, 2, 2};
    const std::vector<float> values = {1.0f, 2.0f, 0.0f, 0.0f, 0.0f, NAN, INFINITY, -999.0f, 3.0f};
    const unsigned char want[] = {Point_used,     Point_used,     Point_outside,
                                  Point_outside,  Point_outside,  Point_unusable,
                                  Point_unusable, Point_unusable, Point_used};
    std::vector<unsigned char> state(values.size());
    classify_points(values.data(), 10, 8, pts.data(), 9, blank, state.data());
    for (size_t i = 0; i < values.size(); i++)
        EXPECT_EQ(want[i], state[i]) << "point " << i;
}

TEST(Clip, MedianOfOddAndEvenCounts)
{
    struct Case {
        std::vector<double> v;
        double median;
    } cases[] = {
        {{5.0}, 5.0},
        {{3.0, 1.0, 2.0}, 2.0},
        {{4.0, 1.0, 3.0, 2.0}, 2.5},
        {{-1.0, 7.0, 7.0, -1.0, 0.5, 100.0}, 3.75},
    };
    for (Case &c : cases)
        EXPECT_EQ(c.median, median_of(c.v.data(), static_cast<int>(c.v.size())));
}

namespace {

/* The report of the given kind as a string, through a temporary file. */
std::string report_text(report_kind kind, const Field &f, const std::vector<unsigned char> &state,
                        const double abc[3], const run_options *opt, const clip_result *clip,
                        int *status)
{
    FILE *t = std::tmpfile();
    if (t == nullptr)
        return "";
    *status = write_report(t, kind, f.values.data(), f.samples, f.lines, f.points.data(),
                           count_of(f), state.data(), abc, opt, clip);
    std::string out;
    std::rewind(t);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, t)) > 0)
        out.append(buf, n);
    std::fclose(t);
    return out;
}

/* The number after the first occurrence of key in text (NAN if none). */
double number_after(const std::string &text, const std::string &key)
{
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return NAN;
    return std::strtod(text.c_str() + at + key.size(), nullptr);
}

} // namespace

TEST(Report, JsonCarriesRoundTrippingNumbersAndNullsForNonFinite)
{
    Field f = make_field(3, 1.0, {8}, 500.0);
    f.points.insert(f.points.end(), {401, 5});
    f.values.push_back(0.0f);
    std::vector<unsigned char> state;
    double plain[3], clipped[3];
    clip_result r;
    ASSERT_EQ(0, fit_and_clip(f, 5.0, 10, &state, plain, clipped, &r));
    const run_options opt = {5.0, 10, Report_json, nullptr};
    int status = 1;
    const std::string json = report_text(Report_json, f, state, clipped, &opt, &r, &status);
    ASSERT_EQ(0, status);
    const std::string head =
        "{\"points_read\": 49, \"points_used\": 47, \"outside\": [{\"point\": 48, "
        "\"sample\": 401, \"line\": 5}], \"blank_or_not_finite\": [], \"rejected\": "
        "[{\"point\": 8, \"sample\": 165, \"line\": 50, \"residual\": 5";
    EXPECT_EQ(head, json.substr(0, head.size()));
    /* Corner values and coefficients read back to the same doubles. */
    EXPECT_EQ(clipped[0], number_after(json, "\"A\": "));
    EXPECT_EQ(clipped[2], number_after(json, "\"C\": "));
    EXPECT_EQ(plane_at(clipped, 400, 300),
              number_after(json, "{\"sample\": 400, \"line\": 300, \"value\": "));
    EXPECT_EQ(r.scale, number_after(json, "\"scale\": "));
    EXPECT_EQ('\n', json.back());

    /* Nothing used (every point blank): no RMS, no largest residual. */
    std::vector<unsigned char> none(state.size(), Point_unusable);
    const std::string empty = report_text(Report_json, f, none, clipped, nullptr, nullptr,
                                          &status);
    EXPECT_NE(std::string::npos, empty.find("\"residual_rms\": null"));
    EXPECT_NE(std::string::npos, empty.find("\"largest_residual\": null"));
    EXPECT_NE(std::string::npos, empty.find("\"clip\": null"));
    EXPECT_EQ(std::string::npos, empty.find("nan"));
    const double nan_plane[3] = {NAN, 1.0, INFINITY};
    const std::string odd = report_text(Report_json, f, state, nan_plane, nullptr, nullptr,
                                        &status);
    EXPECT_NE(std::string::npos, odd.find("\"A\": null, \"B\": 1, \"C\": null"));
    EXPECT_EQ(std::string::npos, odd.find("inf"));
}

TEST(Report, TextNamesEveryLeftOutPointAndTheLargestResidual)
{
    Field f = make_field(4, 1.0, {20}, -300.0);
    f.points.insert(f.points.end(), {0, 7, 9, 9});
    f.values.insert(f.values.end(), {0.0f, NAN});
    std::vector<unsigned char> state;
    double plain[3], clipped[3];
    clip_result r;
    ASSERT_EQ(0, fit_and_clip(f, 5.0, 10, &state, plain, clipped, &r));
    const run_options opt = {5.0, 10, Report_text, nullptr};
    int status = 1;
    const std::string text = report_text(Report_text, f, state, clipped, &opt, &r, &status);
    ASSERT_EQ(0, status);
    EXPECT_NE(std::string::npos, text.find("Points read: 50\nPoints used: 47\n"
                                           "Left out, outside the image: 1\n  point 48 (0, 7)\n"
                                           "Left out, blank or not finite: 1\n  point 49 (9, 9)\n"
                                           "Left out, rejected by clipping: 1\n"
                                           "  point 20 (165, 130) residual -3"))
        << text;
    /* The largest residual is the largest |value - plane| over used points. */
    double worst = 0.0;
    for (size_t i = 0; i < state.size(); i++)
        if (state[i] == Point_used)
            worst = std::fmax(worst, std::fabs(f.values[i] - plane_at(clipped, f.points[2 * i],
                                                                       f.points[2 * i + 1])));
    EXPECT_NEAR(worst, std::fabs(number_after(text, "Largest residual: ")), 1e-8 * worst);
    EXPECT_EQ(-1, write_report(stderr, Report_none, f.values.data(), f.samples, f.lines,
                               f.points.data(), count_of(f), state.data(), clipped, &opt, &r));
}

// Celestial coordinate conversion between equatorial, galactic and ecliptic
// B1950.0 coordinates.
#include <gtest/gtest.h>

#include <cmath>

#include "imlib.h"

static const double d2r = 0.017453292519943295;
static const double r2d = 57.29577951308232;

// Smallest difference of two longitudes, degrees.
static double lon_diff(double a, double b)
{
    double d = std::fmod(std::fabs(a - b), 360.0);
    return d > 180.0 ? 360.0 - d : d;
}

struct Example {
    int from;
    double lon, lat;
    int to;
    double out_lon, out_lat;
};

TEST(CelestialConversion, WorkedExamplesToSixDecimals)
{
    const Example ex[] = {
        {'r', 0, 0, 'g', 97.742161, -60.181024},
        {'g', 0, 0, 'r', 265.610844, -28.916791},
        {'r', 0, 90, 'g', 123.000001, 27.400000},
        {'r', 0, 90, 'e', 90.000000, 66.554211},
        {'e', 0, 90, 'r', 270.000000, 66.554211},
        {'g', 0, 0, 'e', 266.140965, -5.529795},
    };
    for (const Example &e : ex) {
        double lon = -1, lat = -1;
        ASSERT_EQ(0, map_coord(e.from, e.lon, e.lat, e.to, &lon, &lat));
        // Rounded to six decimals: within half a unit of the last digit.
        EXPECT_NEAR(e.out_lon, lon, 5e-7) << char(e.from) << " to " << char(e.to);
        EXPECT_NEAR(e.out_lat, lat, 5e-7) << char(e.from) << " to " << char(e.to);
    }
}

TEST(CelestialConversion, SameSystemCopiesInputUnchanged)
{
    double lon = 0, lat = 0;
    ASSERT_EQ(0, map_coord('r', -10.0, 95.0, 'r', &lon, &lat));
    EXPECT_EQ(-10.0, lon);
    EXPECT_EQ(95.0, lat);
    ASSERT_EQ(0, map_coord('g', 370.0, -3.0, 'g', &lon, &lat));
    EXPECT_EQ(370.0, lon);
    EXPECT_EQ(-3.0, lat);
}

TEST(CelestialConversion, UnknownLetterRefusedOutputsUntouched)
{
    const int bad[] = {'R', 'x', ' ', 'G', 0};
    for (int b : bad) {
        double lon = 7.0, lat = 8.0;
        EXPECT_EQ(-2, map_coord(b, 1.0, 2.0, 'r', &lon, &lat));
        EXPECT_EQ(-2, map_coord('r', 1.0, 2.0, b, &lon, &lat));
        EXPECT_EQ(-2, map_coord(b, 1.0, 2.0, b, &lon, &lat));
        EXPECT_EQ(7.0, lon);
        EXPECT_EQ(8.0, lat);
    }
}

TEST(CelestialConversion, OutputsMayAliasInputs)
{
    double lon = 0.0, lat = 0.0;
    ASSERT_EQ(0, map_coord('r', lon, lat, 'g', &lon, &lat));
    EXPECT_NEAR(97.742161, lon, 5e-7);
    EXPECT_NEAR(-60.181024, lat, 5e-7);
}

// The IAU 1958 galactic system in B1950.0: north galactic pole at
// RA 192.25, Dec +27.40; north celestial pole at galactic longitude 123;
// galactic centre at 17h42m26.603s -28d55m00.445s.
TEST(CelestialConversion, GalacticFrameMatchesPublishedDefinition)
{
    double l = 0, b = 0;
    ASSERT_EQ(0, map_coord('r', 192.25, 27.4, 'g', &l, &b));
    EXPECT_NEAR(90.0, b, 1e-6); // nine-digit matrices: ~1e-9 rad
    double ra = 0, dec = 0;
    ASSERT_EQ(0, map_coord('g', 0.0, 90.0, 'r', &ra, &dec));
    EXPECT_NEAR(192.25, ra, 1e-6);
    EXPECT_NEAR(27.4, dec, 1e-6);
    ASSERT_EQ(0, map_coord('r', 0.0, 90.0, 'g', &l, &b));
    EXPECT_NEAR(123.0, l, 2e-6);
    ASSERT_EQ(0, map_coord('g', 0.0, 0.0, 'r', &ra, &dec));
    double ra_pub = (17.0 + 42.0 / 60.0 + 26.603 / 3600.0) * 15.0;
    double dec_pub = -(28.0 + 55.0 / 60.0 + 0.445 / 3600.0);
    EXPECT_NEAR(ra_pub, ra, 1e-5); // published to 1e-3 s of time
    EXPECT_NEAR(dec_pub, dec, 1e-5);
}

// Ecliptic from equatorial by the textbook formulas, obliquity 23.4457889.
TEST(CelestialConversion, EclipticMatchesTextbookFormulas)
{
    const double eps = 23.4457889 * d2r;
    for (double ra = 0.0; ra < 360.0; ra += 17.5) {
        for (double dec = -80.0; dec <= 80.0; dec += 10.0) {
            double a = ra * d2r, d = dec * d2r;
            double beta = std::asin(std::sin(d) * std::cos(eps) -
                                    std::cos(d) * std::sin(eps) * std::sin(a));
            double lam = std::atan2(std::sin(a) * std::cos(eps) + std::tan(d) * std::sin(eps),
                                    std::cos(a)) * r2d;
            double lon = 0, lat = 0;
            ASSERT_EQ(0, map_coord('r', ra, dec, 'e', &lon, &lat));
            EXPECT_LT(lon_diff(lam, lon), 1e-7) << ra << " " << dec;
            EXPECT_NEAR(beta * r2d, lat, 1e-7) << ra << " " << dec;
        }
    }
}

TEST(CelestialConversion, DirectEclipticGalacticAgreesWithViaEquatorial)
{
    for (double lon = 0.0; lon < 360.0; lon += 23.0) {
        for (double lat = -80.0; lat <= 80.0; lat += 20.0) {
            double gl = 0, gb = 0, ra = 0, dec = 0, gl2 = 0, gb2 = 0;
            ASSERT_EQ(0, map_coord('e', lon, lat, 'g', &gl, &gb));
            ASSERT_EQ(0, map_coord('e', lon, lat, 'r', &ra, &dec));
            ASSERT_EQ(0, map_coord('r', ra, dec, 'g', &gl2, &gb2));
            EXPECT_LT(lon_diff(gl, gl2) * std::cos(gb * d2r), 1e-6);
            EXPECT_NEAR(gb, gb2, 1e-6);
        }
    }
}

TEST(CelestialConversion, RoundTripsReproducePositionUpToLatitude85)
{
    const int sys[] = {'r', 'g', 'e'};
    double worst = 0.0;
    for (int from : sys) {
        for (int to : sys) {
            if (from == to)
                continue;
            for (double lon = 0.0; lon < 360.0; lon += 7.5) {
                for (double lat = -85.0; lat <= 85.0; lat += 5.0) {
                    double l2 = 0, b2 = 0, l3 = 0, b3 = 0;
                    ASSERT_EQ(0, map_coord(from, lon, lat, to, &l2, &b2));
                    EXPECT_GE(l2, 0.0);
                    EXPECT_LE(l2, 360.0);
                    ASSERT_EQ(0, map_coord(to, l2, b2, from, &l3, &b3));
                    double dl = lon_diff(lon, l3), db = std::fabs(lat - b3);
                    EXPECT_LT(dl, 1e-6) << char(from) << char(to) << " " << lon << " " << lat;
                    EXPECT_LT(db, 1e-6) << char(from) << char(to) << " " << lon << " " << lat;
                    worst = std::fmax(worst, std::fmax(dl, db));
                }
            }
        }
    }
    RecordProperty("worst_degrees", std::to_string(worst));
}

TEST(CelestialConversion, PoleOfOutputSystemGivesFiniteLatitudeNinety)
{
    const int sys[] = {'r', 'g', 'e'};
    for (int from : sys) {
        for (int to : sys) {
            if (from == to)
                continue;
            for (double pole : {90.0, -90.0}) {
                // The output system's pole, expressed in the input system.
                double l = 0, b = 0, l2 = 0, b2 = 0;
                ASSERT_EQ(0, map_coord(to, 0.0, pole, from, &l, &b));
                ASSERT_EQ(0, map_coord(from, l, b, to, &l2, &b2));
                ASSERT_TRUE(std::isfinite(l2));
                ASSERT_TRUE(std::isfinite(b2));
                EXPECT_LE(std::fabs(b2), 90.0);
                EXPECT_NEAR(pole, b2, 1e-6);
            }
        }
    }
}

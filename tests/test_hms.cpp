// Sexagesimal texts (map_hms) and sky positions written as text (mapf_string).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "imlib.h"

// map_hms on a private copy of text; returns its code, value in *v.
static int hms(const char *text, double *v)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s", text);
    return map_hms(buf, v);
}

TEST(Sexagesimal, ReadsHoursAndDegreesIntoDegrees)
{
    struct {
        const char *text;
        double value;
    } ok[] = {
        {"12h30m", 187.5},     {"-10d30m", -10.5},   {"0.5d", 0.5},
        {"12h30", 180.0},      {"-0d30m", -0.5},     {"1dm", 1.0},
        {"0h0m1s", 15.0 / 3600.0}, {" 45d", 45.0},
    };
    for (const auto &c : ok) {
        double v = -999;
        EXPECT_EQ(1, hms(c.text, &v)) << c.text;
        EXPECT_NEAR(c.value, v, 1e-9) << c.text;
    }
    double v = 0;
    ASSERT_EQ(1, hms("45d30m15s", &v));
    EXPECT_NEAR(45.5041667, v, 5e-8); // printed to seven decimals
}

TEST(Sexagesimal, PartsAreSinglePrecision)
{
    double v = 0;
    ASSERT_EQ(1, hms("0.1d", &v));
    EXPECT_EQ(static_cast<double>(0.1f), v);
    EXPECT_NE(0.1, v);
}

TEST(Sexagesimal, PlainNumberReturnsZeroIgnoringTrailingText)
{
    double v = 0;
    EXPECT_EQ(0, hms("12.5", &v));
    EXPECT_EQ(12.5, v);
    EXPECT_EQ(0, hms("+45x", &v));
    EXPECT_EQ(45.0, v);
    EXPECT_EQ(0, hms("12H30M", &v)); // upper case is no unit
    EXPECT_EQ(12.0, v);
}

TEST(Sexagesimal, MalformedTextsRefusedValueUntouched)
{
    const char *bad[] = {"",        "abc",   "h12",    "x",       "-",      "+d",
                         "12m",     "12s",   "1h2h",   "1d2s",    "1d2m3m", "1d2m3s4s",
                         "nan",     "-inf",  "+nan",   "1e39d",   "1e400",  "1d1e39m",
                         "\xff\x35"};
    for (const char *b : bad) {
        double v = -7.0;
        EXPECT_EQ(-1, hms(b, &v)) << b;
        EXPECT_EQ(-7.0, v) << b;
    }
    double v = 0;
    EXPECT_EQ(-1, map_hms(nullptr, &v));
    char t[] = "1d";
    EXPECT_EQ(-1, map_hms(t, nullptr));
}

TEST(Sexagesimal, UnitLettersBecomeTerminators)
{
    char t[] = "12h30m";
    double v = 0;
    ASSERT_EQ(1, map_hms(t, &v));
    EXPECT_EQ('\0', t[2]);
    EXPECT_EQ('\0', t[5]);
    EXPECT_EQ(std::string("30"), std::string(t + 3));
}

static map_struct radec_tan()
{
    map_struct m;
    std::memset(&m, 0, sizeof m);
    EXPECT_EQ(0, map_set(&m, "RA---TAN", "DEC--TAN", -0.01, 0.01, 187.5, 45, 100, 100, 0, 0));
    return m;
}

// mapf_string on a private copy; the expected pixel from mapf.
static void expect_text_maps_as(map_struct &m, const char *text, int sys, double lon, double lat)
{
    char buf[80];
    std::snprintf(buf, sizeof buf, "%s", text);
    double x = 0, y = 0, ex = 0, ey = 0;
    ASSERT_EQ(0, mapf_string(&m, buf, &x, &y)) << text;
    ASSERT_EQ(0, mapf(&m, sys, lon, lat, &ex, &ey));
    EXPECT_NEAR(ex, x, 1e-9) << text;
    EXPECT_NEAR(ey, y, 1e-9) << text;
}

TEST(PositionText, ReadsSystemLongitudeAndSignedLatitude)
{
    map_struct m = radec_tan();
    double x = 0, y = 0;
    char t[] = "r12h30m+45d";
    ASSERT_EQ(0, mapf_string(&m, t, &x, &y));
    EXPECT_EQ(100.0, x); // the reference position itself
    EXPECT_EQ(100.0, y);

    expect_text_maps_as(m, "R12h30m+45d", 'r', 187.5, 45);
    expect_text_maps_as(m, "12h30m-20d30m", 'r', 187.5, -20.5);
    expect_text_maps_as(m, "12h30m-0d30m", 'r', 187.5, -0.5);
    expect_text_maps_as(m, "g120.5-30.25", 'g', 120.5, -30.25);
    expect_text_maps_as(m, "G-10+5", 'g', -10, 5); // negative longitude
    expect_text_maps_as(m, "e200.0+5.5", 'e', 200.0, 5.5);
    expect_text_maps_as(m, "r12h30m+45x", 'r', 187.5, 45);
    expect_text_maps_as(m, "g1.5e+2+30", 'g', 1.5, 2); // exponent sign starts the latitude
    expect_text_maps_as(m, "r187.5+44d30m", 'r', 187.5, 44.5);
}

TEST(PositionText, RefusesEachMalformedTextWithItsCode)
{
    map_struct m = radec_tan();
    struct {
        const char *text;
        int code;
    } bad[] = {
        {"12h30m", -1},   {"r", -1},       {"", -1},         {"r+45", -1},
        {"rx+45", -2},    {"r12m+45", -2}, {"r12h+d", -3},   {"r12h-nan", -3},
        {"120.5+30.2", -4}, {"12H30M+45D", -4},
    };
    for (const auto &b : bad) {
        char buf[80];
        std::snprintf(buf, sizeof buf, "%s", b.text);
        double x = -5, y = -5;
        EXPECT_EQ(b.code, mapf_string(&m, buf, &x, &y)) << b.text;
        EXPECT_EQ(-5, x) << b.text;
    }
    map_struct unset;
    std::memset(&unset, 0, sizeof unset);
    char t[] = "r12h30m+45d";
    double x = 0, y = 0;
    EXPECT_EQ(-5, mapf_string(&unset, t, &x, &y));
    EXPECT_EQ(-1, mapf_string(&m, nullptr, &x, &y));
}

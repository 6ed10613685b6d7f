// Generated malformed subset and position texts: every one must settle to 0
// or a negative code, with a sane selection on 0, the input unchanged, and
// no memory error (run under the sanitizers).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imlib.h"

static const char chars[] = "0123456789@:^,+-.ehdmsEHrgRGx nai";
static const char *const tokens[] = {
    "@", "12", "3.5", "e", "h", "d", "m", "s", ":", "^", ",", "+", "-", "r", "g", "E",
    "RA---TAN", "DEC--TAN", "VELO-LSR", "1e5", "1e999", "nan", "inf", " ", "12h30m",
    "+45d", "0d2m", "-0.5", "@-", "@+", "..", "ee", "hh", "9999999999999"};

static const char *const prefixes[] = {"", "", "", "VELO-LSR", "r", "g", "E", "RA---TAN", "X"};
static const char *const values[] = {"", "@", "@5", "@-3", "@+7.5", "12.5", "-0.25", "1e2",
                                     "12h30m+45d", "187.5+45", "0d2m", "0.5d", "@1e300",
                                     "@-1e300", "10", "@nan"};

// Near-valid text: up to four fields of prefix, value and separators.
static std::string structured(std::mt19937 &rng)
{
    std::string t;
    int n_fields = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < n_fields; i++) {
        if (i > 0)
            t += ',';
        t += prefixes[rng() % (sizeof prefixes / sizeof prefixes[0])];
        t += values[rng() % (sizeof values / sizeof values[0])];
        for (int k = static_cast<int>(rng() % 3); k > 0; k--) {
            t += (rng() % 2) ? ':' : '^';
            t += values[rng() % (sizeof values / sizeof values[0])];
        }
    }
    return t;
}

// A text of length 0..99: characters, tokens, long runs of one character,
// or near-valid fields.
static std::string generate(std::mt19937 &rng)
{
    std::string t;
    int style = static_cast<int>(rng() % 4);
    if (style == 3)
        return structured(rng);
    size_t len = rng() % 100;
    while (t.size() < len) {
        switch (style) {
        case 0:
            t += chars[rng() % (sizeof chars - 1)];
            break;
        case 1:
            t += tokens[rng() % (sizeof tokens / sizeof tokens[0])];
            break;
        default:
            t += std::string(1 + rng() % 70, chars[rng() % (sizeof chars - 1)]);
            break;
        }
    }
    if (t.size() > 99)
        t.resize(99);
    return t;
}

static std::vector<rwc_struct> records()
{
    std::vector<rwc_struct> v;
    rwc_struct r;
    std::memset(&r, 0, sizeof r);
    r.magic = RWC_MAGIC;
    r.n_axes = 3;
    for (int a = 1; a <= RWC_MAX_AXES; a++) {
        r.naxis[a] = 512;
        r.cdelt[a] = 1.0;
        r.crpix[a] = 1.0;
    }
    std::snprintf(r.ctype[1], sizeof r.ctype[1], "RA---TAN");
    std::snprintf(r.ctype[2], sizeof r.ctype[2], "DEC--TAN");
    std::snprintf(r.ctype[3], sizeof r.ctype[3], "VELO-LSR");
    r.cdelt[1] = -0.01;
    r.cdelt[2] = 0.01;
    r.crval[1] = 187.5;
    r.crval[2] = 45.0;
    r.crpix[1] = r.crpix[2] = 100.0;
    v.push_back(r);
    r.n_axes = 9;
    v.push_back(r);
    r.n_axes = 0;
    v.push_back(r);
    return v;
}

TEST(SubsetFuzz, GeneratedTextsSettleToCodeAndSaneSelection)
{
    std::mt19937 rng(20240611u);
    std::vector<rwc_struct> recs = records();
    int accepted = 0, refused = 0;
    for (int i = 0; i < 6000; i++) {
        std::string text = generate(rng);
        rwc_struct &r = recs[i % recs.size()];
        std::vector<char> copy(text.begin(), text.end());
        copy.push_back('\0');
        int skips[10], takes[10];
        for (int k = 0; k < 10; k++)
            skips[k] = takes[k] = -12345;
        int rc = rwcf(&r, copy.data(), skips, takes);
        ASSERT_EQ(text, std::string(copy.data())) << "input modified";
        if (rc < 0) {
            refused++;
            EXPECT_GE(rc, -29) << text;
            EXPECT_STRNE("", im_errmsg()) << "no reason for " << rc << " on " << text;
            continue;
        }
        EXPECT_STREQ("", im_errmsg()) << text;
        ASSERT_EQ(0, rc) << text;
        accepted++;
        EXPECT_LE(text.size(), 63u) << text;
        ASSERT_EQ(r.n_axes, takes[0]) << text;
        for (int a = 1; a <= r.n_axes; a++) {
            EXPECT_GE(takes[a], 0) << text;
            EXPECT_LE(takes[a], 2000000001) << text;
            EXPECT_GE(skips[a], -1500000001) << text;
            EXPECT_LE(skips[a], 1000000000) << text;
        }
    }
    RecordProperty("accepted", accepted);
    RecordProperty("refused", refused);
    // The generator must reach both outcomes to mean anything.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 1000);
}

TEST(SubsetFuzz, GeneratedPositionTextsSettleToCodes)
{
    std::mt19937 rng(7u);
    map_struct m;
    std::memset(&m, 0, sizeof m);
    ASSERT_EQ(0, map_set(&m, "RA---ARC", "DEC--ARC", -0.01, 0.01, 187.5, 45, 100, 100, 0, 0));
    for (int i = 0; i < 4000; i++) {
        std::string text = generate(rng);
        std::vector<char> a(text.begin(), text.end());
        a.push_back('\0');
        std::vector<char> b = a;
        double x = 0, y = 0, v = 0;
        int rc = mapf_string(&m, a.data(), &x, &y);
        EXPECT_TRUE(rc <= 0 && rc >= -5) << text;
        if (rc == 0) {
            EXPECT_TRUE(std::isfinite(x) && std::isfinite(y)) << text;
        }
        rc = map_hms(b.data(), &v);
        EXPECT_TRUE(rc >= -1 && rc <= 1) << text;
        if (rc >= 0) {
            EXPECT_TRUE(std::isfinite(v)) << text;
        }
    }
}

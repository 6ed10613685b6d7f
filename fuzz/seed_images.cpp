// seed_images: small images written by the library's own writers (see
// seed_images.h).
#include "seed_images.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "imlib.h"

seed_spec seed_variant(int bitpix, int variant)
{
    seed_spec s;
    s.bitpix = bitpix;
    s.naxis = variant == 2 ? 3 : 2;
    s.naxes[0] = 7 + variant;
    s.naxes[1] = 5;
    s.naxes[2] = 3;
    s.scaled = variant == 1;
    s.bscale = 0.5;
    s.bzero = bitpix == 8 ? 3.0 : -100.0;
    s.has_blank = variant == 1 && bitpix > 0;
    s.blank = bitpix == 8 ? 255 : -77;
    s.wcs = variant == 2 ? 0 : -1;
    s.comments = variant != 0;
    return s;
}

// One world-coordinate description of the table.
struct wcs_spec {
    const char *ctype1, *ctype2;
    double crval1, crval2, cdelt1, cdelt2, crota2;
    bool cd;            // a CD matrix instead of CDELT/CROTA
    const char *ctype3; // third axis, or null
};

static const wcs_spec wcs_table[] = {
    {"RA---TAN", "DEC--TAN", 187.5, 45.0, -0.01, 0.01, 0.0, false, "VELO-LSR"},
    {"GLON-AIT", "GLAT-AIT", 120.0, 0.0, -0.05, 0.05, 0.0, false, nullptr},
    {"RA---SIN", "DEC--SIN", 10.0, -30.0, -0.002, 0.002, 0.0, false, nullptr},
    {"ELON-ARC", "ELAT-ARC", 200.0, 10.0, -0.1, 0.1, 0.0, false, nullptr},
    {"RA---POL", "DEC--POL", 0.0, 89.0, -0.1, 0.1, 0.0, false, nullptr},
    {"LINEAR", "LINEAR", 5.0, 7.0, 0.5, 0.25, 0.0, false, "FREQ"},
    {"RA---TAN", "DEC--TAN", 187.5, 45.0, -0.01, 0.01, 30.0, false, nullptr},
    {"RA---TAN", "DEC--TAN", 83.6, 22.0, -0.01, 0.01, 20.0, true, nullptr},
    {"GLON-TAN", "GLAT-TAN", 120.0, 30.0, -0.01, 0.01, 0.0, false, "VELO"},
};

int seed_wcs_count(void)
{
    return int(sizeof wcs_table / sizeof wcs_table[0]);
}

// Add the world-coordinate cards of table entry h to image id.
static int add_wcs(int id, int h, int naxis)
{
    const wcs_spec &w = wcs_table[h];
    int ok = 1;
    ok &= im_wkey_c(id, w.ctype1, "CTYPE1") > 0;
    ok &= im_wkey_c(id, w.ctype2, "CTYPE2") > 0;
    ok &= im_wkey_d(id, w.crval1, "CRVAL1") > 0;
    ok &= im_wkey_d(id, w.crval2, "CRVAL2") > 0;
    ok &= im_wkey_d(id, 32.0, "CRPIX1") > 0;
    ok &= im_wkey_d(id, 24.5, "CRPIX2") > 0;
    if (w.cd) {
        const double c = std::cos(w.crota2 * M_PI / 180.0), s = std::sin(w.crota2 * M_PI / 180.0);
        ok &= im_wkey_d(id, w.cdelt1 * c, "CD1_1") > 0;
        ok &= im_wkey_d(id, -w.cdelt2 * s, "CD1_2") > 0;
        ok &= im_wkey_d(id, w.cdelt1 * s, "CD2_1") > 0;
        ok &= im_wkey_d(id, w.cdelt2 * c, "CD2_2") > 0;
    } else {
        ok &= im_wkey_d(id, w.cdelt1, "CDELT1") > 0;
        ok &= im_wkey_d(id, w.cdelt2, "CDELT2") > 0;
        if (w.crota2 != 0.0) {
            ok &= im_wkey_d(id, w.crota2, "CROTA1") > 0;
            ok &= im_wkey_d(id, w.crota2, "CROTA2") > 0;
        }
    }
    if (naxis >= 3) {
        ok &= im_wkey_c(id, w.ctype3 != nullptr ? w.ctype3 : "VELO", "CTYPE3") > 0;
        ok &= im_wkey_d(id, 1000.0, "CRVAL3") > 0;
        ok &= im_wkey_d(id, 4.0, "CDELT3") > 0;
        ok &= im_wkey_d(id, 1.0, "CRPIX3") > 0;
    }
    return ok ? 0 : -1;
}

// Write a new image: the geometry cards, the extra cards, then n pixels
// of a pattern through the double writer (every 11th blank when blank).
static int write_image(const std::string &path, int bitpix, int naxis, const int *naxes,
                       bool scaled, double bscale, double bzero, bool has_blank, int blank,
                       int wcs, bool comments, bool extension = false)
{
    int id = im_open(path.c_str(), "write");
    if (id <= 0)
        return -1;
    int ok = 1;
    if (extension) {
        ok &= im_wkey_i(id, 0, "PCOUNT") > 0;
        ok &= im_wkey_i(id, 1, "GCOUNT") > 0;
        ok &= im_wkey_c(id, "SCI", "EXTNAME") > 0;
    }
    ok &= im_wkey_i(id, bitpix, "BITPIX") > 0;
    ok &= im_wkey_i(id, naxis, "NAXIS") > 0;
    int n = 1;
    for (int a = 1; a <= naxis; a++) {
        ok &= im_wkey_i(id, naxes[a - 1], im_key("NAXIS", a)) > 0;
        n *= naxes[a - 1];
    }
    if (scaled) {
        ok &= im_wkey_d(id, bscale, "BSCALE") > 0;
        ok &= im_wkey_d(id, bzero, "BZERO") > 0;
    }
    if (has_blank)
        ok &= im_wkey_i(id, blank, "BLANK") > 0;
    if (comments) {
        ok &= im_wkey_c(id, "SEED IMAGE", "OBJECT") > 0;
        ok &= im_wkey_t(id, "COMMENT written by the seed generator", "end") >= 0;
        ok &= im_wkey_t(id, "HISTORY seed", "end") >= 0;
    }
    if (wcs >= 0)
        ok &= add_wcs(id, wcs, naxis) == 0;
    std::vector<double> pix(size_t(n > 0 ? n : 0));
    for (int i = 0; i < n; i++) {
        double v = bitpix == 8 ? (i * 7) % 250 : (i * 37) % 1000 - 500 + 0.25 * (i % 4);
        if (scaled)
            v = v * bscale + bzero;
        if (has_blank && i % 11 == 5)
            im_blankd(&v);
        pix[size_t(i)] = v;
    }
    ok &= im_wpix_d(id, pix.data(), n) == n;
    ok &= im_close(id) == 0;
    return ok ? 0 : -1;
}

int seed_write(const std::string &path, const seed_spec &s)
{
    return write_image(path, s.bitpix, s.naxis, s.naxes, s.scaled, s.bscale, s.bzero,
                       s.has_blank, s.blank, s.wcs, s.comments);
}

std::vector<uint8_t> seed_two_hdus(const std::string &work, const seed_spec &s,
                                   const seed_spec &s2)
{
    const std::string p1 = work + "/primary.fits", p2 = work + "/ext.fits";
    if (seed_write(p1, s) != 0
        || write_image(p2, s2.bitpix, s2.naxis, s2.naxes, s2.scaled, s2.bscale, s2.bzero,
                       s2.has_blank, s2.blank, s2.wcs, s2.comments, true) != 0)
        return {};
    std::ifstream a(p1, std::ios::binary), b(p2, std::ios::binary);
    std::vector<uint8_t> v((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> e((std::istreambuf_iterator<char>(b)), std::istreambuf_iterator<char>());
    static const char xt[] = "XTENSION= 'IMAGE   '";
    if (e.size() < 80)
        return {};
    std::memset(e.data(), ' ', 80);
    std::memcpy(e.data(), xt, sizeof xt - 1);
    v.insert(v.end(), e.begin(), e.end());
    return v;
}

int seed_write_wcs(const std::string &path, int h)
{
    const int naxes[3] = {64, 48, 8};
    const int naxis = wcs_table[h].ctype3 != nullptr ? 3 : 2;
    return write_image(path, 16, naxis, naxes, false, 1.0, 0.0, false, 0, h, false);
}

std::vector<uint8_t> seed_s_from_fits(const std::vector<uint8_t> &img)
{
    size_t end = 0;
    for (size_t p = 0; p + 80 <= img.size(); p += 80) {
        if (std::memcmp(&img[p], "END     ", 8) == 0) {
            end = (p / 2880 + 1) * 2880;
            break;
        }
    }
    if (end == 0)
        return {};
    // The S record: tapetype 46, header start, pixel start, host order.
    const int32_t rec[3] = {46, 12, int32_t(12 + end)};
    std::vector<uint8_t> v(sizeof rec);
    std::memcpy(v.data(), rec, sizeof rec);
    v.insert(v.end(), img.begin(), img.end());
    return v;
}

std::vector<uint8_t> seed_write_params(int i)
{
    // form, bitpix, writer, naxis, three lengths, flags; bscale, bzero
    // (doubles, little-endian); blank (int32, little-endian); values.
    std::vector<uint8_t> v = {uint8_t(i % 3), uint8_t(i % 5), uint8_t((i / 3) % 5),
                              uint8_t(i % 3), uint8_t(3 + i), uint8_t(2 + i / 2), 2,
                              uint8_t(i & 0x0F)};
    auto put_double = [&v](double d) {
        uint64_t u;
        std::memcpy(&u, &d, sizeof u);
        for (int b = 0; b < 8; b++)
            v.push_back(uint8_t(u >> (8 * b)));
    };
    put_double(i % 2 ? 0.5 : 2.0);
    put_double(i % 2 ? -100.0 : 10.0);
    const int32_t blank = i % 2 ? -77 : 255;
    for (int b = 0; b < 4; b++)
        v.push_back(uint8_t(uint32_t(blank) >> (8 * b)));
    for (int k = 0; k < 64; k++)
        v.push_back(uint8_t(k * 37 + i));
    return v;
}

std::vector<uint8_t> seed_update_params(int i, const char *subset)
{
    // The writer block, then a subset text ended by a NUL, then a window
    // (three skips and three takes, one byte each), then values.
    std::vector<uint8_t> v = seed_write_params(i);
    v.resize(8 + 20);
    v.insert(v.end(), subset, subset + std::strlen(subset));
    v.push_back(0);
    const uint8_t win[6] = {1, 1, 0, 2, 2, 1};
    v.insert(v.end(), win, win + 6);
    for (int k = 0; k < 32; k++)
        v.push_back(uint8_t(k * 13 + i));
    return v;
}

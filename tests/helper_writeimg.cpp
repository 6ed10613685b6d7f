// helper_writeimg: writes a 37 x 23 FITS image through one of the library's
// pixel writers, for checks by independent FITS readers.
// Usage: helper_writeimg OUT WRITER BITPIX [BSCALE BZERO [BLANK]]
//   OUT     output name ("-" writes to standard output)
//   WRITER  r float, d double, s short, i int, c unsigned char
// The values handed to the writer are listed, one per line ("nan", "inf",
// "-inf" or a number), in OUT.in.txt (or the file named by the environment
// variable VALUES_OUT when OUT is "-").  Exit status 0 when every library
// call succeeded.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imlib.h"

static const int NX = 37;
static const int NY = 23;

// The stored value the pattern aims at for pixel k: spread over the stored
// type's range and a little beyond, with halves and exact limits.
static double raw_value(int k, int bitpix)
{
    double span;
    double low;
    switch (bitpix) {
    case 8: span = 300.0; low = -20.0; break;
    case 16: span = 72000.0; low = -36000.0; break;
    case 32: span = 4.4e9; low = -2.2e9; break;
    default: span = 2.0e6; low = -1.0e6; break;
    }
    if (k % 53 == 1)
        return low + span; // beyond the top
    if (k % 59 == 2)
        return 0.5 + k % 5; // a half
    if (k % 61 == 3)
        return -(0.5 + k % 5);
    const double frac = double((k * 7919) % 10007) / 10007.0;
    return low + span * frac + (k % 4) * 0.25;
}

static void print_value(std::FILE *fp, double v)
{
    if (std::isnan(v))
        std::fputs("nan\n", fp);
    else if (std::isinf(v))
        std::fputs(v > 0 ? "inf\n" : "-inf\n", fp);
    else
        std::fprintf(fp, "%.17g\n", v);
}

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s OUT WRITER BITPIX [BSCALE BZERO [BLANK]]\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    const char writer = argv[2][0];
    const int bitpix = std::atoi(argv[3]);
    const bool scaled = argc >= 6;
    const double bscale = scaled ? std::atof(argv[4]) : 1.0;
    const double bzero = scaled ? std::atof(argv[5]) : 0.0;

    const int id = im_open(out.c_str(), out == "-" ? "w-" : "write");
    if (id <= 0)
        return 3;
    int ok = 1;
    ok &= im_wkey_i(id, bitpix, "BITPIX") > 0;
    ok &= im_wkey_i(id, 2, "NAXIS") > 0;
    ok &= im_wkey_i(id, NX, "NAXIS1") > 0;
    ok &= im_wkey_i(id, NY, "NAXIS2") > 0;
    if (scaled) {
        ok &= im_wkey_d(id, bscale, "BSCALE") > 0;
        ok &= im_wkey_d(id, bzero, "BZERO") > 0;
    }
    if (argc == 7)
        ok &= im_wkey_i(id, std::atoi(argv[6]), "BLANK") > 0;
    ok &= im_wkey_c(id, "writer check", "OBJECT") > 0;
    // Checksums of some earlier file: they must not reach the output.
    ok &= im_wkey_t(id, "CHECKSUM= 'hcHjjc9ghcEghc9g'", "end") > 0;
    ok &= im_wkey_t(id, "DATASUM = '1234567'", "end") > 0;
    ok &= im_wkey_t(id, "HISTORY written by helper_writeimg", "end") > 0;
    if (!ok)
        return 4;

    const int n = NX * NY;
    std::vector<double> v(n);
    for (int k = 0; k < n; k++) {
        double raw = raw_value(k, bitpix);
        if (writer == 'r' || writer == 'd') {
            v[k] = raw * bscale + bzero;
            if (k % 97 == 5)
                v[k] = std::nan("");
            else if (k % 101 == 7)
                v[k] = (k % 2) ? INFINITY : -INFINITY;
            if (writer == 'r')
                v[k] = double(float(v[k]));
        } else {
            // The integer writers store the caller's integers unchanged.
            double lo = bitpix == 8 ? 0 : bitpix == 16 ? -32768 : -2147483648.0;
            double hi = bitpix == 8 ? 255 : bitpix == 16 ? 32767 : 2147483647.0;
            v[k] = std::floor(std::fmin(hi, std::fmax(lo, raw)));
        }
    }

    std::string list = out == "-" ? (std::getenv("VALUES_OUT") ? std::getenv("VALUES_OUT") : "")
                                  : out + ".in.txt";
    std::FILE *fp = std::fopen(list.c_str(), "w");
    if (fp == nullptr)
        return 5;
    for (int k = 0; k < n; k++)
        print_value(fp, v[k]);
    std::fclose(fp);

    // Written in two calls, so that the window walk continues mid-line.
    const int first = 100;
    int done = 0;
    switch (writer) {
    case 'r': {
        std::vector<float> b(v.begin(), v.end());
        done = im_wpix_r(id, b.data(), first);
        done += im_wpix_r(id, b.data() + first, n - first);
        break;
    }
    case 'd': {
        std::vector<double> b(v);
        done = im_wpix_d(id, b.data(), first);
        done += im_wpix_d(id, b.data() + first, n - first);
        break;
    }
    case 's': {
        std::vector<short> b(v.begin(), v.end());
        done = im_wpix_s(id, b.data(), first);
        done += im_wpix_s(id, b.data() + first, n - first);
        break;
    }
    case 'i': {
        std::vector<int> b(v.begin(), v.end());
        done = im_wpix_i(id, b.data(), first);
        done += im_wpix_i(id, b.data() + first, n - first);
        break;
    }
    case 'c': {
        std::vector<unsigned char> b(v.begin(), v.end());
        done = im_wpix_c(id, b.data(), first);
        done += im_wpix_c(id, b.data() + first, n - first);
        break;
    }
    default:
        return 2;
    }
    if (done != n)
        return 6;
    if (im_close(id) != 0)
        return 7;
    return 0;
}

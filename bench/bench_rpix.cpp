/* bench_rpix: reading speed of im_rpix_r on 4096 x 4096 FITS images, one
 * of BITPIX 16 with BSCALE and BZERO (byte swap, widening and both scaling
 * steps) and one of BITPIX -32 (byte swap and the blank test), each beside
 * `cat FILE > /dev/null` on the same file in the same run.
 * Usage: bench_rpix DIR [RUNS]   (the images are made as DIR/bench_rpix16.fits
 * and DIR/bench_rpix32.fits) */
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imlib.h"

static const int side = 4096;

static double now(void)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

/* One 80-character card, blank padded, appended to h. */
static void card(std::string &h, const char *text)
{
    char c[81];
    std::snprintf(c, sizeof c, "%-80s", text);
    h.append(c, 80);
}

/* Write a side x side FITS image of BITPIX 16 (with BSCALE and BZERO) or
 * -32 to path; 0, or -1 when it cannot be written. */
static int make_image(const std::string &path, int bitpix)
{
    std::string h;
    char text[81];
    const int bpp = bitpix == 16 ? 2 : 4;
    card(h, "SIMPLE  =                    T");
    std::snprintf(text, sizeof text, "BITPIX  = %20d", bitpix);
    card(h, text);
    card(h, "NAXIS   =                    2");
    std::snprintf(text, sizeof text, "NAXIS1  = %20d", side);
    card(h, text);
    std::snprintf(text, sizeof text, "NAXIS2  = %20d", side);
    card(h, text);
    if (bitpix == 16) {
        card(h, "BSCALE  =                 0.01");
        card(h, "BZERO   =              32768.0");
    }
    card(h, "END");
    h.resize(2880, ' ');
    FILE *fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr)
        return -1;
    std::fwrite(h.data(), 1, h.size(), fp);
    std::vector<unsigned char> line(static_cast<size_t>(bpp) * side);
    for (int y = 0; y < side; y++) {
        for (int x = 0; x < side; x++) {
            uint32_t v = static_cast<uint32_t>((x * 7 + y * 13) & 0xFFFF);
            if (bitpix == -32) {
                float fv = static_cast<float>(v) * 0.25f - 1000.0f;
                std::memcpy(&v, &fv, 4);
            }
            for (int b = 0; b < bpp; b++)
                line[static_cast<size_t>(bpp) * x + b] =
                    static_cast<unsigned char>(v >> (8 * (bpp - 1 - b)));
        }
        std::fwrite(line.data(), 1, line.size(), fp);
    }
    long data = static_cast<long>(bpp) * side * side;
    std::vector<unsigned char> pad((2880 - data % 2880) % 2880, 0);
    std::fwrite(pad.data(), 1, pad.size(), fp);
    return std::fclose(fp) == 0 ? 0 : -1;
}

/* Time runs reads of the whole image at path into buf (after one run that
 * warms the page cache) and as many cats of it; print the medians.
 * Returns 0, or 1 when a read or cat fails. */
static int bench_one(const std::string &path, int bitpix, int runs, std::vector<float> &buf)
{
    std::vector<double> t_read, t_cat;
    std::string cat = "cat '" + path + "' > /dev/null";
    double checksum = 0;
    for (int r = 0; r < runs + 1; r++) {
        double t0 = now();
        int id = im_open(path.c_str(), "read");
        int n = id > 0 ? im_rpix_r(id, buf.data(), side * side) : id;
        if (id > 0)
            im_close(id);
        double t1 = now();
        if (n != side * side) {
            std::fprintf(stderr, "bench_rpix: read gave %d\n", n);
            return 1;
        }
        double t2 = now();
        if (std::system(cat.c_str()) != 0) {
            std::fputs("bench_rpix: cat failed\n", stderr);
            return 1;
        }
        double t3 = now();
        if (r > 0) {
            checksum += buf[12345];
            t_read.push_back(t1 - t0);
            t_cat.push_back(t3 - t2);
        }
    }
    double mb = (bitpix == 16 ? 2.0 : 4.0) * side * side / 1e6;  /* stored pixel bytes */
    double tr = median(t_read), tc = median(t_cat);
    std::printf("bench_rpix: %dx%d BITPIX %d%s, %d runs, median\n", side, side, bitpix,
                bitpix == 16 ? " BSCALE/BZERO" : "", runs);
    std::printf("  im_rpix_r (open+read+close): %8.2f ms  %8.0f MB/s\n", tr * 1e3, mb / tr);
    std::printf("  cat FILE > /dev/null:        %8.2f ms  %8.0f MB/s\n", tc * 1e3, mb / tc);
    std::printf("  (check value %g)\n", checksum / runs);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: bench_rpix DIR [RUNS]\n", stderr);
        return 1;
    }
    int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    if (runs < 1)
        runs = 1;
    std::vector<float> buf(static_cast<size_t>(side) * side);
    for (int bitpix : {16, -32}) {
        std::string path = std::string(argv[1]) + (bitpix == 16 ? "/bench_rpix16.fits"
                                                                 : "/bench_rpix32.fits");
        if (make_image(path, bitpix) < 0) {
            std::fprintf(stderr, "bench_rpix: cannot write %s\n", path.c_str());
            return 1;
        }
        if (bench_one(path, bitpix, runs, buf) != 0)
            return 1;
    }
    return 0;
}

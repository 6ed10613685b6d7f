/* helper_readpix: open an image (subset text allowed in the name), read its
 * current window with im_rpix_r (type r) or im_rpix_d (type d) in pieces of
 * the given size, and print one value per line for a script to compare.
 * Usage: helper_readpix NAME r|d [PIECE]
 * Output: "count N", then N lines, each "blank" (the library's blank
 * pattern), "nan" (any other NaN) or the value (%.9g float, %.17g double).
 * Exit: 0 done; 1 usage; 2 open failed; 3 read failed (prints the code). */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imlib.h"

static void print_float(float x)
{
    uint32_t u;
    std::memcpy(&u, &x, 4);
    if (u == 0xFFFFFFFFu)
        std::puts("blank");
    else if (x != x)
        std::puts("nan");
    else
        std::printf("%.9g\n", static_cast<double>(x));
}

static void print_double(double x)
{
    double b;
    im_blankd(&b);
    if (std::memcmp(&x, &b, sizeof x) == 0)
        std::puts("blank");
    else if (x != x)
        std::puts("nan");
    else
        std::printf("%.17g\n", x);
}

int main(int argc, char **argv)
{
    if (argc < 3 || (argv[2][0] != 'r' && argv[2][0] != 'd')) {
        std::fputs("usage: helper_readpix NAME r|d [PIECE]\n", stderr);
        return 1;
    }
    bool as_float = argv[2][0] == 'r';
    int id = im_open(argv[1], "read");
    if (id < 0) {
        std::fprintf(stderr, "im_open: %d\n", id);
        return 2;
    }
    float fdummy;
    double ddummy;
    int n = as_float ? im_rpix_r(id, &fdummy, -1) : im_rpix_d(id, &ddummy, -1);
    if (n < 0) {
        std::printf("read %d\n", n);
        im_close(id);
        return 3;
    }
    int piece = argc > 3 ? std::atoi(argv[3]) : n;
    if (piece <= 0)
        piece = n > 0 ? n : 1;
    std::vector<float> fb(as_float ? n + 1 : 1);
    std::vector<double> db(as_float ? 1 : n + 1);
    int got = 0;
    for (;;) {
        int want = piece < n - got ? piece : n - got;
        if (want <= 0)
            break;
        int r = as_float ? im_rpix_r(id, fb.data() + got, want) : im_rpix_d(id, db.data() + got, want);
        if (r < 0) {
            std::printf("read %d\n", r);
            im_close(id);
            return 3;
        }
        if (r == 0)
            break;
        got += r;
    }
    /* The window must be exhausted now. */
    int extra = as_float ? im_rpix_r(id, fb.data() + got, 1) : im_rpix_d(id, db.data() + got, 1);
    if (got != n || extra != 0) {
        std::printf("read %d of %d, then %d\n", got, n, extra);
        im_close(id);
        return 3;
    }
    std::printf("count %d\n", n);
    for (int k = 0; k < n; k++) {
        if (as_float)
            print_float(fb[k]);
        else
            print_double(db[k]);
    }
    im_close(id);
    return 0;
}

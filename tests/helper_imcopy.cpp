/* helper_imcopy: copy an image through the library -- its header cards
 * (im_hdr) and its pixels as doubles -- into a new image whose form the
 * output name gives (an IRAF header's version follows the environment
 * variable oifversion).
 * Usage: helper_imcopy IN OUT
 * Exit: 0 copied; 1 usage; 2 input not opened (reason on standard error);
 * 3 any later step failed (the step and its code on standard error). */
#include <cstdio>
#include <vector>

#include "imlib.h"

static int fail(const char *step, int code)
{
    std::fprintf(stderr, "%s: %d\n", step, code);
    return 3;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: helper_imcopy IN OUT\n", stderr);
        return 1;
    }
    int in = im_open(argv[1], "read");
    if (in < 0) {
        std::fprintf(stderr, "im_open %s: %d: %s\n", argv[1], in, im_errmsg());
        return 2;
    }
    int out = im_open(argv[2], "write");
    if (out < 0)
        return fail("im_open output", out);
    const int list[2] = {in, 0};
    int rc = im_hdr(out, list, nullptr);
    if (rc < 0)
        return fail("im_hdr", rc);
    double dummy;
    int n = im_rpix_d(in, &dummy, -1);
    if (n < 0)
        return fail("im_rpix_d rewind", n);
    std::vector<double> pix(n > 0 ? n : 1);
    rc = im_rpix_d(in, pix.data(), n);
    if (rc != n)
        return fail("im_rpix_d", rc);
    rc = im_wpix_d(out, pix.data(), n);
    if (rc != n)
        return fail("im_wpix_d", rc);
    rc = im_close(out);
    if (rc < 0)
        return fail("im_close output", rc);
    im_close(in);
    return 0;
}

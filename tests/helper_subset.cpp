/* helper_subset: open an image through im_open with subset text in its name
 * and print the window the library chose, for a script to compare.
 * Usage: helper_subset NAME,SUBSET
 * The skip of axis n is CRPIXn of the whole image (opened without the
 * subset) minus CRPIXn as read through the window; the take is NAXISn as
 * read through the window.
 * Output: "axis N skip S take T" per axis; or, when the open fails,
 * "open CODE" and "reason TEXT" (im_errmsg).
 * Exit: 0 opened; 1 usage or the whole image cannot be read; 2 open with
 * the subset failed. */
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "imlib.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: helper_subset NAME,SUBSET\n", stderr);
        return 1;
    }
    std::string name = argv[1];
    std::string path = name.substr(0, name.find(','));

    int whole = im_open(path.c_str(), "read");
    if (whole < 0) {
        std::fprintf(stderr, "cannot open %s: %d %s\n", path.c_str(), whole, im_errmsg());
        return 1;
    }
    int id = im_open(name.c_str(), "read");
    if (id < 0) {
        std::printf("open %d\nreason %s\n", id, im_errmsg());
        im_close(whole);
        return 2;
    }

    int n_axes = 0;
    im_rkey_i(whole, &n_axes, "NAXIS");
    for (int n = 1; n <= n_axes; n++) {
        double crpix_whole = 0.0, crpix_window = 0.0;
        int take = -1;
        bool have = im_rkey_d(whole, &crpix_whole, im_key("CRPIX", n)) > 0 &&
                    im_rkey_d(id, &crpix_window, im_key("CRPIX", n)) > 0;
        im_rkey_i(id, &take, im_key("NAXIS", n));
        if (have)
            std::printf("axis %d skip %ld take %d\n", n,
                        std::lround(crpix_whole - crpix_window), take);
        else
            std::printf("axis %d skip ? take %d\n", n, take);
    }
    im_close(id);
    im_close(whole);
    return 0;
}

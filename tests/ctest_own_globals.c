/* A C program may name its own globals as it likes: short names that the
 * library uses inside (its current descriptor f among them) neither clash
 * at link time, with the static library, nor get written by the library,
 * with the shared one.  Built twice: ctest_own_globals (static library) and
 * ctest_own_globals_shared.  Every global keeps its value across a write
 * and a read of an image, header copies and keyword calls. */
#include <stdio.h>
#include <string.h>

#include "imlib.h"

/* Names a caller could well choose; initialised, so that each is a strong
 * definition of its own. */
double f = 2.5;
int flag = 11;
char card[81] = "CARD OF THE CALLER";
char buff[16] = "caller buffer";
int id = 42;
long hdr = 7;
int fid = 9;
int swap = 3;
int debug = 5;
int npix = 6;
int bitpix = -1;
int window = 8;
int line = 12;
int type = 13;

static int failures = 0;

static void check(int ok, const char *what)
{
    if (!ok) {
        printf("FAILED: %s\n", what);
        failures++;
    }
}

static void check_globals(const char *when)
{
    char what[120];
    int ok = f == 2.5 && flag == 11 && strcmp(card, "CARD OF THE CALLER") == 0 &&
             strcmp(buff, "caller buffer") == 0 && id == 42 && hdr == 7 && fid == 9 &&
             swap == 3 && debug == 5 && npix == 6 && bitpix == -1 && window == 8 &&
             line == 12 && type == 13;
    snprintf(what, sizeof what, "the program's globals kept their values %s", when);
    check(ok, what);
}

int main(int argc, char **argv)
{
    /* Named after the program, so that both builds can run at once. */
    char name[4096];
    char copy_name[4096];
    short pix[12];
    float back[12];
    int old[2];
    int copy;
    int img;
    int k;
    int n = 0;

    snprintf(name, sizeof name, "%s.fits", argc > 0 ? argv[0] : "ctest_own_globals");
    snprintf(copy_name, sizeof copy_name, "%s.copy.fits", argc > 0 ? argv[0] : "ctest_own_globals");
    for (k = 0; k < 12; k++)
        pix[k] = (short)(k * 100 - 300);

    img = im_open(name, "write");
    check(img > 0, "open for writing");
    check(im_wkey_i(img, 16, "BITPIX") == 1 && im_wkey_i(img, 2, "NAXIS") == 1 &&
              im_wkey_i(img, 4, "NAXIS1") == 1 && im_wkey_i(img, 3, "NAXIS2") == 1,
          "layout cards written");
    check(im_wpix_s(img, pix, 12) == 12, "pixels written");
    check(im_close(img) == 0, "closed after writing");
    check_globals("after writing an image");

    img = im_open(name, "read");
    check(img > 0, "open for reading");
    check(im_rkey_i(img, &n, "NAXIS1") > 0 && n == 4, "NAXIS1 read");
    check(im_rpix_r(img, back, 12) == 12, "pixels read");
    for (k = 0; k < 12; k++)
        check(back[k] == (float)(k * 100 - 300), "pixel value read back");
    check_globals("after reading an image");

    /* A header copy walks the card store through the current descriptor. */
    copy = im_open(copy_name, "write");
    old[0] = img;
    old[1] = 0;
    check(copy > 0 && im_hdr(copy, old, NULL) == 0, "header copied");
    check(im_file(copy, "d") == 0, "copy discarded");
    check(im_close(img) == 0, "closed after reading");
    check(im_close(img) == -3, "a second close finds no open image");
    check_globals("after a header copy and closes");

    remove(name);
    printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}

/* use_imlib: a program built against an installed copy of the library, as
 * its users build theirs (only <imlib.h> from the install prefix).  Writes
 * a 16-bit FITS image with a title, reads it back as floats and checks
 * every pixel, the title and the axis lengths.
 * Usage: use_imlib FILE.fits    Exit status 0 when everything matched. */
#include <stdio.h>
#include <string.h>

#include <imlib.h>

#define NX 13
#define NY 7

static int failures = 0;

static void check(int ok, const char *what)
{
    if (!ok) {
        printf("FAILED: %s (%s)\n", what, im_errmsg());
        failures++;
    }
}

int main(int argc, char **argv)
{
    short out[NX * NY];
    float in[NX * NY];
    char title[81];
    int naxis1 = 0;
    int naxis2 = 0;
    int id;
    int k;

    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE.fits\n", argv[0]);
        return 2;
    }
    for (k = 0; k < NX * NY; k++)
        out[k] = (short)(k * 37 - 1500);

    id = im_open(argv[1], "write");
    check(id > 0, "open for writing");
    check(im_wkey_i(id, 16, "BITPIX") == 1, "BITPIX written");
    check(im_wkey_i(id, 2, "NAXIS") == 1, "NAXIS written");
    check(im_wkey_i(id, NX, "NAXIS1") == 1, "NAXIS1 written");
    check(im_wkey_i(id, NY, "NAXIS2") == 1, "NAXIS2 written");
    check(im_wkey_c(id, "installed library", "OBJECT") == 1, "OBJECT written");
    check(im_wpix_s(id, out, NX * NY) == NX * NY, "pixels written");
    check(im_close(id) == 0, "closed after writing");

    /* The writer converts its buffer in place: the expected values again. */
    id = im_open(argv[1], "read");
    check(id > 0, "open for reading");
    check(im_rkey_i(id, &naxis1, "NAXIS1") > 0 && naxis1 == NX, "NAXIS1 read");
    check(im_rkey_i(id, &naxis2, "NAXIS2") > 0 && naxis2 == NY, "NAXIS2 read");
    check(im_rkey_c(id, title, "OBJECT") > 0 && strcmp(title, "installed library") == 0,
          "OBJECT read");
    check(im_rpix_r(id, in, NX * NY) == NX * NY, "pixels read");
    for (k = 0; k < NX * NY; k++) {
        if (in[k] != (float)(k * 37 - 1500)) {
            printf("FAILED: pixel %d is %g, not %d\n", k, in[k], k * 37 - 1500);
            failures++;
            break;
        }
    }
    check(im_close(id) == 0, "closed after reading");
    check(im_close(id) == -3, "a second close finds no open image");
    printf("use_imlib: %s\n", failures == 0 ? "all checks passed" : "checks failed");
    return failures == 0 ? 0 : 1;
}

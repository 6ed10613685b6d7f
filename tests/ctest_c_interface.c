/* The public interface from C: compiled against the public headers alone,
 * linked to the library, every named result code checked against today's
 * value and against what the library returns for a call that provokes it.
 * Files are made in the working directory and removed at the end. */
#include <stdio.h>
#include <string.h>

#include <imlib.h>

static const char IMAGE[] = "ctest_c_interface.fits";
static const char NOT_AN_IMAGE[] = "ctest_c_interface.txt";

static int checks = 0;
static int failures = 0;

/* Counts one check; prints what was expected when it fails. */
static void expect_int(const char *what, int want, int got)
{
    checks++;
    if (want != got) {
        printf("FAILED %s: expected %d, got %d\n", what, want, got);
        failures++;
    }
}

/* A new FITS image of 3 x 2 BITPIX 16 pixels 1..6 with a card whose
 * comment runs to column 80.  Returns the result of its im_close, or the
 * first negative result before it. */
static int write_image(void)
{
    short pix[6] = {1, 2, 3, 4, 5, 6};
    char card[IM_CARD_SIZE];
    int id = im_open(IMAGE, "w");
    if (id <= 0)
        return id;
    if (im_wkey_i(id, 16, "BITPIX") != 1 || im_wkey_i(id, 2, "NAXIS") != 1 ||
        im_wkey_i(id, 3, "NAXIS1") != 1 || im_wkey_i(id, 2, "NAXIS2") != 1)
        return IM_ERR_REFUSED;
    memset(card, 'x', sizeof card);
    memcpy(card, "OBSERVER= 'C caller'         / ", 31);
    card[80] = '\0';
    if (im_wkey_t(id, card, "end") != 1)
        return IM_ERR_REFUSED;
    if (im_wpix_s(id, pix, 6) != 6)
        return IM_ERR_REFUSED;
    return im_close(id);
}

/* Each named code: its value today, and a call that provokes it. */
static void check_named_codes(void)
{
    static const struct {
        const char *name;
        int value;
        int today;
        const char *provoked_by;
    } codes[] = {
        {"IM_OK", IM_OK, 0, "im_swin of window 0"},
        {"IM_ERR_NOTFOUND", IM_ERR_NOTFOUND, -1, "im_rkey_i of a keyword not in the header"},
        {"IM_ERR_REFUSED", IM_ERR_REFUSED, -2, "im_wkey_i of BITPIX 24"},
        {"IM_ERR_NOTOPEN", IM_ERR_NOTOPEN, -3, "im_close of a handle never opened"},
        {"IM_ERR_UNUSABLE", IM_ERR_UNUSABLE, -4, "im_rkey_i of a string value"},
    };
    int got[5];
    int value = 12345;
    size_t i;
    int id = im_open(IMAGE, "r");

    expect_int("open of the image written", 1, id > 0);
    got[0] = im_swin(id, 0);
    got[1] = im_rkey_i(id, &value, "NOSUCH");
    got[2] = im_wkey_i(id, 24, "BITPIX");
    got[3] = im_close(999999);
    got[4] = im_rkey_i(id, &value, "OBSERVER");
    for (i = 0; i < sizeof codes / sizeof codes[0]; i++) {
        char what[160];
        snprintf(what, sizeof what, "%s today", codes[i].name);
        expect_int(what, codes[i].today, codes[i].value);
        snprintf(what, sizeof what, "%s from %s", codes[i].name, codes[i].provoked_by);
        expect_int(what, codes[i].value, got[i]);
    }
    expect_int("a failed read leaves the value", 12345, value);
    expect_int("close of the image read", IM_OK, im_close(id));
    expect_int("second close of the image read", IM_ERR_NOTOPEN, im_close(id));
}

/* im_open gives every one of the four codes, each for its own reason. */
static void check_open_codes(void)
{
    char name[sizeof IMAGE + 32];
    FILE *text = fopen(NOT_AN_IMAGE, "w");

    if (text != NULL) {
        fputs("just some text, of no image form\n", text);
        fclose(text);
    }
    expect_int("open of text", IM_ERR_NOTFOUND, im_open(NOT_AN_IMAGE, "r"));
    expect_int("open of a missing file", IM_ERR_REFUSED,
               im_open("ctest_c_interface_missing", "r"));
    expect_int("open with an unknown mode", IM_ERR_NOTOPEN, im_open(IMAGE, "x"));
    snprintf(name, sizeof name, "%s,@1:2,@1:2,@1:2", IMAGE);
    expect_int("open with a third subset field on two axes", IM_ERR_UNUSABLE,
               im_open(name, "r"));
}

/* Card buffers of IM_CARD_SIZE take an 80-column card and its comment. */
static void check_card_buffers(void)
{
    char card[IM_CARD_SIZE];
    char value[IM_CARD_SIZE];
    int id = im_open(IMAGE, "r");

    expect_int("open for the card reads", 1, id > 0);
    expect_int("im_rkey_t of OBSERVER", 1, im_rkey_t(id, card, "OBSERVER") > 0);
    expect_int("card length", 80, (int)strlen(card));
    expect_int("im_rkey_t of the comment", 2, im_rkey_t(id, card, "/"));
    expect_int("comment length", 80 - 30, (int)strlen(card));
    expect_int("im_rkey_c of OBSERVER", 2, im_rkey_c(id, value, "OBSERVER"));
    expect_int("string value", 0, strcmp(value, "C caller"));
    expect_int("im_rkey_c of a value without quotes", IM_ERR_NOTFOUND,
               im_rkey_c(id, value, "BITPIX"));
    expect_int("close", IM_OK, im_close(id));
}

/* The records and helpers a C caller owns. */
static void check_records_and_helpers(void)
{
    float fb;
    unsigned int bits;
    map_struct m;
    rwc_struct r;

    im_blank(&fb);
    memcpy(&bits, &fb, sizeof bits);
    expect_int("float blank has every bit set", 1, bits == 0xFFFFFFFFu);
    expect_int("im_key", 0, strcmp(im_key("NAXIS", 2), "NAXIS2"));
    expect_int("im_byteorder is 0 or 1", 1, im_byteorder() == 0 || im_byteorder() == 1);
    memset(&m, 0, sizeof m);
    memset(&r, 0, sizeof r);
    expect_int("mapf of a record not set up", -1, mapf(&m, ' ', 0.0, 0.0, NULL, NULL));
    expect_int("rwcf of a record not filled", -9, rwcf(&r, "", NULL, NULL));
}

int main(void)
{
    expect_int("write the image", IM_OK, write_image());
    check_named_codes();
    check_open_codes();
    check_card_buffers();
    check_records_and_helpers();
    remove(IMAGE);
    remove(NOT_AN_IMAGE);
    printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}

// fuzz_write: the pixel writers (float, double, int, short, byte) into new
// FITS, IRAF and ZZ images of every stored type, with or without
// BSCALE/BZERO and BLANK, then a reread that must give back the geometry
// and what each written value stands for.
// Input: form, BITPIX, writer, NAXIS, three axis lengths and flags (one
// byte each), BSCALE and BZERO (little-endian doubles), BLANK
// (little-endian int32), then the pixel values in the writer's type
// (repeated to fill the image).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "imlib.h"

static const int BITPIXES[5] = {8, 16, 32, -32, -64};
static const char WRITERS[5] = {'r', 'd', 'i', 's', 'c'};
static const char *const NAMES[3] = {"out.fits", "out.imh", "out.zzh"};

// Bytes at p (n of them, zero past the end) as a little-endian integer.
static uint64_t le(const uint8_t *data, size_t size, size_t p, int n)
{
    uint64_t u = 0;
    for (int i = 0; i < n; i++)
        if (p + size_t(i) < size)
            u |= uint64_t(data[p + size_t(i)]) << (8 * i);
    return u;
}

// The writer's own width for the integer writers; 0 for the others.
static int own_bitpix(char w)
{
    return w == 'i' ? 32 : w == 's' ? 16 : w == 'c' ? 8 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    const int form = data[0] % 3;
    const int bitpix = BITPIXES[data[1] % 5];
    char writer = WRITERS[data[2] % 5];
    const int naxis = 1 + data[3] % 3;
    int naxes[3] = {1 + data[4] % 16, 1 + data[5] % 16, 1 + data[6] % 16};
    const uint8_t flags = data[7];
    const bool scaled = flags & 1, blank = flags & 2, pieces = flags & 4, comments = flags & 8;
    // A mismatched integer writer must be refused; mostly use one that fits.
    const bool mismatched = own_bitpix(writer) != 0 && own_bitpix(writer) != bitpix;
    if (mismatched && !(flags & 16))
        writer = 'd';
    if (writer == 'r' && bitpix == -64)
        writer = 'd';
    double bscale, bzero;
    uint64_t u = le(data, size, 8, 8);
    std::memcpy(&bscale, &u, sizeof bscale);
    u = le(data, size, 16, 8);
    std::memcpy(&bzero, &u, sizeof bzero);
    const int32_t blank_code = int32_t(uint32_t(le(data, size, 24, 4)));
    const size_t value_at = 28;

    int n = 1;
    for (int a = 0; a < naxis; a++)
        n *= naxes[a];

    fz_remove("out.fits");
    const std::string name = fz_path(NAMES[form]);
    int id = fz_new_image(NAMES[form], bitpix, naxis, naxes);
    if (scaled) {
        im_wkey_d(id, bscale, "BSCALE");
        im_wkey_d(id, bzero, "BZERO");
    }
    if (blank)
        im_wkey_i(id, blank_code, "BLANK");
    if (comments) {
        im_wkey_c(id, "FUZZ", "OBJECT");
        im_wkey_t(id, "HISTORY written by fuzz_write", "end");
    }
    // What the store holds now (a refused value is absent).
    fz_store st;
    st.bitpix = bitpix;
    st.bscale = 1.0;
    st.bzero = 0.0;
    st.form = "fiz"[form];
    st.writer = writer;
    im_rkey_d(id, &st.bscale, "BSCALE");
    im_rkey_d(id, &st.bzero, "BZERO");
    st.has_blank = im_rkey_i(id, &st.blank, "BLANK") > 0;

    // The caller's values, and a copy (the writers convert in place).
    const size_t width = writer == 'd' ? 8 : writer == 'r' || writer == 'i' ? 4
                         : writer == 's' ? 2 : 1;
    const size_t avail = size > value_at ? size - value_at : 0;
    std::vector<uint8_t> buf(size_t(n) * width, 0);
    for (size_t i = 0; avail > 0 && i < buf.size(); i++)
        buf[i] = data[value_at + i % avail];
    const std::vector<uint8_t> orig = buf;

    int written = 0;
    const int calls = pieces && n > 1 ? 2 : 1;
    for (int p = 0; p < calls; p++) {
        const int first = p == 0 ? 0 : n / 2;
        const int count = calls == 1 ? n : p == 0 ? n / 2 : n - n / 2;
        uint8_t *at = buf.data() + size_t(first) * width;
        int rc;
        switch (writer) {
        case 'r': rc = im_wpix_r(id, reinterpret_cast<float *>(at), count); break;
        case 'd': rc = im_wpix_d(id, reinterpret_cast<double *>(at), count); break;
        case 'i': rc = im_wpix_i(id, reinterpret_cast<int *>(at), count); break;
        case 's': rc = im_wpix_s(id, reinterpret_cast<short *>(at), count); break;
        default: rc = im_wpix_c(id, at, count); break;
        }
        if (own_bitpix(writer) != 0 && own_bitpix(writer) != bitpix && rc != -2)
            fz_fail("an integer writer took pixels of another width");
        if (rc < 0)
            break;
        if (rc != count)
            fz_fail("a writer stored fewer pixels than asked with room left");
        written += rc;
    }
    const int closed = im_close(id);
    if (closed == -4)
        im_file(id, "d"); // cards the form cannot store: not mended here
    // An image given fewer pixels than its axes call for is refused.
    if (written != n && closed == 0)
        fz_fail("an image given fewer pixels than NAXISn call for closed as success");
    if (written == n && closed == -2) {
        std::fprintf(stderr, "%s\n", im_errmsg());
        fz_fail("an image given all its pixels failed to close");
    }
    if (written != n || closed != 0)
        return 0;

    // The reread.
    int rid = im_open(name.c_str(), "read");
    if (rid <= 0)
        fz_fail("a written image does not open");
    int v = 0;
    im_rkey_i(rid, &v, "NAXIS");
    if (v != naxis)
        fz_fail("NAXIS changed");
    for (int a = 1; a <= naxis; a++) {
        v = 0;
        im_rkey_i(rid, &v, im_key("NAXIS", a));
        if (v != naxes[a - 1])
            fz_fail("an axis length changed");
    }
    im_rkey_i(rid, &v, "BITPIX");
    if (v != bitpix && !(st.form == 'i' && v == -32 && bitpix > 0))
        fz_fail("BITPIX changed");
    std::vector<double> back(size_t(n), 0.0);
    if (im_rpix_d(rid, back.data(), n) != n)
        fz_fail("a written image reads back short");
    im_close(rid);
    for (int k = 0; k < n; k++) {
        const uint8_t *p = orig.data() + size_t(k) * width;
        double val;
        switch (writer) {
        case 'r': { float x; std::memcpy(&x, p, 4); val = x; break; }
        case 'd': std::memcpy(&val, p, 8); break;
        case 'i': { int32_t x; std::memcpy(&x, p, 4); val = x; break; }
        case 's': { int16_t x; std::memcpy(&x, p, 2); val = x; break; }
        default: val = *p; break;
        }
        fz_check_value(st, val, back[size_t(k)], "a written pixel reads back wrong");
    }
    return 0;
}

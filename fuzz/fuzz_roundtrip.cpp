// fuzz_roundtrip: read an image of any form (found by content), copy its
// header to a new FITS, IRAF or ZZ image (or one of the input's form),
// write its pixels there, and reread the copy: it must have the same
// geometry and give back what each pixel stood for.
// Input: one selector byte (output form in the low two bits, the float or
// double transfer in bit 2), then a split (fz_split) into the image file
// and a second file, stored both as its ZZ pixel file and as the IRAF
// pixel file "in.pix".
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "fuzz_support.h"
#include "im.h"

static const char *const OUT_NAMES[4] = {"rt.fits", "rt.imh", "rt.zzh", "rt"};
static const int MAX_PIX = 1 << 16;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int out_form = data[0] & 3;
    const bool as_float = data[0] & 4;
    std::vector<uint8_t> img, pix;
    fz_split(data + 1, size - 1, img, pix);
    fz_write("in.dat", img.data(), img.size());
    fz_write("in.dat.zzp", pix.data(), pix.size());
    fz_write("in.pix", pix.data(), pix.size());
    for (const char *old : {"rt.fits", "rt.imh", "rt.pix", "rt.zzh", "rt.zzp"})
        fz_remove(old);

    int in = im_open(fz_path("in.dat").c_str(), "read");
    if (in <= 0)
        return 0;
    int naxis = 0, bitpix = 0;
    im_rkey_i(in, &naxis, "NAXIS");
    im_rkey_i(in, &bitpix, "BITPIX");
    int naxes[10] = {0};
    long long n = naxis > 0 ? 1 : 0;
    for (int a = 1; a <= naxis && a <= 9 && n > 0; a++) {
        im_rkey_i(in, &naxes[a], im_key("NAXIS", a));
        n *= naxes[a] > 0 ? naxes[a] : 0;
        if (n > MAX_PIX)
            n = 0;
    }
    if (n <= 0 || naxis > 9 || (as_float && bitpix == -64)) {
        im_close(in);
        return 0;
    }
    const int np = int(n);
    std::vector<double> vals(static_cast<size_t>(np));
    std::vector<float> fvals(static_cast<size_t>(np));
    const int got = as_float ? im_rpix_r(in, fvals.data(), np) : im_rpix_d(in, vals.data(), np);
    if (got != np) {
        im_close(in);
        return 0;
    }
    if (as_float)
        for (int k = 0; k < np; k++)
            vals[size_t(k)] = fvals[size_t(k)];

    // The copy.
    const std::string out_name = fz_path(OUT_NAMES[out_form]);
    int out = im_open(out_name.c_str(), "write");
    if (out <= 0)
        fz_fail("a write open failed");
    const int olds[2] = {in, 0};
    im_hdr(out, olds, nullptr);
    // How the copy stores its pixels, as the library's descriptor holds it:
    // keyword reads find a number in a BLANK of "-7x" or 1.5, but only an
    // integer is a blank code.
    const fid_struct *desc = find_fid(out);
    if (desc == nullptr)
        fz_fail("an open copy has no descriptor");
    fz_store st;
    st.bitpix = desc->val_bitpix;
    st.bscale = desc->val_scale;
    st.bzero = desc->val_offset;
    st.has_blank = desc->val_blank_flag != 0;
    st.blank = desc->val_blank;
    fz_check_layout_cards(out);
    st.writer = as_float ? 'r' : 'd';
    int wrote;
    if (as_float) {
        std::vector<float> b = fvals;
        wrote = im_wpix_r(out, b.data(), np);
    } else {
        std::vector<double> b = vals;
        wrote = im_wpix_d(out, b.data(), np);
    }
    const int closed = im_close(out);
    if (closed == -4)
        im_file(out, "d"); // cards the output form cannot store: not mended here
    im_close(in);
    if (wrote == np && closed == -2) {
        std::fprintf(stderr, "%s\n", im_errmsg());
        fz_fail("a copy given all its pixels failed to close");
    }
    if (wrote != np || closed != 0)
        return 0;

    // The reread.
    std::string reread = out_name;
    if (out_form == 3) {
        // No ending: the input's form, whose ending was appended.
        for (const char *sfx : {".fits", ".imh", ".zzh"}) {
            if (access((out_name + sfx).c_str(), F_OK) == 0)
                reread = out_name + sfx;
        }
    }
    st.form = reread.compare(reread.size() - 4, 4, ".imh") == 0   ? 'i'
              : reread.compare(reread.size() - 4, 4, ".zzh") == 0 ? 'z'
                                                                  : 'f';
    int rid = im_open(reread.c_str(), "read");
    if (rid <= 0) {
        std::fprintf(stderr, "%s\n", im_errmsg());
        fz_fail("a copy reported as written does not open");
    }
    int v = 0;
    im_rkey_i(rid, &v, "NAXIS");
    if (v != naxis)
        fz_fail("the copy has another NAXIS");
    for (int a = 1; a <= naxis; a++) {
        v = 0;
        im_rkey_i(rid, &v, im_key("NAXIS", a));
        if (v != naxes[a])
            fz_fail("the copy has another axis length");
    }
    std::vector<double> back(static_cast<size_t>(np));
    if (im_rpix_d(rid, back.data(), np) != np)
        fz_fail("the copy reads back short");
    im_close(rid);
    for (int k = 0; k < np; k++)
        fz_check_value(st, vals[size_t(k)], back[size_t(k)], "a copied pixel reads back wrong");
    return 0;
}

// fuzz_update: writing into an existing image opened for update through
// the window its subset text selects (and, on request, a window defined
// inside it with im_dwin), for FITS, IRAF and ZZ images of every stored
// type; the reread must show the written values inside the window and the
// old ones everywhere else.
// Input: form, BITPIX, writer, NAXIS, three axis lengths and flags (one
// byte each; flags 32: define window 2), 20 bytes unused (the writer
// harness's scaling block), the subset text ended by a NUL, three skips
// and three takes for window 2 (one byte each), then the values written
// (one byte each, 0..99).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "im.h"

static const int BITPIXES[5] = {8, 16, 32, -32, -64};
static const char *const NAMES[3] = {"upd.fits", "upd.imh", "upd.zzh"};

// Old value of pixel k: small integers, exact in every stored type.
static double old_value(int k)
{
    return double((k * 7) % 50 + 100);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 28)
        return 0;
    const int form = data[0] % 3;
    int bitpix = BITPIXES[data[1] % 5];
    if (form == 1 && bitpix == 8)
        bitpix = 16; // IRAF holds no 8-bit pixels
    const int naxis = 1 + data[3] % 3;
    const int naxes[3] = {1 + data[4] % 16, 1 + data[5] % 16, 1 + data[6] % 16};
    const bool window2 = data[7] & 32;
    // The writer: the integer one of the stored width, or float / double.
    const int pick = data[2] % 3;
    const char writer = pick == 0 ? 'd' : pick == 1 && bitpix != -64 ? 'r'
                        : bitpix == 32 ? 'i' : bitpix == 16 ? 's' : bitpix == 8 ? 'c' : 'd';

    size_t at = 28;
    std::string subset;
    while (at < size && data[at] != 0)
        subset += char(data[at++]);
    at++;
    uint8_t win[6] = {0, 0, 0, 1, 1, 1};
    for (int i = 0; i < 6 && at < size; i++)
        win[i] = data[at++];

    // The image before the update.
    int n = 1;
    for (int a = 0; a < naxis; a++)
        n *= naxes[a];
    const std::string name = fz_path(NAMES[form]);
    int id = fz_new_image(NAMES[form], bitpix, naxis, naxes);
    std::vector<double> pix(static_cast<size_t>(n));
    for (int k = 0; k < n; k++)
        pix[size_t(k)] = old_value(k);
    if (im_wpix_d(id, pix.data(), n) != n || im_close(id) != 0)
        fz_fail("the image to update could not be written");

    // The update through the subset's window.
    const std::string full = subset.empty() ? name : name + "," + subset;
    int uid = im_open(full.c_str(), "update");
    if (uid < 0) {
        if (im_errmsg()[0] == '\0')
            fz_fail("a refused update open gave no reason");
        return 0;
    }
    if (window2) {
        int takes[10] = {0}, skips[10] = {0};
        takes[0] = naxis;
        for (int a = 1; a <= naxis; a++) {
            skips[a] = win[a - 1] % 18 - 1;
            takes[a] = win[a + 2] % 18;
        }
        if (im_dwin(uid, 2, takes, skips) != 0 || im_swin(uid, 2) != 0)
            fz_fail("a window inside the subset could not be set");
    }
    fid_struct *p = find_fid(uid);
    if (p == nullptr || p->cur_window == nullptr)
        fz_fail("an update image has no current window");
    const window_struct w = *p->cur_window;
    int wn = 1;
    for (int a = 1; a <= naxis; a++) {
        if (w.naxis_skip[a] < 0 || w.naxis_take[a] < 0
            || w.naxis_skip[a] + w.naxis_take[a] > naxes[a - 1])
            fz_fail("the window leaves the image");
        wn *= w.naxis_take[a];
    }

    // The new values, in the writer's type.
    std::vector<double> vals(static_cast<size_t>(wn));
    for (int k = 0; k < wn; k++)
        vals[size_t(k)] = at < size ? double(data[at + size_t(k) % (size - at)] % 100) : 1.0;
    int rc;
    switch (writer) {
    case 'r': {
        std::vector<float> b(vals.begin(), vals.end());
        rc = im_wpix_r(uid, b.data(), wn);
        break;
    }
    case 'i': {
        std::vector<int> b(vals.begin(), vals.end());
        rc = im_wpix_i(uid, b.data(), wn);
        break;
    }
    case 's': {
        std::vector<short> b(vals.begin(), vals.end());
        rc = im_wpix_s(uid, b.data(), wn);
        break;
    }
    case 'c': {
        std::vector<unsigned char> b(vals.begin(), vals.end());
        rc = im_wpix_c(uid, b.data(), wn);
        break;
    }
    default: {
        std::vector<double> b = vals;
        rc = im_wpix_d(uid, b.data(), wn);
        break;
    }
    }
    if (rc != wn)
        fz_fail("an update write stored another count than the window holds");
    if (im_close(uid) != 0)
        fz_fail("an update image closed unchanged in its header failed to close");

    // The reread: the window holds the new values in order, the rest the old.
    int rid = im_open(name.c_str(), "read");
    if (rid <= 0)
        fz_fail("an updated image does not open");
    std::vector<double> back(static_cast<size_t>(n));
    if (im_rpix_d(rid, back.data(), n) != n)
        fz_fail("an updated image reads back short");
    im_close(rid);
    int k_in = 0;
    for (int k = 0; k < n; k++) {
        int c[3] = {k % naxes[0], (k / naxes[0]) % naxes[1], k / (naxes[0] * naxes[1])};
        bool inside = true;
        for (int a = 1; a <= naxis; a++)
            inside = inside && c[a - 1] >= w.naxis_skip[a]
                     && c[a - 1] < w.naxis_skip[a] + w.naxis_take[a];
        const double want = inside ? vals[size_t(k_in++)] : old_value(k);
        if (back[size_t(k)] != want) {
            std::fprintf(stderr, "pixel %d (%s the window): %g, expected %g\n", k,
                         inside ? "inside" : "outside", back[size_t(k)], want);
            fz_fail("an updated image holds other pixels than were written");
        }
    }
    return 0;
}

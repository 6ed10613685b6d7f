// fuzz_subset: the subset text of "name,subset" opening, with pixel, world
// and sky fields, over images whose headers carry world coordinates
// (several projections and systems, two and three axes), and the text
// front ends of the projections (mapf_string, map_hms).
// Input: one byte picking the header, then the subset text.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "im.h"
#include "seed_images.h"

// The world-coordinate images, written once per process by the library.
static void write_headers(void)
{
    static bool done = false;
    if (done)
        return;
    for (int h = 0; h < seed_wcs_count(); h++)
        if (seed_write_wcs(fz_path("wcs" + std::to_string(h) + ".fits"), h) != 0)
            fz_fail("a world-coordinate image could not be written");
    done = true;
}

// Window 1 of an image opened with a subset must lie inside the image.
static void check_window(int id)
{
    fid_struct *p = find_fid(id);
    if (p == nullptr)
        fz_fail("an open handle has no descriptor");
    const window_struct &w = p->windows[1];
    int naxis = p->val_naxis[0] > IM_MAX_AXES ? IM_MAX_AXES : p->val_naxis[0];
    for (int a = 1; a <= naxis; a++) {
        if (w.naxis_skip[a] < 0 || w.naxis_take[a] < 0
            || int64_t(w.naxis_skip[a]) + w.naxis_take[a] > p->val_naxis[a])
            fz_fail("the subset window leaves the image");
    }
    if (w.total_bytes < 0)
        fz_fail("the subset window is undefined");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    write_headers();
    if (size == 0)
        return 0;
    const int h = data[0] % seed_wcs_count();
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text = text.substr(0, text.find('\0'));

    // Through im_open.
    const std::string path = fz_path("wcs" + std::to_string(h) + ".fits");
    int id = im_open((path + "," + text).c_str(), "read");
    if (id > 0) {
        check_window(id);
        fz_exercise(id, data[0] / 16);
        im_close(id);
    } else if (im_errmsg()[0] == '\0') {
        fz_fail("a refused subset gave no reason");
    }

    // Straight through rwcf, with the record of the same header.
    id = im_open(path.c_str(), "read");
    if (id <= 0)
        fz_fail("a world-coordinate image does not open");
    rwc_struct r;
    std::memset(&r, 0, sizeof r);
    if (rwc_fid(&r, id) >= 0) {
        std::vector<char> copy(text.begin(), text.end());
        copy.push_back('\0');
        int skips[10], takes[10];
        int rc = rwcf(&r, copy.data(), skips, takes);
        if (std::string(copy.data()) != text)
            fz_fail("rwcf changed its input text");
        if (rc == 0) {
            if (takes[0] < 0 || takes[0] > 9)
                fz_fail("rwcf described an impossible number of axes");
            for (int a = 1; a <= takes[0]; a++)
                if (takes[a] < 0)
                    fz_fail("rwcf gave a negative take");
        }
        // The projection's own text reader on the same text.
        map_struct m;
        std::memset(&m, 0, sizeof m);
        if (map_set(&m, r.ctype[1], r.ctype[2], r.cdelt[1], r.cdelt[2], r.crval[1], r.crval[2],
                    r.crpix[1], r.crpix[2], 0.0, 0.0) == 0) {
            std::vector<char> a = copy;
            std::vector<char> b(text.begin(), text.end());
            b.push_back('\0');
            double x = 0, y = 0, v = 0;
            if (mapf_string(&m, a.data(), &x, &y) == 0 && !(std::isfinite(x) && std::isfinite(y)))
                fz_fail("mapf_string accepted a position that maps to no finite pixel");
            if (map_hms(b.data(), &v) >= 0 && !std::isfinite(v))
                fz_fail("map_hms accepted a value that is not finite");
        }
    }
    im_close(id);
    return 0;
}

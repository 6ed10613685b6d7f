// fuzz_support: the private folder, input splitting and the shared read
// exercise of every harness (see fuzz_support.h).
#include "fuzz_support.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "imlib.h"

void fz_fail(const char *what)
{
    std::fprintf(stderr, "FUZZ FINDING: %s\n", what);
    std::abort();
}

// Remove every file of the folder, then the folder (at exit).
static void remove_dir(void)
{
    const std::string &d = fz_dir();
    DIR *dir = opendir(d.c_str());
    if (dir != nullptr) {
        while (struct dirent *e = readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                unlink((d + "/" + e->d_name).c_str());
        }
        closedir(dir);
    }
    rmdir(d.c_str());
}

const std::string &fz_dir(void)
{
    static std::string dir;
    if (dir.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp")
                           + "/imfuzz.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr)
            fz_fail("cannot create the temporary folder");
        dir = buf.data();
        std::atexit(remove_dir);
    }
    return dir;
}

std::string fz_path(const std::string &name)
{
    return fz_dir() + "/" + name;
}

void fz_write(const std::string &name, const uint8_t *data, size_t len)
{
    const std::string p = fz_path(name);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        fz_fail("cannot create an input file");
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, data + done, len - done);
        if (n <= 0)
            fz_fail("cannot write an input file");
        done += size_t(n);
    }
    close(fd);
}

void fz_remove(const std::string &name)
{
    unlink(fz_path(name).c_str());
}

int fz_new_image(const std::string &name, int bitpix, int naxis, const int *naxes)
{
    int id = im_open(fz_path(name).c_str(), "write");
    if (id <= 0)
        fz_fail("a write open failed");
    im_wkey_i(id, bitpix, "BITPIX");
    im_wkey_i(id, naxis, "NAXIS");
    for (int a = 1; a <= naxis; a++)
        im_wkey_i(id, naxes[a - 1], im_key("NAXIS", a));
    return id;
}

void fz_split(const uint8_t *data, size_t size, std::vector<uint8_t> &one,
              std::vector<uint8_t> &two)
{
    one.clear();
    two.clear();
    if (size < 4) {
        one.assign(data, data + size);
        return;
    }
    uint32_t n = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16
                 | uint32_t(data[3]) << 24;
    size_t rest = size - 4;
    size_t n1 = n < rest ? n : rest;
    one.assign(data + 4, data + 4 + n1);
    two.assign(data + 4 + n1, data + size);
}

std::vector<uint8_t> fz_join(const std::vector<uint8_t> &one, const std::vector<uint8_t> &two)
{
    std::vector<uint8_t> v;
    uint32_t n = uint32_t(one.size());
    for (int i = 0; i < 4; i++)
        v.push_back(uint8_t(n >> (8 * i)));
    v.insert(v.end(), one.begin(), one.end());
    v.insert(v.end(), two.begin(), two.end());
    return v;
}

// Pixels read per call, and at most in all: keeps one execution short
// whatever NAXISn claim.
static const int CHUNK = 4096;
static const int MAX_PIX = 1 << 16;

void fz_exercise(int id, unsigned pick)
{
    int iv = 0;
    double dv = 0.0;
    float rv = 0.0f;
    char text[81];
    im_rkey_i(id, &iv, "NAXIS");
    im_rkey_i(id, &iv, "BITPIX");
    im_rkey_i(id, &iv, "NAXIS1");
    im_rkey_d(id, &dv, "BSCALE");
    im_rkey_r(id, &rv, "BZERO");
    im_rkey_l(id, &iv, "SIMPLE");
    if (im_rkey_c(id, text, "OBJECT") > 0 && std::strlen(text) > 80)
        fz_fail("im_rkey_c gave more than 80 characters");

    // Every card, first to last (bounded: the store may be long).
    char card[81];
    int rc = im_rkey_t(id, card, "1");
    for (int n = 0; rc > 0 && n < 100000; n++) {
        if (std::strlen(card) > 80)
            fz_fail("a card longer than 80 characters");
        rc = im_rkey_t(id, card, "+");
    }

    rwc_struct r;
    std::memset(&r, 0, sizeof r);
    rwc_fid(&r, id);

    // Pixels, in chunks, in the picked type.
    static float fbuf[CHUNK];
    static double dbuf[CHUNK];
    static int ibuf[CHUNK];
    static short sbuf[CHUNK];
    static unsigned char cbuf[CHUNK];
    for (int done = 0; done < MAX_PIX; done += CHUNK) {
        int got;
        switch (pick % 5) {
        case 0: got = im_rpix_r(id, fbuf, CHUNK); break;
        case 1: got = im_rpix_d(id, dbuf, CHUNK); break;
        case 2: got = im_rpix_i(id, ibuf, CHUNK); break;
        case 3: got = im_rpix_s(id, sbuf, CHUNK); break;
        default: got = im_rpix_c(id, cbuf, CHUNK); break;
        }
        if (got > CHUNK)
            fz_fail("a pixel read reported more pixels than asked for");
        if (got < CHUNK)
            break;
    }
}

// The cards of an open image that say the same after a rewrite, first to
// last (at most 100000), the layout cards replaced by their values as the
// library reads them (the writers format them their own way).
static std::vector<std::string> all_cards(int id)
{
    std::vector<std::string> v;
    char card[81];
    int rc = im_rkey_t(id, card, "1");
    for (int n = 0; rc > 0 && n < 100000; n++) {
        const std::string c = card;
        if (c.compare(0, 6, "BITPIX") != 0 && c.compare(0, 5, "NAXIS") != 0)
            v.push_back(c);
        rc = im_rkey_t(id, card, "+");
    }
    int value = 0, naxis = 0;
    im_rkey_i(id, &value, "BITPIX");
    im_rkey_i(id, &naxis, "NAXIS");
    v.push_back("layout " + std::to_string(value) + " " + std::to_string(naxis));
    for (int a = 1; a <= naxis && a <= 9; a++) {
        value = 0;
        im_rkey_i(id, &value, im_key("NAXIS", a));
        v.push_back(std::to_string(value));
    }
    return v;
}

void fz_check_layout_cards(int id)
{
    std::vector<std::string> seen;
    char card[81];
    int rc = im_rkey_t(id, card, "1");
    for (int n = 0; rc > 0 && n < 100000; n++) {
        // The keyword as the card store compares it: columns 1-8.
        std::string key(card, std::strlen(card) < 8 ? std::strlen(card) : 8);
        key.erase(key.find_last_not_of(' ') + 1);
        const bool layout = key == "BITPIX" || key == "NAXIS"
                            || (key.size() == 6 && key.compare(0, 5, "NAXIS") == 0
                                && key[5] >= '1' && key[5] <= '9');
        if (layout) {
            for (const std::string &k : seen)
                if (k == key) {
                    std::fprintf(stderr, "keyword %s held twice\n", key.c_str());
                    fz_fail("an image holds a layout card twice");
                }
            seen.push_back(key);
        }
        rc = im_rkey_t(id, card, "+");
    }
}

int fz_read_image(const std::string &name, unsigned pick, bool update)
{
    int id = im_open(name.c_str(), "read");
    if (id < 0) {
        if (im_errmsg()[0] == '\0')
            fz_fail("a refused open gave no reason");
        return id;
    }
    const std::vector<std::string> before = all_cards(id);
    fz_check_layout_cards(id);
    fz_exercise(id, pick);
    im_close(id);
    if (!update)
        return id;

    int uid = im_open(name.c_str(), "update");
    if (uid < 0)
        return id;
    // An update that changed nothing writes nothing: its close succeeds.
    if (im_close(uid) != 0) {
        std::fprintf(stderr, "%s\n", im_errmsg());
        fz_fail("an image opened for update and closed unchanged failed to close");
    }
    int again = im_open(name.c_str(), "read");
    if (again < 0)
        fz_fail("an image closed unchanged after an update open no longer opens");
    const std::vector<std::string> after = all_cards(again);
    if (after != before) {
        for (size_t i = 0; i < before.size() || i < after.size(); i++) {
            const char *b = i < before.size() ? before[i].c_str() : "(none)";
            const char *a = i < after.size() ? after[i].c_str() : "(none)";
            if (std::strcmp(a, b) != 0) {
                std::fprintf(stderr, "card %zu before: [%s]\ncard %zu after:  [%s]\n", i + 1, b,
                             i + 1, a);
                break;
            }
        }
        fz_fail("an image closed unchanged after an update open reads other cards");
    }
    im_close(again);
    return id;
}

// The stored range of an integer BITPIX, as the writers clip: around the
// blank code when there is one the type can hold, else the defaults.
// Sets usable to whether blank pixels are stored as the BLANK code.
static void int_range(const fz_store &s, double &lo, double &hi, bool &usable)
{
    double tmin, tmax, dlo, dhi;
    switch (s.bitpix) {
    case 8: tmin = 0; tmax = 255; dlo = 0; dhi = 255; break;
    case 16: tmin = -32768; tmax = 32767; dlo = -32767; dhi = 32767; break;
    default: tmin = -2147483648.0; tmax = 2147483647; dlo = -2147483646; dhi = 2147483647; break;
    }
    usable = s.has_blank && s.blank >= tmin && s.blank <= tmax;
    if (!usable) {
        lo = dlo;
        hi = dhi;
    } else if (s.blank <= 0) {
        lo = s.blank + 1.0;
        hi = tmax;
    } else {
        lo = s.bitpix == 8 ? 0 : s.bitpix == 16 ? -32768 : -2147483647;
        hi = s.blank - 1.0;
    }
}

static void mismatch(const fz_store &s, double v, double back, double want, const char *what)
{
    std::fprintf(stderr, "value %.17g read back as %.17g, expected %.17g (BITPIX %d, BSCALE "
                 "%.17g, BZERO %.17g, BLANK %s%d, %s, writer %c)\n", v, back, want, s.bitpix,
                 s.bscale, s.bzero, s.has_blank ? "" : "none ", s.blank,
                 s.form == 'i' ? "IRAF" : s.form == 'z' ? "ZZ" : "FITS", s.writer);
    fz_fail(what);
}

void fz_check_value(const fz_store &s, double v, double back, const char *what)
{
    const double sc = s.bscale, z = s.bzero;
    const bool unscaled = sc == 1.0 && z == 0.0;
    const bool integer_type = s.bitpix > 0;

    // Integer writers store the caller's integer as it is.
    if (s.writer == 'i' || s.writer == 's' || s.writer == 'c') {
        if (s.has_blank && v == double(s.blank)) {
            if (!std::isnan(back))
                mismatch(s, v, back, NAN, what);
            return;
        }
        const double want = v * sc + z;
        if (!std::isfinite(want))
            return;
        if (!(std::fabs(back - want) <= 1e-9 * std::fmax(1.0, std::fabs(want))))
            mismatch(s, v, back, want, what);
        return;
    }

    // Float and double writers.
    if (!std::isfinite(v)) {
        // Blank on FITS and ZZ floating types and integer types with a
        // BLANK card; IRAF keeps no blank in its pixels.
        double lo, hi;
        bool usable = true;
        if (integer_type)
            int_range(s, lo, hi, usable);
        if (integer_type && !usable && !(s.form == 'i' && !unscaled)) {
            // No BLANK the type holds: the default code, read as a number.
            const double code = s.bitpix == 8 ? 0 : s.bitpix == 16 ? -32768 : -2147483647;
            const double want = code * sc + z;
            if (std::isfinite(want)
                && !(std::fabs(back - want) <= 1e-9 * std::fmax(1.0, std::fabs(want))))
                mismatch(s, v, back, want, what);
            return;
        }
        if (s.form != 'i' && usable && !std::isnan(back))
            mismatch(s, v, back, NAN, what);
        return;
    }
    if (!integer_type) {
        if (!unscaled && s.form == 'f') {
            // FITS floats are scaled both ways: back within rounding.
            if (!(std::isfinite(sc) && std::isfinite(z)) || sc == 0.0)
                return;
            const double q = (v - z) / sc;
            const bool single = s.bitpix == -32 || s.writer == 'r';
            const double eps = single ? 0x1p-23 : 0x1p-52;
            const double tiny = single ? 0x1p-125 : 0x1p-1021;
            const double tol = 8 * eps * (std::fabs(v) + std::fabs(z) + std::fabs(q * sc))
                               + tiny * std::fabs(sc);
            if (!std::isfinite(q) || !std::isfinite(tol) || (single && !std::isfinite(float(q))))
                return;
            if (std::isnan(back) || !(std::fabs(back - v) <= tol))
                mismatch(s, v, back, v, what);
        } else {
            double want = (s.bitpix == -32 || s.writer == 'r') ? double(float(v)) : v;
            // The readers give blank for an infinity, and IRAF for its
            // BLANK value.
            if (!std::isfinite(want) || (s.form == 'i' && s.has_blank && want == double(s.blank)))
                want = NAN;
            if (!(back == want || (std::isnan(back) && std::isnan(want))))
                mismatch(s, v, back, want, what);
        }
        return;
    }
    if (!(std::isfinite(sc) && std::isfinite(z)) || sc == 0.0)
        return;
    double q = (v - z) / sc;
    if (s.writer == 'r')
        q = double(float(q));
    // A stored value one step away may stand for more than a double holds.
    if (!std::isfinite(q) || !std::isfinite((std::fabs(q) + 1.0) * std::fabs(sc) + std::fabs(z)))
        return;
    const double tol = std::fabs(sc) * (0.5 + 1e-6 * std::fabs(q) + 1e-6)
                       + 1e-9 * (std::fabs(z) + std::fabs(v));
    if (s.form == 'i' && !unscaled) {
        // Real pixels holding the values themselves; an overflow is blank.
        const double want = std::isfinite(float(v)) ? double(float(v)) : NAN;
        if (!(back == want || (std::isnan(back) && std::isnan(want))))
            mismatch(s, v, back, want, what);
        return;
    }
    double lo, hi;
    bool usable;
    int_range(s, lo, hi, usable);
    double want = v;
    if (q >= hi + 1.0)
        want = hi * sc + z;
    else if (q <= lo - 1.0)
        want = lo * sc + z;
    else if (q >= hi || q <= lo)
        return; // at a limit: rounding or clipping may both be right
    if (std::isnan(back) || !(std::fabs(back - want) <= tol))
        mismatch(s, v, back, want, what);
}

// Two-file formats: the header and pixel pieces of one input become two
// files side by side, so the header's pixel-file name finds its pixels.
void fz_read_split(const uint8_t *data, size_t size, const char *hdr_name,
                   const char *pix_name)
{
    std::vector<uint8_t> hdr, pix;
    fz_split(data, size, hdr, pix);
    fz_write(hdr_name, hdr.data(), hdr.size());
    fz_write(pix_name, pix.data(), pix.size());
    unsigned pick = size > 0 ? data[size - 1] : 0;
    fz_read_image(fz_path(hdr_name), pick, (pick / 5) % 2 == 1);
}

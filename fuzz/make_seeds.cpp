// make_seeds: writes the seed corpus of every harness, made by the
// library's own writers, under OUT/<harness>/ (OUT/fuzz_fits/..., ...).
// Usage: make_seeds OUT.  Exit status 0 when every seed was written.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "imlib.h"
#include "fuzz_support.h"
#include "seed_images.h"

static std::string out_dir;
static int failures = 0;

static std::vector<uint8_t> slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

static void put(const std::string &harness, const std::string &name,
                const std::vector<uint8_t> &data)
{
    const std::string dir = out_dir + "/" + harness;
    mkdir(dir.c_str(), 0775);
    std::ofstream o(dir + "/" + name, std::ios::binary);
    o.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    if (!o) {
        std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
        failures++;
    }
}

static std::vector<uint8_t> text(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A format of two files (header hdr, pixels pix): write image s as it,
// join the two files into one input (fz_join) and put it as the seed name
// of harness, as "fuzz_detect" seed other, and with the byte pick in front
// as "fuzz_roundtrip" seed other.  Counts a failed write in failures.
static void put_two_files(const seed_spec &s, const std::string &hdr, const std::string &pix,
                          const std::string &harness, const std::string &name,
                          const std::string &other, uint8_t pick)
{
    if (seed_write(hdr, s) != 0) {
        failures++;
        return;
    }
    const std::vector<uint8_t> joined = fz_join(slurp(hdr), slurp(pix));
    put(harness, name, joined);
    put("fuzz_detect", other, joined);
    std::vector<uint8_t> rt = joined;
    rt.insert(rt.begin(), pick);
    put("fuzz_roundtrip", other, rt);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT\n", argv[0]);
        return 2;
    }
    out_dir = argv[1];
    mkdir(out_dir.c_str(), 0775);
    const std::string work = out_dir + "/work";
    mkdir(work.c_str(), 0775);

    // Images of every stored type in FITS, ZZ, S and IRAF (both versions).
    const int bitpixes[] = {8, 16, 32, -32, -64};
    int k = 0;
    for (int bitpix : bitpixes) {
        for (int variant = 0; variant < 3; variant++, k++) {
            seed_spec s = seed_variant(bitpix, variant);
            const std::string tag = std::to_string(bitpix < 0 ? -bitpix : bitpix)
                                    + (bitpix < 0 ? "f" : "i") + "_" + std::to_string(variant);
            // FITS, and the S file made from it.
            const std::string fits = work + "/in.fits";
            if (seed_write(fits, s) == 0) {
                std::vector<uint8_t> img = slurp(fits);
                put("fuzz_fits", tag, img);
                put("fuzz_detect", "fits_" + tag, fz_join(img, {}));
                put("fuzz_roundtrip", "fits_" + tag,
                    fz_join(std::vector<uint8_t>{uint8_t(k)}, img));
                std::vector<uint8_t> s_file = seed_s_from_fits(img);
                if (!s_file.empty()) {
                    put("fuzz_s", tag, s_file);
                    put("fuzz_detect", "s_" + tag, fz_join(s_file, {}));
                }
            } else {
                failures++;
            }
            // ZZ.
            put_two_files(s, work + "/in.zzh", work + "/in.zzp", "fuzz_zz", tag, "zz_" + tag,
                          uint8_t(k + 1));
            // IRAF, versions 1 and 2 (no 8-bit pixels in IRAF).
            if (bitpix == 8)
                continue;
            for (int version = 1; version <= 2; version++) {
                setenv("oifversion", version == 2 ? "2" : "1", 1);
                const std::string vt = "v" + std::to_string(version) + "_" + tag;
                put_two_files(s, work + "/in.imh", work + "/in.pix", "fuzz_iraf", vt,
                              "iraf_" + vt, uint8_t(k + 2));
            }
            unsetenv("oifversion");
        }
    }

    // Two HDUs: the primary image, then an IMAGE extension SCI; the last
    // byte picks how the harness opens it (see fuzz_fits).
    for (int i = 0; i < 5; i++) {
        std::vector<uint8_t> mef = seed_two_hdus(work, seed_variant(bitpixes[i], 0),
                                                 seed_variant(bitpixes[4 - i], i % 3));
        if (mef.empty()) {
            failures++;
            continue;
        }
        for (int sel = 1; sel <= 2; sel++) {
            mef.back() = uint8_t(10 * sel);
            put("fuzz_fits", "ext" + std::to_string(sel) + "_" + std::to_string(i), mef);
        }
    }

    // Subset texts: the first byte picks the world-coordinate header.
    const char *subsets[] = {
        "@10:20,@5:9", "@1:64,@1:48", "@-10:10", "@5^@3", "@100:200,@50:150",
        "r12h30m+45d^0.1", "r12h30m+45d:12h31m+45d30m", "g120.05+29.9",
        "g119.5+29.8^0.3^0.1", "e187.5+45^0.2", "187.5:187.6,45:45.1",
        "@3,VELO-LSR110.0^4.0", ",,1000.0:1010.0", "10.5d:20", "12h30m+45d:0.5d",
        "@1:1e999d", "r187.5+45", "@32^@8,@24^@8", "RA---TAN187.5,DEC--TAN45"};
    for (int h = 0; h < seed_wcs_count(); h++) {
        for (size_t i = 0; i < sizeof subsets / sizeof subsets[0]; i++) {
            std::vector<uint8_t> v = text(subsets[i]);
            v.insert(v.begin(), uint8_t(h));
            put("fuzz_subset", "h" + std::to_string(h) + "_" + std::to_string(i), v);
        }
    }

    // Writer and update seeds: parameter blocks (see the harnesses).
    for (int i = 0; i < 40; i++) {
        std::vector<uint8_t> w = seed_write_params(i);
        put("fuzz_write", "w" + std::to_string(i), w);
        std::vector<uint8_t> u = seed_update_params(i, subsets[i % 5]);
        put("fuzz_update", "u" + std::to_string(i), u);
    }
    return failures == 0 ? 0 : 1;
}

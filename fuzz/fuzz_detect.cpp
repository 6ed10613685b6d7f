// fuzz_detect: form detection by content -- a name without a known ending,
// whose first bytes decide FITS, ZZ, IRAF or S, then that form's reader.
// Input: a split (fz_split) into the image file and a second file, stored
// both as the ZZ pixel file of that name and as the IRAF pixel file
// "in.pix" that the library's own IRAF headers name.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> img, pix;
    fz_split(data, size, img, pix);
    fz_write("in.dat", img.data(), img.size());
    fz_write("in.dat.zzp", pix.data(), pix.size());
    fz_write("in.pix", pix.data(), pix.size());
    unsigned pick = size > 0 ? data[size - 1] : 0;
    fz_read_image(fz_path("in.dat"), pick, false);
    return 0;
}

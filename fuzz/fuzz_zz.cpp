// fuzz_zz: the ZZ text-header reader with its pixel file.  Input: a split
// (fz_split) into the .zzh text header and the .zzp pixel file.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> hdr, pix;
    fz_split(data, size, hdr, pix);
    fz_write("in.zzh", hdr.data(), hdr.size());
    fz_write("in.zzp", pix.data(), pix.size());
    unsigned pick = size > 0 ? data[size - 1] : 0;
    fz_read_image(fz_path("in.zzh"), pick, (pick / 5) % 2 == 1);
    return 0;
}

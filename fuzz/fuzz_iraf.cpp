// fuzz_iraf: the IRAF header reader (versions 1 and 2, either byte order)
// with its pixel file.  Input: a split (fz_split) into the .imh header and
// the .pix file; the library's own headers name the pixel file "HDR$in.pix".
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> hdr, pix;
    fz_split(data, size, hdr, pix);
    fz_write("in.imh", hdr.data(), hdr.size());
    fz_write("in.pix", pix.data(), pix.size());
    unsigned pick = size > 0 ? data[size - 1] : 0;
    fz_read_image(fz_path("in.imh"), pick, (pick / 5) % 2 == 1);
    return 0;
}

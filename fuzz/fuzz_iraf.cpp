// fuzz_iraf: the IRAF header reader (versions 1 and 2, either byte order)
// with its pixel file.  Input: a split (fz_split) into the .imh header and
// the .pix file; the library's own headers name the pixel file "HDR$in.pix".
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz_read_split(data, size, "in.imh", "in.pix");
    return 0;
}

// fuzz_fits: the FITS header reader and pixel reads on arbitrary bytes,
// the primary image or an image extension ("[1]", "[SCI]"), and an update
// open closed unchanged (which rewrites the header).
#include <cstdint>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const selectors[3] = {"", "[1]", "[SCI]"};
    fz_write("in.fits", data, size);
    const unsigned pick = size > 0 ? data[size - 1] : 0;
    const char *sel = selectors[(pick / 10) % 3];
    fz_read_image(fz_path("in.fits") + sel, pick, sel[0] == '\0' && (pick / 5) % 2 == 1);
    return 0;
}

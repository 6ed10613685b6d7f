// fuzz_s: the S header reader and pixel reads on arbitrary bytes,
// and an update open closed unchanged (which rewrites the header).
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz_write("in.s", data, size);
    unsigned pick = size > 0 ? data[size - 1] : 0;
    fz_read_image(fz_path("in.s"), pick, (pick / 5) % 2 == 1);
    return 0;
}

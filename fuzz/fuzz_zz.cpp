// fuzz_zz: the ZZ text-header reader with its pixel file.  Input: a split
// (fz_split) into the .zzh text header and the .zzp pixel file.
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz_read_split(data, size, "in.zzh", "in.zzp");
    return 0;
}

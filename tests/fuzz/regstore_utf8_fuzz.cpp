// Fuzz target: the registry store on 8-bit files (UTF-8, with or without BOM, or anything else).
// Input: four bytes that choose an edit, then the file.
#include "regstore_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t control[FUZZ_CONTROL_BYTES];
    std::string file = SplitInput(data, size, control);
    CheckStore(control, file);
    return 0;
}

// Fuzz target: the registry store on 8-bit files; input: four bytes choosing an edit, the file.
#include "regstore_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t control[FUZZ_CONTROL_BYTES];
    std::string file = SplitInput(data, size, control);
    CheckStore(control, file);
    return 0;
}

// Fuzz target: the registry store on UTF-16LE files; input: four edit bytes, the body.
#include "regstore_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t control[FUZZ_CONTROL_BYTES];
    std::string body = SplitInput(data, size, control);
    CheckStore(control, "\xFF\xFE" + body);
    return 0;
}

// Fuzz target: the upgrade program's parameters, from arguments as bytes or as any 16-bit units.
#include "fuzz_support.h"
#include "launch/zembrel.h"
#include "platform/posix/port.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>

namespace {

// What the rewrite must give: the text up to the first "-NoUPGRADE", or all of it, and the
// option. On bytes as on units, since no byte of an ill-formed sequence is ASCII.
template <typename Text> Text Expected(const Text &line, const Text &option, const Text &added)
{
    size_t found = line.find(option);
    return (found == Text::npos ? line : line.substr(0, found)) + added;
}

std::u16string Rewrite(const std::u16string &line)
{
    LPWSTR parameters = MakeUpgradeParameters(line.c_str());
    if (parameters == NULL)
        abort();
    std::u16string out = parameters;
    free(parameters);
    return out;
}

} // namespace

// A first byte of 'w' makes the rest UTF-16LE units, unpaired surrogates and all; otherwise
// the input is the command line's bytes, as main() and the launch carry them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0 && data[0] == 'w') {
        std::u16string line = UnitsUpToZero(data + 1, size - 1);
        if (Rewrite(line) != Expected<std::u16string>(line, u"-NoUPGRADE", u" -NoZEMBRL"))
            abort();
        return 0;
    }
    std::string bytes((const char *)data, size);
    bytes = bytes.substr(0, bytes.find('\0')); // no argument holds a NUL
    if (Utf16ToUtf8Lossless(Utf8ToUtf16Lossless(bytes)) != bytes)
        abort();
    std::string out = Utf16ToUtf8Lossless(Rewrite(Utf8ToUtf16Lossless(bytes)));
    if (out != Expected<std::string>(bytes, "-NoUPGRADE", " -NoZEMBRL"))
        abort();
    return 0;
}

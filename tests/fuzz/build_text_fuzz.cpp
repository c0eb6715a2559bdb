// Fuzz target: the installed build's text to its number, against the C library's strtoll.
#include "fuzz_support.h"
#include "launch/zembrel.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>

// The input is the text's UTF-16LE units; the gate must read it as wcstol would on the device:
// ASCII white space, a sign, decimal digits, saturated at 32 bits, compared unsigned.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::u16string text = UnitsUpToZero(data, size);
    // The same text for the host's strtoll: no unit past ASCII is a space, sign or digit.
    std::string narrow;
    for (char16_t unit : text)
        narrow += unit < 0x80 ? (char)unit : '#';
    long long wide = strtoll(narrow.c_str(), nullptr, 10);
    int32_t expected = wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : (int32_t)wide;

    DWORD build = ParseInstalledBuild(text.c_str());
    if (build != (DWORD)expected)
        abort();
    if (IsCompatibleBuild(build) != (build >= (DWORD)REQUIRED_BUILD))
        abort();
    return 0;
}

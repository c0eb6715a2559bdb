// Fuzz target: the installed build's text to its number, against the C library's strtoll.
#include "fuzz_support.h"
#include "launch/zembrel.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>

// What the Windows build's runtime takes for a blank or a decimal digit beyond ASCII, written
// here from the list the runtime was measured against, apart from the port's own code.
static char AsAscii(char16_t unit)
{
    static const char16_t spaces[] = {0x00A0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    static const char16_t zeros[] = {0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6,
                                     0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50, 0x0ED0,
                                     0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
    if (unit < 0x80)
        return (char)unit;
    if (unit >= 0x2000 && unit <= 0x200A)
        return ' ';
    for (char16_t space : spaces)
        if (unit == space)
            return ' ';
    for (char16_t zero : zeros)
        if (unit >= zero && unit <= zero + 9)
            return (char)('0' + (unit - zero));
    return '#';
}

// The input is the text's UTF-16LE units; the gate must read it as wcstol would on the device:
// white space, a sign, decimal digits, saturated at 32 bits, compared unsigned.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::u16string text = UnitsUpToZero(data, size);
    // The same text for the host's strtoll, each blank and digit as its ASCII twin.
    std::string narrow;
    for (char16_t unit : text)
        narrow += AsAscii(unit);
    long long wide = strtoll(narrow.c_str(), nullptr, 10);
    int32_t expected = wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : (int32_t)wide;

    DWORD build = ParseInstalledBuild(text.c_str());
    if (build != (DWORD)expected)
        abort();
    if (IsCompatibleBuild(build) != (build >= (DWORD)REQUIRED_BUILD))
        abort();
    return 0;
}

// What the fuzz targets share: fuzzer bytes read as a zero-terminated string of 16-bit units.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// The bytes as UTF-16LE units, up to the first zero unit (or an odd last byte).
inline std::u16string UnitsUpToZero(const uint8_t *data, size_t size)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        char16_t unit = (char16_t)(data[i] | data[i + 1] << 8);
        if (unit == 0)
            break;
        text += unit;
    }
    return text;
}

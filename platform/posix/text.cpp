// UTF-16 and UTF-8 conversion for the port, replacing anything malformed with U+FFFD.
#include "port.h"

#include <stdint.h>
#include <string.h>

static const char32_t REPLACEMENT = 0xFFFD;

static void AppendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8(const std::u16string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, REPLACEMENT);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

// Each maximal ill-formed subsequence becomes one U+FFFD, as the Unicode standard recommends,
// so a stray byte never swallows the valid text after it. No sequence gives more units than it
// has bytes, so room for one unit a byte always holds the text.
size_t Utf8ToUtf16(const char *text, size_t size, char16_t *out)
{
    char16_t *to = out;
    size_t i = 0;
    while (i < size) {
        // Eight ASCII bytes at a time, the common case of a registry file.
        uint64_t eight;
        while (i + 8 <= size && (memcpy(&eight, text + i, 8), (eight & 0x8080808080808080u) == 0)) {
            for (int k = 0; k < 8; ++k)
                to[k] = (char16_t)(uint8_t)text[i + k];
            to += 8;
            i += 8;
        }
        if (i == size)
            break;
        unsigned char lead = (unsigned char)text[i];
        if (lead < 0x80) {
            *to++ = (char16_t)lead;
            ++i;
            continue;
        }
        int trail = 0;
        unsigned char low = 0x80, high = 0xBF; // bounds of the first trail byte
        char32_t cp = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trail = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trail = 3;
            cp = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90; // overlong
            if (lead == 0xF4)
                high = 0x8F; // beyond U+10FFFF
        } else {
            *to++ = (char16_t)REPLACEMENT;
            ++i;
            continue;
        }

        int taken = 0;
        bool valid = true;
        for (int k = 1; k <= trail; ++k) {
            if (i + k >= size) {
                valid = false;
                break;
            }
            unsigned char byte = (unsigned char)text[i + k];
            unsigned char lo = k == 1 ? low : 0x80;
            unsigned char hi = k == 1 ? high : 0xBF;
            if (byte < lo || byte > hi) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (byte & 0x3F);
            ++taken;
        }
        if (!valid) {
            *to++ = (char16_t)REPLACEMENT;
        } else if (cp < 0x10000) {
            *to++ = (char16_t)cp;
        } else {
            *to++ = (char16_t)(0xD800 + ((cp - 0x10000) >> 10));
            *to++ = (char16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
        i += 1 + taken;
    }
    return (size_t)(to - out);
}

std::u16string Utf8ToUtf16(const std::string &text)
{
    std::u16string out(text.size(), u'\0');
    out.resize(Utf8ToUtf16(text.data(), text.size(), &out[0]));
    return out;
}

std::u16string WideToString(LPCWSTR text)
{
    if (text == NULL)
        return std::u16string();
    return std::u16string(text);
}

// UTF-16 and UTF-8 conversion for the port: malformed text as U+FFFD, or carried losslessly.
#include "port.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

static const char32_t REPLACEMENT = 0xFFFD;
// A byte that is not UTF-8 travels as the lone low surrogate U+DC00 + byte (U+DC80..U+DCFF):
// no well-formed text holds one, so it comes back out as that byte and nothing else does.
static const char16_t ESCAPED_BYTE = 0xDC00;

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

static std::string ToUtf8(const std::u16string &text, bool lossless)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (lossless && unit >= ESCAPED_BYTE + 0x80 && unit <= ESCAPED_BYTE + 0xFF) {
            out += (char)(unit - ESCAPED_BYTE);
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(out, REPLACEMENT);
        } else {
            AppendUtf8(out, unit);
        }
    }
    return out;
}

// Each maximal ill-formed subsequence becomes one U+FFFD, as the Unicode standard recommends,
// so a stray byte never swallows the valid text after it; or, lossless, each of its bytes
// becomes its escape. No sequence gives more units than it has bytes, so room for one unit a
// byte always holds the text.
// The UTF-8 sequence at text[i], a non-ASCII lead byte: true with its code point and length;
// false with the number of bytes that began it validly, at least the lead byte.
static bool NextUtf8(const char *text, size_t size, size_t i, char32_t &cp, size_t &length)
{
    unsigned char lead = (unsigned char)text[i];
    size_t trail = 0;
    unsigned char low = 0x80, high = 0xBF; // bounds of the first trail byte
    length = 1;
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
        return false;
    }
    for (size_t k = 1; k <= trail; ++k) {
        if (i + k >= size)
            return false;
        unsigned char byte = (unsigned char)text[i + k];
        if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF))
            return false;
        cp = (cp << 6) | (byte & 0x3F);
        ++length;
    }
    return true;
}

static size_t ToUtf16(const char *text, size_t size, char16_t *out, bool lossless)
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
        char32_t cp = 0;
        size_t length = 0;
        bool valid = NextUtf8(text, size, i, cp, length);
        if (valid && cp < 0x10000) {
            *to++ = (char16_t)cp;
        } else if (valid) {
            *to++ = (char16_t)(0xD800 + ((cp - 0x10000) >> 10));
            *to++ = (char16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else if (!lossless) {
            *to++ = (char16_t)REPLACEMENT;
        } else {
            for (size_t k = 0; k < length; ++k)
                *to++ = (char16_t)(ESCAPED_BYTE + (unsigned char)text[i + k]);
        }
        i += length;
    }
    return (size_t)(to - out);
}

static std::u16string ToUtf16(const std::string &text, bool lossless)
{
    std::u16string out(text.size(), u'\0');
    out.resize(ToUtf16(text.data(), text.size(), &out[0], lossless));
    return out;
}

std::string Utf16ToUtf8(const std::u16string &text)
{
    return ToUtf8(text, false);
}

std::u16string Utf8ToUtf16(const std::string &text)
{
    return ToUtf16(text, false);
}

size_t Utf8ToUtf16(const char *text, size_t size, char16_t *out)
{
    return ToUtf16(text, size, out, false);
}

std::string Utf16ToUtf8Lossless(const std::u16string &text)
{
    return ToUtf8(text, true);
}

std::u16string Utf8ToUtf16Lossless(const std::string &text)
{
    return ToUtf16(text, true);
}

std::u16string WideToString(LPCWSTR text)
{
    if (text == NULL)
        return std::u16string();
    return std::u16string(text);
}

// Windows-1252: Latin-1 but for 0x80-0x9F, where the five bytes it leaves undefined map to
// the C1 controls of the same number, as Windows maps them; so every byte has a character.
static const char16_t CP1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

size_t Cp1252ToUtf16(const char *text, size_t size, char16_t *out)
{
    for (size_t i = 0; i < size; ++i) {
        uint8_t byte = (uint8_t)text[i];
        out[i] = byte >= 0x80 && byte < 0xA0 ? CP1252_HIGH[byte - 0x80] : (char16_t)byte;
    }
    return size;
}

bool Utf16ToCp1252(const std::u16string &text, std::string &out)
{
    out.clear();
    for (char16_t c : text) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out += (char)c;
            continue;
        }
        const char16_t *at = std::find(CP1252_HIGH, CP1252_HIGH + 32, c);
        if (at == CP1252_HIGH + 32)
            return false;
        out += (char)(0x80 + (at - CP1252_HIGH));
    }
    return true;
}

size_t FirstNonUtf8(const char *text, size_t size)
{
    char32_t cp = 0;
    size_t length = 0;
    for (size_t i = 0; i < size; i += length) {
        // Eight ASCII bytes at a time, the common case.
        uint64_t eight;
        if (i + 8 <= size && (memcpy(&eight, text + i, 8), (eight & 0x8080808080808080u) == 0)) {
            length = 8;
            continue;
        }
        length = 1;
        if ((unsigned char)text[i] >= 0x80 && !NextUtf8(text, size, i, cp, length))
            return i;
    }
    return size;
}

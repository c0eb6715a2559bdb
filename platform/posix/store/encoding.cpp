// The registry file's text: UTF-16LE, UTF-8 or Windows-1252 bytes to characters and back, and
// where its lines end.
#include "internal.h"

std::u16string WideFromBytes(const std::string &bytes)
{
    std::u16string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out += (char16_t)((uint8_t)bytes[i] | (uint8_t)bytes[i + 1] << 8);
    return out;
}

std::string BytesFromWide(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text) {
        out += (char)(c & 0xFF);
        out += (char)(c >> 8);
    }
    return out;
}

std::u16string Decode(const RegDocument &doc, const std::string &bytes)
{
    if (doc.wide)
        return WideFromBytes(bytes);
    if (!doc.ansi)
        return Utf8ToUtf16(bytes);
    std::u16string text(bytes.size(), u'\0');
    Cp1252ToUtf16(bytes.data(), bytes.size(), &text[0]);
    return text;
}

// Text the file's encoding lacks comes out as "?": the edit check then refuses the edit.
std::string Encode(const RegDocument &doc, const std::u16string &text)
{
    if (doc.wide)
        return BytesFromWide(text);
    if (!doc.ansi)
        return Utf16ToUtf8(text);
    std::string out;
    std::string one;
    for (char16_t c : text)
        out += Utf16ToCp1252(std::u16string(1, c), one) ? one : "?";
    return out;
}

// The character unit at a byte offset.
char16_t UnitAt(const RegDocument &doc, size_t offset)
{
    const std::string &b = doc.bytes;
    return doc.wide ? (char16_t)((uint8_t)b[offset] | (uint8_t)b[offset + 1] << 8)
                    : (char16_t)(uint8_t)b[offset];
}

// Where whole characters end: a UTF-16 file's odd last byte is none, and stays last.
size_t TextEnd(const RegDocument &doc)
{
    return doc.bytes.size() - (doc.wide ? (doc.bytes.size() - doc.bom.size()) % 2 : 0);
}

// How many of the bytes before a line boundary are the line ending of the line before it.
size_t EndingBefore(const RegDocument &doc, size_t at)
{
    size_t unit = doc.wide ? 2 : 1;
    auto endsIn = [&](size_t end, char16_t c) {
        return end >= doc.bom.size() + unit && UnitAt(doc, end - unit) == c;
    };
    if (endsIn(at, u'\n'))
        return endsIn(at - unit, u'\r') ? 2 * unit : unit;
    return endsIn(at, u'\r') ? unit : 0;
}

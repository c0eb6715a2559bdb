// The 16-bit wide-string runtime: wsprintfW's formatter, the wcs* routines and wcstol.
#include "runtime.h"

#include <errno.h>
#include <string.h>

// Win32's wsprintfW never writes more than this many characters, terminator included.
#define WSPRINTF_MAX_CHARS 1024

namespace {

struct Conversion {
    bool leftAlign = false;
    bool zeroPad = false;
    bool hexPrefix = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    char size = 0; // 'l', 'h' or none
    char16_t type = 0;
};

// Appends while there is room; once the limit is reached the rest of the output is dropped.
struct Sink {
    std::u16string text;
    size_t limit;

    bool Full() const { return text.size() >= limit; }
    void Put(char16_t c)
    {
        if (!Full())
            text += c;
    }
    void Put(const std::u16string &s)
    {
        if (!Full())
            text.append(s, 0, limit - text.size());
    }
    void Pad(size_t count, char16_t c)
    {
        for (size_t i = 0; i < count && !Full(); ++i)
            text += c;
    }
};

const char16_t *ParseConversion(const char16_t *p, Conversion &conv)
{
    for (;; ++p) {
        if (*p == u'-')
            conv.leftAlign = true;
        else if (*p == u'0')
            conv.zeroPad = true;
        else if (*p == u'#')
            conv.hexPrefix = true;
        else
            break;
    }
    for (; *p >= u'0' && *p <= u'9'; ++p)
        conv.width = conv.width * 10 + (size_t)(*p - u'0');
    if (*p == u'.') {
        conv.hasPrecision = true;
        for (++p; *p >= u'0' && *p <= u'9'; ++p)
            conv.precision = conv.precision * 10 + (size_t)(*p - u'0');
    }
    if (*p == u'l' || *p == u'h')
        conv.size = (char)*p++;
    conv.type = *p;
    return *p ? p + 1 : p;
}

// Right- or left-justifies one converted field inside the width.
void PutField(Sink &sink, const Conversion &conv, const std::u16string &prefix,
              const std::u16string &body, bool zeroAllowed)
{
    size_t length = prefix.size() + body.size();
    size_t fill = conv.width > length ? conv.width - length : 0;
    if (conv.leftAlign) {
        sink.Put(prefix);
        sink.Put(body);
        sink.Pad(fill, u' ');
    } else if (conv.zeroPad && zeroAllowed) {
        sink.Put(prefix);
        sink.Pad(fill, u'0');
        sink.Put(body);
    } else {
        sink.Pad(fill, u' ');
        sink.Put(prefix);
        sink.Put(body);
    }
}

std::u16string Digits(uint32_t value, unsigned base, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char16_t buffer[16];
    size_t n = 0;
    do {
        buffer[n++] = (char16_t)digits[value % base];
        value /= base;
    } while (value != 0);
    std::u16string out;
    while (n > 0)
        out += buffer[--n];
    return out;
}

// The device's int and long are both 32 bits, so 'l' reads the same promoted int. Win32's
// wsprintfW reads an 'h' number as the whole promoted int too: it does not narrow it.
void PutNumber(Sink &sink, const Conversion &conv, va_list &args)
{
    std::u16string prefix;
    uint32_t magnitude;
    if (conv.type == u'd' || conv.type == u'i') {
        int32_t value = (int32_t)va_arg(args, int);
        if (value < 0)
            prefix.push_back(u'-');
        magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
    } else {
        magnitude = (uint32_t)va_arg(args, unsigned int);
    }
    bool hex = conv.type == u'x' || conv.type == u'X';
    std::u16string body = Digits(magnitude, hex ? 16 : 10, conv.type == u'X');
    if (hex && conv.hexPrefix && magnitude != 0)
        prefix = conv.type == u'X' ? u"0X" : u"0x";
    if (conv.hasPrecision) {
        if (conv.precision == 0 && magnitude == 0)
            body.clear();
        else if (body.size() < conv.precision)
            body.insert(0, conv.precision - body.size(), u'0');
    }
    PutField(sink, conv, prefix, body, !conv.hasPrecision);
}

// %s is a wide string in wsprintfW; %hs (and %S) a narrow one, taken here as UTF-8.
void PutString(Sink &sink, const Conversion &conv, va_list &args)
{
    std::u16string body;
    if (conv.size == 'h' || conv.type == u'S') {
        const char *text = va_arg(args, const char *);
        body = text != NULL ? Utf8ToUtf16(text) : u"(null)";
    } else {
        const char16_t *text = va_arg(args, const char16_t *);
        body = text != NULL ? std::u16string(text) : u"(null)";
    }
    if (conv.hasPrecision && body.size() > conv.precision)
        body.resize(conv.precision);
    PutField(sink, conv, u"", body, false);
}

void PutChar(Sink &sink, const Conversion &conv, va_list &args)
{
    int value = va_arg(args, int);
    char16_t c =
        (conv.size == 'h' || conv.type == u'C') ? (char16_t)(unsigned char)value : (char16_t)value;
    PutField(sink, conv, u"", std::u16string(1, c), false);
}

} // namespace

std::u16string FormatWide(LPCWSTR format, va_list args, size_t limit)
{
    Sink sink{std::u16string(), limit};
    if (format == NULL)
        return sink.text;
    va_list ap;
    va_copy(ap, args);
    const char16_t *p = format;
    while (*p != 0 && !sink.Full()) {
        if (*p != u'%') {
            sink.Put(*p++);
            continue;
        }
        ++p;
        if (*p == u'%') {
            sink.Put(*p++);
            continue;
        }
        Conversion conv;
        p = ParseConversion(p, conv);
        switch (conv.type) {
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X':
            PutNumber(sink, conv, ap);
            break;
        case u's':
        case u'S':
            PutString(sink, conv, ap);
            break;
        case u'c':
        case u'C':
            PutChar(sink, conv, ap);
            break;
        case 0:
            break;
        default:
            // As Win32 does, an unknown conversion prints its letter as plain text.
            sink.Put(conv.type);
            break;
        }
    }
    va_end(ap);
    return sink.text;
}

int wsprintfW(LPWSTR buffer, LPCWSTR format, ...)
{
    if (buffer == NULL)
        return 0;
    va_list args;
    va_start(args, format);
    std::u16string text = FormatWide(format, args, WSPRINTF_MAX_CHARS - 1);
    va_end(args);
    memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    // Output that reaches the last character of the buffer counts as cut short, as on Win32.
    return text.size() >= WSPRINTF_MAX_CHARS - 1 ? WSPRINTF_MAX_CHARS : (int)text.size();
}

size_t wcslen(const WCHAR *text)
{
    const WCHAR *p = text;
    while (*p != 0)
        ++p;
    return (size_t)(p - text);
}

WCHAR *wcscpy(WCHAR *dest, const WCHAR *src)
{
    WCHAR *d = dest;
    while ((*d++ = *src++) != 0) {
    }
    return dest;
}

WCHAR *wcscat(WCHAR *dest, const WCHAR *src)
{
    wcscpy(dest + wcslen(dest), src);
    return dest;
}

const WCHAR *wcsstr(const WCHAR *text, const WCHAR *search)
{
    if (*search == 0)
        return text;
    for (; *text != 0; ++text) {
        size_t i = 0;
        while (search[i] != 0 && text[i] == search[i])
            ++i;
        if (search[i] == 0)
            return text;
    }
    return NULL;
}

WCHAR *wcsstr(WCHAR *text, const WCHAR *search)
{
    return const_cast<WCHAR *>(wcsstr(static_cast<const WCHAR *>(text), search));
}

// The white space and the decimal digits that the Windows build's C runtime (msvcrt) reads in
// wcstol, beyond ASCII's: one system, one reading of a build number.
static bool IsCSpace(WCHAR c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r') || c == 0x00A0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

static const WCHAR DIGIT_ZEROS[] = {0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6,
                                    0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50, 0x0ED0,
                                    0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};

static int NumberDigitValue(WCHAR c)
{
    if (c < 0x80)
        return DigitValue(c);
    for (WCHAR zero : DIGIT_ZEROS)
        if (c >= zero && c < zero + 10)
            return c - zero;
    return 99;
}

int DigitValue(WCHAR c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'z')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z')
        return c - u'A' + 10;
    return 99;
}

// The device's long is 32 bits, so the saturation limits are the 32-bit ones whatever the host's
// long is; a build text of eleven nines must read as INT32_MAX.
LONG wcstol(const WCHAR *text, WCHAR **end, int base)
{
    if (end != NULL)
        *end = const_cast<WCHAR *>(text);
    if (base < 0 || base == 1 || base > 36) {
        errno = EINVAL;
        return 0;
    }
    const WCHAR *p = text;
    while (IsCSpace(*p))
        ++p;
    bool negative = false;
    if (*p == u'+' || *p == u'-')
        negative = *p++ == u'-';
    // A "0x" counts as a prefix only when a hex digit follows; otherwise the 0 alone is read.
    bool hexPrefix = p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && DigitValue(p[2]) < 16;
    if ((base == 0 || base == 16) && hexPrefix) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == u'0' ? 8 : 10;
    }

    const uint32_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    uint32_t value = 0;
    bool overflow = false;
    const WCHAR *digits = p;
    for (int d; (d = NumberDigitValue(*p)) < base; ++p) {
        if (overflow)
            continue;
        if (value > (limit - (uint32_t)d) / (uint32_t)base)
            overflow = true;
        else
            value = value * (uint32_t)base + (uint32_t)d;
    }
    if (p == digits)
        return 0;
    if (end != NULL)
        *end = const_cast<WCHAR *>(p);
    if (overflow) {
        errno = ERANGE;
        return negative ? INT32_MIN : INT32_MAX;
    }
    return negative ? (LONG)(0u - value) : (LONG)value;
}

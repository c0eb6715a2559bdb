// The port's resource loader: FindResourceW, LoadResource, LoadStringW over the embedded .res.
#include "wintable.h"

#include <string.h>

extern const unsigned char zembrel_res_data[];
extern const size_t zembrel_res_size;

namespace {

DWORD ReadDword(const BYTE *p)
{
    return (DWORD)p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16 | (DWORD)p[3] << 24;
}

WORD ReadWord(const BYTE *p)
{
    return (WORD)(p[0] | p[1] << 8);
}

// A TYPE or NAME field: 0xFFFF and an ordinal, or a zero-terminated UTF-16 name. The program's
// resources all have ordinals; a name reads as 0, which no lookup asks for.
bool ReadOrdinal(const BYTE *&p, const BYTE *end, WORD *ordinal)
{
    *ordinal = 0;
    if (end - p >= 4 && ReadWord(p) == 0xFFFF) {
        *ordinal = ReadWord(p + 2);
        p += 4;
        return true;
    }
    for (; end - p >= 2; p += 2) {
        if (ReadWord(p) == 0) {
            p += 2;
            return true;
        }
    }
    return false;
}

// Walks the .res once; a damaged entry ends the walk, keeping the entries before it.
std::vector<ResourceEntry> ParseRes(const BYTE *base, size_t size)
{
    std::vector<ResourceEntry> entries;
    size_t offset = 0;
    while (size - offset >= 8) {
        const BYTE *header = base + offset;
        DWORD dataSize = ReadDword(header);
        DWORD headerSize = ReadDword(header + 4);
        if (headerSize < 8 || headerSize > size - offset || dataSize > size - offset - headerSize)
            break;
        const BYTE *end = header + headerSize;
        const BYTE *p = header + 8;
        ResourceEntry entry{};
        if (!ReadOrdinal(p, end, &entry.type) || !ReadOrdinal(p, end, &entry.name))
            break;
        p = header + ((p - header + 3) & ~(size_t)3);
        // DataVersion, MemoryFlags, LanguageId, Version, Characteristics.
        if (end - p < 16)
            break;
        entry.language = ReadWord(p + 6);
        entry.data = header + headerSize;
        entry.size = dataSize;
        // The empty first entry, of type 0, only marks the file as a 32-bit .res.
        if (entry.type != 0 && entry.name != 0)
            entries.push_back(entry);
        offset = (offset + headerSize + dataSize + 3) & ~(size_t)3;
    }
    return entries;
}

const std::vector<ResourceEntry> &Resources()
{
    static const std::vector<ResourceEntry> entries = ParseRes(zembrel_res_data, zembrel_res_size);
    return entries;
}

// The system asks for its resources by ordinal (MAKEINTRESOURCE, RT_DIALOG, RT_STRING).
bool Matches(WORD ordinal, LPCWSTR wanted)
{
    return IS_INTRESOURCE(wanted) && ordinal == (WORD)(uintptr_t)wanted;
}

// Accepts the handle start-up passes and null, which both mean the program's own module.
bool IsOwnModule(HMODULE module)
{
    return module == NULL || module == ZEMBREL_POSIX_INSTANCE;
}

// Windows prefers the thread's language, then neutral, then English, then any; the port's
// thread language is US English.
const ResourceEntry *Find(LPCWSTR name, LPCWSTR type)
{
    const ResourceEntry *best = nullptr;
    int bestRank = 0;
    for (const ResourceEntry &entry : Resources()) {
        if (!Matches(entry.type, type) || !Matches(entry.name, name))
            continue;
        int rank = entry.language == 0x0409           ? 4
                   : entry.language == 0              ? 3
                   : (entry.language & 0x3FF) == 0x09 ? 2
                                                      : 1;
        if (rank > bestRank) {
            best = &entry;
            bestRank = rank;
        }
    }
    return best;
}

} // namespace

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    if (!IsOwnModule(module))
        return NULL;
    // The handle is the entry itself, as Windows hands out a pointer into the module.
    return (HRSRC)Find(name, type);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource)
{
    if (!IsOwnModule(module) || resource == NULL)
        return NULL;
    return (HGLOBAL)((const ResourceEntry *)resource)->data;
}

int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int capacity)
{
    if (buffer == NULL || capacity < 0)
        return 0;
    // Sixteen strings to a block: string N is entry N % 16 of block N / 16 + 1.
    const ResourceEntry *block =
        (const ResourceEntry *)FindResourceW(instance, MAKEINTRESOURCEW((id >> 4) + 1), RT_STRING);
    if (block == NULL) {
        if (capacity > 0)
            buffer[0] = 0;
        return 0;
    }
    const BYTE *p = block->data;
    const BYTE *end = p + block->size;
    for (UINT index = 0;; ++index) {
        if (end - p < 2)
            break;
        WORD length = ReadWord(p);
        p += 2;
        if ((size_t)(end - p) < (size_t)length * 2)
            break;
        if (index == (id & 15)) {
            if (length == 0)
                break;
            if (capacity == 0) {
                // As Win32: a pointer to the read-only text itself, which is not terminated.
                memcpy(buffer, &p, sizeof p);
                return length;
            }
            // A buffer of one character has no room for text and is left as it was.
            int count = length < capacity - 1 ? length : capacity - 1;
            if (count == 0)
                return 0;
            memcpy(buffer, p, (size_t)count * 2);
            buffer[count] = 0;
            return count;
        }
        p += (size_t)length * 2;
    }
    if (capacity > 0)
        buffer[0] = 0;
    return 0;
}

size_t EmbeddedBytesFrom(const void *pointer)
{
    const BYTE *p = (const BYTE *)pointer;
    for (const ResourceEntry &entry : Resources())
        if (p >= entry.data && p < entry.data + entry.size)
            return (size_t)(entry.data + entry.size - p);
    return 0;
}

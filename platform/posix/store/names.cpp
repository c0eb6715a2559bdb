// The registry store's names: folding and hashing as the device compares names, key paths and
// their roots, the limits of a key.
#include "internal.h"

#include <locale.h>
#include <wctype.h>

// Windows holds keys at most this many levels deep, each name at most this long.
#define MAX_KEY_LEVELS 512
#define MAX_KEY_NAME 255

std::string RegStorePath()
{
    std::string root = DeviceRoot();
    return (root == "/" ? std::string() : root) + "/registry.reg";
}

// The C locale knows only ASCII capitals; C.UTF-8 knows every letter's. It is set up the first
// time a name has a letter beyond ASCII, so a registry of plain names never loads a locale.
// The registry folds a letter only to a capital that folds back to it: the letters that share a
// capital with another (dotless i, long s, micro sign, final sigma, the Greek symbol forms, the
// title-case digraphs, the old Cyrillic forms, ...) keep names of their own.
char16_t FoldBeyondAscii(char16_t c)
{
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (unicode == (locale_t)0)
        return c;
    wint_t upper = towupper_l(c, unicode);
    if (upper == c || upper > 0xFFFF || towlower_l(upper, unicode) != c)
        return c;
    return (char16_t)upper;
}

std::u16string RegStoreFold(const std::u16string &name)
{
    std::u16string out(name);
    for (char16_t &c : out)
        c = FoldUnit(c);
    return out;
}

uint32_t NameHash(const std::u16string &name)
{
    uint32_t hash = NAME_HASH_START;
    for (char16_t c : name)
        hash = HashUnit(hash, c);
    return hash;
}

bool RegStoreCleanPath(std::u16string &path)
{
    if (!path.empty() && path[0] == u'\\')
        return false;
    // Windows opens "Key\\\\" as "Key": a key name never holds a backslash.
    while (!path.empty() && path.back() == u'\\')
        path.pop_back();
    return path.find(u"\\\\") == std::u16string::npos;
}

bool IsSelfOrAncestor(std::u16string_view ancestor, std::u16string_view key)
{
    return key.compare(0, ancestor.size(), ancestor) == 0 &&
           (key.size() == ancestor.size() || key[ancestor.size()] == u'\\');
}

struct RootName {
    const char16_t *name;
    const char16_t *shortName; // what reg.exe takes, and a .reg file does not
    bool local;
};

static const RootName ROOTS[] = {
    {u"HKEY_LOCAL_MACHINE", u"HKLM", true},   {u"HKEY_CURRENT_USER", u"HKCU", false},
    {u"HKEY_CLASSES_ROOT", u"HKCR", false},   {u"HKEY_USERS", u"HKU", false},
    {u"HKEY_CURRENT_CONFIG", u"HKCC", false}, {u"HKEY_DYN_DATA", u"HKEY_DYN_DATA", false},
};

// Whether the text folds to the name, which is in capitals already.
static bool FoldsTo(std::u16string_view text, const char16_t *name)
{
    if (text == name) // as export tools write it
        return true;
    size_t i = 0;
    for (; i < text.size() && name[i] != 0; ++i)
        if (FoldUnit(text[i]) != name[i])
            return false;
    return i == text.size() && name[i] == 0;
}

// Splits "ROOT\path" into the root's kind and the folded path below it, cleaned as
// RegStoreCleanPath cleans a path, in one pass and into the caller's room. regedit knows only
// the full names of the roots in a .reg file.
KeyPathError ParseKeyPath(std::u16string_view name, bool &local, std::u16string &folded,
                          bool *doubled)
{
    size_t slash = name.find(u'\\');
    std::u16string_view root = name.substr(0, slash);
    std::u16string_view path = slash == std::u16string_view::npos ? u"" : name.substr(slash + 1);
    for (const RootName &known : ROOTS) {
        if (!FoldsTo(root, known.name))
            continue;
        if (!path.empty() && path[0] == u'\\')
            return KeyPathError::EmptyName;
        while (!path.empty() && path.back() == u'\\')
            path.remove_suffix(1);
        // Backslashes that follow one another inside the path are one, as regedit reads them.
        folded.resize(path.size());
        const char16_t *from = path.data();
        char16_t *to = &folded[0];
        size_t length = 0;
        for (size_t i = 0; i < path.size(); ++i) {
            if (from[i] == u'\\' && from[i - 1] == u'\\') {
                if (doubled != NULL)
                    *doubled = true;
                continue;
            }
            to[length++] = FoldUnit(from[i]);
        }
        folded.resize(length);
        local = known.local;
        return KeyPathError::None;
    }
    for (const RootName &known : ROOTS)
        if (FoldsTo(root, known.shortName))
            return KeyPathError::ShortRoot;
    return KeyPathError::UnknownRoot;
}

// A key Windows could hold; deeper or longer ones no importer can create.
bool WithinKeyLimits(const std::u16string &path)
{
    size_t levels = 0;
    for (size_t start = 0; start < path.size();) {
        size_t slash = path.find(u'\\', start);
        size_t end = slash == std::u16string::npos ? path.size() : slash;
        if (end - start > MAX_KEY_NAME || ++levels > MAX_KEY_LEVELS)
            return false;
        start = end + 1;
    }
    return true;
}

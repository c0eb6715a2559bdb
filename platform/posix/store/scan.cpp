// The reading of a registry's key lines alone: the file streamed once through a small buffer,
// as the least reader streams it, holding only its key lines; a key's values are read from the
// file when they are asked for.
//
// A key line opens with `[` after blanks at a line's start, so memchr finds every one. What can
// make such a line no key line is what came before it: a hex value whose last line ended in a
// continuation backslash takes the next line that means anything as its own. Where the last such
// line before it may be one, the importer itself reads the stretch from the key line before.
#include "internal.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>

namespace {

// What the last line before a key line that means anything leaves the importer in: surely at a
// line's start (Clean), or perhaps inside a hex value that a backslash continued (Maybe).
enum class Before : uint8_t { Clean, Maybe };

struct Candidate {
    uint32_t begin; // the line's offset in the file
    uint32_t kept;  // where its text is in Scan::kept
    uint32_t size;  // its text's size, without its ending
    Before before;
};

struct Scan {
    int fd = -1;
    const char *bytes = NULL; // the buffer, or the window of the file mapped
    uint64_t base = 0;        // the file offset of bytes[0]
    size_t held = 0;          // the bytes of the last part that came before it
    uint64_t size = 0;        // the file's size when the reading began
    std::string kept;         // the lines that open with `[`, one after another
    std::vector<Candidate> candidates;
    int error = 0;             // of a line read past the buffer's end
    uint64_t checked = 0;      // the bytes before this are UTF-8
    uint64_t bad = UINT64_MAX; // the first one that is not, once found
    LineCounter lines{-1};     // for what is said
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsEnd(char c)
{
    return c == '\n' || c == '\r';
}

// 128 bytes at a time, in the compiler's vectors: the common file is ASCII throughout.
bool AllAscii(const char *bytes, size_t size)
{
    typedef uint64_t Lanes __attribute__((vector_size(16), aligned(1), may_alias));
    Lanes any = {0, 0};
    size_t i = 0;
    for (; i + 128 <= size; i += 128) {
        const Lanes *at = (const Lanes *)(bytes + i);
        any |= ((at[0] | at[1]) | (at[2] | at[3])) | ((at[4] | at[5]) | (at[6] | at[7]));
    }
    uint64_t all = any[0] | any[1];
    for (; i < size; ++i)
        all |= (uint8_t)bytes[i];
    return (all & 0x8080808080808080u) == 0;
}

// The text of the line at `begin`, up to its ending or `end`, and the offset past that ending.
int ReadLine(int fd, uint64_t begin, uint64_t end, std::string &text, uint64_t &next)
{
    text.clear();
    std::string block;
    for (uint64_t at = begin; at < end;) {
        int error = ReadAt(fd, at, (size_t)std::min<uint64_t>(4096, end - at), block);
        if (error != 0 || block.empty())
            return error;
        size_t stop = block.find_first_of("\r\n");
        text.append(block, 0, stop);
        if (stop != std::string::npos) {
            next = at + stop + 1;
            if (block[stop] == '\r' && next < end) {
                char after = 0;
                if (pread(fd, &after, 1, (off_t)next) == 1 && after == '\n')
                    ++next;
            }
            return 0;
        }
        at += block.size();
    }
    next = end;
    return 0;
}

// The file offset where the line holding `at` starts, where only blanks come before `at` on it;
// UINT64_MAX where something else does. For a run of blanks longer than the buffer keeps.
uint64_t BlanksBack(int fd, uint64_t at)
{
    char block[4096];
    while (at > 0) {
        uint64_t from = at > sizeof block ? at - sizeof block : 0;
        if (pread(fd, block, at - from, (off_t)from) != (ssize_t)(at - from))
            return UINT64_MAX;
        for (size_t k = at - from; k > 0; --k, --at) {
            if (IsEnd(block[k - 1]))
                return at;
            if (!IsBlank(block[k - 1]))
                return UINT64_MAX;
        }
    }
    return 0;
}

// What the lines before the one at buffer[start] leave the importer in. A line ending in a
// continuation backslash (blanks and a comment may follow it) continues a hex value only if the
// importer reads it as one: whether it does is left to the importer (Maybe). A line opening with
// `[` never ends inside a value: read at a line's start it is a key line, and a continued value
// takes no such line.
Before LastLineBefore(const Scan &s, size_t start)
{
    const char *b = s.bytes;
    for (size_t k = start;;) {
        size_t e = k - 1; // b[e] ends the line before
        if (b[e] == '\n' && e > 0 && b[e - 1] == '\r')
            --e;
        const char *lf = (const char *)memrchr(b, '\n', e);
        size_t line = lf != NULL ? (size_t)(lf - b) + 1 : 0;
        const char *cr = (const char *)memrchr(b + line, '\r', e - line);
        line = cr != NULL ? (size_t)(cr - b) + 1 : line;
        if (line == 0)
            return s.base == 0 ? Before::Clean : Before::Maybe; // the header, or out of reach
        size_t first = line;
        while (first < e && IsBlank(b[first]))
            ++first;
        if (first == e || b[first] == ';' || b[first] == '\0') { // blank, or a comment
            k = line;
            continue;
        }
        if (b[first] == '[')
            return Before::Clean;
        const char *slash = (const char *)memchr(b + first, '\\', e - first);
        if (slash == NULL)
            return Before::Clean;
        size_t end = e;
        while (end > first && IsBlank(b[end - 1])) // the bytes may change under a mapping
            --end;
        bool maybe = b[end - 1] == '\\' || memchr(slash, ';', (size_t)(b + e - slash)) != NULL ||
                     memchr(b + first, '\0', e - first) != NULL;
        return maybe ? Before::Maybe : Before::Clean;
    }
}

// Room for what the rest of the file will add, as much as the part read so far held for its
// size: a list grown twice as large each time it fills writes each byte twice, and touches
// twice the memory. Room that is never filled costs address space, not memory.
template <typename List> void MakeRoom(List &list, const Scan &s, uint64_t read)
{
    if (list.size() + 64 < list.capacity() || read == 0 || s.size <= read)
        return;
    double share = (double)s.size / (double)read;
    list.reserve(
        std::max<size_t>(2 * list.capacity(), (size_t)((double)list.size() * share * 1.25)));
}

// The lines that open with `[` among bytes[from, to), read to their end: from the bytes held,
// bytes[0, held), where they hold it (or the file ends there), else from the file.
void FindKeyLines(Scan &s, size_t from, size_t to, size_t held, bool atEnd)
{
    const char *b = s.bytes;
    for (size_t i = from; i < to;) {
        const char *open = (const char *)memchr(b + i, '[', to - i);
        if (open == NULL)
            return;
        size_t at = (size_t)(open - b);
        i = at + 1;
        size_t start = at;
        while (start > 0 && IsBlank(b[start - 1]))
            --start;
        uint64_t begin = s.base + start;
        if (start == 0 && s.base > 0)
            begin = BlanksBack(s.fd, s.base);
        else if (start > 0 && !IsEnd(b[start - 1]))
            continue;
        if (begin == 0 || begin == UINT64_MAX) // the header's line, or no line's start
            continue;
        Candidate line{(uint32_t)begin, (uint32_t)s.kept.size(), 0,
                       start > 0 ? LastLineBefore(s, start) : Before::Maybe};
        const char *lf = (const char *)memchr(b + at, '\n', held - at);
        size_t stop = lf != NULL ? (size_t)(lf - b) : held;
        const char *cr = (const char *)memchr(b + at, '\r', stop - at);
        size_t end = cr != NULL ? (size_t)(cr - b) : stop;
        if (end < held || atEnd) {
            s.kept.append(b + start, end - start);
        } else {
            std::string text;
            uint64_t next = 0;
            if ((s.error = ReadLine(s.fd, begin, UINT64_MAX, text, next)) != 0)
                return;
            s.kept += text;
        }
        line.size = (uint32_t)(s.kept.size() - line.kept);
        s.candidates.push_back(line);
        i = end;
    }
}

// Whether buffer[from, to) is UTF-8, from where the check stood: a character cut by the
// buffer's end is checked again with the next read, from the bytes the buffer keeps.
void CheckUtf8(Scan &s, size_t from, size_t to, bool atEnd)
{
    if (s.bad != UINT64_MAX)
        return;
    if (s.checked == s.base + from && AllAscii(s.bytes + from, to - from)) {
        s.checked = s.base + to;
        return;
    }
    size_t at = (size_t)(s.checked - s.base);
    size_t valid = FirstNonUtf8(s.bytes + at, to - at);
    if (at + valid == to || (to - (at + valid) < 4 && !atEnd))
        s.checked = s.base + at + valid;
    else
        s.bad = s.base + at + valid;
}

// What a line read by itself said, as of line 1, as of its own line in the file.
void Renumber(std::vector<std::string> &said, const std::string &path, LineCounter &lines,
              uint64_t begin)
{
    const std::string first = path + ":1: ";
    for (std::string &line : said)
        if (line.compare(0, first.size(), first) == 0)
            line = path + ":" + std::to_string(LineAt(lines, begin)) + ": " +
                   line.substr(first.size());
}

// A line opening with `[` that the importer passes over, leaving the section open: a blank after
// the bracket, or no closing bracket after it, in the line's text (which a zero ends). Read on its
// bytes, as the parser reads its characters: no byte of another character is one of these.
// A line whose bracket is gone was changed while it was read (a mapped page an editor cut and
// wrote again): it is no key line, and the file's new times have the next call read it again.
bool PassedOver(const char *text, size_t size)
{
    const char *zero = (const char *)memchr(text, 0, size);
    const char *end = zero != NULL ? zero : text + size;
    const char *open = (const char *)memchr(text, '[', (size_t)(end - text));
    return open == NULL || open + 1 == end || IsBlank(open[1]) ||
           memrchr(open + 1, ']', (size_t)(end - open - 1)) == NULL;
}

} // namespace

int ReadAt(int fd, uint64_t offset, size_t size, std::string &out)
{
    out.resize(size);
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, &out[done], size - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        done += (size_t)got;
    }
    out.resize(done);
    return 0;
}

namespace {

// Takes bytes[from, to) of the file's part bytes[0, held): its key lines, and whether it is UTF-8.
int Take(Scan &s, size_t from, size_t to, size_t held, bool atEnd)
{
    FindKeyLines(s, from, to, held, atEnd);
    if (s.error != 0)
        return s.error;
    MakeRoom(s.kept, s, s.base + to);
    MakeRoom(s.candidates, s, s.base + to);
    CheckUtf8(s, from, to, atEnd);
    return 0;
}

bool WideMark(const Scan &s, size_t to)
{
    return s.base + s.held == 0 && to >= 2 && memcmp(s.bytes, "\xFF\xFE", 2) == 0;
}

// The file read on to its end through a buffer of `chunk` bytes, `keep` of them kept for the
// next read: one read when it is smaller. A file that grows meanwhile is read on.
int StreamRead(Scan &s, size_t chunk, size_t keep)
{
    if (s.size < chunk)
        chunk = std::max<size_t>((size_t)s.size + 1, 4);
    keep = std::min(keep, chunk);
    std::unique_ptr<char[]> buffer(new char[keep + chunk + 1]); // not cleared: a small file
    s.bytes = buffer.get();                                     // touches a page of it
    for (;;) {
        ssize_t got = read(s.fd, buffer.get() + s.held, chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        size_t to = s.held + (size_t)got;
        if (WideMark(s, to))
            return REG_WIDE_FILE;
        if (s.base + to > SizeLimit())
            return EFBIG;
        bool atEnd = got == 0;
        if (int error = Take(s, s.held, to, to, atEnd))
            return error;
        if (atEnd)
            return 0;
        size_t stays = std::min(keep, to);
        memmove(buffer.get(), buffer.get() + to - stays, stays);
        s.base += to - stays;
        s.held = stays;
    }
}

// A window of the file mapped while it is read, which another process may cut short meanwhile
// by truncating the file: then a page it took away reads as zeros, and the file is read again.
struct Window {
    const char *begin;
    size_t size;
    size_t page;
    volatile sig_atomic_t cut;
};
Window *s_window;

void OnBusError(int, siginfo_t *info, void *)
{
    const char *at = (const char *)info->si_addr;
    Window *window = s_window;
    if (window != NULL && at >= window->begin && at < window->begin + window->size) {
        void *page = (void *)((uintptr_t)at & ~(uintptr_t)(window->page - 1));
        if (mmap(page, window->page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
            MAP_FAILED) {
            window->cut = 1;
            return;
        }
    }
    signal(SIGBUS, SIG_DFL); // not the window's: it ends the process, as it would have
}

const int MAP_CUT = -3;
const size_t SLICE = 1 << 16;

// The file's first `size` bytes mapped `length` at a time, each window holding `keep` bytes or
// more of the one before: read where the file system keeps them, not copied. 0, the errno, or
// MAP_CUT where the file cannot be mapped or was cut short meanwhile: it is then read.
int StreamMapped(Scan &s, size_t length)
{
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    length = std::max((length + page - 1) / page * page, 2 * page); // a page on past what it keeps
    const size_t keep = std::max<size_t>(length / 64, 4);
    Window window{NULL, 0, page, 0};
    struct sigaction guard = {};
    struct sigaction before;
    guard.sa_sigaction = OnBusError;
    guard.sa_flags = SA_SIGINFO;
    sigemptyset(&guard.sa_mask);
    if (sigaction(SIGBUS, &guard, &before) != 0)
        return MAP_CUT;
    s_window = &window;
    int error = 0;
    for (uint64_t done = 0; error == 0 && done < s.size;) {
        s.base = done > keep ? (done - keep) / page * page : 0;
        s.held = (size_t)(done - s.base);
        window.size = (size_t)std::min<uint64_t>(length, s.size - s.base);
        void *map =
            mmap(NULL, window.size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, s.fd, (off_t)s.base);
        if (map == MAP_FAILED) {
            error = MAP_CUT;
            break;
        }
        window.begin = s.bytes = (const char *)map;
        const bool atEnd = s.base + window.size == s.size;
        // A slice at a time, each looked through twice while the cache holds it.
        if (WideMark(s, window.size))
            error = REG_WIDE_FILE;
        for (size_t from = s.held; error == 0 && from < window.size; from += SLICE) {
            size_t to = std::min(from + SLICE, window.size);
            error = Take(s, from, to, window.size, atEnd && to == window.size);
        }
        munmap(map, window.size);
        if (window.cut)
            error = MAP_CUT;
        done = s.base + window.size;
        if (atEnd)
            s.held = window.size;
    }
    s_window = NULL;
    sigaction(SIGBUS, &before, NULL);
    s.bytes = NULL;
    return error;
}

} // namespace

int RegStoreIndex(RegDocument &doc, int fd, const std::string &path, size_t chunk, bool mapped)
{
    doc = RegDocument();
    doc.path = path;
    doc.exists = true;
    doc.indexed = true;
    struct stat info;
    const uint64_t fileSize = fstat(fd, &info) == 0 ? (uint64_t)info.st_size : 0;
    if (fileSize > SizeLimit())
        return EFBIG;
    Scan s;
    auto start = [&] {
        s = Scan();
        s.fd = s.lines.fd = fd;
        s.size = fileSize;
    };
    // The bytes kept before each part: those a look back reads (a line or two; beyond them the
    // importer reads the stretch), and a character cut in two.
    const size_t keep = std::max<size_t>(chunk / 64, 4);
    start();
    int error = mapped && fileSize > chunk ? StreamMapped(s, std::max(chunk * 16, keep)) : MAP_CUT;
    if (error == MAP_CUT) {
        start(); // read, as if it had not been mapped
        error = lseek(fd, 0, SEEK_SET) == 0 ? StreamRead(s, chunk, keep) : errno;
    }
    if (error != 0)
        return error;
    doc.size = s.base + s.held;
    doc.file = std::shared_ptr<int>(new int(dup(fd)), [](int *file) {
        if (*file >= 0)
            close(*file);
        delete file;
    });
    if (*doc.file < 0)
        return errno;

    // The header, as the full reading reads it.
    RegDocument head;
    head.path = path;
    uint64_t next = 0;
    error = ReadLine(fd, 0, doc.size, head.bytes, next);
    if (error != 0)
        return error;
    if (head.bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        doc.bom = head.bom = head.bytes.substr(0, 3);
    doc.firstNotUtf8 = s.bad;
    doc.ansi = head.ansi = s.bad < doc.size && doc.bom.empty();
    doc.badUtf8 = head.badUtf8 = s.bad < doc.size && !doc.bom.empty();
    std::string ending;
    ReadAt(fd, head.bytes.size(), (size_t)(next - head.bytes.size()), ending);
    head.bytes += ending;
    RegParser header(head, doc, false);
    if (!ReadHeader(header)) {
        doc.keyLines = head.bytes; // what tells this content apart
        return 0;
    }
    if (!doc.bom.empty())
        doc.diagnostics.push_back(path + ":1: a UTF-8 byte-order mark, which regedit does not "
                                         "know: it would import nothing from this file (save "
                                         "it as UTF-16LE, or as UTF-8 without the mark)");
    if (doc.ansi)
        doc.diagnostics.push_back(path + ":" + std::to_string(LineAt(s.lines, s.bad)) +
                                  ": a byte that is not UTF-8, so the file is read in "
                                  "Windows-1252, as regedit reads it");

    // Each line that opens with `[`, where the importer reads it at a line's start, read as the
    // importer reads it there. `from` is where it last stood at a line's start.
    // The key lines' texts follow the header's in keyLines, which tells this content apart; the
    // lines that are none are dropped from there as they are passed.
    uint64_t from = next;
    s.kept.insert(0, head.bytes);
    doc.keyLines = std::move(s.kept);
    size_t kept = head.bytes.size();
    doc.entries.reserve(s.candidates.size());
    doc.keyLineStarts.reserve(s.candidates.size());
    doc.sectionStarts.reserve(s.candidates.size());
    for (const Candidate &candidate : s.candidates) {
        if (candidate.begin < from)
            continue;
        const char *text = doc.keyLines.data() + head.bytes.size() + candidate.kept;
        size_t size = candidate.size;
        uint64_t end = candidate.begin + size;
        if (candidate.before == Before::Maybe) {
            RegDocument part;
            part.path = path;
            part.ansi = doc.ansi;
            part.badUtf8 = doc.badUtf8;
            if ((error = ReadAt(fd, from, (size_t)(end - from), part.bytes)) != 0)
                return error;
            size_t reached = ReadOnTo(part, (size_t)(candidate.begin - from));
            if (from + reached != candidate.begin) {
                from += reached;
                continue;
            }
        }
        from = end;
        if (PassedOver(text, size))
            continue; // no key line after all: the section goes on
        if (doc.entries.size() > REG_ENTRY_ID_MASK) {
            doc.valid = false;
            doc.entries.clear();
            doc.diagnostics.push_back(path +
                                      ": more than 268 million keys, too many to be a registry");
            return 0;
        }
        RegEntry entry{};
        entry.begin = candidate.begin;
        entry.id = (uint32_t)doc.keyLineStarts.size();
        doc.keyLineStarts.push_back((uint32_t)kept);
        if (doc.keyLines.data() + kept != text)
            memmove(&doc.keyLines[kept], text, size);
        kept += size;
        doc.entries.push_back(entry);
        doc.sectionStarts.push_back((uint32_t)end);
    }
    doc.keyLines.resize(kept);
    if (doc.unreported != 0)
        doc.diagnostics.push_back(path + ": ... and " + std::to_string(doc.unreported) +
                                  " more lines like these");
    return 0;
}

// The Key entry's section of an indexed document (its value lines) read into `part`, parsed; what
// its lines say is said. The errno when it cannot be read.
static int ReadSection(const RegDocument &doc, size_t index, RegDocument &part)
{
    part = RegDocument();
    part.path = doc.path;
    part.ansi = doc.ansi;
    part.badUtf8 = doc.badUtf8;
    uint64_t begin = doc.sectionStarts[index];
    uint64_t end = index + 1 < doc.entries.size() ? doc.entries[index + 1].begin : doc.size;
    int error = ReadAt(*doc.file, begin, (size_t)(end - begin), part.bytes);
    if (error != 0)
        return error;
    ParseValues(part);
    if (part.diagnostics.empty())
        return 0;
    // Numbered from the section's start, the key line's end: its first line is the key line's.
    LineCounter lines{*doc.file};
    size_t first = LineAt(lines, begin);
    const std::string prefix = doc.path + ":";
    for (std::string &line : part.diagnostics) {
        size_t colon = line.find(':', prefix.size());
        if (line.compare(0, prefix.size(), prefix) == 0 && colon != std::string::npos)
            line = prefix +
                   std::to_string(first - 1 + strtoul(line.c_str() + prefix.size(), NULL, 10)) +
                   line.substr(colon);
    }
    ReportLines(doc, part.diagnostics);
    return 0;
}

// Whether key line i may bear on `key`: its path the key's, an ancestor's or a descendant's. Read
// on its bytes as far as they are ASCII: the parser folds each letter to its ASCII capital there,
// drops trailing backslashes and reads doubled ones as one, and its text ends at a zero. A line
// with a byte beyond ASCII before it differs may, and is left to the parser; so is one whose
// backslashes may trail, and one that runs on to a bracket or a zero as far as it agrees.
static bool MayBearOn(const RegDocument &doc, size_t i, const std::u16string &key)
{
    uint32_t id = doc.entries[i].id;
    const char *text = doc.keyLines.data() + doc.keyLineStarts[id];
    size_t size =
        (id + 1 < doc.keyLineStarts.size() ? doc.keyLineStarts[id + 1] : doc.keyLines.size()) -
        doc.keyLineStarts[id];
    if (key.empty())
        return true;
    // The first backslash, before the name's end: none, and the line names a root itself.
    static const char LOCAL[] = "[HKEY_LOCAL_MACHINE\\";
    const char *end = text + size;
    const char *at = text;
    if (size >= sizeof LOCAL - 1 && memcmp(text, LOCAL, sizeof LOCAL - 1) == 0)
        at += sizeof LOCAL - 2; // as the file's writers spell nearly every line
    for (; at < end && *at != '\\'; ++at)
        if (*at == ']' || *at == '\0')
            return true;
    size_t k = 0;
    for (++at; at < end; ++at) {
        // A bracket may close the name or be in it, a zero ends the text and a byte beyond
        // ASCII is a character the parser folds: each is the parser's to read.
        if (*at == ']' || *at == '\0' || (uint8_t)*at >= 0x80)
            return true;
        if (*at == '\\' && at[-1] == '\\')
            continue;
        char16_t c = *at >= 'a' && *at <= 'z' ? (char16_t)(*at - 0x20) : (char16_t)*at;
        if (k == key.size() || c != key[k])
            return *at == '\\'; // a descendant's, or backslashes that may trail
        ++k;
    }
    return true;
}

// Key line i read by the parser at a line's start, as the full reading reads it; what it says is
// said. Its entry's kind, root and folded path.
static RegEntry ReadKeyLine(const RegDocument &doc, size_t i, std::u16string &path)
{
    uint32_t id = doc.entries[i].id;
    RegDocument line;
    line.path = doc.path;
    line.ansi = doc.ansi;
    line.badUtf8 = doc.badUtf8;
    size_t end =
        id + 1 < doc.keyLineStarts.size() ? doc.keyLineStarts[id + 1] : doc.keyLines.size();
    line.bytes.assign(doc.keyLines, doc.keyLineStarts[id], end - doc.keyLineStarts[id]);
    RegDocument out;
    RegParser reader(line, out, false);
    ParseOneLine(reader);
    if (!out.diagnostics.empty()) {
        LineCounter lines{*doc.file};
        Renumber(out.diagnostics, doc.path, lines, doc.entries[i].begin);
        ReportLines(doc, out.diagnostics);
    }
    path = out.keyStarts.empty() ? u"" : out.keyText;
    return out.entries.at(0);
}

bool IndexedKeyExists(const RegDocument &doc, const std::u16string &key)
{
    bool exists = key.empty();
    std::u16string path;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        if (!MayBearOn(doc, i, key))
            continue;
        RegEntry entry = ReadKeyLine(doc, i, path);
        if (entry.kind == RegEntryKind::Key && entry.local && IsSelfOrAncestor(key, path))
            exists = true;
        else if (entry.kind == RegEntryKind::DeleteKey && entry.local &&
                 IsSelfOrAncestor(path, key))
            exists = false;
    }
    return exists;
}

int IndexedSections(const RegDocument &doc, const std::u16string &key, const std::u16string &name,
                    KeySections &found, RegValue *value)
{
    found = KeySections();
    uint32_t hash = NameHash(name) & REG_ENTRY_ID_MASK;
    std::u16string path;
    std::u16string written;
    RegDocument part;
    for (size_t i = 0; i < doc.entries.size(); ++i) {
        if (!MayBearOn(doc, i, key))
            continue;
        RegEntry entry = ReadKeyLine(doc, i, path);
        if (!entry.local ||
            (entry.kind != RegEntryKind::Key && entry.kind != RegEntryKind::DeleteKey))
            continue;
        if (entry.kind == RegEntryKind::DeleteKey) {
            if (IsSelfOrAncestor(path, key))
                found = KeySections();
            continue;
        }
        if (path != key)
            continue;
        found.lastOwn = (int)i;
        if (int error = ReadSection(doc, i, part))
            return error;
        for (const RegEntry &line : part.entries) {
            if ((line.kind != RegEntryKind::SetValue && line.kind != RegEntryKind::DeleteValue) ||
                line.id != hash)
                continue;
            ReadEntry(part, line, written, NULL);
            if (RegStoreFold(written) != name)
                continue;
            found.lastValue = (int)i;
            if (line.kind == RegEntryKind::DeleteValue) {
                found.firstSetting = found.lastSetting = -1;
                continue;
            }
            if (found.firstSetting < 0)
                found.firstSetting = (int)i;
            found.lastSetting = (int)i;
            if (value != NULL)
                ReadEntry(part, line, written, value);
        }
    }
    return 0;
}

bool IndexedQueryValue(const RegDocument &doc, const std::u16string &key,
                       const std::u16string &name, RegValue *value)
{
    KeySections found;
    if (int error = IndexedSections(doc, key, name, found, value)) {
        RegStoreSay(doc.path + ": cannot be read (" + RegStoreReason(error) + ")");
        return false;
    }
    return found.lastSetting >= 0;
}

size_t LineAt(LineCounter &lines, uint64_t offset)
{
    if (offset < lines.counted)
        lines = LineCounter{lines.fd};
    std::string block;
    while (lines.counted < offset) {
        size_t size = (size_t)std::min<uint64_t>(65536, offset - lines.counted);
        if (ReadAt(lines.fd, lines.counted, size, block) != 0 || block.empty())
            break;
        lines.ends += CountLineEnds(block.data(), block.size(), lines.last);
        lines.last = block.back();
        lines.counted += block.size();
    }
    return lines.ends + 1;
}

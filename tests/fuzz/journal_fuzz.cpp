// Fuzz target: the journal of a rewrite in place, read as the next writer and every reader would.
#include "platform/posix/store/regstore.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>

// Any bytes may be found in the journal's place. A record read must give texts whose sizes are
// the header's and whose bytes are the record's, and write back as the very record; nothing
// may throw, wrap or read past the record.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string record((const char *)data, size);
    std::string newBytes;
    std::string oldBytes;
    if (!RegStoreReadJournal(record, newBytes, oldBytes))
        return 0;
    size_t header = record.find('\n') + 1;
    if (header + newBytes.size() + oldBytes.size() != record.size() ||
        record.compare(header, std::string::npos, newBytes + oldBytes) != 0)
        abort();
    std::string again;
    std::string again2;
    std::string written = "zembrel journal " + std::to_string(newBytes.size()) + " " +
                          std::to_string(oldBytes.size()) + "\n" + newBytes + oldBytes;
    if (!RegStoreReadJournal(written, again, again2) || again != newBytes || again2 != oldBytes)
        abort();
    return 0;
}

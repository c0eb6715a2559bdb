// Fuzz target: the journal of a rewrite in place, read as the next writer and every reader would.
#include "platform/posix/store/regstore.h"

#include <stdint.h>
#include <stdlib.h>

#include <string>

// Any bytes may be found in the journal's place. A record read must give an old text that is the
// record's own end and a new text no longer than the record's two texts together, and a record of
// the two texts whole must write back as one that reads the same; nothing may throw, wrap or read
// past the record.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string record((const char *)data, size);
    RegJournal journal;
    if (!RegStoreReadJournal(record, journal))
        return 0;
    size_t texts = record.size() - (record.find('\n') + 1);
    const std::string &older = journal.oldText;
    if (older.size() > texts || journal.newText.size() > 2 * texts ||
        record.compare(record.size() - older.size(), std::string::npos, older) != 0)
        abort();
    if (journal.at != 0)
        return 0;
    RegJournal again;
    std::string written = "zembrel journal " + std::to_string(journal.newText.size()) + " " +
                          std::to_string(older.size()) + "\n" + journal.newText + older;
    if (!RegStoreReadJournal(written, again) || again.newText != journal.newText ||
        again.oldText != older || again.at != 0)
        abort();
    return 0;
}

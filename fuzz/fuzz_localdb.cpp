// Takes arbitrary bytes for a local database, then opens it (which may add
// tables, columns and an index, and purges junk users), loads its chats and
// counts and reads every page of messages, as the views and a backup would.
#include <stdexcept>

#include "chatdata/linelocaldb.h"
#include "fuzz/fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString folder = fuzzsupport::folder() + "/db";
    QDir(folder).removeRecursively();
    fuzzsupport::writeInput(folder + "/" + LineLocalDb::dbFileName, data, size);
    try {
        fuzzsupport::readEverything(QSharedPointer<LineLocalDb>::create(QDir(folder)));
    } catch (const std::exception&) {
    }
    return 0;
}

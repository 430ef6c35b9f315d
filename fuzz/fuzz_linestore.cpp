// Takes arbitrary bytes for the LINE app's store in a copied container, then
// opens it, loads its chats, counts and reads every page of messages (which
// writes thumbnails into the copy), as the views and a backup would. Nothing
// may crash, hang or be written outside the container.
#include <QDirIterator>

#include <cstdio>
#include <stdexcept>

#include "chatdata/ioslinedb.h"
#include "fuzz/fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString root = fuzzsupport::folder();
    const QString container = root + "/container";
    QDir(container).removeRecursively();
    fuzzsupport::writeInput(container + "/Library/Application Support/Messages/Line.sqlite", data, size);
    try {
        fuzzsupport::readEverything(QSharedPointer<IOSLineDb>::create(QDir(container), QString()));
    } catch (const std::exception&) {
    }
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path != container && !path.startsWith(container + '/')) {
            std::fprintf(stderr, "written outside the container: %s\n", qPrintable(path));
            std::abort();
        }
    }
    return 0;
}

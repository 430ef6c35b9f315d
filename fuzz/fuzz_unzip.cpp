// Unpacks arbitrary bytes as an archive into a folder nested a few levels
// inside a private one, then checks that nothing was written anywhere but
// below the destination and that no link was made.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "foundation/ziputil.h"
#include "fuzz/fuzzsupport.h"

namespace {

[[noreturn]] void escaped(const QString& path)
{
    std::fprintf(stderr, "written outside the destination or as a link: %s\n", qPrintable(path));
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QDir root(fuzzsupport::folder());
    const QString archive = root.filePath("in.zip");
    // Deep enough that "../" up to four times still lands inside root.
    const QString levels = root.filePath("l1");
    const QString dest = root.filePath("l1/l2/l3/l4/dest");
    QDir(levels).removeRecursively();
    QDir().mkpath(dest);
    fuzzsupport::writeInput(archive, data, size);
    try {
        ziputil::unzipThrow(archive, QDir(dest));
    } catch (const std::runtime_error&) {
    }
    QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path == archive || dest.startsWith(path + '/') || path == dest)
            continue;
        if (!path.startsWith(dest + '/') || it.fileInfo().isSymLink())
            escaped(path);
    }
    return 0;
}

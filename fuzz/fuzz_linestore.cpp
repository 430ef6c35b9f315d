// Takes arbitrary bytes for the LINE app's store in a copied container, then
// opens it, loads its chats, counts and reads every page of messages (which
// writes thumbnails into the copy), as the views and a backup would. Nothing
// may crash, hang or be written outside the container.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

void readEverything(const QString& container)
{
    auto db = QSharedPointer<IOSLineDb>::create(QDir(container), QString());
    LineData data(db, 50);
    db->loadDataThrow(data);
    QList<_LineChat*> chats = data.chats();
    chats.prepend(nullptr); // all chats first
    for (_LineChat* chat : chats) {
        const qint64 n = db->messagesCountThrow(chat);
        for (int page = 1; page <= 20 && (page - 1) * 50 < n + 50; ++page) {
            for (const _LineMsg& m : db->messagesThrow(data, chat, page, 50, page % 2 == 0))
                (void)m.summary();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir root;
    static const bool ready = (qInstallMessageHandler(quiet), root.isValid());
    if (!ready)
        std::abort();
    const QString container = root.filePath("container");
    const QString store = container + "/Library/Application Support/Messages/Line.sqlite";
    QDir(container).removeRecursively();
    QDir().mkpath(QFileInfo(store).absolutePath());
    {
        QFile f(store);
        if (!f.open(QIODevice::WriteOnly))
            std::abort();
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    try {
        readEverything(container);
    } catch (const std::exception&) {
    }
    QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
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

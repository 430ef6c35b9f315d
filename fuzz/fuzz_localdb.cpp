// Takes arbitrary bytes for a local database, then opens it (which may add
// tables, columns and an index, and purges junk users), loads its chats and
// counts and reads every page of messages, as the views and a backup would.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "chatdata/linedata.h"
#include "chatdata/linelocaldb.h"

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir root;
    static const bool ready = (qInstallMessageHandler(quiet), root.isValid());
    if (!ready)
        std::abort();
    const QString folder = root.filePath("db");
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    {
        QFile f(folder + "/" + LineLocalDb::dbFileName);
        if (!f.open(QIODevice::WriteOnly))
            std::abort();
        f.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    try {
        auto db = QSharedPointer<LineLocalDb>::create(QDir(folder));
        LineData lineData(db, 50);
        db->loadDataThrow(lineData);
        QList<_LineChat*> chats = lineData.chats();
        chats.prepend(nullptr);
        for (_LineChat* chat : chats) {
            const qint64 n = db->messagesCountThrow(chat);
            for (int page = 1; page <= 20 && (page - 1) * 50 < n + 50; ++page) {
                for (const _LineMsg& m : db->messagesThrow(lineData, chat, page, 50, page % 2 == 1))
                    (void)m.summary();
            }
        }
    } catch (const std::exception&) {
    }
    return 0;
}

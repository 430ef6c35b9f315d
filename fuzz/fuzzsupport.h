#pragma once

// Shared by the fuzz targets: a private folder for the whole run with Qt's
// messages silenced, writing the input to a file, and reading a database
// the way the views and a backup do.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

#include "chatdata/abslinedb.h"
#include "chatdata/linedata.h"

namespace fuzzsupport {

inline void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// The run's private folder; made on the first call.
inline QString folder()
{
    static QTemporaryDir root;
    static const bool ready = (qInstallMessageHandler(quiet), root.isValid());
    if (!ready)
        std::abort();
    return root.path();
}

// The input as the file at path, its folder made when missing.
inline void writeInput(const QString& path, const uint8_t* data, size_t size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    f.write(reinterpret_cast<const char*>(data), qint64(size));
}

// Loads the database into a new chat data, then counts and reads pages of
// 50 of all chats and of each one, alternately oldest and newest first.
inline void readEverything(const QSharedPointer<AbsLineDb>& db)
{
    LineData data(db, 50);
    db->loadDataThrow(data);
    QList<_LineChat*> chats = data.chats();
    chats.prepend(nullptr);
    for (_LineChat* chat : chats) {
        const qint64 n = db->messagesCountThrow(chat);
        for (int page = 1; page <= 20 && (page - 1) * 50 < n + 50; ++page) {
            for (const _LineMsg& m : db->messagesThrow(data, chat, page, 50, page % 2 == 0))
                (void)m.summary();
        }
    }
}

} // namespace fuzzsupport

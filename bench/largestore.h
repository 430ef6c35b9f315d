#pragma once

// Large synthetic LINE stores for the benchmarks, in the current layout:
// the fixture builder writes the preferences and the schema, then one
// transaction of prepared inserts fills in the numbers asked for. No media
// files are written.

#include <QByteArray>
#include <QString>

struct LargeStoreSpec
{
    QString accountMid = QStringLiteral("u0000000000000000000000000000abcd");
    int users = 50000;
    int chats = 5000;
    qint64 messages = 1000000;
    int mediaPercent = 30; // photo, video, voice and file messages
    int smallChatMessages = 50;
    quint32 seed = 12345;
    QByteArray thumbnail; // ZTHUMBNAIL of photos and videos; empty: a small JPEG
};

struct LargeStoreInfo
{
    QString smallChatMid; // a one-to-one chat holding exactly smallChatMessages
    qint64 textMessages = 0;
    qint64 mediaMessages = 0;
};

LargeStoreInfo generateLargeLineStore(const QString& containerDir, const LargeStoreSpec& spec);

#pragma once

#include <QDateTime>
#include <QSet>
#include <QString>

// The plain records of a LINE chat beside the message: users, groups,
// chats, and the small values a message's attachment attributes are read
// into. Chats, users and groups are created by the loaders and owned by
// their LineData; every pointer between records is borrowed from it.

// The `type` of a _LineChat; the local database keeps it as a word.
namespace LineChatType {
enum Value : int {
    SINGLE = 0, // one-to-one
    MULTI = 1,  // a room of several users without a group record
    GROUP = 2,
};
}

struct _LineUser
{
    qint64 id = 0;
    QString uid;         // LINE's "mid"
    QString contactName; // from the owner's address book
    QString serverName;  // the name the user chose
    QString customName;  // the name the owner gave the user
    QDateTime createTs;
    QString picUri;

    // contactName, else customName, else serverName, else "Unknown".
    QString displayName() const;
};

struct _LineGroupInfo
{
    qint64 id = 0;
    QString uid;
    QString name;
    QDateTime createTs;
    QString picStatus;
    _LineUser* creator = nullptr;
    QSet<_LineUser*> members;

    // "[GROUP] name", with ": " and the members' names when asked; a group
    // without a name shows its members' names only.
    QString display(bool withMembers) const;
};

struct _LineChat
{
    qint64 id = 0;
    QString uid; // LINE's chat id ("mid" of the chat)
    int type = LineChatType::SINGLE;
    QDateTime lastTs; // time of the newest message
    _LineGroupInfo* group = nullptr;
    QSet<_LineUser*> users;

    // The group's title for a group chat that has its group, else the
    // users' names joined by ",".
    QString display(bool withMembers) const;
};

struct _LineStickerInfo
{
    int id = 0;
    int package = 0;
    int version = 0;

    // The sticker's picture on LINE's sticker server.
    QString url() const;
};

struct _LineLocationInfo
{
    double lat = 0.0;
    double lng = 0.0;
    QString name;

    // A static map picture centred on the place. The query keeps the text
    // "<scale>" as the value of scale, for the views to fill in.
    QString url() const;
};

struct LineContactInfo
{
    QString uid;
    QString name;
};

// The shown names of `users` joined by ",". Sets have no stable order in
// Qt 6, so the names come in the order of the users' ids (then uids): a
// title must read the same on every run.
QString lineJoinDisplayNames(const QSet<_LineUser*>& users);

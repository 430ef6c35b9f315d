#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QVariantHash>

#include "chatdata/linerecords.h"

// The `type` of a _LineMsg; the local database keeps it as a word.
namespace LineMsgType {
enum Value : int {
    TEXT = 0,
    PHOTO = 1,
    VIDEO = 2,
    VOICE = 3,
    STICKER = 4,
    CONTACT = 5,
    FILE = 6,
    LOCATION = 7,
};
}

// One message, a value copied freely. `chat` and `from` are borrowed from
// the LineData the message was read through: a copy keeps them as they are
// and must not follow them once that data is gone.
struct _LineMsg
{
    qint64 id = 0;     // row id in the database it was read from
    QString uid;       // LINE's message id; see isLineMsgUidValid
    int type = LineMsgType::TEXT;
    QDateTime ts;
    QByteArray rawContent; // LINE's content bytes as stored
    QString text;          // display text made from rawContent
    QVariantHash atta;     // attachment attributes, through the accessors below
    QString attaPath;      // the media file on this computer, or empty
    QString thumbPath;     // its thumbnail, or empty
    _LineChat* chat = nullptr;
    _LineUser* from = nullptr; // null: sent by the account owner

    bool wasFromMe() const { return from == nullptr; }

    // One line for lists, search, print and exports.
    QString summary() const;
    // The place name, else the text, else "Location".
    QString locationDisplay() const;
    // "m:ss" of a voice note, from its size (980 bytes a second).
    QString voiceDuration() const;

    // The getters never add a key; a missing one reads as 0 or empty.
    void attaSetWidth(int width);
    int attaWidth() const;
    void attaSetHeight(int height);
    int attaHeight() const;
    void attaSetFileSize(const qint64& size);
    qint64 attaFileSize() const;
    void attaSetSticker(const _LineStickerInfo& sticker);
    _LineStickerInfo attaSticker() const;
    void attaSetContact(const LineContactInfo& contact);
    LineContactInfo attaContact() const;
    void attaSetLocation(const _LineLocationInfo& location);
    _LineLocationInfo attaLocation() const;
    void attaSetFileName(const QString& name);
    QString attaFileName() const;
};

Q_DECLARE_METATYPE(_LineMsg)

// False for an empty uid and for "0" (messages LINE never numbered);
// writers treat such a message as new.
bool isLineMsgUidValid(const QString& uid);

// ZCONTENTMETADATA: the small archived dictionary in which the LINE app keeps
// what a message has no column for (sticker ids, shared contacts, file
// names, voice lengths).
#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_p.h"

#include "chatdata/linerecords.h"
#include "foundation/plistcftype.h"

namespace {

QByteArray archiveBytes(const QHash<QString, PlistCFType>& map, bool isMutable)
{
    return PlistCFType::createNSDictionaryStringCFType(map, isMutable)
        .CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
}

} // namespace

QByteArray IOSLineDb::emptyMetaData()
{
    return archiveBytes({}, false);
}

QByteArray IOSLineDb::voiceMetaData(const _LineMsg* msg)
{
    if (!msg)
        return emptyMetaData();
    QHash<QString, PlistCFType> map;
    if (msg->wasFromMe()) {
        const int receivers = msg->chat ? int(msg->chat->users.size()) : 0;
        map.insert(QStringLiteral("receiverCount"), PlistCFType::createCFNumberInt32(receivers));
    } else {
        map.insert(QStringLiteral("OBS_POP"), PlistCFType::createCFString(QStringLiteral("b")));
        map.insert(QStringLiteral("AUDLEN"), PlistCFType::createCFString(QString::number(msg->attaFileSize())));
    }
    return archiveBytes(map, true);
}

QByteArray IOSLineDb::contactInfoMetaData(const LineContactInfo& contact)
{
    QString shown = contact.name;
    shown.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    shown.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    shown.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    shown.replace(QLatin1Char('"'), QStringLiteral("&quot;"));
    QHash<QString, PlistCFType> map;
    map.insert(QStringLiteral("mid"), PlistCFType::createCFString(contact.uid));
    map.insert(QStringLiteral("displayName"), PlistCFType::createCFString(shown));
    return archiveBytes(map, true);
}

LineContactInfo ioslinedb_p::contactInfoOf(const QHash<QString, QString>& meta)
{
    LineContactInfo contact;
    contact.uid = meta.value(QStringLiteral("mid"));
    contact.name = meta.value(QStringLiteral("displayName"));
    // The reverse order of the escaping: the ampersand last.
    contact.name.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    contact.name.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    contact.name.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    contact.name.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return contact;
}

QByteArray IOSLineDb::stickerMetaData(const _LineStickerInfo& sticker)
{
    QHash<QString, PlistCFType> map;
    map.insert(QStringLiteral("STKVER"), PlistCFType::createCFString(QString::number(sticker.version)));
    map.insert(QStringLiteral("STKID"), PlistCFType::createCFString(QString::number(sticker.id)));
    map.insert(QStringLiteral("STKOPT"), PlistCFType::createCFString(QString()));
    map.insert(QStringLiteral("STKPKGID"), PlistCFType::createCFString(QString::number(sticker.package)));
    return archiveBytes(map, false);
}

QByteArray IOSLineDb::fileMetaData(const QString& name, long long size, QDateTime expire)
{
    QHash<QString, PlistCFType> map;
    map.insert(QStringLiteral("FILE_NAME"), PlistCFType::createCFString(name));
    map.insert(QStringLiteral("FILE_SIZE"), PlistCFType::createCFString(QString::number(size)));
    map.insert(QStringLiteral("FILE_EXPIRE_TIMESTAMP"),
               PlistCFType::createCFString(QString::number(expire.toMSecsSinceEpoch())));
    map.insert(QStringLiteral("OBS_POP"), PlistCFType::createCFString(QStringLiteral("sg-1")));
    return archiveBytes(map, false);
}

QHash<QString, QString> IOSLineDb::readMetaData(const QByteArray& bytes)
{
    QHash<QString, QString> out;
    if (bytes.isEmpty())
        return out;
    const QHash<QString, PlistCFType> map =
        PlistCFType::parseNSDictionaryStringCFType(PlistCFType::createCFPropertyList(bytes));
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        out.insert(it.key(), it.value().CFStringQString());
    return out;
}

#include "chatdata/linemsg.h"

#include "chatdata/linerawcontent.h"

namespace {

const QString kWidth = QStringLiteral("width");
const QString kHeight = QStringLiteral("height");
const QString kSize = QStringLiteral("size");
const QString kStickerId = QStringLiteral("sticker_id");
const QString kStickerPackage = QStringLiteral("sticker_package");
const QString kStickerVersion = QStringLiteral("sticker_version");
const QString kContactUid = QStringLiteral("contact_uid");
const QString kContactName = QStringLiteral("contact_name");
const QString kLocLat = QStringLiteral("loc_lat");
const QString kLocLng = QStringLiteral("loc_lng");
const QString kLocName = QStringLiteral("loc_name");
const QString kFileName = QStringLiteral("file_name");

// LINE's exports write line breaks as the two characters "\n" (and "\r")
// into contact names and place names; the summary is a single line.
QString cleanEscapedBreaks(QString s)
{
    s.remove(QStringLiteral("\\r"));
    s.replace(QStringLiteral("\\n"), QStringLiteral(" "));
    return s;
}

} // namespace

bool isLineMsgUidValid(const QString& uid)
{
    return !uid.isEmpty() && uid != QLatin1String("0");
}

QString _LineMsg::summary() const
{
    switch (type) {
    case LineMsgType::PHOTO:
        return QStringLiteral("[IMAGE]");
    case LineMsgType::VIDEO:
        return QStringLiteral("[VIDEO]");
    case LineMsgType::VOICE:
        return QStringLiteral("[VOICE]");
    case LineMsgType::STICKER:
        return QStringLiteral("[STICKER-%1]").arg(attaSticker().id);
    case LineMsgType::CONTACT:
        return QStringLiteral("Contact: ") + cleanEscapedBreaks(attaContact().name);
    case LineMsgType::FILE:
        return attaFileName();
    case LineMsgType::LOCATION:
        return cleanEscapedBreaks(locationDisplay());
    default:
        return emoji_replace(text, line_common_emoji_plain_replace_handler, nullptr);
    }
}

QString _LineMsg::locationDisplay() const
{
    QString s = atta.value(kLocName).toString().trimmed();
    if (s.isEmpty())
        s = text.trimmed();
    if (s.isEmpty())
        s = QStringLiteral("Location");
    return s;
}

QString _LineMsg::voiceDuration() const
{
    const double seconds = double(attaFileSize()) / 980.0;
    const qint64 whole = qint64(seconds);
    const qint64 tenths = qint64(seconds * 10.0) % 10;
    const qint64 total = tenths >= 5 ? whole + 1 : whole;
    const qint64 minutes = total / 60;
    const qint64 secs = total - minutes * 60;
    return QStringLiteral("%1:%2").arg(minutes).arg(secs, 2, 10, QLatin1Char('0'));
}

void _LineMsg::attaSetWidth(int width)
{
    atta.insert(kWidth, width);
}

int _LineMsg::attaWidth() const
{
    return atta.value(kWidth).toInt();
}

void _LineMsg::attaSetHeight(int height)
{
    atta.insert(kHeight, height);
}

int _LineMsg::attaHeight() const
{
    return atta.value(kHeight).toInt();
}

void _LineMsg::attaSetFileSize(const qint64& size)
{
    atta.insert(kSize, QVariant::fromValue<qint64>(size));
}

qint64 _LineMsg::attaFileSize() const
{
    return atta.value(kSize).toLongLong();
}

void _LineMsg::attaSetSticker(const _LineStickerInfo& sticker)
{
    atta.insert(kStickerId, sticker.id);
    atta.insert(kStickerPackage, sticker.package);
    atta.insert(kStickerVersion, sticker.version);
}

_LineStickerInfo _LineMsg::attaSticker() const
{
    _LineStickerInfo s;
    s.id = atta.value(kStickerId).toInt();
    s.package = atta.value(kStickerPackage).toInt();
    s.version = atta.value(kStickerVersion).toInt();
    return s;
}

void _LineMsg::attaSetContact(const LineContactInfo& contact)
{
    atta.insert(kContactUid, contact.uid);
    atta.insert(kContactName, contact.name);
}

LineContactInfo _LineMsg::attaContact() const
{
    return LineContactInfo{atta.value(kContactUid).toString(), atta.value(kContactName).toString()};
}

void _LineMsg::attaSetLocation(const _LineLocationInfo& location)
{
    atta.insert(kLocLat, location.lat);
    atta.insert(kLocLng, location.lng);
    atta.insert(kLocName, location.name);
}

_LineLocationInfo _LineMsg::attaLocation() const
{
    _LineLocationInfo l;
    l.lat = atta.value(kLocLat).toDouble();
    l.lng = atta.value(kLocLng).toDouble();
    l.name = atta.value(kLocName).toString();
    return l;
}

void _LineMsg::attaSetFileName(const QString& name)
{
    atta.insert(kFileName, name);
}

QString _LineMsg::attaFileName() const
{
    return atta.value(kFileName).toString();
}

#include "device/iosassetdb.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

// Seconds from 1970-01-01 to 2001-01-01, where the photo database counts from.
constexpr quint32 kAppleEpoch = 978307200;

} // namespace

IOSAssetDb::IOSAssetDb(const QString& path) : m_path(path) {}

void IOSAssetDb::openCheckThrow()
{
    if (!isOpen())
        openThrow(m_path, 2);
}

bool IOSAssetDb::isAssetExistsThrow(const QString& uuid)
{
    openCheckThrow();
    return queryThrow(Sqlite3Sql("select 1 from ZGENERICASSET where ZUUID=? limit 1").addTextParam(uuid)).moveNext();
}

QString IOSAssetDb::assetPath(const QString& uuid)
{
    openCheckThrow();
    Sqlite3Cursor row = queryThrow(
        Sqlite3Sql("select '/'||ZDIRECTORY||'/'||ZFILENAME as path from ZGENERICASSET where ZUUID=? limit 1")
            .addTextParam(uuid));
    return row.moveNext() ? row.getText(QStringLiteral("path")) : QString();
}

QString IOSAssetDb::assetThumbnailPath(const QString& uuid)
{
    static const QRegularExpression appleFolder(QStringLiteral("(\\d+APPLE)$"), QRegularExpression::CaseInsensitiveOption);
    openCheckThrow();
    Sqlite3Cursor row = queryThrow(Sqlite3Sql("select * from ZGENERICASSET where ZUUID=? limit 1").addTextParam(uuid));
    if (!row.moveNext())
        return QString();
    const int kind = row.getInt(QStringLiteral("ZKIND"));
    const QString fileName = row.getText(QStringLiteral("ZFILENAME"));
    const QRegularExpressionMatch folder = appleFolder.match(row.getText(QStringLiteral("ZDIRECTORY")));
    if (!folder.hasMatch())
        return QString();
    if (kind == 1)
        return QStringLiteral("/PhotoData/Metadata/DCIM/%1/%2.THM").arg(folder.captured(1), QFileInfo(fileName).baseName());
    if (kind != 0)
        return QString();
    // The thumbnail's name holds the time in seconds since 1970, as an
    // unsigned 32-bit number like the rest of the phone's file times.
    const quint32 secs = quint32(row.getInt(QStringLiteral("ZMODIFICATIONDATE"))) + kAppleEpoch;
    return QStringLiteral("/DCIM/.THMB/%1/%2___%3.%4")
        .arg(QStringLiteral("%1").arg(secs % 100, 2, 10, QLatin1Char('0')), folder.captured(1), fileName,
             QString::number(secs));
}

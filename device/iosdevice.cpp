#include "device/iosdevice.h"

#include <QObject>
#include <QRegularExpression>

#include "device/idevice.h"
#include "device/mobiledevice.h"
#include "foundation/datadir.h"
#include "foundation/tips.h"

QDir IOSDevice::cacheDir(bool* ok) const
{
    bool made = false;
    QDir dir(QStringLiteral("/dev/null/ios_cache"));
    if (isValidUdid(udid)) {
        dir.setPath(g_dataSaveDir().filePath("ios_cache/" + udid));
        made = dir.mkpath(".");
        if (!made)
            dir.setPath(QStringLiteral("/dev/null/ios_cache"));
    }
    if (ok)
        *ok = made;
    return dir;
}

QDir IOSDevice::lineRootDir(bool* ok) const
{
    return QDir(cacheDir(ok).filePath("jp.naver.line"));
}

QList<int> IOSDevice::versionList() const
{
    static const QRegularExpression number(QStringLiteral("\\.?(\\d+)"));
    QList<int> numbers;
    for (auto it = number.globalMatch(ProductVersion); it.hasNext();)
        numbers.append(it.next().captured(1).toInt());
    return numbers;
}

bool IOSDevice::checkiTunesBackupSettings(bool checkICloud, bool checkEncrypt) const
{
    const PlistCFType settings = mobiledevice_info(udid, "com.apple.mobile.backup", QString());
    if (!settings.isCFDictionary())
        return true;
    const QString format = QStringLiteral("%1<br/><br/><img src=\"%2\"/>");
    if (checkICloud && settings.get("CloudBackupEnabled").CFNumberBool(false)) {
        Tips::warning(format.arg(QObject::tr("Failed to transfer data to device. Please turn off iCloud backup on "
                                             "your iPhone to try again."),
                                 ":res/close_icloudbk.jpg"));
        return false;
    }
    if (checkEncrypt && settings.get("WillEncrypt").CFNumberBool(false)) {
        Tips::warning(format.arg(QObject::tr("Failed to transfer data to device. Your iTunes backup is encrypted. "
                                             "Please run iTunes on computer and then uncheck \"Encrypt iPhone "
                                             "backup\" option to try again."),
                                 ":res/close_itunesbkenc.jpg"));
        return false;
    }
    return true;
}

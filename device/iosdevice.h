#pragma once

#include <QDir>
#include <QList>
#include <QString>

// The record that stands for one iPhone: a connected device, filled by the
// main window from lockdown values, or a virtual device for a backup folder
// on the computer. Shared between the GUI and worker threads by
// QSharedPointer; filled before a worker starts and not changed while one runs.
class IOSDevice
{
public:
    QString DeviceName;
    QString udid; // names the device's folders; see isValidUdid
    QString MobileSubscriberCountryCode;
    QString ProductVersion; // such as 9.3.5
    QString ProductType;
    QString passcode; // of the device's encrypted backups, once given
    QString lineHome; // the LINE app's data container on the device; empty without LINE

    // The device's cache folder "ios_cache/<udid>" in the data folder,
    // created when missing. *ok is false when the UDID is not a plain UDID
    // (no folder is made of it) or the folder cannot be created; the folder
    // returned then lies below /dev/null, so nothing can be written there.
    QDir cacheDir(bool* ok = nullptr) const;
    // "jp.naver.line" in the cache folder, the local copy of the LINE app's
    // containers; not created here.
    QDir lineRootDir(bool* ok = nullptr) const;
    // The numbers of ProductVersion in order: 11.4.1 gives 11, 4, 1.
    QList<int> versionList() const;
    // Whether the phone's backup settings allow a backup over USB: false
    // after a warning when checkICloud and iCloud backup is on, or else when
    // checkEncrypt and the backups are encrypted. Settings that cannot be
    // read allow it. GUI thread only (modal warning).
    bool checkiTunesBackupSettings(bool checkICloud, bool checkEncrypt) const;
};

#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include "foundation/plistcftype.h"

// A user app as the phone's installation proxy lists it.
struct SimApp
{
    QString bundleId;
    QString container; // UUID of the data container
    QHash<QString, QString> groups; // app group id -> UUID of its container
};

// One file of the phone's backup, in domain "AppDomain-<app>",
// "AppDomainGroup-<group>" or a system domain. Its bytes are `data`, or with
// size >= 0 that many made-up bytes (large backups without the memory).
struct SimBackupFile
{
    QString domain, path;
    QByteArray data;
    qint64 size = -1;
};

// One step of a scripted exchange: a DeviceLink message, raw bytes sent
// right after it, then the host's answer is read (its raw download first for
// DLMessageDownloadFiles), unless `cut` closes the connection instead.
struct SimStep
{
    PlistCFType message;
    QByteArray raw {};
    bool cut = false;
};

// The phone's mobilebackup2 service. After the version exchange and the
// request it plays `script` when given, else the request:
// - "Backup": downloads "<udid>/Status.plist", lists the host's folder and
//   its two-character folders, uploads into "<udid>/Snapshot/" every file
//   the host does not list with the same size (and the metadata always),
//   moves them into place, removes "Snapshot", then ends with the verdict.
// - "Restore": downloads "<udid>/Manifest.plist" and "<udid>/Manifest.db",
//   then every file named in the downloaded Manifest.db, then the verdict.
struct SimBackup2
{
    QList<SimBackupFile> files;
    // Metadata uploaded as "<udid>/<name>" in place of the made-up
    // Info.plist, Manifest.plist, Status.plist and Manifest.db (one row per
    // file in table Files).
    QHash<QString, QByteArray> meta;
    int errorCode = 0; // the verdict, sent as DLMessageProcessMessage
    QString errorDescription;
    QList<SimStep> script;

    // Kept by the simulator.
    PlistCFType request; // the last request's dictionary
    QList<PlistCFType> replies; // the host's status responses, in order
    QList<QByteArray> downloads; // raw bytes of each download, as the host sent them
    QHash<QString, QByteArray> received; // files downloaded whole, by requested path
    QStringList uploaded; // local paths of the files uploaded by Backup plays
    int finished = 0; // connections served to their end
};

// The backup domain's file id: SHA-1 of "<domain>-<path>" in lower-case hex.
QString simFileId(const SimBackupFile& file);

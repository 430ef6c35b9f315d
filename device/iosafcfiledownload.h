#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QStringList>

#include "device/bkcachedb.h"

class ProgressForm;
class mobiledevice_afc;
struct _AfcFileInfo;

// Copies device files and folder trees to the computer over AFC behind a
// progress window; with the date cache, a file whose device time is the one
// recorded at its last download, and whose local copy is still there, is not
// fetched again. Runs on a worker thread. The copy calls throw
// std::runtime_error on failures and the int -1 when the window is cancelled.
class IOSAfcFileDownload
{
    Q_DECLARE_TR_FUNCTIONS(IOSAfcFileDownload)
public:
    IOSAfcFileDownload(const QString& cacheDbPath, ProgressForm& form);

    // Only regular files are copied. The local file appears under its name
    // only when every byte of the device file has arrived: a cancelled or
    // short download leaves no file there and records no date.
    void downloadFileThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QString& localPath, bool useCache);
    // The device folder into localParent + its name, recursively. Device names
    // are cleaned of characters no file name may hold; a name that cleans to
    // nothing, "." or ".." is skipped, so nothing lands outside localParent.
    // Names that clean to one local name (also when they differ in case
    // only) each get a name of their own: a name cleaning left alone keeps
    // it, the others get " (2)", " (3)"... before the extension. Local
    // folders are made with their first file; a link, or anything else but a
    // folder, where a folder below localParent belongs fails the download
    // instead of being written through.
    void downloadDirThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QDir& localParent, bool useCache);

    // The local names of the entries of one device folder, in their order;
    // "" for a name that cleans to nothing, "." or "..", or for an entry
    // given as "".
    static QStringList localFileNames(const QStringList& deviceNames);

    static constexpr int kBufferSize = 524288;
    // A device that lists folders without end would otherwise exhaust the stack.
    static constexpr int kMaxDepth = 128;

private:
    // folder: the local folder's path below root, names already given.
    void downloadDirThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QString& root, const QString& folder,
                          bool useCache, int depth);
    static QString localFileName(const QString& deviceName);
    // Every part of root/relative below root made a real folder, or a throw.
    static void makeRealFolders(const QString& root, const QString& relative);

    ProgressForm& m_form;
    BkCacheDb m_cache;
    QByteArray m_buffer;
};

// Copies one local file to the device behind a progress window.
class IOSAfcFileUpload
{
    Q_DECLARE_TR_FUNCTIONS(IOSAfcFileUpload)
public:
    explicit IOSAfcFileUpload(ProgressForm& form);

    // Nothing happens for a missing local file or an empty device path, nor,
    // without overwrite, when the device already holds a non-empty file
    // there. The bytes are written to "<devicePath>.<random>.upload" (its
    // start shortened beside a name near the phone's limit) and renamed over
    // the device file once all have landed, so a failure at any point leaves
    // the device file as it was; the temporary file is removed over this
    // connection or, when that broke off, a new one, and stays only on a
    // phone that can no longer be reached. A started upload is not cancelled.
    void uploadFileThrow(mobiledevice_afc& afc, const QString& localPath, const QString& devicePath, bool overwrite);

    static constexpr int kBufferSize = 131072;

private:
    ProgressForm& m_form;
    QByteArray m_buffer;
};

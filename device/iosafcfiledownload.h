#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QString>

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
    // Local folders are made with their first file.
    void downloadDirThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QDir& localParent, bool useCache);

    static constexpr int kBufferSize = 524288;
    // A device that lists folders without end would otherwise exhaust the stack.
    static constexpr int kMaxDepth = 128;

private:
    void downloadDirThrow(mobiledevice_afc& afc, const _AfcFileInfo& info, const QDir& localParent, bool useCache,
                          int depth);

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
    // there. The device file is emptied only once the local file is open, and
    // removed when the copy fails half-way. A started upload is not cancelled.
    void uploadFileThrow(mobiledevice_afc& afc, const QString& localPath, const QString& devicePath, bool overwrite);

    static constexpr int kBufferSize = 131072;

private:
    ProgressForm& m_form;
    QByteArray m_buffer;
};

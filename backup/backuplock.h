#pragma once

#include <QString>

// The one writer of a backup folder at a time: an exclusive flock() on a lock
// file in the folder, held from settling an interrupted merge to the end of a
// commit. Threads of one process exclude each other too (each holder opens
// the file itself). The file is removed again by the holder, so a folder
// left alone keeps no trace of it.
class BackupLock
{
public:
    // Waits up to waitMs for another holder to let go; throws
    // std::runtime_error when it does not or when the folder cannot be
    // written.
    explicit BackupLock(const QString& folder, int waitMs = defaultWaitMs);
    ~BackupLock();
    BackupLock(const BackupLock&) = delete;
    BackupLock& operator=(const BackupLock&) = delete;

    static QString fileName();
    // Tests shorten or lengthen the wait of every later lock.
    static int defaultWaitMs;

private:
    QString m_path;
    int m_fd = -1;
};

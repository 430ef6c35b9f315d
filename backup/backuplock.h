#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class ProgressForm;

// What a caller behind a progress window shows while it waits for a backup
// folder's lock, and the flag that ends the wait early (the wait then throws
// the int -1, the way a worker leaves on cancel).
struct BackupLockWaiting
{
    std::function<void(bool waiting)> shown; // true when a wait begins, false once it has ended
    const std::atomic<bool>* cancelled = nullptr;
};

// Who may touch a backup folder: readers together, a writer alone, so that
// no reader ever sees a writer's work half done. A flock() on a lock file in
// the folder, shared or exclusive; threads of one process exclude each other
// too (each holder opens the file itself). The last holder removes the file,
// so a folder left alone keeps no trace of it. Locks are taken by whole
// operations (an open, a load, a merge), never inside one another.
class BackupLock
{
public:
    enum Mode { Shared, Exclusive };
    using Waiting = BackupLockWaiting;

    // Waits up to waitMs for the holders it cannot share with; throws
    // std::runtime_error when they stay or when the folder cannot be
    // written. A reader of a folder that cannot be written at all (a
    // read-only medium) reads it unlocked: nobody can change it there.
    // Any regular file at the lock file's name that can be opened is the
    // lock file, whoever owns it (some media show one owner for every file).
    // Anything else there (a link, a folder, a FIFO, a file this user cannot
    // open) is refused at once, in words that name it and say who can remove
    // it.
    explicit BackupLock(const QString& folder, Mode mode = Exclusive, int waitMs = defaultWaitMs,
                        const Waiting& waiting = {});
    ~BackupLock();
    BackupLock(const BackupLock&) = delete;
    BackupLock& operator=(const BackupLock&) = delete;

    static QString fileName();
    // The wait of callers that have no window to show it in: an open or a
    // list trimmed on the spot.
    static int defaultWaitMs;
    // The wait of workers behind a progress window, which show it and can be
    // cancelled: long enough for another window's load or merge of a large
    // backup to end.
    static int workerWaitMs;
    // The wait shown in `form` (its status line), ended by its cancel; once
    // the lock is held the status goes back to `status`.
    static Waiting shownIn(ProgressForm& form, const QString& status);

    // The lock of a reader: shared, once whatever a writer cut short has been
    // settled (under the lock held alone for that moment). Throws what
    // settling throws, in words that say what to do.
    static std::unique_ptr<BackupLock> forReadingThrow(const QString& folder, int waitMs = defaultWaitMs,
                                                       const Waiting& waiting = {});
    // The lock of a writer: held alone, with what a writer cut short settled
    // and the partial files it left of the program's own names removed.
    static std::unique_ptr<BackupLock> forWritingThrow(const QString& folder, int waitMs = defaultWaitMs,
                                                       const Waiting& waiting = {});

    // Empties a folder whose lock the caller holds alone, all but the lock
    // file: "Status.plist" first, then the backup's lists, then the rest, so
    // that it never vouches for a backup whose files are gone. A link in the
    // folder's place is removed, never cleared through.
    static void clearFolder(const QString& folder);
    // Deletes a backup folder with everything in it, holding its lock alone;
    // one that another window keeps stays as it is (and is logged). A link or
    // a file in its place: only that goes.
    static void deleteFolder(const QString& folder);

private:
    QString m_path;
    int m_fd = -1;
};

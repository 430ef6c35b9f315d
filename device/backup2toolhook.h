#pragma once

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>

#include "foundation/plistcftype.h"

// The computer's side of a mobilebackup2 run: every operation the phone asks
// for on the local backup folder goes through a hook. This class is the
// default hook and works on the real file system below the backup root.
//
// `root` is the backup root (one folder per device udid); every path is given
// by the phone relative to it ("<udid>/Manifest.db") and is hostile. Each
// operation resolves its paths with checkedPath(); a refused path fails with
// RefusedPath and a text, and nothing is read, listed or written for it.
// Operations return 0 on success, else a QFileDevice::FileError value (or 14
// from copy_recursive) with a readable text in `error`. Nothing throws except
// beginThrow and recvFileEnd (a received file that cannot be put in place).
//
// A file that has a second name (a hard link) is treated like a link: never
// copied, and never written through. A received file is written under a new
// name beside its target and renamed over it once whole, so an upload never
// changes a file it did not make.
class Backup2ToolHook
{
public:
    // One folder entry as the phone sees it.
    struct DirItem
    {
        QString name;
        int type = 1; // 1 regular file, 2 folder
        qint64 size = 0;
        QDateTime mtime;
    };

    // The result of an operation on a path that would leave the backup root.
    static constexpr int RefusedPath = QFileDevice::PermissionsError;

    // What is at a path itself, never followed: a link, and a file with a
    // second name (which may lie anywhere on the disk), are Other.
    enum class Kind { Missing, File, Folder, Other };

    // Removes the files that uploads cut off by a crash left in a device's
    // backup folder ("." + name + ".part-XXXXXX", regular files only, below
    // the folder and never through a link). Its caller holds the folder's
    // lock alone.
    static void removePartialUploads(const QString& folder);

    // The absolute local path of a path the phone gave relative to root, or
    // an empty string with the reason in *error when it is absolute, empty,
    // holds "..", passes through (or ends in) a symbolic link, or - when
    // `folder` is given - does not lie in root's sub-folder `folder` (the
    // device's own folder, named by its udid).
    static QString localPath(const QDir& root, const QString& path, QString* error,
                             const QString& folder = QString());

    // localPath, with what this hook has seen of the folders below root: a
    // folder once found to be a real one, reached without a link, is not
    // looked at again until this hook removes or moves it, so a path in a
    // known folder costs one lstat() of its last component. What is at the
    // path goes to *kind. The engine checks every path the phone names here.
    // Only this hook's own operations are expected to change the folders
    // below root while it lives.
    QString checkedPath(const QDir& root, const QString& path, QString* error, const QString& folder = QString(),
                        Kind* kind = nullptr);

    Backup2ToolHook() = default;
    virtual ~Backup2ToolHook();
    Backup2ToolHook(const Backup2ToolHook&) = delete;
    Backup2ToolHook& operator=(const Backup2ToolHook&) = delete;

    virtual void beginThrow(const QDir& root, const QString& udid);
    // False ends the run with `result` and `error`.
    virtual bool onHandleMsgContinue(const QDir& root, const QString& udid, const PlistCFType& msg, int& result,
                                     QString& error);
    // Visible entries in listing order, links listed as what they are
    // (never followed); a missing or refused folder lists nothing.
    virtual QList<DirItem> dirContents(const QDir& root, const QString& path);
    virtual void recvFileBegin(const QDir& root, const QString& udid, const QString& path,
                               const QString& deviceFileName);
    // Opens `file` for writing on a new hidden file beside the checked path,
    // creating missing parent folders; 0 with the file open on success.
    // `file` must stay alive and open until recvFileEnd (or recvFileAbort)
    // for the same path, or the run ends.
    virtual int recvFileOpenWrite(const QDir& root, const QString& path, QFile& file, QString& error);
    // The file opened for `path`, flushed and `size` bytes long with no
    // error, replaces whatever was at its path; else it is thrown away (the
    // engine reports the failed write). Throws std::runtime_error when a
    // whole file cannot be renamed into place.
    virtual void recvFileEnd(const QDir& root, const QString& path, quint64 size);
    // The data of the file opened for `path` broke off (the stream was cut,
    // the run cancelled or a write failed): what this run wrote for it is
    // thrown away, and whatever was at its path before stays as it was.
    virtual void recvFileAbort(const QDir& root, const QString& path);
    // A missing source is no error; whatever is at the destination goes first.
    virtual int moveFile(const QDir& root, const QString& from, const QString& to, QString& error);
    virtual int removeFile(const QDir& root, const QString& path, QString& error);
    virtual int copyFile(const QDir& root, const QString& from, const QString& to, QString& error);
    // 0 once the folder is there; a folder that cannot be made, or anything
    // else standing at its path, is an error with the reason.
    virtual int mkdir(const QDir& root, const QString& path, QString& error);

    // Set by the engine for the length of a run: whether the run has been
    // cancelled. A folder copy or listing asks it between entries and stops;
    // the engine then leaves the message unanswered.
    void setCancelCheck(std::function<bool()> cancelled) { m_cancelled = std::move(cancelled); }

protected:
    bool isCancelled() const { return m_cancelled && m_cancelled(); }
    // Throws away the received file not yet ended, if any.
    void dropIncoming();
    // To be called when the hook changes anything below root: the paths
    // found last (the engine checks each path just before the hook acts on
    // it) are looked at afresh.
    void forgetFound();

private:
    // Valid only between recvFileOpenWrite and recvFileEnd of one file: the
    // engine owns `file`, and a broken stream ends the file without
    // recvFileEnd, so `file` is never touched outside them.
    struct Incoming
    {
        QString path, target, temp;
        QFile* file = nullptr;
    };
    Incoming m_incoming;

    // The path as checkedPath gives it; *parentExists tells whether the
    // folder it goes in is there.
    QString resolve(const QDir& root, const QString& path, QString* error, const QString& folder, Kind* kind,
                    bool* parentExists);
    // Whatever is at the path goes: a folder with its tree, anything else itself.
    void removeAt(const QString& local, Kind kind);
    // Forgets the folder at an absolute path, and every folder below it.
    void forgetFolders(const QString& local);
    QString m_checkedRoot; // the absolute root the remembered folders lie in
    QSet<QString> m_checkedFolders; // relative to it
    struct Found
    {
        QString local;
        Kind kind = Kind::Missing;
        bool parentExists = true;
    };
    Found m_found[2];
    int m_nextFound = 0;
    std::function<bool()> m_cancelled;
};

// Deletes a folder tree; hidden entries (and the folders holding them) stay,
// links are removed as links and never entered.
void rmdir_recursive(const QString& path);

// Copies the file or folder `from` to the path `to` (not into it): files at
// the destination are replaced, missing folders created. Symbolic links in
// the source are skipped and a link at a destination is replaced, never
// written through. 14 with a text when a file meets a folder (or the other
// way round) or when `to` is `from` or lies inside it; a missing source
// copies nothing and returns 0.
// `cancelled`, asked between entries, stops it with 6 (AbortError); the
// engine then leaves the phone's message unanswered and the run ends, so the
// phone never takes what was copied so far for a whole copy.
int copy_recursive(const QString& from, const QString& to, QString& error,
                   const std::function<bool()>& cancelled = {});

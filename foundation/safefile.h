#pragma once

#include <QFile>
#include <QHash>
#include <QString>

// Files reached through names that come from untrusted places: a LINE
// container, a backup folder, a local database, a device. Nothing here
// follows a symbolic link that could lead out of the folder a name belongs
// in, and nothing blocks on a FIFO or a device node. Nothing throws.
namespace safefile {

// A relative path from untrusted input, made plain: repeated separators and
// "." components are dropped. False (and *clean untouched) for an absolute
// path, a ".." component, a NUL character, a path that names nothing
// (empty, ".", ".//.") and, when maxDepth > 0, more than maxDepth components.
bool cleanRelativePath(const QString& path, QString* clean, int maxDepth = 256);

// True when the text can stand as one file or folder name as it is: not
// empty, not "." or "..", and without a separator or NUL.
bool isPlainName(const QString& name);

// True when no existing component of root + "/" + relative, below root, is a
// symbolic link. Components that do not exist yet pass (a file about to be
// created). `relative` must already be clean. The root itself is trusted.
bool noLinkBelow(const QString& root, const QString& relative);

// Both checks: the absolute path of an untrusted relative path under root,
// or an empty string with the reason in *error.
QString resolveInside(const QString& root, const QString& relative, QString* error = nullptr);

// Opens an existing regular file (ReadOnly or ReadWrite) without blocking
// when it is a FIFO; any other kind of file is refused. With Truncate in mode
// a missing file is created (0644) and an existing one emptied. A link in the
// last component is refused too, unless followLink (for a path that was
// checked already, or that comes from a trusted place). On failure the
// reason is in *error.
bool openRegular(QFile& file, const QString& path, QIODevice::OpenMode mode, QString* error = nullptr,
                 bool followLink = false);

// The same for a reader that wants the descriptor alone: an existing regular
// file opened read-only without blocking, with its size in *size, or -1. The
// descriptor keeps O_NONBLOCK, which reading a regular file ignores. The
// caller closes it. On failure errno says why: EINVAL for a file that is
// there but no regular file.
int openRegularForReading(const QString& path, qint64* size, bool followLink = false);

// True when path names a regular file itself (a link to one does not count).
bool isRegularFile(const QString& path);

// The same, for a file with no second name: a hard link may tie the file to
// any place on the same disk, so such a file is treated like a link.
bool isSoleRegularFile(const QString& path);

// Gives a file this process has just made its mode. Media that show one
// owner for every file refuse a mode change to every other user (EPERM), and
// some have no modes at all (EOPNOTSUPP): such a file keeps the mode the
// medium gives it, since refusing to write there would lock the user out of
// a folder that everyone may write. 0, or the errno of any other failure.
int setModeOfNewFile(int fd, int permissions);

// A folder whose contents whoever made it may have filled with links (a LINE
// container copied out of a backup). realPath() tells where a path below it
// really leads, and refuses every path that leads out: links inside that
// stay inside are followed. Folders once resolved are remembered, so asking
// for many files of a few folders costs one lstat() per file.
class Confinement
{
public:
    explicit Confinement(const QString& root);

    const QString& root() const { return m_root; }
    // The absolute path below the root with every link resolved, or an empty
    // string (the reason in *error) when it leads outside the root, passes a
    // dangling link, is not below the root, or the root itself is missing.
    // The part of a path that does not exist yet is kept as it is.
    QString realPath(const QString& path, QString* error = nullptr);
    // Forgets the remembered folders, after the tree below root changed.
    void forget() { m_dirs.clear(); }

private:
    bool inside(const QString& real) const;
    QString realDir(const QString& relative);

    QString m_root;
    QString m_rootReal;
    QHash<QString, QString> m_dirs; // relative folder -> resolved, "" refused
};

// A file that appears under its name only when complete. open() creates a
// new temporary file beside the target (never through a link); commit()
// flushes it to disk and renames it over the target, which replaces a link
// there instead of writing through it. Without commit() the temporary file
// is removed and the target is untouched.
class AtomicFile
{
public:
    explicit AtomicFile(const QString& target, int permissions = 0644);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool open(QString* error = nullptr);
    // Without it, commit() skips the flush to the disk: for copies that a
    // later run checks and makes again (the rename stays atomic).
    void setDurable(bool durable) { m_durable = durable; }
    // Valid between open() and commit() or the destructor.
    QFile& file() { return m_file; }
    bool commit(QString* error = nullptr);
    // Removes the temporary file now; the target stays as it was.
    void discard();

    const QString& target() const { return m_target; }

private:
    QString m_target;
    QString m_temp;
    int m_permissions;
    bool m_durable = true;
    QFile m_file;
};

} // namespace safefile

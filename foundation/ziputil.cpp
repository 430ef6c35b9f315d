#include "foundation/ziputil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include "foundation/safefile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <memory>
#include <stdexcept>

namespace ziputil {
namespace {

constexpr qint64 kBlockSize = 8192;

[[noreturn]] void fail(const QString& text)
{
    throw std::runtime_error(text.toStdString());
}

QString archiveError(archive* a)
{
    const char* s = archive_error_string(a);
    return s ? QString::fromUtf8(s) : QStringLiteral("unknown error");
}

// Writes straight to the descriptor, so that a failure carries the system's
// own reason (Qt's buffered files report a full disk as an unknown error).
// Empty on success, else that reason.
QString writeAll(int fd, const char* data, size_t length)
{
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::write(fd, data + done, length - done);
        if (n < 0 && errno != EINTR)
            return QString::fromLocal8Bit(std::strerror(errno));
        done += size_t(std::max<ssize_t>(n, 0));
    }
    return QString();
}

struct ReaderDeleter
{
    void operator()(archive* a) const { archive_read_free(a); }
};

struct EntryDeleter
{
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

// The archive being written and where its bytes go. A new or regular file is
// written as a save file, so the archive appears at its path only once it is
// complete; anything else there (a device, a pipe) is written in place, as
// renaming over it would destroy it.
struct ZipOutput
{
    QString zipPath;
    QSaveFile saveFile;
    QFile plainFile;
    QFileDevice* file = nullptr;
    archive* a = nullptr; // owned
    // The first failed write; later bytes are dropped. The writer is never
    // told, because libarchive skips freeing its compressor once it is in
    // its fatal state; every call is checked against this instead.
    QString writeError;
    bool discarding = false;
    // Identity of the file being written, so that packing a folder that holds
    // the new archive does not read the archive into itself.
    dev_t dev = 0;
    ino_t ino = 0;

    explicit ZipOutput(const QString& path) : zipPath(path), saveFile(path), plainFile(path)
    {
        const QFileInfo target(path);
        file = target.exists() && !target.isFile() ? static_cast<QFileDevice*>(&plainFile) : &saveFile;
    }

    ~ZipOutput()
    {
        // Freeing an unfinished writer closes it; after a failure those last
        // bytes must not reach the output.
        discarding = true;
        if (a)
            archive_write_free(a);
    }
    ZipOutput(const ZipOutput&) = delete;
    ZipOutput& operator=(const ZipOutput&) = delete;

    // After each call of the writer: its result, and any failed write.
    void checkThrow(bool ok) const
    {
        if (!writeError.isEmpty())
            failWrite(writeError);
        if (!ok)
            failWrite(archiveError(a));
    }

    void commitThrow()
    {
        const bool ok = file == &saveFile ? saveFile.commit() : plainFile.flush();
        if (!ok)
            failWrite(file->errorString());
    }

    [[noreturn]] void failWrite(const QString& why) const
    {
        fail(QStringLiteral("write zip file %1 error. %2").arg(zipPath, why));
    }

    bool isOutput(const QFileInfo& item) const
    {
        struct stat st;
        return ::stat(QFile::encodeName(item.absoluteFilePath()).constData(), &st) == 0 && st.st_dev == dev
            && st.st_ino == ino;
    }
};

la_ssize_t writeToOutput(archive*, void* client, const void* buffer, size_t length)
{
    auto* out = static_cast<ZipOutput*>(client);
    if (out->discarding || !out->writeError.isEmpty())
        return la_ssize_t(length);
    out->writeError = writeAll(out->file->handle(), static_cast<const char*>(buffer), length);
    return la_ssize_t(length);
}

void writeHeader(ZipOutput& out, const QString& name, const QFileInfo& item, mode_t type, int perm, qint64 size)
{
    std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
    archive_entry_set_pathname_utf8(entry.get(), name.toUtf8().constData());
    archive_entry_set_filetype(entry.get(), type);
    // Ordinary permissions: without them other tools unpack files nobody
    // may read.
    archive_entry_set_perm(entry.get(), perm);
    archive_entry_set_size(entry.get(), size);
    const time_t mtime = time_t(item.lastModified().toSecsSinceEpoch());
    archive_entry_set_atime(entry.get(), mtime, 0);
    archive_entry_set_ctime(entry.get(), mtime, 0);
    archive_entry_set_mtime(entry.get(), mtime, 0);
    archive_entry_set_dev(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_ino(entry.get(), 0);
    out.checkThrow(archive_write_header(out.a, entry.get()) == ARCHIVE_OK);
}

void addFileThrow(ZipOutput& out, const QString& name, const QFileInfo& item)
{
    const QString path = item.absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("open %1 error. %2").arg(path, file.errorString()));
    // The header carries the size, so exactly that many bytes follow it: a
    // file that grows meanwhile is stored up to the size it was listed with,
    // one that shrinks is an error.
    const qint64 size = item.size();
    writeHeader(out, name, item, AE_IFREG, 0644, size);
    char buffer[kBlockSize];
    for (qint64 left = size; left > 0;) {
        const qint64 n = file.read(buffer, qMin(left, kBlockSize));
        if (n < 0)
            fail(QStringLiteral("read %1 error. %2").arg(path, file.errorString()));
        if (n == 0)
            fail(QStringLiteral("read %1 error. %2").arg(path, QStringLiteral("the file shrank while being packed")));
        out.checkThrow(archive_write_data(out.a, buffer, size_t(n)) == la_ssize_t(n));
        left -= n;
    }
}

// The base is the folder, as seen inside the archive, that the item is in:
// "/" for a listed item, then "/name", "/name/sub" and so on.
void zipThrow(ZipOutput& out, const QDir& base, const QFileInfo& item)
{
    const QString name = base.absoluteFilePath(item.fileName()).mid(1);
    if (item.isFile()) {
        if (!out.isOutput(item))
            addFileThrow(out, name, item);
        return;
    }
    if (!item.isDir())
        return;
    const QDir folder(item.absoluteFilePath());
    if (!folder.isReadable())
        fail(QStringLiteral("open %1 error. %2").arg(item.absoluteFilePath(), QStringLiteral("Permission denied")));
    writeHeader(out, name, item, AE_IFDIR, 0755, 0);
    const QDir inner(base.absoluteFilePath(item.fileName()));
    // Files, links to files included; then sub-folders, but never through a
    // link, which could lead back up the tree.
    for (const QFileInfo& f : folder.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        zipThrow(out, inner, f);
    for (const QFileInfo& d : folder.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name))
        zipThrow(out, inner, d);
}

// True when a part of rel below root already exists as a symbolic link:
// writing through it could land anywhere.
bool passesThroughLink(const QString& root, const QString& rel)
{
    QString path = root;
    for (const QString& part : rel.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        if (QFileInfo(path).isSymLink())
            return true;
    }
    return false;
}

// The entry's name made safe below the destination, or empty when the entry
// must be skipped.
QString entryPathBelow(const QString& root, archive_entry* entry)
{
    const char* raw = archive_entry_pathname_utf8(entry);
    if (!raw)
        raw = archive_entry_pathname(entry);
    if (!raw)
        return QString();
    QString name = QString::fromUtf8(raw);
    if (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    static const QString unsafe = QStringLiteral("\\:*?\"<>|\n\r\t");
    name.removeIf([](QChar c) { return unsafe.contains(c); });
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return QString();
    const QString path = QDir::cleanPath(root + QLatin1Char('/') + name);
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (!path.startsWith(prefix) || path.size() == prefix.size())
        return QString();
    if (passesThroughLink(root, path.mid(prefix.size())))
        return QString();
    return path;
}

// *budget is what the archive may still unpack; it shrinks by each block.
void extractFileThrow(archive* a, const QString& archivePath, const QString& path, qint64* budget)
{
    const QString parent = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(parent))
        fail(QStringLiteral("create %1 error.").arg(parent));
    // Written beside and renamed into place when complete: a damaged entry
    // or a full disk never leaves a half file, nor destroys an older one.
    safefile::AtomicFile file(path);
    QString error;
    if (!file.open(&error))
        fail(QStringLiteral("create %1 error. %2").arg(path, error));
    char buffer[kBlockSize];
    for (;;) {
        const la_ssize_t n = archive_read_data(a, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0)
            fail(QStringLiteral("read %1 error. %2").arg(archivePath, archiveError(a)));
        *budget -= qint64(n);
        if (*budget < 0)
            fail(QStringLiteral("unpack %1 error. It holds more data than may be unpacked.").arg(archivePath));
        const QString why = writeAll(file.file().handle(), buffer, size_t(n));
        if (!why.isEmpty())
            fail(QStringLiteral("write %1 error. %2").arg(path, why));
    }
    if (!file.commit(&error))
        fail(QStringLiteral("write %1 error. %2").arg(path, error));
}

} // namespace

void zipFilesThrow(const QStringList& paths, const QString& zipPath)
{
    ZipOutput out(zipPath);
    // libarchive buffers whole blocks itself; errors should surface at the
    // write that meets them.
    if (!out.file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        fail(QStringLiteral("create zip file %1 error.").arg(zipPath));
    struct stat st;
    if (::fstat(out.file->handle(), &st) == 0) {
        out.dev = st.st_dev;
        out.ino = st.st_ino;
    }
    out.a = archive_write_new();
    if (!out.a)
        fail(QStringLiteral("create zip file %1 error.").arg(zipPath));
    archive_write_set_format_zip(out.a);
    // No padding after the archive's end: it is a plain file, not a tape.
    archive_write_set_bytes_in_last_block(out.a, 1);
    if (archive_write_open2(out.a, &out, nullptr, writeToOutput, nullptr, nullptr) != ARCHIVE_OK)
        fail(QStringLiteral("create zip file %1 error.").arg(zipPath));

    const QDir root(QStringLiteral("/"));
    for (const QString& path : paths)
        zipThrow(out, root, QFileInfo(QDir::cleanPath(path)));

    out.checkThrow(archive_write_close(out.a) == ARCHIVE_OK);
    out.commitThrow();
}

void unzipThrow(const QString& archivePath, const QDir& destination, const UnzipLimits& limits)
{
    std::unique_ptr<archive, ReaderDeleter> reader(archive_read_new());
    archive* a = reader.get();
    if (!a)
        fail(QStringLiteral("open %1 error.").arg(archivePath));
    archive_read_support_format_all(a);
    archive_read_support_filter_all(a);
    if (archive_read_open_filename(a, QFile::encodeName(archivePath).constData(), size_t(kBlockSize)) != ARCHIVE_OK)
        fail(QStringLiteral("open %1 error. %2").arg(archivePath, archiveError(a)));

    const QString root = QDir::cleanPath(destination.absolutePath());
    qint64 budget = limits.maxBytes;
    for (qint64 entries = 0;; ++entries) {
        archive_entry* entry = nullptr;
        const int r = archive_read_next_header(a, &entry);
        if (r == ARCHIVE_EOF)
            break;
        // A warning (a name in another character set, say) still gives a
        // usable entry; anything worse means the archive is damaged.
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN)
            fail(QStringLiteral("read %1 error. %2").arg(archivePath, archiveError(a)));
        if (entries >= limits.maxEntries)
            fail(QStringLiteral("unpack %1 error. It holds more entries than may be unpacked.").arg(archivePath));
        const mode_t type = archive_entry_filetype(entry);
        if ((type != AE_IFDIR && type != AE_IFREG) || archive_entry_hardlink(entry))
            continue;
        const QString path = entryPathBelow(root, entry);
        if (path.isEmpty()) {
            qWarning() << "unzip: skipped unsafe entry" << archive_entry_pathname(entry) << "of" << archivePath;
            continue;
        }
        if (type == AE_IFDIR) {
            if (!QDir().mkpath(path))
                fail(QStringLiteral("create %1 error.").arg(path));
        } else {
            extractFileThrow(a, archivePath, path, &budget);
        }
    }
}

} // namespace ziputil

qint32 hashcode(const QString& text)
{
    quint32 h = 0;
    for (const QChar c : text) {
        const ushort unit = c.unicode();
        if (unit == 0)
            break;
        h = h * 31u + quint32(qint32(qint16(unit)));
    }
    return qint32(h);
}

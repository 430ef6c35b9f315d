// The phone's AFC service over a local folder that stands for its media area.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <map>
#include <memory>

#include <cstdio>

#include <sys/stat.h>

#include "tests/support/simiphone.h"

namespace {

enum : quint64 { Status = 1, Data = 2, FileOpenResult = 0xE };
enum : quint64 { ReadDir = 3, MakeDir = 9, GetFileInfo = 0xA, FileOpen = 0xD, FileRead = 0xF, FileWrite = 0x10,
                 FileClose = 0x14, RenamePath = 0x18, FileLock = 0x1B, RemoveAll = 0x22 };
constexpr quint64 InvalidArg = 7, NotFound = 8, IsDir = 9, Unsupported = 15, IoError = 20;
// How each operation is logged; those without a path name a handle.
const QHash<quint64, QString> kOps = {{ReadDir, "ReadDir "}, {MakeDir, "MakeDir "}, {GetFileInfo, "GetFileInfo "},
                                      {FileOpen, "FileOpen "}, {FileRead, "FileRead"}, {FileWrite, "FileWrite"},
                                      {FileClose, "FileClose"}, {RenamePath, "RenamePath "},
                                      {FileLock, "FileLock"},
                                      {RemoveAll, "RemovePathAndContents "}};
using Mode = QIODevice;
const QIODevice::OpenMode kModes[] = {Mode::NotOpen, Mode::ReadOnly | Mode::ExistingOnly,
                                      Mode::ReadWrite | Mode::ExistingOnly, Mode::WriteOnly | Mode::Truncate,
                                      Mode::ReadWrite | Mode::Truncate, Mode::WriteOnly | Mode::Append,
                                      Mode::ReadWrite | Mode::Append};

QByteArray u64(quint64 v) { return QByteArray(reinterpret_cast<const char*>(&v), 8); }
quint64 u64At(const QByteArray& b, int at)
{
    quint64 v = 0;
    if (b.size() >= at + 8)
        memcpy(&v, b.constData() + at, 8);
    return v;
}

// The local path of a device path, or empty when it would leave the folder.
QString local(const QString& root, const QByteArray& args, int at)
{
    // A phone without a media folder serves nothing: never the real disk's root.
    if (root.isEmpty())
        return QString();
    // Nor a name longer than a phone's disk takes, whatever disk holds the folder.
    for (const QByteArray& name : QByteArray(args.mid(at).constData()).split('/'))
        if (name.size() > 255)
            return QString();
    const QString path = QDir::cleanPath(root + '/' + QString::fromUtf8(args.mid(at).constData()));
    return path == root || path.startsWith(root + '/') ? path : QString();
}

QByteArray fileInfo(const QString& path, bool lowerCase)
{
    struct stat st;
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArray();
    const QByteArray type = S_ISDIR(st.st_mode) ? "S_IFDIR" : S_ISLNK(st.st_mode) ? "S_IFLNK" : "S_IFREG";
    const QByteArray ns = QByteArray::number(qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
    const QByteArray size = QByteArray::number(qint64(st.st_size)), links = QByteArray::number(qint64(st.st_nlink));
    const QList<QByteArray> fields {"st_size", size, "st_nlink", links, "st_ifmt", lowerCase ? type.toLower() : type,
                                    "st_mtime", ns, "st_birthtime", ns, ""};
    return fields.join('\0');
}

// The status code of a removal of a file, link or whole folder.
quint64 removeAll(const QString& path)
{
    const QFileInfo info(path);
    if (path.isEmpty() || (!info.exists() && !info.isSymLink()))
        return NotFound;
    return (info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path)) ? 0 : IoError;
}

} // namespace

void simAfc(SimLink& link)
{
    const QString root = QDir::cleanPath(link.locked([](SimDevice& d) { return d.media; }));
    const bool lowerCase = link.locked([](SimDevice& d) { return d.lowerCaseTypes; });
    std::map<quint64, std::unique_ptr<QFile>> files;
    quint64 nextHandle = 1;
    quint64 head[5]; // magic, whole length, header length, packet number, operation
    while (link.read(head, 40) && head[2] >= 40 && head[1] >= head[2] && head[1] < (64u << 20)) {
        QByteArray args(int(head[2] - 40), 0);
        QByteArray payload(int(head[1] - head[2]), 0);
        if (!link.read(args.data(), args.size()) || !link.read(payload.data(), payload.size()))
            return;
        const quint64 op = head[4];
        const quint64 first = u64At(args, 0); // a handle, or the mode of FileOpen
        const int at = op == FileOpen ? 8 : 0;
        const QString path = local(root, args, at);
        const QString name = kOps.value(op, QString::number(op) + ' ');
        link.note(name + (name.endsWith(' ') ? QString::fromUtf8(args.mid(at).constData()) : QString()));
        const auto file = files.find(first);
        quint64 type = Data;
        quint64 code = 0;
        QByteArray reply;
        if (!name.endsWith(' ') && file == files.end()) {
            code = InvalidArg;
        } else if (op == ReadDir && !path.isEmpty() && QFileInfo(path).isDir()) {
            const QDir::Filters all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
            for (const QString& entry : QStringList {".", ".."} + QDir(path).entryList(all, QDir::Name))
                reply += entry.toUtf8() + '\0';
        } else if (op == GetFileInfo && !(reply = fileInfo(path, lowerCase)).isEmpty()) {
        } else if (op == FileOpen && QFileInfo(path).isDir()) {
            code = IsDir;
        } else if (op == FileOpen) {
            auto f = std::make_unique<QFile>(path);
            code = path.isEmpty() || first > 6 || !f->open(kModes[first] | QIODevice::Unbuffered) ? NotFound : 0;
            if (code == 0) {
                type = FileOpenResult;
                reply = u64(nextHandle);
                files[nextHandle++] = std::move(f);
            }
        } else if (op == FileRead) {
            reply = file->second->read(qMin<quint64>(u64At(args, 8), 1u << 20));
        } else if (op == FileWrite) {
            code = file->second->write(payload) == payload.size() ? 0 : IoError;
        } else if (op == FileClose) {
            files.erase(file);
        } else if (op == FileLock) {
            // One host at a time here, so every lock and unlock is granted.
        } else if (op == MakeDir) {
            code = !path.isEmpty() && QDir().mkpath(path) ? 0 : IoError;
        } else if (op == RenamePath) {
            // Both paths in the header, each ended by a NUL; the target is replaced.
            const QString to = local(root, args, args.indexOf('\0') + 1);
            code = path.isEmpty() || to.isEmpty() ? InvalidArg
                 : ::rename(QFile::encodeName(path).constData(), QFile::encodeName(to).constData()) == 0 ? 0 : IoError;
        } else if (op == RemoveAll) {
            code = removeAll(path);
        } else {
            code = op == ReadDir || op == GetFileInfo ? NotFound : Unsupported;
        }
        if (type == Data && (code != 0 || (reply.isEmpty() && op != FileRead)))
            type = Status;
        if (type == Status)
            reply = u64(code);
        // A data answer carries its bytes after the header, the others inside it.
        const quint64 whole = 40 + reply.size();
        const quint64 answer[5] = {head[0], whole, type == Data ? 40u : whole, head[3], type};
        if (!link.send(QByteArray(reinterpret_cast<const char*>(answer), 40) + reply))
            return;
    }
}

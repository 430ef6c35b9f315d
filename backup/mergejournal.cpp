#include "backup/mergejournal.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include "foundation/safefile.h"

namespace {

const char kFormat[] = "chatferry merge journal 1";
// Far above what a merge names (two entries a file): a bigger one is not ours.
constexpr qint64 kMaxBytes = 64 << 20;

std::runtime_error failure(const QString& text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

std::runtime_error systemFailure(const QString& what, const QString& path, int code)
{
    return failure(QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code))));
}

} // namespace

QString MergeJournal::fileName()
{
    return QStringLiteral(".chatferry-merge.journal");
}

bool MergeJournal::exists(const QString& folder)
{
    return QFileInfo::exists(QDir(folder).absoluteFilePath(fileName()))
        || QFileInfo(QDir(folder).absoluteFilePath(fileName())).isSymLink();
}

void MergeJournal::writeThrow(const QString& folder, const Contents& contents)
{
    QJsonArray entries;
    for (const Entry& e : contents.entries)
        entries.append(QJsonObject{{"target", e.target}, {"existed", e.existed}, {"removal", e.removal}});
    const QJsonObject top{{"format", QLatin1String(kFormat)},
                          {"commit", contents.commit},
                          {"committing", contents.committing},
                          {"entries", entries}};
    safefile::AtomicFile out(QDir(folder).absoluteFilePath(fileName()), 0600);
    QString why;
    if (!out.open(&why) || !out.file().write(QJsonDocument(top).toJson(QJsonDocument::Compact)) || !out.commit(&why))
        throw failure(why.isEmpty() ? out.file().errorString() : why);
    syncFolderThrow(folder);
}

bool MergeJournal::readThrow(const QString& folder, Contents* contents)
{
    const QString path = QDir(folder).absoluteFilePath(fileName());
    if (!exists(folder))
        return false;
    QFile file;
    QString why;
    if (!safefile::openRegular(file, path, QIODevice::ReadOnly, &why))
        throw failure(why);
    const QByteArray bytes = file.read(kMaxBytes + 1);
    const QJsonObject top = QJsonDocument::fromJson(bytes).object();
    static const QRegularExpression suffix(QStringLiteral("\\A[0-9a-z]{1,13}\\z"));
    const auto refused = [&] {
        return failure(QStringLiteral("%1 is not a merge journal of this program; move that file out of the backup "
                                      "folder, then try again.")
                           .arg(path));
    };
    if (bytes.size() > kMaxBytes || top.value("format").toString() != QLatin1String(kFormat)
        || !suffix.match(top.value("commit").toString()).hasMatch() || !top.value("entries").isArray())
        throw refused();
    contents->commit = top.value("commit").toString();
    contents->committing = top.value("committing").toBool();
    contents->entries.clear();
    for (const QJsonValue& v : top.value("entries").toArray()) {
        const QJsonObject o = v.toObject();
        Entry e{o.value("target").toString(), o.value("existed").toBool(), o.value("removal").toBool()};
        // A data file or a file list: in the folder or one of its own folders.
        QString clean;
        if (!safefile::cleanRelativePath(e.target, &clean, 2) || clean != e.target
            || safefile::resolveInside(folder, e.target).isEmpty())
            throw refused();
        contents->entries.append(e);
    }
    return true;
}

void MergeJournal::removeThrow(const QString& folder)
{
    const QString path = QDir(folder).absoluteFilePath(fileName());
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT)
        throw systemFailure(QStringLiteral("cannot remove"), path, errno);
}

void MergeJournal::syncFolderThrow(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const int code = errno;
        if (fd >= 0)
            ::close(fd);
        throw systemFailure(QStringLiteral("cannot sync the folder"), folder, code);
    }
    ::close(fd);
}

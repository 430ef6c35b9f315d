#include "foundation/fileutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

void g_delDirCascade(const QString& path, bool hiddenToo)
{
    const QFileInfo top(path);
    if (!top.isDir())
        return;
    if (top.isSymLink()) {
        QFile::remove(top.absoluteFilePath());
        return;
    }
    // System lists dangling links, fifos and sockets too, which would
    // otherwise keep the folder alive.
    const QFileInfoList entries = QDir(top.absoluteFilePath())
        .entryInfoList(QDir::Files | QDir::Dirs | QDir::Drives | QDir::System | QDir::NoDotAndDotDot
                           | (hiddenToo ? QDir::Hidden : QDir::Filters()),
                       QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            g_delDirCascade(entry.absoluteFilePath(), hiddenToo);
        else
            QFile::remove(entry.absoluteFilePath());
    }
    QDir().rmdir(top.absoluteFilePath());
}

bool g_removeLink(const QString& path)
{
    // A trailing separator would make lstat() follow the link.
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    ::unlink(native.constData());
    return true;
}

int g_removeRegularFile(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode) || ::unlink(native.constData()) == 0)
        return 0;
    return errno == ENOENT ? 0 : errno;
}

QString g_getValidFilePath(const QString& path)
{
    // A dangling link counts as taken: writing through it would land elsewhere.
    const auto taken = [](const QString& p) {
        const QFileInfo info(p);
        return info.exists() || info.isSymLink();
    };
    if (!taken(path))
        return path;
    const QFileInfo info(path);
    const QDir dir = info.absoluteDir();
    const QString base = info.baseName();
    const QString suffix = info.suffix();
    for (qint64 n = 1;; ++n) {
        // Multi-argument arg(): a "%1" inside the name must not be substituted.
        QString name = QStringLiteral("%1(%2)").arg(base, QString::number(n));
        if (!suffix.isEmpty())
            name += '.' + suffix;
        const QString candidate = dir.absoluteFilePath(name);
        if (!taken(candidate))
            return candidate;
    }
}

QString g_systemOpener()
{
    const QString custom = qEnvironmentVariable("CHATFERRY_OPENER");
    if (!custom.isEmpty())
        return custom;
#ifdef Q_OS_MACOS
    return QStringLiteral("open");
#else
    return QStringLiteral("xdg-open");
#endif
}

namespace {

// Detached: some xdg-open fallbacks run the viewer in the foreground, which
// would freeze the window until the viewer is closed.
void startOpener(const QString& argument)
{
    QProcess::startDetached(g_systemOpener(), QStringList{argument});
}

} // namespace

void g_openFileOrFolder(const QString& path)
{
    startOpener(path);
}

void g_openLink(const QString& url)
{
    startOpener(url);
}

QString g_formatFileName(const QString& name)
{
    QString result = name;
    for (const QChar c : QStringView(u"\\/:*?\"<>|\n\r\t"))
        result.remove(c);
    return result.trimmed();
}

QString g_md5(const QString& text)
{
    return g_md5(text.toUtf8(), false);
}

QString g_md5(const QByteArray& data, bool dashed)
{
    QString hex = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    if (dashed) {
        for (const int pos : {20, 16, 12, 8})
            hex.insert(pos, '-');
    }
    return hex;
}

QString htmlEncode(const QString& text)
{
    QString result = text;
    result.replace('&', QLatin1String("&amp;"))
        .replace('<', QLatin1String("&lt;"))
        .replace('>', QLatin1String("&gt;"))
        .replace('\n', QLatin1String("<br/>"));
    return result;
}

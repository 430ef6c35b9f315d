#include "foundation/datadir.h"

#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

constexpr char kProductFolder[] = "7C1E5A90D3B84F26A0E9B4D1C6F23A85";

// A path is a few hundred bytes; anything much longer is not a redirect.
constexpr qint64 kMaxRedirectBytes = 64 * 1024;

struct DataDirCache
{
    QMutex lock;
    QString path;
};

// Never freed: worker threads and late log messages may ask for the data
// folder while static objects are being destroyed at exit.
DataDirCache& cache()
{
    static DataDirCache* c = new DataDirCache;
    return *c;
}

QString redirectFilePath()
{
    return g_defaultSaveDirPath() + '/' + QLatin1String(kProductFolder) + QLatin1String(".redirect");
}

} // namespace

QDir g_osAppDir()
{
#ifdef Q_OS_MACOS
    return QDir(QDir::homePath() + QLatin1String("/Library/Application Support"));
#else
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
#endif
}

QString g_defaultSaveDirPath()
{
    return QDir::cleanPath(g_osAppDir().absoluteFilePath(QStringLiteral("MarrowQuist")));
}

QString g_dataSaveDirLink()
{
    QFile f(redirectFilePath());
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = f.read(kMaxRedirectBytes);
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString path = QString::fromUtf8(bytes);
    // A relative path would depend on the working folder, and the data folder
    // cannot live below a plain file: both fall back to the default root.
    const QFileInfo info(path);
    return info.isAbsolute() && info.isDir() ? path : QString();
}

void g_setDataSaveDirLink(const QString& path)
{
    QSaveFile f(redirectFilePath());
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write(path.toUtf8());
    f.commit();
}

QDir g_dataSaveDir()
{
    QString path;
    {
        DataDirCache& c = cache();
        QMutexLocker locker(&c.lock);
        if (c.path.isEmpty()) {
            QString root = g_dataSaveDirLink();
            if (root.isEmpty())
                root = g_defaultSaveDirPath();
            c.path = QDir::cleanPath(QDir(root).absoluteFilePath(QLatin1String(kProductFolder)));
        }
        path = c.path;
    }
    QDir().mkpath(path);
    return QDir(path);
}

QDir g_localDbDir()
{
    const QDir dir(g_dataSaveDir().filePath(QStringLiteral("local_databases")));
    if (!dir.exists())
        QDir().mkpath(dir.path());
    return dir;
}

void g_forgetDataSaveDir()
{
    DataDirCache& c = cache();
    QMutexLocker locker(&c.lock);
    c.path.clear();
}

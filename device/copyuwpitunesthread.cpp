#include "device/copyuwpitunesthread.h"

#include <QFile>

#include <exception>

#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/progressform.h"

namespace {

const QLatin1String kMarker("__CopyUWPItunesThread");

QDir copyRoot()
{
    return QDir(QDir::homePath() + QStringLiteral("/marrowquist_itunes"));
}

} // namespace

CopyUWPItunesThread::CopyUWPItunesThread(QString source, bool cleanFirst, ProgressForm& form, QObject* parent)
    : QThread(parent)
    , m_source(QDir::cleanPath(source))
    , m_cleanFirst(cleanFirst)
    , m_form(&form)
{
}

QDir CopyUWPItunesThread::uwpItunesSaveDir(const QString& source)
{
    return QDir(copyRoot().filePath(QFileInfo(QDir::cleanPath(source)).fileName()));
}

bool CopyUWPItunesThread::isUWPItunesCopied(const QDir& dir)
{
    return QFileInfo::exists(dir.filePath(kMarker));
}

bool CopyUWPItunesThread::copyFiles(const QFileInfo& source, const QDir& target, QString& error)
{
    return pathutil::cpr(source, target, &error, [this](const QFileInfo& file) {
        m_form->invokeUpdateProgress(QString(), -1, file.fileName());
    });
}

void CopyUWPItunesThread::run()
{
    try {
        m_form->invokeUpdateProgress(tr("Initiating iTunes..."), 99, QString());
        if (m_cleanFirst)
            delDirCascade(copyRoot().absolutePath());
        QString error;
        if (copyFiles(QFileInfo(m_source), copyRoot(), error)) {
            QFile marker(uwpItunesSaveDir(m_source).filePath(kMarker));
            if (marker.open(QIODevice::WriteOnly)) {
                marker.close();
                m_form->invokeSucceed(QString());
                return;
            }
            error = marker.errorString();
        }
        m_form->invokeErrorOccurred(tr("Can not copy iTunes files. %1").arg(error));
    } catch (const std::exception& e) {
        m_form->invokeErrorOccurred(tr("Can not copy iTunes files. %1").arg(QString::fromUtf8(e.what())));
    }
}

void delDirCascade(const QString& path)
{
    g_delDirCascade(path);
}

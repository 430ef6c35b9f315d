#include "foundation/logsaver.h"

#include <QDir>
#include <QFile>
#include <QMutex>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

struct LogState
{
    QMutex lock;
    QString rootPath;
};

// Never freed: messages still arrive from static destructors at exit, after
// a static QString would already be gone.
LogState& logState()
{
    static LogState* state = new LogState;
    return *state;
}

// Set while this thread is inside the handler: anything Qt reports during a
// failed write must not come back into the handler (and its lock).
thread_local bool t_inHandler = false;

QByteArray linePrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QByteArrayLiteral("(D ");
    case QtWarningMsg: return QByteArrayLiteral("(W ");
    case QtCriticalMsg: return QByteArrayLiteral("(C ");
    case QtFatalMsg: return QByteArrayLiteral("(F ");
    default: return QByteArrayLiteral("(");
    }
}

// The C library rather than QDateTime: during exit Qt's locale data may be
// gone already, and the date and time would come out empty.
QByteArray localNow(const char* format)
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = {};
    if (localtime_r(&now, &parts))
        std::strftime(text, sizeof text, format, &parts);
    return QByteArray(text);
}

} // namespace

void logsaver_install_msghandler(const QString& rootPath, int keep)
{
    {
        LogState& state = logState();
        QMutexLocker locker(&state.lock);
        state.rootPath = rootPath;
    }
    // QDir("") is the working folder: never prune that.
    if (!rootPath.isEmpty()) {
        const QFileInfoList files = QDir(rootPath).entryInfoList(QDir::Files, QDir::Name);
        for (qsizetype i = 0; i < files.size() - qMax(keep, 0); ++i)
            QFile::remove(files[i].absoluteFilePath());
    }
    qInstallMessageHandler(log_output);
}

void log_output(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (t_inHandler)
        return;
    t_inHandler = true;

    const QByteArray text = message.toUtf8();
    // One reading for both, so a line never lands in the wrong day's file.
    const QByteArray dateTime = localNow("%Y%m%d %H:%M:%S");
    const QByteArray line = linePrefix(type) + dateTime.mid(9) + ") " + text + '\n';
    {
        LogState& state = logState();
        QMutexLocker locker(&state.lock);
        if (type == QtDebugMsg) {
            std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        }
        if (!state.rootPath.isEmpty()) {
            QDir().mkpath(state.rootPath);
            const QString name = QLatin1String("log-") + QLatin1String(dateTime.left(8)) + QLatin1String(".txt");
            QFile file(QDir(state.rootPath).filePath(name));
            if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
                file.write(line);
                file.close();
            }
        }
    }

    t_inHandler = false;
    if (type == QtFatalMsg)
        std::abort();
}

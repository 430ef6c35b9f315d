#include "backup/backuplock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int BackupLock::defaultWaitMs = 5000;

QString BackupLock::fileName()
{
    return QStringLiteral(".chatferry-merge.lock");
}

BackupLock::BackupLock(const QString& folder, int waitMs)
    : m_path(QDir(folder).absoluteFilePath(fileName()))
{
    const QByteArray path = QFile::encodeName(m_path);
    const auto failure = [&](int code) {
        return std::runtime_error(QStringLiteral("cannot lock the backup folder %1: %2")
                                      .arg(folder, QString::fromLocal8Bit(std::strerror(code)))
                                      .toUtf8()
                                      .toStdString());
    };
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            throw failure(errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // The holder before may have removed the file after this one
            // opened it: a lock on a name no longer in the folder locks nothing.
            struct stat held, named;
            if (::fstat(fd, &held) == 0 && ::lstat(path.constData(), &named) == 0 && held.st_dev == named.st_dev
                && held.st_ino == named.st_ino) {
                m_fd = fd;
                return;
            }
            ::close(fd);
            continue;
        }
        const int code = errno;
        ::close(fd);
        if (code != EWOULDBLOCK && code != EINTR)
            throw failure(code);
        if (waited.elapsed() >= waitMs)
            throw std::runtime_error(QStringLiteral("Another merge into the backup %1 is under way; try again when "
                                                    "it has ended.")
                                         .arg(folder)
                                         .toUtf8()
                                         .toStdString());
        QThread::msleep(50);
    }
}

BackupLock::~BackupLock()
{
    // Removed while still held: a waiter that opened it sees the name gone.
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
}

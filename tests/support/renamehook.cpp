#include "tests/support/renamehook.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace {

std::mutex hookMutex;
std::function<int(const QString&, const QString&, bool)> renameHook;
std::function<void(const QString&)> unlinkHook;
QString refusingFolder; // canonical, with a trailing '/'

template <typename Hook> Hook current(const Hook& hook)
{
    const std::lock_guard<std::mutex> lock(hookMutex);
    return hook;
}

template <typename Fn> Fn next(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

bool refused(QString path)
{
    const QString folder = current(refusingFolder);
    if (folder.isEmpty())
        return false;
    if (!path.startsWith(QLatin1Char('/')))
        path = QDir::currentPath() + QLatin1Char('/') + path;
    return (QDir::cleanPath(path) + QLatin1Char('/')).startsWith(folder);
}

bool refusedPath(const char* path)
{
    return refused(QFile::decodeName(path));
}

bool refusedFd(int fd)
{
    char target[PATH_MAX];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    return n > 0 && refused(QFile::decodeName(QByteArray(target, int(n))));
}

int refuse()
{
    errno = EPERM;
    return -1;
}

} // namespace

void hookRenames(std::function<int(const QString& from, const QString& to, bool done)> hook)
{
    const std::lock_guard<std::mutex> lock(hookMutex);
    renameHook = std::move(hook);
}

void hookUnlinks(std::function<void(const QString& path)> hook)
{
    const std::lock_guard<std::mutex> lock(hookMutex);
    unlinkHook = std::move(hook);
}

void refuseModeChangesBelow(const QString& folder)
{
    const QString real = folder.isEmpty() ? QString() : QDir(folder).canonicalPath();
    const std::lock_guard<std::mutex> lock(hookMutex);
    refusingFolder = real.isEmpty() ? QString() : real + QLatin1Char('/');
}

extern "C" int rename(const char* from, const char* to) noexcept
{
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    const auto hook = current(renameHook);
    if (hook) {
        if (const int refused = hook(QFile::decodeName(from), QFile::decodeName(to), false)) {
            errno = refused;
            return -1;
        }
    }
    const int result = real(from, to);
    const int code = errno;
    if (hook)
        hook(QFile::decodeName(from), QFile::decodeName(to), true);
    errno = code;
    return result;
}

extern "C" int unlink(const char* path) noexcept
{
    static const auto real = next<int (*)(const char*)>("unlink");
    const int result = real(path);
    const int code = errno;
    if (result == 0)
        if (const auto hook = current(unlinkHook))
            hook(QFile::decodeName(path));
    errno = code;
    return result;
}

extern "C" int fchmod(int fd, mode_t mode) noexcept
{
    static const auto real = next<int (*)(int, mode_t)>("fchmod");
    return refusedFd(fd) ? refuse() : real(fd, mode);
}

extern "C" int chmod(const char* path, mode_t mode) noexcept
{
    static const auto real = next<int (*)(const char*, mode_t)>("chmod");
    return refusedPath(path) ? refuse() : real(path, mode);
}

extern "C" int fchown(int fd, uid_t owner, gid_t group) noexcept
{
    static const auto real = next<int (*)(int, uid_t, gid_t)>("fchown");
    return refusedFd(fd) ? refuse() : real(fd, owner, group);
}

extern "C" int utime(const char* path, const struct utimbuf* times) noexcept
{
    static const auto real = next<int (*)(const char*, const struct utimbuf*)>("utime");
    return refusedPath(path) ? refuse() : real(path, times);
}

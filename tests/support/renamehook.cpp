#include "tests/support/renamehook.h"

#include <QFile>

#include <cerrno>
#include <dlfcn.h>
#include <mutex>

namespace {

std::mutex hookMutex;
std::function<int(const QString&, const QString&, bool)> renameHook;

std::function<int(const QString&, const QString&, bool)> currentHook()
{
    const std::lock_guard<std::mutex> lock(hookMutex);
    return renameHook;
}

} // namespace

void hookRenames(std::function<int(const QString& from, const QString& to, bool done)> hook)
{
    const std::lock_guard<std::mutex> lock(hookMutex);
    renameHook = std::move(hook);
}

extern "C" int rename(const char* from, const char* to)
{
    using Fn = int (*)(const char*, const char*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "rename"));
    const auto hook = currentHook();
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

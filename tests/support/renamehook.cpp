#include "tests/support/renamehook.h"

#include <QFile>

#include <dlfcn.h>
#include <mutex>

namespace {

std::mutex observerMutex;
std::function<void(const QString&, const QString&)> renameObserver;

} // namespace

void observeRenames(std::function<void(const QString& from, const QString& to)> observer)
{
    const std::lock_guard<std::mutex> lock(observerMutex);
    renameObserver = std::move(observer);
}

extern "C" int rename(const char* from, const char* to)
{
    using Fn = int (*)(const char*, const char*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "rename"));
    const int result = real(from, to);
    std::function<void(const QString&, const QString&)> observer;
    {
        const std::lock_guard<std::mutex> lock(observerMutex);
        observer = renameObserver;
    }
    if (observer)
        observer(QFile::decodeName(from), QFile::decodeName(to));
    return result;
}

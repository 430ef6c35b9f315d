// The trimmed copy of a backup's Manifest.db that a restore to the device
// sends in its place: only the rows of the kept domains whose data are here.
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "backup/backupmanifest.h"
#include "backup/mbdbparser_p.h"
#include "foundation/safefile.h"
#include "foundation/sqlite3db.h"

namespace {

struct sqlite3fun_fvalid_ctx
{
    sqlite3fun_fvalid_ctx()
        : dir(QString())
    {
    }

    QDir dir;
    bool keepSystem = false;
    QSet<QString> keepDomains;
};

bool isFileId(const char* text)
{
    if (std::strlen(text) != 40)
        return false;
    for (const char* p = text; *p; ++p)
        if (!std::isxdigit(uchar(*p)))
            return false;
    return true;
}

inline bool sqlite3fun_fvalid_check(const sqlite3fun_fvalid_ctx& ctx, const char* fileid, const char* domain,
                                    int flags)
{
    static const QSet<QString> keepItemsSet{
        QStringLiteral("70765829101933f25994c71bbee6dfd685535bff"),
        QStringLiteral("c159d5c126017800b79c85665222fbe894c3dd77"),
        QStringLiteral("5f5e43af7970eafdc1329b189f273793e709c809"),
        QStringLiteral("80fa782261261e54bb73c0253e5b6beefb6a2f39"),
    };
    // Only a real file ID names a data file: any other text from the list
    // could point anywhere.
    auto present = [&] {
        return flags == 2
            || (flags == 1 && isFileId(fileid)
                && safefile::isRegularFile(ctx.dir.filePath(QLatin1String(fileid, 2) + QLatin1Char('/')
                                                            + QLatin1String(fileid))));
    };
    const QString name = QString::fromUtf8(domain);
    if (keepItemsSet.contains(QString::fromLatin1(fileid).toLower()) || ctx.keepDomains.contains(name))
        return present();
    const bool appDomain = name.startsWith(QLatin1String("AppDomain"), Qt::CaseInsensitive);
    const bool platformApp = appDomain && name.contains(QLatin1String("com.apple."), Qt::CaseInsensitive);
    return ctx.keepSystem && (!appDomain || platformApp) && present();
}

void sqlite3fun_fvalid(sqlite3_context* context, int argc, sqlite3_value** argv)
{
    const auto* ctx = static_cast<const sqlite3fun_fvalid_ctx*>(sqlite3_user_data(context));
    const auto* fileid = argc == 3 ? reinterpret_cast<const char*>(sqlite3_value_text(argv[0])) : nullptr;
    const auto* domain = argc == 3 ? reinterpret_cast<const char*>(sqlite3_value_text(argv[1])) : nullptr;
    if (!ctx || !fileid || !domain || std::strlen(fileid) < 3) {
        sqlite3_result_int(context, 1);
        return;
    }
    sqlite3_result_int(context, sqlite3fun_fvalid_check(*ctx, fileid, domain, sqlite3_value_int(argv[2])) ? 1 : 0);
}

void removeThrow(const QString& path)
{
    QFile file(path);
    if ((file.exists() || QFileInfo(path).isSymLink()) && !file.remove())
        throw std::runtime_error(QStringLiteral("can not remove %1. %2").arg(path, file.errorString()).toStdString());
}

void renameThrow(const QString& from, const QString& to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        throw std::runtime_error(QStringLiteral("can not rename %1 to %2. %3")
                                     .arg(from, to, QString::fromLocal8Bit(std::strerror(errno)))
                                     .toStdString());
}

} // namespace

void BackupManifest::saveManifestDbAsThrow(bool keepSystem, QSet<QString> keepDomains, const QString& outPath,
                                           void (*hook)(Sqlite3DB*))
{
    // Written alone: the phone must get the list of one state of the folder,
    // never a merge's half, and a restore sends this output whole while it
    // holds the folder as a reader.
    const auto lock = lockForWritingThrow();
    const bool encrypted = !manifestKey.isEmpty();
    const QString source = encrypted ? decryptedManifestPath : dir.absoluteFilePath(QStringLiteral("Manifest.db"));
    const QString work = outPath + QStringLiteral(".tmp");
    const QString plain = outPath + QStringLiteral("-decrypt");
    // An older output must not outlive a failed call: the restore would send it.
    for (const QString& path : {outPath, plain, work})
        removeThrow(path);
    try {
        // Rows that live only in the list's log go along: the phone gets one file.
        mbdbdetail::copyListThrow(source, work, encrypted ? 0600 : 0644, !encrypted);
        Sqlite3DB db;
        db.openThrow(work, 2);
        db.executeThrow("pragma journal_mode=off"); // a failure discards the copy
        sqlite3fun_fvalid_ctx ctx;
        ctx.dir = dir;
        ctx.keepSystem = keepSystem;
        ctx.keepDomains = std::move(keepDomains);
        if (sqlite3_create_function_v2(db.rawHandle(), "fvalid", 3, SQLITE_ANY, &ctx, sqlite3fun_fvalid, nullptr,
                                       nullptr, nullptr)
            != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db.rawHandle()));
        db.executeThrow("delete from files where not fvalid(fileid, domain, flags)");
        if (hook)
            hook(&db);
        db.executeThrow("vacuum");
        db.close();
        if (encrypted) {
            renameThrow(work, plain);
            encryptFileThrow(plain, outPath, manifestKey);
        } else {
            renameThrow(work, outPath);
        }
    } catch (...) {
        for (const QString& path : {outPath, plain, work, work + QStringLiteral("-wal"), work + QStringLiteral("-shm")})
            QFile::remove(path);
        throw;
    }
}

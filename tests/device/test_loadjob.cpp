// The LINE load job on a shared machine and on hostile backup folders: where
// its copies go, who may read them, what a linked folder inside the backup
// can make it copy, and attachment names longer than a local name may be.
#include <QCoreApplication>
#include <QDirIterator>
#include <QJsonArray>
#include <QMessageBox>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linemsgsdatasource.h"
#include "device/iosloadlinefromitunesthread.h"
#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/progressform.h"
#include "foundation/utf8mac.h"
#include "tests/support/backupbuilder.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/modaldriver.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

using testenv::readFile;
const QString kApp = "AppDomain-jp.naver.line", kGroup = "AppDomainGroup-group.com.linecorp.line";

// The shared temporary folder pointed somewhere of the test's own for the
// life of the object.
struct TempFolder
{
    explicit TempFolder(const QString& path) : old(qgetenv("TMPDIR")) { qputenv("TMPDIR", QFile::encodeName(path)); }
    ~TempFolder() { old.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", old); }
    QByteArray old;
};

struct Loaded
{
    int result = 0;
    bool found = false;
    QString error;
    QString cache; // where the job put "jp.naver.line"
};

Loaded load(const QString& folder, const QString& password, const QString& cache)
{
    BackupManifest backup(folder);
    backup.readManifestInfo();
    if (!password.isEmpty() && !backup.setPasscodeNoUIThrow(password))
        return {0, false, "password refused", ""};
    backup.parseInfo();
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    ProgressForm form("");
    IOSLoadLineFromiTunesThread job(&backup, form, cache);
    const int result = form.runWorker(job);
    form.waitForThread(job, true);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return {result, job.lineDbFound, driver.texts.value(0), job.cacheFolder()};
}

// Every message of a LINE copy: id and the bytes of its attachment.
QStringList messagesOf(const QString& lineDir)
{
    auto db = QSharedPointer<IOSLineDb>::create(QDir(lineDir), QString());
    LineData data(db, 5000);
    db->loadDataThrow(data);
    LineMsgsDataSource all(data, nullptr, true);
    QStringList out;
    for (qint64 i = 0; i < all.sizeThrow(); ++i) {
        const _LineMsg m = all.msgThrow(i);
        out << m.uid + ' ' + (m.attaPath.isEmpty() ? QString() : QString::fromUtf8(readFile(m.attaPath)));
    }
    return out;
}

mode_t modeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

class LoadJob : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Forty katakana with voiced marks, stored decomposed as the phone's
        // file system keeps them: 240 bytes, 720 once every byte is escaped.
        QString name;
        for (int i = 0; i < 40; ++i)
            name += QChar(0x30AC + 2 * (i % 10));
        longName = name + ".pdf";
        LineStoreBuilder line(container.path());
        line.setAccount("uOwner", "Owner");
        const qint64 amy = line.addUser(LineUserRow("uAmy").named("Amy"));
        const qint64 chat = line.addChat(LineChatRow("uAmy").withMembers({amy}));
        line.addMessage(LineMsgRow(chat, "m1").at(1600000000000).text("hello").from(amy));
        line.addMessage(LineMsgRow(chat, "m2").at(1600000001000).file(longName, 4).from(amy));
        line.addMessage(LineMsgRow(chat, "m3").at(1600000002000).file("short.txt", 5).from(amy));
        line.addAttachment("uAmy", "m2", '_' + utf8mac_to(longName), "long");
        line.addAttachment("uAmy", "m3", "_short.txt", "short");
        // A name that is reserved or dots only when it stands alone, and not
        // in the phone's "<id>_<name>": the copy and the reader agree.
        line.addMessage(LineMsgRow(chat, "m4").at(1600000003000).file("CON", 3).from(amy));
        line.addMessage(LineMsgRow(chat, "m5").at(1600000004000).file("..", 4).from(amy));
        line.addAttachment("uAmy", "m4", "_CON", "con");
        line.addAttachment("uAmy", "m5", "_..", "dots");
        line.build();
        const auto filter = QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot;
        entries = {backupbuilder::folder(kApp, ""), backupbuilder::folder(kGroup, ""),
                   backupbuilder::folder(kGroup, "Library")};
        for (QDirIterator it(container.path(), filter, QDirIterator::Subdirectories); it.hasNext();) {
            const QString rel = QDir(container.path()).relativeFilePath(it.next());
            const QString domain = rel.startsWith("Library/Application Support") ? kGroup : kApp;
            entries.append(it.fileInfo().isDir() ? backupbuilder::folder(domain, rel)
                                                 : backupbuilder::file(domain, rel, readFile(it.filePath())));
        }
        expected = {"m1 ", "m2 long", "m3 short", "m4 con", "m5 dots"};
    }
    QString backup(const QString& name, const QString& password)
    {
        const QString folder = work.filePath(name);
        backupbuilder::build(folder, {{"entries", entries}, {"password", password}});
        return folder;
    }
    QTemporaryDir container, work;
    QJsonArray entries;
    QString longName;
    QStringList expected;
};

TEST_F(LoadJob, ATemporaryCacheIsANewFolderOfTheUserAloneWhateverOthersPlantedUnderTheSharedName)
{
    const QString shared = work.filePath("tmp"), victim = work.filePath("victim");
    ASSERT_TRUE(QDir().mkpath(shared) && QDir().mkpath(victim));
    const TempFolder tmp(shared);
    const QString plain = backup("plain", ""), encrypted = backup("encrypted", "pw");
    const QString fixedName = shared + "/marrowquist-itunes_cache";
    enum Plant { Nothing, LinkToVictim, FolderOfAnother };
    const struct { Plant plant; QString folder, password; } cases[] = {
        {Nothing, plain, ""},
        {LinkToVictim, encrypted, "pw"},
        {FolderOfAnother, encrypted, "pw"},
        {FolderOfAnother, plain, ""},
    };
    QStringList caches;
    for (const auto& c : cases) {
        pathutil::rmpath(shared);
        ASSERT_TRUE(QDir().mkpath(shared));
        QFile::remove(fixedName);
        if (c.plant == LinkToVictim)
            ASSERT_TRUE(QFile::link(victim, fixedName));
        if (c.plant == FolderOfAnother) {
            BackupManifest b(c.folder);
            ASSERT_TRUE(QDir().mkpath(fixedName + '/' + b.dirPathMd5() + "/jp.naver.line"));
            ::chmod(QFile::encodeName(fixedName).constData(), 0777);
        }
        const Loaded loaded = load(c.folder, c.password, QString());
        ASSERT_EQ(loaded.result, 1) << loaded.error.toStdString();
        EXPECT_TRUE(loaded.found);
        // Nothing reached the planted names.
        EXPECT_EQ(simFilesBelow(victim), QStringList());
        EXPECT_TRUE(c.plant != FolderOfAnother || simFilesBelow(fixedName).isEmpty());
        // A folder of its own under the shared one, made by this run.
        const QString own = QDir(shared).relativeFilePath(loaded.cache).section('/', 0, 0);
        EXPECT_TRUE(loaded.cache.startsWith(shared + '/' + own + '/')) << loaded.cache.toStdString();
        EXPECT_FALSE(caches.contains(own));
        caches << own;
        const mode_t top = modeOf(shared + '/' + own);
        EXPECT_TRUE(S_ISDIR(top)) << own.toStdString();
        EXPECT_EQ(top & 07777, mode_t(0700)) << own.toStdString();
        const QString lineDir = loaded.cache + "/jp.naver.line";
        int files = 0;
        for (QDirIterator it(lineDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext(); ++files)
            EXPECT_EQ(modeOf(it.next()) & 07777, mode_t(0600)) << it.filePath().toStdString();
        EXPECT_GE(files, 5);
        EXPECT_EQ(messagesOf(lineDir), expected);
    }
    // Without LINE's data nothing is made.
    pathutil::rmpath(shared);
    ASSERT_TRUE(QDir().mkpath(shared));
    const QString other = work.filePath("other");
    backupbuilder::build(other, {{"entries", QJsonArray {backupbuilder::file("HomeDomain", "Library/x", "home")}}});
    const Loaded none = load(other, "", QString());
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.cache, QString());
    EXPECT_EQ(QDir(shared).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

TEST_F(LoadJob, ALongAttachmentNameGetsAShortLocalNameThatTheReaderFindsAndTheRestLoads)
{
    const QString cache = work.filePath("cache");
    for (const QString password : {"", "pw"}) {
        pathutil::rmpath(cache);
        const Loaded loaded = load(backup("b" + password, password), password, cache);
        ASSERT_EQ(loaded.result, 1) << loaded.error.toStdString();
        EXPECT_EQ(loaded.cache, cache);
        EXPECT_EQ(messagesOf(cache + "/jp.naver.line"), expected);
        for (const QString& file : simFilesBelow(cache))
            EXPECT_LE(QFileInfo(file).fileName().toUtf8().size(), 255) << file.toStdString();
    }
}

TEST_F(LoadJob, ADataFileBehindALinkedFolderOfTheBackupIsNeverCopied)
{
    const QString kStore = "Library/Application Support/PrivateStore/P_uOwner/";
    const QString id = backupbuilder::fileId(kGroup, kStore + "Messages/Line.sqlite");
    const QString outside = work.filePath("outside"), cache = work.filePath("cache");
    // Where the linked folder leads: an outside folder, or the one above the
    // backup; either holds a file of the record's name.
    const struct { QString target, planted; int result; } cases[] = {
        {"", "", 1},
        {outside, outside + '/' + id, 0},
        {"..", work.filePath(id), 0},
    };
    for (const auto& c : cases) {
        const QString folder = backup("linked", "");
        const QString hex = folder + '/' + id.left(2);
        if (!c.target.isEmpty()) {
            ASSERT_TRUE(testenv::writeFile(c.planted, "outside bytes"));
            pathutil::rmpath(hex);
            ASSERT_TRUE(QFile::link(c.target, hex));
        }
        pathutil::rmpath(cache);
        const Loaded loaded = load(folder, "", cache);
        EXPECT_EQ(loaded.result, c.result) << c.target.toStdString();
        EXPECT_EQ(loaded.error.contains("link"), c.result == 0) << loaded.error.toStdString();
        for (const QString& file : simFilesBelow(cache))
            EXPECT_NE(readFile(cache + '/' + file), "outside bytes") << file.toStdString();
        QFile::remove(hex);
        pathutil::rmpath(folder);
    }
}

} // namespace

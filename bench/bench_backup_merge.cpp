// Writing into an encrypted backup of 300,000 records (Manifest.db encrypted
// as a whole, as current iOS makes it):
// - BM_Merge/N: IOSMergeWAFiles2iTunesBKThread adding N files of 10 KiB
//   (10,000: 100 MiB in all; 100), from the start of its run to its end
//   (reading the list, staging and encrypting the files, the list written
//   aside and encrypted, all put in place);
// - BM_RawBaseline/N, its baseline in the same run on the same disk: the
//   same bytes encrypted by a raw EVP loop into the same data-file layout,
//   one raw sqlite3 transaction of the same row writes into the decrypted
//   list, and that list encrypted whole by a raw EVP loop into a file beside
//   Manifest.db and renamed over it: the work no merge into an encrypted
//   list can leave out;
// - BM_ParseList: MBDBParser::parse of that list, the share of BM_Merge that
//   does not depend on the files merged;
// - BM_Trim: BackupManifest::saveManifestDbAsThrow of that list as the LINE
//   restore calls it (items_per_second: rows per second).
// Each run starts from a fresh copy of the backup, made outside the timing.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>

#include <openssl/evp.h>
#include <sqlite3.h>

#include "backup/backupmanifest.h"
#include "backup/iosmergewafiles2itunesbkthread.h"
#include "bench/benchmain.h"
#include "foundation/progressform.h"
#include "tests/support/backupbuilder.h"

namespace {

constexpr int kRecords = 300000;
constexpr int kFiles = 10000; // made once; a run merges the first N
constexpr int kFileBytes = (100 << 20) / kFiles;
const QString kLine = QStringLiteral("AppDomain-jp.naver.line");

QString pathOf(int i)
{
    return QStringLiteral("Library/Application Support/PrivateStore/P_u1/Message Attachments/c%1/%2.jpg")
        .arg(i % 100)
        .arg(i);
}

// The backup as built, and the files to merge into it.
const QString& pristine()
{
    static QString folder;
    if (folder.isEmpty()) {
        QJsonArray entries{backupbuilder::file("HomeDomain", "Library/three", "class 3", 3),
                           backupbuilder::file("HomeDomain", "Library/four", "class 4", 4)};
        for (int i = 2; i < kRecords; ++i) {
            const QString domain = i % 30 == 0 ? kLine
                : i % 3                        ? QStringLiteral("AppDomain-com.example.app%1").arg(i % 37)
                                               : QStringLiteral("HomeDomain");
            const QString dir = QStringLiteral("Library/Store/%1").arg(i / 20);
            QJsonObject e = i % 20 ? backupbuilder::file(domain, QStringLiteral("%1/IMG_%2.jpg").arg(dir).arg(i), "")
                                   : backupbuilder::folder(domain, dir);
            e["noDataFile"] = true;
            e["noKey"] = true;
            entries.append(e);
        }
        folder = benchTempRoot() + "/pristine";
        backupbuilder::build(folder, {{"password", "pw"}, {"entries", entries}});
        QDir().mkpath(benchTempRoot() + "/local");
        for (int i = 0; i < kFiles; ++i) {
            QFile f(benchTempRoot() + QStringLiteral("/local/%1").arg(i));
            f.open(QIODevice::WriteOnly);
            f.write(QByteArray(kFileBytes, char('a' + i % 26)));
        }
    }
    return folder;
}

// A fresh copy of the backup, unlocked (its Manifest-decrypted.db written).
std::unique_ptr<BackupManifest> freshCopy(benchmark::State& state)
{
    const QString work = benchTempRoot() + "/work";
    QDir(work).removeRecursively();
    if (QProcess::execute("cp", {"-a", pristine(), work}) != 0)
        state.SkipWithError("cannot copy the backup");
    auto b = std::make_unique<BackupManifest>(work);
    b->readManifestInfo();
    if (!b->setPasscodeNoUIThrow("pw"))
        state.SkipWithError("password refused");
    return b;
}

qint64 rows(const QString& db)
{
    sqlite3* h = nullptr;
    sqlite3_stmt* st = nullptr;
    sqlite3_open_v2(QFile::encodeName(db).constData(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(h, "select count(*) from Files", -1, &st, nullptr);
    const qint64 n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_finalize(st);
    sqlite3_close(h);
    return n;
}

void BM_Merge(benchmark::State& state)
{
    const int files = int(state.range(0));
    QList<IOSMergeWAFiles2iTunesBKThread::_Item> items;
    for (int i = 0; i < files; ++i)
        items << IOSMergeWAFiles2iTunesBKThread::_Item(kLine, benchTempRoot() + QStringLiteral("/local/%1").arg(i),
                                                        pathOf(i), true, i % 2);
    for (auto _ : state) {
        state.PauseTiming();
        const std::unique_ptr<BackupManifest> b = freshCopy(state);
        ProgressForm form{QString()};
        IOSMergeWAFiles2iTunesBKThread thread(*b, items, form);
        state.ResumeTiming();
        thread.start();
        thread.wait();
        state.PauseTiming();
        // 10,000 files and 105 folders (100 chats and the five above them)
        // The list the merge left, decrypted afresh: the one a restore sends.
        BackupManifest after(b->dir.absolutePath());
        after.readManifestInfo();
        if (!after.setPasscodeNoUIThrow("pw") || rows(after.decryptedManifestPath) != kRecords + files + 105)
            state.SkipWithError("the merge did not write its records");
        state.ResumeTiming();
    }
}

// The whole of `from` encrypted with `key` into `to`, by a raw EVP loop in
// blocks of 1 MiB.
void rawEncryptFile(EVP_CIPHER_CTX* ctx, const QByteArray& key, const QString& from, const QString& to)
{
    const QByteArray iv(16, 0);
    QFile in(from), out(to);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    QByteArray buffer(1 << 20, Qt::Uninitialized), done((1 << 20) + 32, Qt::Uninitialized);
    auto* o = reinterpret_cast<unsigned char*>(done.data());
    EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                       reinterpret_cast<const unsigned char*>(iv.constData()));
    int n = 0;
    for (qint64 got; (got = in.read(buffer.data(), buffer.size())) > 0;) {
        EVP_EncryptUpdate(ctx, o, &n, reinterpret_cast<const unsigned char*>(buffer.constData()), int(got));
        out.write(done.constData(), n);
    }
    EVP_EncryptFinal_ex(ctx, o, &n);
    out.write(done.constData(), n);
}

void BM_RawBaseline(benchmark::State& state)
{
    const int files = int(state.range(0));
    const QByteArray key(32, 'k'), iv(16, 0);
    QByteArray in(kFileBytes, Qt::Uninitialized), out(kFileBytes + 32, Qt::Uninitialized);
    struct Row
    {
        QByteArray id, path, value;
    };
    std::vector<Row> rowWrites;
    for (int i = 0; i < files; ++i) {
        MBDBParser::_MBDBItem r;
        r.domain.setVal(kLine.toUtf8());
        r.path.setVal(pathOf(i).toUtf8());
        r.mode = 0x81A4;
        r.inodeNumber = kRecords + i;
        r.size = kFileBytes;
        r.protectionClass = 3 + i % 2;
        r.encryptionKey.setVal(QByteArray(44, 'w'));
        if (i % 2)
            r.digest.setVal(QByteArray(20, 'd'));
        rowWrites.push_back({r.backupFileName().toUtf8(), r.path.data, MBDBParser::mbFilePlist(r)});
    }
    for (auto _ : state) {
        state.PauseTiming();
        const std::unique_ptr<BackupManifest> b = freshCopy(state);
        const QString folder = b->dir.absolutePath();
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        state.ResumeTiming();
        for (int i = 0; i < files; ++i) {
            QFile src(benchTempRoot() + QStringLiteral("/local/%1").arg(i));
            src.open(QIODevice::ReadOnly);
            const qint64 n = src.read(in.data(), in.size());
            const QString id = QString::fromLatin1(rowWrites[size_t(i)].id);
            QDir(folder).mkdir(id.left(2));
            QFile dst(folder + "/" + id.left(2) + "/" + id);
            dst.open(QIODevice::WriteOnly);
            int a = 0, c = 0;
            auto* o = reinterpret_cast<unsigned char*>(out.data());
            EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                               reinterpret_cast<const unsigned char*>(iv.constData()));
            EVP_EncryptUpdate(ctx, o, &a, reinterpret_cast<const unsigned char*>(in.constData()), int(n));
            EVP_EncryptFinal_ex(ctx, o + a, &c);
            dst.write(out.constData(), a + c);
        }
        sqlite3* h = nullptr;
        sqlite3_stmt* st = nullptr;
        sqlite3_open_v2(QFile::encodeName(b->decryptedManifestPath).constData(), &h, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(h, "begin", nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(h, "replace into Files(fileID,domain,relativePath,flags,file) values(?,?,?,1,?)", -1, &st,
                           nullptr);
        const QByteArray domain = kLine.toUtf8();
        for (const Row& r : rowWrites) {
            sqlite3_bind_text(st, 1, r.id.constData(), int(r.id.size()), SQLITE_STATIC);
            sqlite3_bind_text(st, 2, domain.constData(), int(domain.size()), SQLITE_STATIC);
            sqlite3_bind_text(st, 3, r.path.constData(), int(r.path.size()), SQLITE_STATIC);
            sqlite3_bind_blob(st, 4, r.value.constData(), int(r.value.size()), SQLITE_STATIC);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_exec(h, "commit", nullptr, nullptr, nullptr);
        sqlite3_close(h);
        const QString list = b->dir.absoluteFilePath("Manifest.db");
        rawEncryptFile(ctx, b->manifestKey, b->decryptedManifestPath, list + ".new");
        QFile::remove(list);
        QFile::rename(list + ".new", list);
        state.PauseTiming();
        EVP_CIPHER_CTX_free(ctx);
        BackupManifest after(folder);
        after.readManifestInfo();
        if (!after.setPasscodeNoUIThrow("pw") || rows(after.decryptedManifestPath) != kRecords + files)
            state.SkipWithError("the rows were not written");
        state.ResumeTiming();
    }
}

// The part of BM_Merge that any merge pays before its first file: reading
// the whole list.
void BM_ParseList(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        const std::unique_ptr<BackupManifest> b = freshCopy(state);
        state.ResumeTiming();
        if (MBDBParser::parse(*b).files.size() != kRecords)
            state.SkipWithError("records missing");
    }
}

void BM_Trim(benchmark::State& state)
{
    for (auto _ : state) {
        state.PauseTiming();
        const std::unique_ptr<BackupManifest> b = freshCopy(state);
        state.ResumeTiming();
        b->saveManifestDbAsThrow(false, {kLine, "AppDomainGroup-group.com.linecorp.line"},
                                 b->dir.absoluteFilePath("Manifest-line.db"), nullptr);
    }
    state.SetItemsProcessed(state.iterations() * kRecords); // rows per second
}

double minimum(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

} // namespace

#define MERGE_BENCH(name, reps)                                                                                    \
    BENCHMARK(name)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(reps)                             \
        ->ComputeStatistics("min", minimum)->UseRealTime()
MERGE_BENCH(BM_Merge, 5)->Arg(kFiles)->Arg(100);
MERGE_BENCH(BM_RawBaseline, 5)->Arg(kFiles)->Arg(100);
MERGE_BENCH(BM_ParseList, 5);
MERGE_BENCH(BM_Trim, 5);

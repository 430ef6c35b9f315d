// The LINE jobs on a large encrypted backup folder: a Manifest.db of 300,000
// records holding a LINE container whose store has 1,000,000 messages.
//
// Load: the whole road to a loaded LineData (open, unlock, file list and
// tree, the load job copying and decrypting LINE's files into the cache,
// the store opened and its chats, users and groups loaded). Baselines in the
// same run: the same LINE files decrypted by a raw EVP loop with their file
// keys into the same cache, then the same store opened and loaded; and a
// Python extractor of the kind of iphone_backup_decrypt (unlock, list,
// files) run as a subprocess, then the same store opened and loaded.
//
// Restore: 10,000 messages written into the loaded copy by the restore job,
// then merged into the backup (data files encrypted, the file list written
// back). Each run starts from an untouched copy of backup and cache, the
// cached store opened once before, as it is once the device's chats are shown.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>

#include <openssl/evp.h>

#include "backup/backupmanifest.h"
#include "backup/iosmergewafiles2itunesbkthread.h"
#include "bench/benchmain.h"
#include "bench/largestore.h"
#include "chatdata/ioslinedb.h"
#include "chatdata/linedata.h"
#include "chatdata/linemsgslistsource.h"
#include "device/iosdevice.h"
#include "device/iosloadlinefromitunesthread.h"
#include "device/iosrestorelinemsgthread.h"
#include "foundation/fileutil.h"
#include "foundation/progressform.h"
#include "tests/support/backupbuilder.h"

namespace {

constexpr int kRecords = 300000;
const QString kPassword = "a password";
const QString kApp = "AppDomain-jp.naver.line";

struct LineFile
{
    QString dataPath, relPath;
    QByteArray key;
};
struct Fixture
{
    QString backup, cache;
    QList<LineFile> lineFiles;
};

QByteArray readAll(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// Made once: the LINE container, then the backup with it and filler records,
// LINE's data files encrypted afterwards with the file keys the builder chose
// (the builder takes its data as JSON text, too slow for a large store).
const Fixture& fixture()
{
    static const Fixture f = [] {
        Fixture fx;
        const QString container = benchTempRoot() + "/container";
        QDir().mkpath(container);
        LargeStoreSpec spec;
        spec.messages = 1000000;
        generateLargeLineStore(container, spec);
        QJsonArray entries {backupbuilder::folder(kApp, "")};
        for (QDirIterator it(container, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString rel = QDir(container).relativeFilePath(it.next());
            entries.append(it.fileInfo().isDir() ? backupbuilder::folder(kApp, rel) : backupbuilder::file(kApp, rel, "-"));
        }
        const int lineEntries = entries.size();
        for (int i = entries.size(); i < kRecords; ++i) {
            QJsonObject filler = backupbuilder::file("HomeDomain", QString("Library/Filler/%1.dat").arg(i), "");
            filler["noDataFile"] = true;
            entries.append(filler);
        }
        fx.backup = benchTempRoot() + "/backup";
        const backupbuilder::Built built = backupbuilder::build(fx.backup, {{"password", kPassword}, {"entries", entries}});
        for (int i = 0; i < lineEntries; ++i) {
            const QJsonObject e = entries[i].toObject();
            if (e["kind"].toInt() != 0)
                continue;
            const QString rel = e["path"].toString();
            LineFile lf {backupbuilder::dataPath(fx.backup, backupbuilder::fileId(kApp, rel), false), rel, built.fileKeys[i]};
            QFile out(lf.dataPath);
            out.open(QIODevice::WriteOnly);
            out.write(backupbuilder::aesCbc(lf.key, readAll(container + '/' + rel), true));
            fx.lineFiles << lf;
        }
        fx.cache = benchTempRoot() + "/cache";
        return fx;
    }();
    return f;
}

// The store of the copy opened and its records loaded, as the main window does.
qint64 loadChats(const QString& lineDir)
{
    auto db = QSharedPointer<IOSLineDb>::create(QDir(lineDir), QString());
    LineData data(db, 5000);
    db->loadDataThrow(data);
    return data.chats().size();
}

void BM_LoadFromEncryptedBackup(benchmark::State& state)
{
    const Fixture& fx = fixture();
    for (auto _ : state) {
        g_delDirCascade(fx.cache);
        resetPeakMemory();
        BackupManifest backup(fx.backup);
        backup.readManifestInfo();
        if (!backup.setPasscodeNoUIThrow(kPassword))
            state.SkipWithError("password refused");
        backup.parseInfo();
        ProgressForm form(""); // its reports stay queued: no window is shown
        IOSLoadLineFromiTunesThread job(&backup, form, fx.cache);
        job.start();
        job.wait();
        if (!job.lineDbFound)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(loadChats(fx.cache + "/jp.naver.line"));
    }
    state.counters["peak_MiB"] = peakMemoryMiB();
}

void BM_LoadRawEvpBaseline(benchmark::State& state)
{
    const Fixture& fx = fixture();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const QByteArray iv(16, 0);
    for (auto _ : state) {
        g_delDirCascade(fx.cache);
        resetPeakMemory();
        for (const LineFile& lf : fx.lineFiles) {
            const QByteArray in = readAll(lf.dataPath);
            QByteArray plain(in.size() + 32, Qt::Uninitialized);
            int n = 0, last = 0;
            auto* o = reinterpret_cast<unsigned char*>(plain.data());
            EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(lf.key.constData()),
                               reinterpret_cast<const unsigned char*>(iv.constData()));
            EVP_DecryptUpdate(ctx, o, &n, reinterpret_cast<const unsigned char*>(in.constData()), int(in.size()));
            if (EVP_DecryptFinal_ex(ctx, o + n, &last) != 1)
                state.SkipWithError("raw decryption failed");
            const QString target = fx.cache + "/jp.naver.line/" + lf.relPath;
            QDir().mkpath(QFileInfo(target).path());
            QFile out(target);
            if (!out.open(QIODevice::WriteOnly) || out.write(plain.constData(), n + last) != n + last)
                state.SkipWithError("write failed");
        }
        benchmark::DoNotOptimize(loadChats(fx.cache + "/jp.naver.line"));
    }
    state.counters["peak_MiB"] = peakMemoryMiB();
    EVP_CIPHER_CTX_free(ctx);
}

// What the Python tools of the kind of iphone_backup_decrypt do to take an
// app's files out of an encrypted backup (that tool itself is published only
// where this machine cannot fetch from): the keybag unlocked, the manifest
// key unwrapped, Manifest.db decrypted into a temporary file, the app's rows
// queried, and each file key unwrapped and its data file decrypted whole
// into the output folder. Debian's Python with python3-cryptography.
const char kPythonLoad[] = R"(
import hashlib, os, plistlib, sqlite3, struct, sys, tempfile
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.keywrap import aes_key_unwrap
folder, password, out = sys.argv[1], sys.argv[2].encode(), sys.argv[3]
def decrypt(key, data):
    d = Cipher(algorithms.AES(key), modes.CBC(bytes(16))).decryptor()
    u = padding.PKCS7(128).unpadder()
    return u.update(d.update(data) + d.finalize()) + u.finalize()
info = plistlib.load(open(os.path.join(folder, 'Manifest.plist'), 'rb'))
bag, pos, top, entries = info['BackupKeyBag'], 0, {}, []
while pos + 8 <= len(bag):
    tag, n = bag[pos:pos + 4], struct.unpack('>I', bag[pos + 4:pos + 8])[0]
    value, pos = bag[pos + 8:pos + 8 + n], pos + 8 + n
    if tag == b'UUID' and b'UUID' in top:
        entries.append({})
    (entries[-1] if entries else top)[tag] = value
key = password
if b'DPSL' in top:
    key = hashlib.pbkdf2_hmac('sha256', key, top[b'DPSL'], struct.unpack('>I', top[b'DPIC'])[0], 32)
key = hashlib.pbkdf2_hmac('sha1', key, top[b'SALT'], struct.unpack('>I', top[b'ITER'])[0], 32)
classes = {}
for e in entries:
    if b'WPKY' in e and struct.unpack('>I', e[b'WRAP'])[0] & 2:
        classes[struct.unpack('>I', e[b'CLAS'])[0]] = aes_key_unwrap(key, e[b'WPKY'])
mk = info['ManifestKey']
manifest_key = aes_key_unwrap(classes[struct.unpack('<I', mk[:4])[0]], mk[4:])
with tempfile.NamedTemporaryFile(suffix='.db') as tmp:
    tmp.write(decrypt(manifest_key, open(os.path.join(folder, 'Manifest.db'), 'rb').read()))
    tmp.flush()
    db = sqlite3.connect(tmp.name)
    rows = db.execute("select fileID, relativePath, file from Files where domain = 'AppDomain-jp.naver.line' "
                      "and flags = 1 and (relativePath like 'Documents/%' or relativePath like 'Library/%') "
                      "order by relativePath").fetchall()
    db.close()
count = 0
for file_id, path, blob in rows:
    archive = plistlib.loads(blob)
    objects = archive['$objects']
    record = objects[archive['$top']['root'].data]
    wrapped = objects[record['EncryptionKey'].data]['NS.data'][4:]
    file_key = aes_key_unwrap(classes[record['ProtectionClass']], wrapped)
    data = open(os.path.join(folder, file_id[:2], file_id), 'rb').read()
    target = os.path.join(out, path)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    open(target, 'wb').write(decrypt(file_key, data))
    count += 1
print(count)
)";

void BM_LoadPythonBaseline(benchmark::State& state)
{
    const Fixture& fx = fixture();
    for (auto _ : state) {
        g_delDirCascade(fx.cache);
        QProcess p;
        p.start("/usr/bin/python3", {"-c", kPythonLoad, fx.backup, kPassword, fx.cache + "/jp.naver.line"});
        if (!p.waitForFinished(600000) || p.readAllStandardOutput().trimmed() != QByteArray::number(fx.lineFiles.size()))
            state.SkipWithError(p.readAllStandardError().constData());
        benchmark::DoNotOptimize(loadChats(fx.cache + "/jp.naver.line"));
    }
}

// A copy of a folder tree, for a run that changes it.
void copyTree(const QString& from, const QString& to)
{
    g_delDirCascade(to);
    QProcess::execute("cp", {"-a", from, to});
}

void BM_Restore10000MessagesAndMerge(benchmark::State& state)
{
    const Fixture& fx = fixture();
    auto device = QSharedPointer<IOSDevice>::create();
    device->udid = "00000000-0000000000000001";
    device->ProductVersion = "16.4";
    const QString loaded = benchTempRoot() + "/loaded", backup = benchTempRoot() + "/backup-run";
    if (!QFileInfo::exists(loaded)) { // the copy as the load job leaves it, opened once as its chats were shown
        BackupManifest b(fx.backup);
        b.readManifestInfo();
        b.setPasscodeNoUIThrow(kPassword);
        b.parseInfo();
        ProgressForm form("");
        IOSLoadLineFromiTunesThread job(&b, form, loaded);
        job.start();
        job.wait();
        loadChats(loaded + "/jp.naver.line");
    }
    // 10,000 messages over ten chats new to the store, one in ten a photo.
    LineData records(QSharedPointer<AbsLineDb>(), 5000);
    const QString photo = benchTempRoot() + "/photo.jpg";
    {
        QFile f(photo);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(20000, 'p'));
    }
    auto source = QSharedPointer<LineMsgsListSource>::create();
    for (int c = 1; c <= 10; ++c) {
        auto* user = new _LineUser {c, QString("uRestored%1").arg(c)};
        records.insertUser(c, user);
        records.insertChat(c, new _LineChat {c, user->uid, 0, {}, nullptr, {user}});
    }
    for (int i = 0; i < 10000; ++i) {
        _LineMsg m;
        m.chat = records.chat(i % 10 + 1), m.from = i % 2 ? records.user(i % 10 + 1) : nullptr;
        m.uid = QString("r%1").arg(i), m.type = i % 10 ? 0 : 1, m.text = QString("restored message %1").arg(i);
        m.ts = QDateTime::fromMSecsSinceEpoch(1700000000000LL + i * 1000LL);
        m.attaPath = m.type ? photo : QString();
        source->append(m);
    }
    for (auto _ : state) {
        state.PauseTiming();
        copyTree(loaded, device->cacheDir().path());
        copyTree(fx.backup, backup);
        state.ResumeTiming();
        QElapsedTimer clock;
        clock.start();
        ProgressForm form("");
        IOSRestoreLineMsgThread job(device, source, form);
        job.start();
        job.wait();
        state.counters["restore_s"] = clock.restart() / 1000.0;
        BackupManifest b(backup);
        b.readManifestInfo();
        b.setPasscodeNoUIThrow(kPassword);
        const QDateTime listBefore = QFileInfo(backup + "/Manifest.db").lastModified();
        IOSMergeWAFiles2iTunesBKThread merge(b, job.mergeItems, form);
        merge.start();
        merge.wait();
        state.counters["merge_s"] = clock.elapsed() / 1000.0;
        if (job.restoredCount != 10000 || job.mergeItems.size() != 1003)
            state.SkipWithError("restore failed");
        // A merge that refused (the store's records checked against the
        // backup's) would leave the list as it was.
        if (QFileInfo(backup + "/Manifest.db").lastModified() == listBefore)
            state.SkipWithError("merge wrote no list");
    }
}

} // namespace

BENCHMARK(BM_LoadFromEncryptedBackup)->Apply([](auto* b) { repeated(b, 5)->Unit(benchmark::kSecond); });
BENCHMARK(BM_LoadRawEvpBaseline)->Apply([](auto* b) { repeated(b, 5)->Unit(benchmark::kSecond); });
BENCHMARK(BM_LoadPythonBaseline)->Apply([](auto* b) { repeated(b, 5)->Unit(benchmark::kSecond); });
BENCHMARK(BM_Restore10000MessagesAndMerge)->Apply([](auto* b) { repeated(b, 5)->Unit(benchmark::kSecond); });

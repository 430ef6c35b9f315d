// Reading a backup's file list of 300,000 records (Manifest.db plain and with
// salted rows; Manifest.mbdb for comparison): MBDBParser::parse, and
// BackupManifest::parseInfo (the list plus the file tree and its indexes),
// with the heap each result keeps ("kept_MiB").
//
// Baselines in the same run, on the same files: (a) raw sqlite3 stepping over
// the rows plus a raw libplist parse of each value (for salted rows also the
// Base64 decoding and AES decryption; for Manifest.mbdb a raw walk over the
// fields of the file read whole), and (b) a Python reader of the kind forensic
// tools use (sqlite3, plistlib, struct), run as a subprocess.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QProcess>

#include <malloc.h>

#include <openssl/evp.h>
#include <plist/plist.h>
#include <sqlite3.h>

#include "backup/backupmanifest.h"
#include "bench/benchmain.h"
#include "tests/support/backupbuilder.h"

namespace {

constexpr int kRecords = 300000;
enum Layout { Mbdb, Db, Salted };
const char* const kNames[] = {"mbdb", "db", "salted"};

// Folders of several apps and of the system, one folder record per 20 files.
QString folderOf(Layout layout)
{
    static QString folders[3];
    if (folders[layout].isEmpty()) {
        QJsonArray entries;
        for (int i = 0; i < kRecords; ++i) {
            const QString domain = i % 3 ? QStringLiteral("AppDomain-com.example.app%1").arg(i % 37)
                                         : QStringLiteral("HomeDomain");
            const QString dir = QStringLiteral("Library/Application Support/Store/%1").arg(i / 20);
            QJsonObject e = i % 20 ? backupbuilder::file(domain, QStringLiteral("%1/IMG_%2.jpg").arg(dir).arg(i), "")
                                   : backupbuilder::folder(domain, dir);
            e["noDataFile"] = true;
            entries.append(e);
        }
        QJsonObject spec{{"entries", entries}, {"mbdb", layout == Mbdb}};
        if (layout == Salted)
            spec = {{"entries", entries}, {"password", "pw"}, {"encryptList", false}, {"saltRows", true}};
        folders[layout] = benchTempRoot() + "/" + kNames[layout];
        backupbuilder::build(folders[layout], spec);
    }
    return folders[layout];
}

void open(BackupManifest& b, Layout layout)
{
    b.readManifestInfo();
    if (layout == Salted)
        b.setPasscodeNoUIThrow("pw");
}

// Heap bytes in use (glibc): what a result keeps, as opposed to what the
// process once touched.
double heapMiB()
{
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / (1 << 20);
}

template <class F>
void measure(benchmark::State& state, F work)
{
    double kept = 0;
    for (auto _ : state) {
        const double before = heapMiB();
        kept = work() - before;
    }
    state.counters["kept_MiB"] = kept;
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_Parse(benchmark::State& state)
{
    const Layout layout = Layout(state.range(0));
    BackupManifest b(folderOf(layout));
    open(b, layout);
    measure(state, [&] {
        const MBDBParser::MBDBItemMap map = MBDBParser::parse(b);
        if (map.files.size() != kRecords)
            state.SkipWithError("records missing");
        return heapMiB();
    });
}

void BM_ParseInfo(benchmark::State& state)
{
    const Layout layout = Layout(state.range(0));
    measure(state, [&] {
        BackupManifest b(folderOf(layout));
        open(b, layout);
        b.parseInfo();
        if (b.items.files.size() != kRecords)
            state.SkipWithError("records missing");
        return heapMiB();
    });
}

quint32 be(const uchar* p, int n)
{
    quint32 v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

void BM_RawBaseline(benchmark::State& state)
{
    const Layout layout = Layout(state.range(0));
    const QString folder = folderOf(layout);
    BackupManifest b(folder);
    open(b, layout);
    measure(state, [&] {
        int rows = 0;
        if (layout == Mbdb) {
            QFile f(folder + "/Manifest.mbdb");
            f.open(QIODevice::ReadOnly);
            const QByteArray all = f.readAll();
            const auto* p = reinterpret_cast<const uchar*>(all.constData()) + 6;
            const auto* end = reinterpret_cast<const uchar*>(all.constData()) + all.size();
            while (p < end) {
                for (int s = 0; s < 5; ++s) {
                    const quint32 n = be(p, 2);
                    p += 2 + (n == 0xffff ? 0 : n);
                }
                const int props = qint8(p[39]);
                p += 40;
                for (int i = 0; i < 2 * props; ++i) {
                    const quint32 n = be(p, 2);
                    p += 2 + (n == 0xffff ? 0 : n);
                }
                ++rows;
            }
        } else {
            sqlite3* db = nullptr;
            sqlite3_stmt* st = nullptr;
            sqlite3_open_v2(QFile::encodeName(folder + "/Manifest.db").constData(), &db, SQLITE_OPEN_READONLY, nullptr);
            QByteArray salt;
            sqlite3_prepare_v2(db, "select value from Properties where key='salt'", -1, &st, nullptr);
            if (sqlite3_step(st) == SQLITE_ROW)
                salt = QByteArray(static_cast<const char*>(sqlite3_column_blob(st, 0)), sqlite3_column_bytes(st, 0));
            sqlite3_finalize(st);
            const QByteArray rowKey = MBDBParser::fileDescKey("pw", salt);
            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            QByteArray plain(1 << 16, Qt::Uninitialized);
            sqlite3_prepare_v2(db, "select domain, relativePath, file from Files", -1, &st, nullptr);
            while (sqlite3_step(st) == SQLITE_ROW) {
                const char* v = static_cast<const char*>(sqlite3_column_blob(st, 2));
                int n = sqlite3_column_bytes(st, 2);
                benchmark::DoNotOptimize(sqlite3_column_text(st, 0));
                benchmark::DoNotOptimize(sqlite3_column_text(st, 1));
                if (layout == Salted) {
                    const QByteArray bin = QByteArray::fromBase64(QByteArray::fromRawData(v, n));
                    int a = 0, c = 0;
                    auto* o = reinterpret_cast<unsigned char*>(plain.data());
                    EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr,
                                       reinterpret_cast<const unsigned char*>(rowKey.constData()),
                                       reinterpret_cast<const unsigned char*>(backupbuilder::rowIv().constData()));
                    const auto* in = reinterpret_cast<const unsigned char*>(bin.constData());
                    EVP_DecryptUpdate(ctx, o, &a, in, int(bin.size()));
                    EVP_DecryptFinal_ex(ctx, o + a, &c);
                    v = plain.constData();
                    n = a + c;
                }
                plist_t node = nullptr;
                plist_from_bin(v, uint32_t(n), &node);
                plist_free(node);
                ++rows;
            }
            sqlite3_finalize(st);
            sqlite3_close(db);
            EVP_CIPHER_CTX_free(ctx);
        }
        if (rows != kRecords)
            state.SkipWithError("rows missing");
        return heapMiB();
    });
}

// What a forensic script does: every record into a dictionary by file ID.
const char kPython[] = R"(
import base64, hashlib, plistlib, sqlite3, struct, sys
folder, layout = sys.argv[1], sys.argv[2]
records = {}
if layout == 'mbdb':
    data = open(folder + '/Manifest.mbdb', 'rb').read()
    pos = 6
    def string():
        global pos
        n, = struct.unpack_from('>H', data, pos); pos += 2
        if n == 0xffff: return None
        pos += n; return data[pos - n:pos]
    while pos < len(data):
        domain, path, target, digest, key = (string() for _ in range(5))
        mode, inode, uid, gid, mtime, ctime, btime, size, cls, n = struct.unpack_from('>HQIIIIIQbB', data, pos)
        pos += 40
        props = [(string(), string()) for _ in range(n)]
        fid = hashlib.sha1(domain + b'-' + (path or b'')).hexdigest()
        records[fid] = dict(domain=domain, path=path, mode=mode, inode=inode, size=size, props=props)
else:
    db = sqlite3.connect('file:' + folder + '/Manifest.db?mode=ro', uri=True)
    dec = None
    if layout == 'salted':
        from cryptography.hazmat.primitives import padding
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        salt = db.execute("select value from Properties where key='salt'").fetchone()[0]
        key = hashlib.sha1(b'pw' + salt).digest()[:16]
        iv = bytes.fromhex('3e91c4a70fd2586be13a9c74d0f5286b')
        def dec(text):
            d = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
            u = padding.PKCS7(128).unpadder()
            return u.update(d.update(base64.b64decode(text)) + d.finalize()) + u.finalize()
    for domain, path, value in db.execute('select domain, relativePath, file from Files'):
        archive = plistlib.loads(dec(value) if dec else value)
        objects = archive['$objects']
        root = objects[archive['$top']['root'].data]
        fields = {k: objects[v.data] if isinstance(v, plistlib.UID) else v for k, v in root.items()}
        fid = hashlib.sha1((domain + '-' + path).encode()).hexdigest()
        records[fid] = dict(domain=domain, path=path, **fields)
print(len(records))
)";

void BM_PythonReader(benchmark::State& state)
{
    const Layout layout = Layout(state.range(0));
    const QString folder = folderOf(layout);
    for (auto _ : state) {
        QProcess p;
        p.start("/usr/bin/python3", {"-c", kPython, folder, kNames[layout]});
        if (!p.waitForFinished(600000) || p.readAllStandardOutput().trimmed() != QByteArray::number(kRecords))
            state.SkipWithError(p.readAllStandardError().constData());
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}

double minimum(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

} // namespace

#define LIST_BENCH(name, reps)                                                                                     \
    BENCHMARK(name)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(reps)           \
        ->ComputeStatistics("min", minimum)->UseRealTime()
LIST_BENCH(BM_Parse, 5);
LIST_BENCH(BM_ParseInfo, 5);
LIST_BENCH(BM_RawBaseline, 5);
LIST_BENCH(BM_PythonReader, 3);

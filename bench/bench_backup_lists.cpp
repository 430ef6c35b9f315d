// Reading a backup's file list of 300,000 records (Manifest.db plain and with
// salted rows; Manifest.mbdb for comparison): MBDBParser::parse, and
// BackupManifest::parseInfo (the list plus the file tree and its indexes),
// with the heap each result keeps ("kept_MiB").
//
// Baselines in the same run, on the same files: (a) BM_RawBaseline/layout/0,
// raw sqlite3 stepping over the rows, a raw libplist parse of each value (for
// salted rows also the Base64 decoding and AES decryption), the same fields
// taken from the archive's root object, the file ID hashed, and the record
// kept in a hash table by it: the work of `parse`, on one thread; for
// Manifest.mbdb a raw walk over the fields of the file read whole, nothing
// kept. BM_RawBaseline/layout/1 adds the work of `parseInfo`: the records
// sorted by domain and path, the domains classified, and a tree of nodes
// linked through an index by virtual path. (b) a Python reader of the kind
// forensic tools use (sqlite3, plistlib, struct), run as a subprocess.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QProcess>

#include <malloc.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <openssl/evp.h>
#include <openssl/sha.h>
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

// What a raw reader keeps of a record.
struct RawRecord
{
    std::string domain, path, target, digest, key;
    uint64_t mode = 0, inode = 0, uid = 0, gid = 0, mtime = 0, ctime = 0, btime = 0, size = 0, cls = 0;
};

// The root object of a keyed archive into `r`, with libplist's own calls.
void rawFields(plist_t top, RawRecord& r)
{
    plist_t objects = plist_dict_get_item(top, "$objects"), t = plist_dict_get_item(top, "$top");
    plist_t rootUid = t ? plist_dict_get_item(t, "root") : nullptr;
    if (!objects || !rootUid || plist_get_node_type(rootUid) != PLIST_UID)
        return;
    auto resolve = [&](plist_t n) {
        if (plist_get_node_type(n) != PLIST_UID)
            return n;
        uint64_t i = 0;
        plist_get_uid_val(n, &i);
        return i < plist_array_get_size(objects) ? plist_array_get_item(objects, uint32_t(i)) : plist_t(nullptr);
    };
    plist_t root = resolve(rootUid);
    if (!root || plist_get_node_type(root) != PLIST_DICT)
        return;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root, &it);
    for (;;) {
        char* key = nullptr;
        plist_t v = nullptr;
        plist_dict_next_item(root, it, &key, &v);
        if (!v) {
            free(key);
            break;
        }
        v = resolve(v);
        const std::string k = key;
        free(key);
        if (!v)
            continue;
        uint64_t n = 0;
        if (plist_get_node_type(v) == PLIST_UINT)
            plist_get_uint_val(v, &n);
        if (k == "Digest" || k == "EncryptionKey") {
            if (plist_get_node_type(v) == PLIST_DICT)
                v = plist_dict_get_item(v, "NS.data");
            uint64_t len = 0;
            const char* d = v && plist_get_node_type(v) == PLIST_DATA ? plist_get_data_ptr(v, &len) : nullptr;
            (k == "Digest" ? r.digest : r.key).assign(d ? d : "", size_t(len));
        } else if (k == "Target" && plist_get_node_type(v) == PLIST_STRING) {
            uint64_t len = 0;
            r.target.assign(plist_get_string_ptr(v, &len), size_t(len));
        } else {
            uint64_t* field = k == "Mode" ? &r.mode : k == "InodeNumber" ? &r.inode : k == "UserID" ? &r.uid
                : k == "GroupID" ? &r.gid : k == "LastModified" ? &r.mtime : k == "LastStatusChange" ? &r.ctime
                : k == "Birth" ? &r.btime : k == "Size" ? &r.size : k == "ProtectionClass" ? &r.cls : nullptr;
            if (field)
                *field = n;
        }
    }
    free(it);
}

std::string fileIdHex(const std::string& domain, const std::string& path)
{
    const std::string text = domain + "-" + path;
    unsigned char md[20];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), md);
    static const char digits[] = "0123456789abcdef";
    std::string hex(40, '0');
    for (int i = 0; i < 20; ++i) {
        hex[size_t(2 * i)] = digits[md[i] >> 4];
        hex[size_t(2 * i + 1)] = digits[md[i] & 15];
    }
    return hex;
}

// The records sorted, classified by domain and linked into a tree.
size_t rawTree(std::unordered_map<std::string, RawRecord>& records)
{
    struct Node
    {
        std::string name;
        const RawRecord* record;
        Node* parent;
        std::vector<Node*> children;
    };
    std::vector<const RawRecord*> sorted;
    sorted.reserve(records.size());
    for (const auto& [id, r] : records)
        sorted.push_back(&r);
    std::sort(sorted.begin(), sorted.end(), [](const RawRecord* a, const RawRecord* b) {
        return a->domain != b->domain ? a->domain < b->domain : a->path < b->path;
    });
    static const std::set<std::string> system{"Domain", "MediaDomain", "RootDomain", "HomeDomain",
                                              "SystemPreferencesDomain", "MobileDeviceDomain", "WirelessDomain",
                                              "DatabaseDomain", "CameraRollDomain", "HealthDomain", "KeychainDomain",
                                              "KeyboardDomain", "ManagedPreferencesDomain"};
    std::deque<Node> nodes;
    Node root{"", nullptr, nullptr, {}};
    std::map<std::string, Node*> byPath;
    auto add = [&](Node* parent, const std::string& name, const RawRecord* r) {
        nodes.push_back({name, r, parent, {}});
        parent->children.push_back(&nodes.back());
        return &nodes.back();
    };
    for (const RawRecord* r : sorted) {
        std::string v;
        if (r->domain.rfind("AppDomain", 0) == 0 && r->domain.find('-') != std::string::npos
            && r->domain.find('-') + 1 < r->domain.size()) {
            const size_t dash = r->domain.find('-');
            const std::string kind = r->domain.substr(9, dash - 9);
            const std::string top = kind.empty() ? "Applications" : "AppDomain" + kind;
            if (!byPath.count(top))
                byPath[top] = add(&root, top, nullptr);
            v = top + "/" + r->domain.substr(dash + 1) + (r->path.empty() ? "" : "/" + r->path);
        } else if (system.count(r->domain)) {
            v = r->path;
        } else {
            if (!byPath.count(r->domain))
                byPath[r->domain] = add(&root, r->domain, nullptr);
            v = r->domain + "/" + r->path;
        }
        const size_t slash = v.rfind('/');
        const std::string name = slash == std::string::npos ? v : v.substr(slash + 1);
        if (name.empty() || byPath.count(v))
            continue;
        const auto parent = slash == std::string::npos ? byPath.end() : byPath.find(v.substr(0, slash));
        byPath[v] = add(parent == byPath.end() ? &root : parent->second, name, r);
    }
    return nodes.size();
}

void BM_RawBaseline(benchmark::State& state)
{
    const Layout layout = Layout(state.range(0));
    const bool tree = state.range(1) == 1;
    if (tree && layout == Mbdb) {
        state.SkipWithError("the field walk keeps no records");
        return;
    }
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
            std::unordered_map<std::string, RawRecord> records;
            records.reserve(kRecords);
            sqlite3_prepare_v2(db, "select domain, relativePath, file from Files", -1, &st, nullptr);
            while (sqlite3_step(st) == SQLITE_ROW) {
                const char* v = static_cast<const char*>(sqlite3_column_blob(st, 2));
                int n = sqlite3_column_bytes(st, 2);
                RawRecord r;
                r.domain.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), size_t(sqlite3_column_bytes(st, 0)));
                r.path.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)), size_t(sqlite3_column_bytes(st, 1)));
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
                if (node)
                    rawFields(node, r);
                plist_free(node);
                std::string id = fileIdHex(r.domain, r.path);
                records.emplace(std::move(id), std::move(r));
                ++rows;
            }
            sqlite3_finalize(st);
            sqlite3_close(db);
            EVP_CIPHER_CTX_free(ctx);
            if (tree && rawTree(records) < size_t(kRecords))
                state.SkipWithError("nodes missing");
            if (records.size() != size_t(kRecords))
                state.SkipWithError("rows missing");
            const double kept = heapMiB();
            records = {};
            return kept;
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
    BENCHMARK(name)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(reps)                             \
        ->ComputeStatistics("min", minimum)->UseRealTime()
LIST_BENCH(BM_Parse, 5)->DenseRange(0, 2);
LIST_BENCH(BM_ParseInfo, 5)->DenseRange(0, 2);
// Layout, then 0: the work of parse, 1: of parseInfo.
LIST_BENCH(BM_RawBaseline, 5)->Args({0, 0})->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1});
LIST_BENCH(BM_PythonReader, 3)->DenseRange(0, 2);

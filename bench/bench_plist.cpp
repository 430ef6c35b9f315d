// Decoding backup file records (keyed archives of class "MBFile", one per
// file of a backup, 10^4 to 10^5 per backup) and decomposing file names.
//
// Baselines in the same run: a bare libplist parse and free of the same
// bytes, and Qt's general canonical decomposition of the same names.
#include <benchmark/benchmark.h>

#include "bench/benchmain.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdlib>
#include <vector>

#include <plist/plist.h>

#include "foundation/plistcftype.h"
#include "foundation/utf8mac.h"

// Counts heap allocations of the whole process (Qt and libplist included) by
// interposing the C allocator; the memory itself still comes from glibc.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
}
static std::atomic<long long> g_allocations{0};
extern "C" void* malloc(size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}

namespace {

constexpr int kRecords = 100000;
constexpr int kNames = 1000000;

// One record as a backup's file list holds it: the MBFile object with its
// fields, its path as object 2 and the class record as object 3.
QByteArray mbFileRecord(int i)
{
    auto num = [](long long v) { return PlistCFType::createCFNumberInt64(v); };
    auto uid = [](long v) { return PlistCFType::createCFKeyedArchiverUID(v); };
    PlistCFType file = PlistCFType::createCFDictionary();
    file.put("LastModified", num(1700000000 + i))
        .put("Flags", num(0))
        .put("GroupID", num(501))
        .put("LastStatusChange", num(1700000100 + i))
        .put("Birth", num(1690000000 + i))
        .put("$class", uid(3))
        .put("Mode", num(0100644))
        .put("RelativePath", uid(2))
        .put("InodeNumber", num(1000000 + i))
        .put("Size", num(4096 + 37LL * i))
        .put("ProtectionClass", num(3))
        .put("UserID", num(501));
    PlistCFType classRecord = PlistCFType::createCFDictionary();
    classRecord
        .put("$classes", PlistCFType::createCFArray({PlistCFType::createCFString("MBFile"), PlistCFType::createCFString("NSObject")}))
        .put("$classname", PlistCFType::createCFString("MBFile"));
    const QString path = QStringLiteral("Library/Application Support/PrivateStore/P_u%1/Message Attachments/%2/%3.jpg")
                             .arg(i % 97, 4, 10, QLatin1Char('0'))
                             .arg(i % 1013)
                             .arg(i);
    PlistCFType archive = PlistCFType::createCFDictionary();
    archive.put("$version", num(100000))
        .put("$archiver", PlistCFType::createCFString("NSKeyedArchiver"))
        .put("$top", PlistCFType::createCFDictionary().put("root", uid(1)))
        .put("$objects", PlistCFType::createCFArray({PlistCFType::createCFString("$null"), file,
                                                     PlistCFType::createCFString(path), classRecord}));
    return archive.CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
}

const std::vector<QByteArray>& records()
{
    static const std::vector<QByteArray> all = [] {
        std::vector<QByteArray> v;
        v.reserve(kRecords);
        for (int i = 0; i < kRecords; ++i)
            v.push_back(mbFileRecord(i));
        return v;
    }();
    return all;
}

void reportPerRecord(benchmark::State& state, long long allocations)
{
    const double decoded = double(state.iterations()) * kRecords;
    state.SetItemsProcessed(int64_t(decoded));
    state.counters["time/record"] = benchmark::Counter(decoded, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs/record"] = double(allocations) / decoded;
    qint64 bytes = 0;
    for (const QByteArray& r : records())
        bytes += r.size();
    state.counters["bytes/record"] = double(bytes) / kRecords;
}

// Runs decodeOne over every record per iteration and reports per record.
template <class F>
void decodeAll(benchmark::State& state, F decodeOne)
{
    const auto& recs = records();
    long long allocations = 0;
    for (auto _ : state) {
        const long long before = g_allocations.load();
        for (const QByteArray& r : recs)
            decodeOne(r);
        allocations += g_allocations.load() - before;
    }
    reportPerRecord(state, allocations);
}

// Baseline: libplist alone, parse and free.
void BM_RawLibplistParse(benchmark::State& state)
{
    decodeAll(state, [](const QByteArray& r) {
        plist_t root = nullptr;
        plist_from_bin(r.constData(), uint32_t(r.size()), &root);
        benchmark::DoNotOptimize(root);
        plist_free(root);
    });
}
BENCHMARK(BM_RawLibplistParse)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

// Parsing through PlistCFType: the input checks plus the same parse.
void BM_PlistCFTypeParse(benchmark::State& state)
{
    decodeAll(state, [](const QByteArray& r) {
        const PlistCFType v = PlistCFType::createCFPropertyList(r);
        benchmark::DoNotOptimize(v.ref());
    });
}
BENCHMARK(BM_PlistCFTypeParse)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

// What the backup reader does per record: parse, decode the root object and
// read its fields.
void BM_KeyedArchiveDecode(benchmark::State& state)
{
    long long checksum = 0;
    decodeAll(state, [&](const QByteArray& r) {
        const PlistCFType v = PlistCFType::createCFPropertyList(r);
        const QHash<QString, PlistCFType> file = v.NSKeyedArchiver();
        checksum += file.value(QStringLiteral("RelativePath")).CFStringLength();
        for (const char* key : {"Size", "Mode", "Flags", "ProtectionClass", "LastModified", "Birth", "LastStatusChange"})
            checksum += file.value(QLatin1String(key)).CFNumberInt64(0);
    });
    benchmark::DoNotOptimize(checksum);
}
BENCHMARK(BM_KeyedArchiveDecode)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

// A million attachment-like names: ASCII, accented Latin, Japanese with
// voiced marks, Korean, Greek.
const QStringList& fileNames()
{
    static const QStringList names = [] {
        const QStringList stems = {QStringLiteral("IMG_"), QStringLiteral("Caf\u00E9 cr\u00E8me "),
                                   QStringLiteral("\u30C7\u30B8\u30AB\u30E1\u5199\u771F"), QStringLiteral("\uC0AC\uC9C4 "),
                                   QStringLiteral("\u1F00\u03C1\u03C7\u03AE "), QStringLiteral("voice note ")};
        QStringList v;
        v.reserve(kNames);
        for (int i = 0; i < kNames; ++i)
            v << stems[i % stems.size()] + QString::number(i) + QStringLiteral(".jpg");
        return v;
    }();
    return names;
}

// Converts every name per iteration and reports per name.
template <class F>
void convertAll(benchmark::State& state, F convert)
{
    const QStringList& names = fileNames();
    qsizetype total = 0;
    for (auto _ : state) {
        for (const QString& n : names)
            total += convert(n).size();
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(int64_t(state.iterations()) * kNames);
    state.counters["time/name"] = benchmark::Counter(double(state.iterations()) * kNames,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Utf8MacTo(benchmark::State& state)
{
    convertAll(state, [](const QString& n) { return utf8mac_to(n); });
}
BENCHMARK(BM_Utf8MacTo)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

// Baseline: Qt's canonical decomposition of the same names.
void BM_QtNormalizedD(benchmark::State& state)
{
    convertAll(state, [](const QString& n) { return n.normalized(QString::NormalizationForm_D); });
}
BENCHMARK(BM_QtNormalizedD)->Unit(benchmark::kMillisecond)->Apply(repeatedReps<5>);

} // namespace


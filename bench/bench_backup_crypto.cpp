// Encrypted backups: decrypting a 1 GiB data file, and unlocking with the
// iteration counts real backups use (10,000,000 rounds of PBKDF2-HMAC-SHA256,
// then 10,000 of PBKDF2-HMAC-SHA1).
//
// Baselines in the same run: a raw EVP AES-256-CBC loop over the same bytes
// in memory, and the two raw PKCS5_PBKDF2_HMAC calls alone. Files lie in
// memory (benchMemoryRoot(), removed at the end), so that the disk does not
// hide the CPU cost.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>

#include <openssl/evp.h>

#include "backup/backupmanifest.h"
#include "bench/benchmain.h"
#include "tests/support/backupbuilder.h"

namespace {

constexpr qint64 kFileBytes = qint64(1) << 30;
const QByteArray kKey(32, 'k');

QString workDir()
{
    return benchMemoryRoot();
}

// The encrypted file, made once.
const QByteArray& cipherText()
{
    static const QByteArray bytes = [] {
        QByteArray plain(kFileBytes, Qt::Uninitialized);
        for (qint64 i = 0; i < plain.size(); ++i)
            plain[i] = char((i * 2654435761u) >> 13);
        QByteArray c = backupbuilder::aesCbc(kKey, plain, true);
        QFile f(workDir() + "/cipher");
        f.open(QIODevice::WriteOnly);
        f.write(c);
        return c;
    }();
    return bytes;
}

void BM_DecryptFile(benchmark::State& state)
{
    cipherText();
    BackupManifest b(workDir());
    for (auto _ : state)
        b.decryptFileThrow(kKey, workDir() + "/cipher", workDir() + "/plain", nullptr, nullptr);
    state.SetBytesProcessed(state.iterations() * kFileBytes);
    QFile::remove(workDir() + "/plain");
}

void BM_DecryptRawEvpInMemory(benchmark::State& state)
{
    const QByteArray& in = cipherText();
    QByteArray out(in.size() + 32, Qt::Uninitialized);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const QByteArray iv(16, 0);
    for (auto _ : state) {
        int n = 0, last = 0;
        EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(kKey.constData()),
                           reinterpret_cast<const unsigned char*>(iv.constData()));
        auto* o = reinterpret_cast<unsigned char*>(out.data());
        EVP_DecryptUpdate(ctx, o, &n, reinterpret_cast<const unsigned char*>(in.constData()), int(in.size()));
        if (EVP_DecryptFinal_ex(ctx, o + n, &last) != 1 || n + last != kFileBytes)
            state.SkipWithError("raw decryption failed");
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}

QString realCountsBackup()
{
    static const QString folder = [] {
        const QString f = workDir() + "/unlock";
        backupbuilder::build(f, {{"password", "a long enough password"}, {"iter", 10000}, {"dpic", 10000000}});
        return f;
    }();
    return folder;
}

void BM_UnlockRealCounts(benchmark::State& state)
{
    BackupManifest b(realCountsBackup());
    b.readManifestInfo();
    for (auto _ : state) {
        if (!b.setPasscodeNoUIThrow("a long enough password"))
            state.SkipWithError("password refused");
    }
}

void BM_UnlockRawPbkdf2(benchmark::State& state)
{
    const QByteArray pw = "a long enough password", salt(20, 's'), dpsl(20, 'd');
    unsigned char d[32], k[32];
    for (auto _ : state) {
        PKCS5_PBKDF2_HMAC(pw.constData(), int(pw.size()), reinterpret_cast<const unsigned char*>(dpsl.constData()), 20,
                          10000000, EVP_sha256(), 32, d);
        PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(d), 32,
                          reinterpret_cast<const unsigned char*>(salt.constData()),
                          20, 10000, EVP_sha1(), 32, k);
        benchmark::DoNotOptimize(k);
    }
}

double minimum(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

} // namespace

#define CRYPTO_BENCH(name, reps)                                                                                   \
    BENCHMARK(name)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(reps)                             \
        ->ComputeStatistics("min", minimum)->UseRealTime()
CRYPTO_BENCH(BM_DecryptFile, 5);
CRYPTO_BENCH(BM_DecryptRawEvpInMemory, 5);
CRYPTO_BENCH(BM_UnlockRealCounts, 3);
CRYPTO_BENCH(BM_UnlockRawPbkdf2, 3);

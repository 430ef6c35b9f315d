// AFC copies of 256 MiB through the simulated iPhone and the real
// libimobiledevice client:
// - BM_AfcJob: the road users take, the download job
//   (IOSAfcFileDownload::downloadFileThrow, 512 KiB blocks, the file put in
//   place whole) and the upload job (IOSAfcFileUpload::uploadFileThrow,
//   128 KiB blocks), each behind its progress window;
// - BM_AfcCopy: the whole-file calls readFileContent and writeFileContent
//   (8 KiB blocks), which no job uses for large files.
//
// Baseline in the same run: the same bytes, read from and written to the
// same files in blocks of the size of the road it is compared with, over a
// plain UNIX socket pair with no protocol on it. The ratio shows what AFC
// framing, the usbmuxd hop and one round trip per block cost. Peak resident
// memory is reported for each.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "bench/benchmain.h"
#include "device/iosafcfiledownload.h"
#include "device/mobiledevice_afc.h"
#include "foundation/progressform.h"
#include "tests/support/simiphone.h"

namespace {

constexpr qint64 kSize = qint64(256) << 20;
const QString kUdid = "00008030-001A2B3C4D5E6F70";

QString path(const QString& name)
{
    return benchTempRoot() + "/" + name;
}

// The phone's media folder with the file to read, and the local file to
// send, both made once.
void prepare()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    QDir().mkpath(path("media"));
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (const QString& name : {QString("media/big.bin"), QString("local.bin")}) {
        QFile file(path(name));
        file.open(QIODevice::WriteOnly);
        for (qint64 i = 0; i < kSize / block.size(); ++i) {
            for (int j = 0; j < block.size(); j += 4096)
                block[j] = char(i + j);
            file.write(block);
        }
    }
}

// Copies in blocks from one descriptor-backed side to the other.
void pump(QFile& from, int toFd, int block)
{
    QByteArray buffer(block, Qt::Uninitialized);
    for (qint64 n; (n = from.read(buffer.data(), block)) > 0;) {
        for (qint64 done = 0; done < n;)
            done += ::send(toFd, buffer.constData() + done, size_t(n - done), MSG_NOSIGNAL);
    }
    ::shutdown(toFd, SHUT_WR);
}

void drain(int fromFd, QFile& to, int block)
{
    QByteArray buffer(block, Qt::Uninitialized);
    for (ssize_t n; (n = ::recv(fromFd, buffer.data(), size_t(block), 0)) > 0;)
        to.write(buffer.constData(), n);
}

void finish(benchmark::State& state, bool ok)
{
    if (!ok)
        state.SkipWithError("copy failed");
    state.SetBytesProcessed(state.iterations() * kSize);
    state.counters["peak_MiB"] = peakMemoryMiB();
}

// The simulated phone whose media folder holds the file to read, with an
// AFC connection to it (started by the benchmark).
struct AfcPhone
{
    AfcPhone()
    {
        SimDevice phone(kUdid);
        phone.media = path("media");
        sim.attach(phone);
    }
    SimIPhone sim;
    mobiledevice_afc afc {kUdid};
};

void BM_AfcCopy(benchmark::State& state)
{
    const bool reading = state.range(0) == 0;
    prepare();
    AfcPhone phone;
    mobiledevice_afc& afc = phone.afc;
    bool ok = afc.startService();
    resetPeakMemory();
    for (auto _ : state) {
        QFile local(path(reading ? "copy.bin" : "local.bin"));
        local.open(reading ? QIODevice::WriteOnly : QIODevice::ReadOnly);
        ok = ok && (reading ? afc.readFileContent("/big.bin", local) : afc.writeFileContent("/up.bin", local));
    }
    finish(state, ok);
}

void BM_AfcJob(benchmark::State& state)
{
    const bool reading = state.range(0) == 0;
    prepare();
    AfcPhone phone;
    mobiledevice_afc& afc = phone.afc;
    bool ok = afc.startService();
    const _AfcFileInfo big = afc.fileInfo("/big.bin");
    ProgressForm form{QString()};
    IOSAfcFileDownload download(path("dates.db"), form);
    IOSAfcFileUpload upload(form);
    resetPeakMemory();
    for (auto _ : state) {
        try {
            if (reading)
                download.downloadFileThrow(afc, big, path("copy.bin"), false);
            else
                upload.uploadFileThrow(afc, path("local.bin"), "/up.bin", true);
        } catch (...) {
            ok = false;
        }
        state.PauseTiming();
        ok = ok && QFileInfo(reading ? path("copy.bin") : path("media/up.bin")).size() == kSize;
        QCoreApplication::processEvents(); // the progress texts queued for the window
        state.ResumeTiming();
    }
    finish(state, ok);
}

// Argument 0: from the phone, 1: onto the phone; then the block size.
void BM_SocketPairCopy_Baseline(benchmark::State& state)
{
    const bool reading = state.range(0) == 0;
    const int block = int(state.range(1));
    prepare();
    resetPeakMemory();
    for (auto _ : state) {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        QFile phoneSide(path(reading ? "media/big.bin" : "media/up.bin"));
        QFile local(path(reading ? "copy.bin" : "local.bin"));
        phoneSide.open(reading ? QIODevice::ReadOnly : QIODevice::WriteOnly);
        local.open(reading ? QIODevice::WriteOnly : QIODevice::ReadOnly);
        std::thread sender([&] { pump(reading ? phoneSide : local, fds[0], block); });
        drain(fds[1], reading ? local : phoneSide, block);
        sender.join();
        ::close(fds[0]);
        ::close(fds[1]);
    }
    finish(state, true);
}

double minimum(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

} // namespace

// Argument 0: from the phone (read), 1: onto the phone (write).
BENCHMARK(BM_AfcJob)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->UseRealTime()
    ->ComputeStatistics("min", minimum);
BENCHMARK(BM_AfcCopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->UseRealTime()
    ->ComputeStatistics("min", minimum);
BENCHMARK(BM_SocketPairCopy_Baseline)
    ->Args({0, IOSAfcFileDownload::kBufferSize})
    ->Args({1, IOSAfcFileUpload::kBufferSize})
    ->Args({0, mobiledevice_afc::kBlockSize})
    ->Args({1, mobiledevice_afc::kBlockSize})
    ->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->UseRealTime()->ComputeStatistics("min", minimum);

// Whole-file AFC copies of 256 MiB through the simulated iPhone and the real
// libimobiledevice client: readFileContent from the phone into a local
// file, writeFileContent from a local file onto the phone.
//
// Baseline in the same run: the same bytes, read from and written to the
// same files in blocks of the same size, over a plain UNIX socket pair with
// no protocol on it. The ratio shows what AFC framing, the usbmuxd hop and
// one round trip per block cost. Peak resident memory is reported for each.
#include <benchmark/benchmark.h>

#include <QFile>

#include <algorithm>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "bench/benchmain.h"
#include "device/mobiledevice_afc.h"
#include "tests/support/simiphone.h"

namespace {

constexpr qint64 kSize = qint64(256) << 20;
constexpr int kBlock = mobiledevice_afc::kBlockSize;
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
void pump(QFile& from, int toFd)
{
    QByteArray buffer(kBlock, Qt::Uninitialized);
    for (qint64 n; (n = from.read(buffer.data(), kBlock)) > 0;) {
        for (qint64 done = 0; done < n;)
            done += ::send(toFd, buffer.constData() + done, size_t(n - done), MSG_NOSIGNAL);
    }
    ::shutdown(toFd, SHUT_WR);
}

void drain(int fromFd, QFile& to)
{
    QByteArray buffer(kBlock, Qt::Uninitialized);
    for (ssize_t n; (n = ::recv(fromFd, buffer.data(), size_t(kBlock), 0)) > 0;)
        to.write(buffer.constData(), n);
}

void finish(benchmark::State& state, bool ok)
{
    if (!ok)
        state.SkipWithError("copy failed");
    state.SetBytesProcessed(state.iterations() * kSize);
    state.counters["peak_MiB"] = peakMemoryMiB();
}

void BM_AfcCopy(benchmark::State& state)
{
    const bool reading = state.range(0) == 0;
    prepare();
    SimIPhone sim;
    SimDevice phone(kUdid);
    phone.media = path("media");
    sim.attach(phone);
    mobiledevice_afc afc(kUdid);
    bool ok = afc.startService();
    resetPeakMemory();
    for (auto _ : state) {
        QFile local(path(reading ? "copy.bin" : "local.bin"));
        local.open(reading ? QIODevice::WriteOnly : QIODevice::ReadOnly);
        ok = ok && (reading ? afc.readFileContent("/big.bin", local) : afc.writeFileContent("/up.bin", local));
    }
    finish(state, ok);
}

void BM_SocketPairCopy_Baseline(benchmark::State& state)
{
    const bool reading = state.range(0) == 0;
    prepare();
    resetPeakMemory();
    for (auto _ : state) {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        QFile phoneSide(path(reading ? "media/big.bin" : "media/up.bin"));
        QFile local(path(reading ? "copy.bin" : "local.bin"));
        phoneSide.open(reading ? QIODevice::ReadOnly : QIODevice::WriteOnly);
        local.open(reading ? QIODevice::WriteOnly : QIODevice::ReadOnly);
        std::thread sender([&] { pump(reading ? phoneSide : local, fds[0]); });
        drain(fds[1], reading ? local : phoneSide);
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
BENCHMARK(BM_AfcCopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)->UseRealTime()
    ->ComputeStatistics("min", minimum);
BENCHMARK(BM_SocketPairCopy_Baseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5)
    ->UseRealTime()->ComputeStatistics("min", minimum);

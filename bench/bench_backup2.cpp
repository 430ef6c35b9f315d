// A device backup of 2 GiB through the simulated iPhone and the real
// libimobiledevice client: the engine with the partial-backup hook, every
// file in the LINE app's container (so all of it is stored and indexed).
// Argument: the number of files the 2 GiB are spread over.
//
// Baselines in the same run: libimobiledevice's own client idevicebackup2
// backing up the same simulated phone into the same place (all files, no
// filter); and the same bytes made the same way, sent over a plain UNIX
// socket pair and written into the same number of files of the same sizes on
// the same disk, with no protocol. The second ratio shows what the DeviceLink
// framing, the usbmuxd hop, the hook and its index cost. Peak resident memory
// is reported for each; it must not grow with file sizes.
//
// The phone's move of its files from "Snapshot" into place, alone: one
// binary DeviceLink message of 20,000 or 80,000 pairs, as phones since iOS 14
// send it, against idevicebackup2 given the same message; the time must grow
// with the number of files, not with its square.
//
// The files go below the run's temporary folder, or below
// $CHATFERRY_BENCH_DIR when set (such as /dev/shm, to leave the disk's own
// cost of creating and deleting 20,000 files per run out of both sides).
#include <benchmark/benchmark.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "bench/benchmain.h"
#include "device/backup2tool.h"
#include "device/fakebackup2toolhook.h"
#include "foundation/fileutil.h"
#include "tests/support/simiphone.h"

namespace {

constexpr qint64 kTotal = qint64(2) << 30;
constexpr int kPiece = 65536;
const QString kUdid = "00008030-001A2B3C4D5E6F70";
const QString kLine = "5B0E4A9C-1D2E-4F60-8A7B-9C0D1E2F3A4B";

// The phone's made-up file bytes: a repeating pattern, sliced.
const QByteArray& pattern()
{
    static const QByteArray p = [] {
        QByteArray b(kPiece + 251, Qt::Uninitialized);
        for (int i = 0; i < b.size(); ++i)
            b[i] = char(i % 251);
        return b;
    }();
    return p;
}

QString folder(const char* name)
{
    const QString base = qEnvironmentVariableIsEmpty("CHATFERRY_BENCH_DIR") ? benchTempRoot()
                                                                            : qEnvironmentVariable("CHATFERRY_BENCH_DIR");
    return base + "/chatferry-bench-backup2-" + name;
}

qint64 fileSize(int files)
{
    return kTotal / files;
}

void finish(benchmark::State& state, bool ok, qint64 bytes)
{
    if (!ok)
        state.SkipWithError("backup failed");
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["peak_MiB"] = peakMemoryMiB();
}

// A phone whose LINE container holds `files` files of made-up bytes.
SimDevice linePhone(int files)
{
    SimDevice phone(kUdid);
    phone.apps = {{"jp.naver.line", kLine, {}}};
    phone.backup2.meta["Manifest.db"] = "not read here";
    for (int i = 0; i < files; ++i)
        phone.backup2.files.append(
            {"AppDomain-jp.naver.line", QString("Library/f%1").arg(i), QByteArray(), fileSize(files)});
    return phone;
}

// Backups of the phone into root, each timed after `prepare` has readied
// root: by the engine with the partial-backup hook keeping the LINE app, or
// by the reference client, libimobiledevice's idevicebackup2, which keeps
// all files with no filter. False when one failed.
bool timedBackups(benchmark::State& state, const SimDevice& phone, const QString& root, bool reference,
                  const std::function<void()>& prepare)
{
    SimIPhone sim;
    sim.attach(phone);
    bool ok = true;
    resetPeakMemory();
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        sim.edit(kUdid, [](SimDevice& d) { d.backup2.uploaded.clear(); });
        auto hook = QSharedPointer<FakeBackup2ToolHook>::create();
        hook->keepApps = {"jp.naver.line"};
        backup2tool tool(kUdid, QDir(root), hook);
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        state.ResumeTiming();
        if (reference) {
            client.start("idevicebackup2", {"-u", kUdid, "backup", "--full", root});
            ok = client.waitForFinished(-1) && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0
                && ok;
            if (!ok)
                state.SkipWithError(client.readAllStandardOutput().right(500).constData());
            continue;
        }
        try {
            tool.runThrow(_backup2tool_req(Backup));
            ok = tool.verdictOk() && ok;
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            ok = false;
        }
    }
    return ok;
}

void deviceBackup(benchmark::State& state, bool reference)
{
    const int files = int(state.range(0));
    const SimDevice phone = linePhone(files);
    const QString root = folder(reference ? "reference" : "backup");
    bool ok = timedBackups(state, phone, root, reference, [&] {
        g_delDirCascade(root);
        QDir().mkpath(root);
    });
    const QString last = simFileId(phone.backup2.files.last());
    ok = ok && QFileInfo(root + '/' + kUdid + '/' + last.left(2) + '/' + last).size() == fileSize(files);
    finish(state, ok, fileSize(files) * files);
    g_delDirCascade(root);
}

void BM_DeviceBackup(benchmark::State& state)
{
    deviceBackup(state, false);
}

void BM_Idevicebackup2_Baseline(benchmark::State& state)
{
    deviceBackup(state, true);
}

// File i of the move message, as "<two-character folder>/<SHA-1 hex>".
QString movedName(int i)
{
    const QString id = QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Sha1).toHex();
    return id.left(2) + '/' + id;
}

// Files of 1 KiB in "Snapshot" and the two-character folders they move into
// (which the phone announces first) are made before each run, outside the time.
void moveMessage(benchmark::State& state, bool reference)
{
    using namespace simpl;
    const int files = int(state.range(0));
    const QString root = folder(reference ? "move-reference" : "move");
    const QString device = root + '/' + kUdid + '/';
    SimDevice phone(kUdid);
    phone.apps = {{"jp.naver.line", kLine, {}}};
    PlistCFType moves = dict();
    for (int i = 0; i < files; ++i)
        moves.put(kUdid + "/Snapshot/" + movedName(i), str(kUdid + '/' + movedName(i)));
    phone.backup2.script = {{list({str("DLMessageMoveItems"), moves, dict(), PlistCFType::createCFNumberDouble(90)})},
                            {list({str("DLMessageProcessMessage"), dict().put("ErrorCode", num(0))})}};
    const QByteArray data = pattern().left(1024);
    bool made = true;
    bool ok = timedBackups(state, phone, root, reference, [&] {
        g_delDirCascade(root);
        for (int shard = 0; shard < 256; ++shard) {
            const QString name = QString("%1").arg(shard, 2, 16, QLatin1Char('0'));
            QDir().mkpath(device + "Snapshot/" + name);
            QDir().mkpath(device + name);
        }
        for (int i = 0; i < files; ++i) {
            QFile file(device + "Snapshot/" + movedName(i));
            made = file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && made;
        }
    });
    ok = ok && made && QFileInfo(device + movedName(files - 1)).size() == data.size()
        && !QFileInfo::exists(device + "Snapshot/" + movedName(0));
    finish(state, ok, qint64(files) * data.size());
    g_delDirCascade(root);
}

void BM_MoveMessage(benchmark::State& state)
{
    moveMessage(state, false);
}

void BM_MoveMessage_Idevicebackup2_Baseline(benchmark::State& state)
{
    moveMessage(state, true);
}

void BM_SocketCopy_Baseline(benchmark::State& state)
{
    const int files = int(state.range(0));
    const qint64 size = fileSize(files);
    const QString root = folder("plain");
    resetPeakMemory();
    for (auto _ : state) {
        state.PauseTiming();
        g_delDirCascade(root);
        state.ResumeTiming();
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        std::thread phone([&] {
            for (int f = 0; f < files; ++f) {
                for (qint64 at = 0; at < size; at += kPiece) {
                    const QByteArray bytes = pattern().mid(int(at % 251), int(qMin<qint64>(kPiece, size - at)));
                    for (qint64 done = 0; done < bytes.size();)
                        done += ::send(fds[0], bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
                }
            }
            ::shutdown(fds[0], SHUT_WR);
        });
        QByteArray buffer(kPiece, Qt::Uninitialized);
        for (int f = 0; f < files; ++f) {
            const QString id = QString("%1").arg(f, 40, 10, QLatin1Char('0'));
            QDir().mkpath(root + '/' + id.right(2));
            QFile out(root + '/' + id.right(2) + '/' + id);
            out.open(QIODevice::WriteOnly);
            for (qint64 left = size; left > 0;) {
                const ssize_t n = ::recv(fds[1], buffer.data(), size_t(qMin<qint64>(kPiece, left)), 0);
                if (n <= 0)
                    break;
                out.write(buffer.constData(), n);
                left -= n;
            }
        }
        phone.join();
        ::close(fds[0]);
        ::close(fds[1]);
    }
    finish(state, true, size * files);
    g_delDirCascade(root);
}

} // namespace

BENCHMARK(BM_DeviceBackup)->Arg(20000)->Arg(20)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<5>);
BENCHMARK(BM_Idevicebackup2_Baseline)->Arg(20000)->Arg(20)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<5>);
BENCHMARK(BM_MoveMessage)->Arg(20000)->Arg(80000)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<5>);
BENCHMARK(BM_MoveMessage_Idevicebackup2_Baseline)
    ->Arg(20000)
    ->Arg(80000)
    ->Unit(benchmark::kMillisecond)
    ->Apply(repeatedRuns<5>);
BENCHMARK(BM_SocketCopy_Baseline)->Arg(20000)->Unit(benchmark::kMillisecond)->Apply(repeatedRuns<5>);

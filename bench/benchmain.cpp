// Common main() of every benchmark program.
#include "bench/benchmain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include <memory>

namespace {
QString g_root;
std::unique_ptr<QTemporaryDir> g_memory;
}

QString benchTempRoot()
{
    return g_root;
}

QString benchMemoryRoot()
{
    if (!g_memory) {
        const QString shm = QStringLiteral("/dev/shm");
        g_memory = std::make_unique<QTemporaryDir>((QDir(shm).exists() ? shm : g_root) + "/chatferry-bench-XXXXXX");
    }
    return g_memory->path();
}

benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b, int n)
{
    return b->Repetitions(n)->ReportAggregatesOnly(true)->ComputeStatistics(
        "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

void resetPeakMemory()
{
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

double peakMemoryMiB()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir root(QDir::tempPath() + "/chatferry-bench-XXXXXX");
    if (!root.isValid())
        return 2;
    g_root = root.path();
    qputenv("HOME", QFile::encodeName(root.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.path() + "/.local/share"));
    // Qt would otherwise make a runtime folder of its own in the temporary folder, and leave it.
    QDir().mkpath(root.path() + "/runtime");
    QFile::setPermissions(root.path() + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(root.path() + "/runtime"));
    QApplication app(argc, argv); // some benchmarks drive the progress window

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_memory.reset();
    return 0;
}

// Common main() of every benchmark program.
#include "bench/benchmain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {
QString g_root;
}

QString benchTempRoot()
{
    return g_root;
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
    QApplication app(argc, argv); // some benchmarks drive the progress window

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#pragma once

#include <QString>

namespace benchmark {
namespace internal {
class Benchmark;
}
} // namespace benchmark

// A private temporary folder made for this benchmark run; the run's home and
// data location point into it, so a benchmark never touches the user's files.
QString benchTempRoot();

// `n` runs of one iteration each in real time, reported only as their
// statistics, the minimum among them (the README quotes minimum and median).
benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b, int n);
// The same for Apply: BENCHMARK(BM_x)->Apply(repeatedRuns<5>).
template <int N>
void repeatedRuns(benchmark::internal::Benchmark* b)
{
    repeated(b, N);
}

// Peak resident memory of the process since the last reset, in MiB (Linux;
// 0 elsewhere).
void resetPeakMemory();
double peakMemoryMiB();

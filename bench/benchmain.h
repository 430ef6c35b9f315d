#pragma once

#include <QString>

#include <benchmark/benchmark.h>

// A private temporary folder made for this benchmark run; the run's home and
// data location point into it, so a benchmark never touches the user's files.
QString benchTempRoot();
// A private folder in memory (/dev/shm when there is one, else in
// benchTempRoot()), made on first use and removed with everything in it when
// the program ends, so that no run leaves its files in shared memory.
QString benchMemoryRoot();

// `n` repetitions, reported only as their statistics with the minimum among
// them too (the README quotes minimum and median).
benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b, int n);
// For Apply: BENCHMARK(BM_x)->Apply(repeatedRuns<5>) times one iteration in
// real time per repetition (the long benchmarks); repeatedReps<5> leaves the
// iterations to Google Benchmark.
template <int N>
void repeatedRuns(benchmark::internal::Benchmark* b)
{
    repeated(b->Iterations(1)->UseRealTime(), N);
}
template <int N>
void repeatedReps(benchmark::internal::Benchmark* b)
{
    repeated(b, N);
}

// Peak resident memory of the process since the last reset, in MiB (Linux;
// 0 elsewhere).
void resetPeakMemory();
double peakMemoryMiB();

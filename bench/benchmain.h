#pragma once

#include <QString>

// A private temporary folder made for this benchmark run; the run's home and
// data location point into it, so a benchmark never touches the user's files.
QString benchTempRoot();

// Peak resident memory of the process since the last reset, in MiB (Linux;
// 0 elsewhere).
void resetPeakMemory();
double peakMemoryMiB();

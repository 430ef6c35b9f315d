#pragma once

// The table behind utf8mac_to / utf8mac_from, exposed for its tests.

#include <QtGlobal>

// One table entry: the precomposed unit `ch` and its decomposition, the
// first `len` units of `seq` (the rest are 0).
struct S4
{
    int len;
    char16_t ch;
    char16_t seq[5];
};

// The constant entries, sorted by `ch`.
const S4* utf8mac_table(int* count);

// Fills the lookup tables once per process (also when the first calls come
// from several threads at the same time); later calls return at once.
void utf8mac_tpl();

#pragma once

#include <QString>

#include <functional>

// Every rename(2) of this test program is shown to the hook while one is set,
// on the renaming thread: before it (done false; a non-zero answer fails it
// with that errno) and right after it (done true). Lets a test act at the
// exact moment a file of the program appears (another window's commit in the
// middle of a copy), or make one fail. Setting none ends it.
void hookRenames(std::function<int(const QString& from, const QString& to, bool done)> hook);

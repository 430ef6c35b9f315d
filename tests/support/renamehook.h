#pragma once

#include <QString>

#include <functional>

// Every rename(2) of this test program is told to the observer while one is
// set: on the renaming thread, right after the rename. Lets a test act at the
// exact moment a file of the program appears (another window's commit in the
// middle of a copy). Setting none ends it.
void observeRenames(std::function<void(const QString& from, const QString& to)> observer);

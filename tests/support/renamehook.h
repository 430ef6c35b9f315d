#pragma once

#include <QString>

#include <functional>

// Every rename(2) of this test program is shown to the hook while one is set,
// on the renaming thread: before it (done false; a non-zero answer fails it
// with that errno) and right after it (done true). Lets a test act at the
// exact moment a file of the program appears (another window's commit in the
// middle of a copy), or make one fail. Setting none ends it.
void hookRenames(std::function<int(const QString& from, const QString& to, bool done)> hook);

// Every unlink(2) of this test program that removed a file is shown to the
// hook right after it, on the removing thread: a test looks at a folder at
// each moment a crash could leave it in. Setting none ends it.
void hookUnlinks(std::function<void(const QString& path)> hook);

// Below `folder`, every change of a file's mode, owner or times fails with
// EPERM, as on media that show one owner for every file and let everyone
// write (a FAT, exFAT or NTFS partition mounted with umask=000, a share
// mapped to one account): there only that owner may change them. An empty
// folder ends it.
void refuseModeChangesBelow(const QString& folder);

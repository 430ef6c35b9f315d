#pragma once

#include <QDir>
#include <QString>

// Where the program keeps its state. Every path here derives from g_osAppDir,
// so pointing $XDG_DATA_HOME (or $HOME) elsewhere moves all of it.

// The user's "Library/Application Support" on macOS, the generic data location
// ($XDG_DATA_HOME, else ~/.local/share) elsewhere. Not created.
QDir g_osAppDir();

// g_osAppDir() + "MarrowQuist", absolute. Not created.
QString g_defaultSaveDirPath();

// The folder named by the redirect file, or empty when there is no such file
// or it names no existing folder by an absolute path.
QString g_dataSaveDirLink();

// Replaces the redirect file with the path as UTF-8, no line end. Does nothing
// when the default root does not exist. Takes effect at the next start.
void g_setDataSaveDirLink(const QString& path);

// The data folder, worked out once and cached, and created (with its parents)
// on every call so that a folder removed during the run comes back.
QDir g_dataSaveDir();

// The data folder's "local_databases", created when missing.
QDir g_localDbDir();

// Forgets the cached data-folder path so the next call works it out again.
// For tests that move the data location between cases; the program never
// calls it.
void g_forgetDataSaveDir();

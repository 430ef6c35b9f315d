#pragma once

// Private to BackupLineMessagesThread, declared here for its tests.

#include <QString>

enum class MediaCopyResult {
    Copied,   // the target was made, with the source's bytes
    Kept,     // a file of that name was there already and was left alone
    NoSource, // nothing to copy: the source is missing or is no file
    Failed,   // see the error text; nothing was left behind
};

// Copies the file `from` to `to`, which must not exist yet: the bytes are
// written to a file without a name (or, where the system cannot make one,
// under a hidden temporary name) in the target's folder, made when missing,
// and only the complete file is then linked under the target's name, an
// operation that never replaces a file. So no half-written copy can ever
// stand under the target's name, and a file that appeared meanwhile is
// kept. `unnamed` false skips straight to the temporary name.
MediaCopyResult g_copyMediaFile(const QString& from, const QString& to, bool unnamed, QString* error);

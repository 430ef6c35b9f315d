#pragma once

// Private to BackupLineMessagesThread, declared here for its tests.

#include <QSet>
#include <QString>

enum class MediaCopyResult {
    Copied,   // the target was made, or replaced, with the source's bytes
    Kept,     // a copy of the source's size was there already
    NoSource, // nothing to copy: the source is missing or no regular file
    Failed,   // see the error text; the target is as it was
};

// Copies the file `from` to `to`, making the target's folder when missing.
// A target of the source's size is taken for a copy made earlier and kept;
// any other (a truncated copy from a damaged source, say) is replaced. The
// bytes go to a new file beside the target that is renamed over it when
// complete, so no half-written copy ever stands under the target's name and
// a link there is replaced rather than written through. The source is opened
// without blocking: a FIFO is no source. `madeFolders`, when given, holds
// the folders that exist already, and gets the ones made here.
MediaCopyResult g_copyMediaFile(const QString& from, const QString& to, QString* error,
                                QSet<QString>* madeFolders = nullptr);

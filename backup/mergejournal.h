#pragma once

#include <QList>
#include <QString>

// The record a merge keeps in the backup folder while it may leave the folder
// changed: written before its first staged file (naming the merge) and again,
// whole, before the first rename of its commit (naming every file it places
// or sets aside). Whoever opens the folder next settles what it names and
// nothing else (StagedFiles::settleThrow). The file is hostile input like
// everything else in a backup folder: a journal that is not plainly ours is
// refused, never acted on.
class MergeJournal
{
public:
    struct Entry
    {
        QString target;       // relative to the backup folder
        bool existed = false; // the target had content that the commit sets aside
        bool removal = false; // the commit only sets the target aside (a list's old log)
    };
    struct Contents
    {
        QString commit;        // the suffix of every name the merge made
        bool committing = false;
        QList<Entry> entries; // in the commit's order; the last one is the file list
    };

    static QString fileName();
    static bool exists(const QString& folder);
    // Written aside, synced, renamed into place and the folder synced: a
    // journal is there whole or not at all. Throws std::runtime_error.
    static void writeThrow(const QString& folder, const Contents& contents);
    // False when there is none; throws std::runtime_error for one that cannot
    // be read or is not one of ours.
    static bool readThrow(const QString& folder, Contents* contents);
    // Throws std::runtime_error when it stays.
    static void removeThrow(const QString& folder);
    // fsync() of a folder, so that the renames in it last; throws.
    static void syncFolderThrow(const QString& folder);
};

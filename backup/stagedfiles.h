#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <stdexcept>

// Files of a backup folder that change together (data files and the file
// list of one merge). Each new content is written aside under a name of its
// own; commitThrow() renames them all into place in the order they were
// staged, and when one rename fails it puts back what the earlier ones
// replaced. Until a commit succeeds the folder keeps its old files: the
// destructor removes whatever was staged and the folders made for it.
// A crash during the commit itself can leave part of it done, and the staged
// and set-aside files under their own names: tidy() settles those.
class StagedFiles
{
public:
    // A commit that could not put `target` in place; what() names it too.
    struct CommitError : std::runtime_error
    {
        CommitError(const QString& target, const QString& reason);
        QString target;
        QString reason;
    };

    StagedFiles();
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // The name beside `target` to write its new content under (it does not
    // exist on return). A missing parent folder is made (one level). Staging
    // a target again hands out the same name, its earlier content removed.
    // Throws std::runtime_error when the folder cannot be made.
    QString stageThrow(const QString& target);
    // The staged name of `target`, or an empty string.
    QString staged(const QString& target) const;
    // Throws CommitError after undoing its renames (a target that is a
    // folder is never replaced).
    void commitThrow();

    // What an interrupted commit left in `folder` and its two-hex-digit
    // folders: a set-aside old file whose target is missing goes back in
    // place, every other staged or set-aside file is removed. Only names of
    // this class's own form beside a file ID or a file list are touched, and
    // only regular files. Returns how many it removed or put back.
    static int tidy(const QString& folder);

    // Tests only: when not negative, the next commit stops dead after that
    // many renames, leaving the folder as a crash at that moment would (the
    // commit throws the int 0 and nothing is undone or removed).
    static int stopAfterRenames;

private:
    struct Entry
    {
        QString target;
        QString staged;
        QString aside; // the target's old content while the commit runs
        bool placed = false;
    };
    void discard();

    QString m_suffix;
    QList<Entry> m_entries;
    QHash<QString, int> m_index;
    QStringList m_madeFolders;
    bool m_committed = false;
};

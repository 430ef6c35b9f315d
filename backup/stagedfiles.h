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
// With a journal folder (the backup folder) the files staged and the commit
// are recorded there (MergeJournal), so that a crash at any moment is settled
// by the next open of the folder: settleThrow(). The last file staged must be
// the file list: whether it has moved tells a commit to be undone from one to
// be finished.
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

    // Whoever stages into a journal folder holds its BackupLock.
    explicit StagedFiles(const QString& journalFolder = QString());
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    // The name beside `target` to write its new content under (it does not
    // exist on return). A missing parent folder is made (one level). Staging
    // a target again hands out the same name, its earlier content removed.
    // Throws std::runtime_error when the folder cannot be made.
    QString stageThrow(const QString& target);
    // The commit sets `target` aside when it exists and puts nothing in its
    // place (a list's old log, which must not outlive the list).
    void stageRemovalThrow(const QString& target);
    // The staged name of `target`, or an empty string.
    QString staged(const QString& target) const;
    // Throws CommitError after undoing its renames (a target that is a
    // folder is never replaced).
    void commitThrow();

    // Settles what the journal in `folder` names, under the folder's
    // BackupLock: a commit whose list has not moved is undone (every old
    // file back over its target, new files removed), one whose list has
    // moved is finished (the old files removed); files staged under the
    // merge's own names go, and then the journal. Each step may be cut by a
    // crash and the settling started again. False when there is no journal;
    // throws std::runtime_error when a step fails (the journal stays).
    static bool settleThrow(const QString& folder);

    // Tests only: when not negative, the next commit or settling stops dead
    // after that many renames or removals, leaving the folder as a crash at
    // that moment would (it throws the int 0 and nothing is undone or removed).
    static int stopAfterRenames;
    // Where that hook may stop: before each rename or removal.
    static void crashPoint();

private:
    struct Entry
    {
        QString target;
        QString staged;
        QString aside; // the target's old content while the commit runs
        bool existed = false;
        bool removal = false;
    };
    void discard();
    void journalThrow(bool committing);
    static void undoThrow(const QList<Entry>& entries);

    QString m_suffix;
    QList<Entry> m_entries;
    QHash<QString, int> m_index;
    QStringList m_madeFolders;
    QString m_journalFolder;
    bool m_journaled = false;
    bool m_committed = false;
};

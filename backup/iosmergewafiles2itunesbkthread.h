#pragma once

#include <QList>
#include <QString>
#include <QThread>

class BackupManifest;
class ProgressForm;

// Puts files made by the program into a backup folder as if the device had
// backed them up: each file is copied (encrypted with a file key of its
// protection class when the backup is encrypted) into the backup's data-file
// layout and recorded in its file list. All or nothing: the data files and
// the list are written aside and put in place together at the end, so a
// failure or a cancel leaves the folder as it was; a crash is settled by the
// next open of the backup (its journal, StagedFiles). The merge is the
// folder's only writer and has no reader meanwhile (BackupLock): it waits,
// showing that it does, until another window's load, merge or restore of the
// folder has ended, or until the user cancels. An entry that would replace a
// file other than the one its local copy was made from stops the merge
// before anything is written. Reports only through the progress window.
class IOSMergeWAFiles2iTunesBKThread : public QThread
{
    Q_OBJECT
public:
    struct _Item
    {
        _Item(QString domain, QString localFile, QString relativePath, bool overwrite, bool class4)
            : domain(std::move(domain))
            , localFile(std::move(localFile))
            , relativePath(std::move(relativePath))
            , overwrite(overwrite)
            , class4(class4)
        {
        }

        QString domain;
        QString localFile;    // absolute path of the file to add
        QString relativePath; // inside the domain, '/'-separated
        bool overwrite;       // replace an existing data file of the record
        bool class4;          // protection class 4, else 3
        // With overwrite, what the file the local copy was made from was in
        // this backup (BackupManifest::recordStamp, "none" for no file): the
        // merge replaces only that very file, so that a copy made from an
        // earlier backup never takes the place of the phone's newer one.
        // Empty: not checked.
        QByteArray copiedFrom;
    };

    // The backup, opened and unlocked, and the window are the caller's and
    // must outlive the thread.
    IOSMergeWAFiles2iTunesBKThread(BackupManifest& manifest, const QList<_Item>& items, ProgressForm& progress,
                                   QObject* parent = nullptr);
    // Records of these domains whose relative path starts with the entry's
    // are dropped from the list (their data files stay).
    void setRemoveItems(const QList<_Item>& items);

protected:
    void run() override;

private:
    void mergeThrow();

    BackupManifest& manifest;
    QList<_Item> items;
    QList<_Item> removeItems;
    ProgressForm& progress;
};

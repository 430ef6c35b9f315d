#pragma once

#include <QDir>
#include <QHash>
#include <QString>
#include <QThread>

#include <string>

#include "backup/backupmanifest.h"

class ProgressForm;

// Copies the LINE app's data out of a parsed backup (BackupManifest::parseInfo
// has run) into "jp.naver.line" of a cache folder, in the layout IOSLineDb
// opens: the app container's "Documents" and "Library", and the app group's
// "Library" merged into the same "Library" (the group's file wins where both
// hold one). Names from the backup become local names only in encoded form,
// so nothing is written outside the cache folder.
class IOSLoadLineFromiTunesThread : public QThread
{
    Q_OBJECT
public:
    // LINE's two backup domains.
    static const QString kAppDomain;
    static const QString kGroupDomain;

    // An empty cacheDir gives a temporary folder of this run's own, made
    // when the job starts (see cacheFolder()). The manifest must outlive the
    // thread.
    IOSLoadLineFromiTunesThread(BackupManifest* manifest, ProgressForm& progress, QString cacheDir,
                                QObject* parent = nullptr);

    // Copies one node of the tree into dst, a folder with all below it. A
    // file whose data is missing from the backup is skipped; without force an
    // earlier non-empty copy is kept. Throws int -1 once cancelled.
    void copyThrow(const BackupManifest::_FileNode* node, QDir dst, bool force);

    // The backup domain that the copy's message database came from, as the
    // last load recorded it in lineDir; empty when unknown.
    static QString databaseDomain(const QDir& lineDir);
    // What the message database and its side files were in the backup when
    // the last load copied them, by file ID (BackupManifest::recordStamp);
    // empty when unknown.
    static QHash<QString, QByteArray> copiedFrom(const QDir& lineDir);

    bool lineDbFound = false; // a non-empty message database was copied; read after the thread ended

    // The folder that receives "jp.naver.line": the one given, or the
    // temporary one the job made, which the caller removes when done with
    // it. Read after the thread ended; empty when a job without a folder
    // given made none.
    QString cacheFolder() const { return privateCache && !cacheMade ? QString() : cacheDir.absolutePath(); }

protected:
    void run() override;

private:
    // A folder under the shared temporary folder that no other user can
    // enter, made fresh for this run.
    void makePrivateCacheThrow();
    // The error of a load whose record of what it copied is missing.
    static std::string unrecorded(const QString& why);

    BackupManifest* manifest;
    ProgressForm& progress;
    QDir cacheDir;
    QDir lineDir;
    bool privateCache = false; // no folder given: cacheDir is made by run()
    bool cacheMade = false;
};

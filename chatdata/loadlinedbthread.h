#pragma once

#include <QSharedPointer>
#include <QString>
#include <QThread>

#include "chatdata/linedata.h"

class AbsLineDb;
class ProgressForm;

// Loads the chats, users and groups of a LINE database into a new LineData on
// a worker thread, behind a progress window. loadThrow is the one call the
// program loads any database through.
class LoadLineDbThread : public QThread
{
    Q_OBJECT
public:
    LoadLineDbThread(QSharedPointer<AbsLineDb> db, ProgressForm& form, QObject* parent = nullptr);
    ~LoadLineDbThread() override;

    // Runs a whole load with its own progress window. Returns the loaded
    // data, or a null LineData when the user cancelled (a cancelled load never
    // hands back what it had filled so far); throws std::runtime_error with
    // the database's message when the load failed. The failure is not shown:
    // the caller reports it.
    static LineData loadThrow(QSharedPointer<AbsLineDb> db);

    bool failed = false;
    QString errorText;

protected:
    void run() override;

private:
    QSharedPointer<AbsLineDb> db;
    ProgressForm& form;
    LineData data;
};

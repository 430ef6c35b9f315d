#pragma once

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

// Points the system opener ($CHATFERRY_OPENER) at a small script that records
// the arguments it was started with, so a test sees exactly what would have
// been opened without opening anything. Restores the variable when destroyed.
class OpenRecorder
{
public:
    OpenRecorder();
    ~OpenRecorder();
    OpenRecorder(const OpenRecorder&) = delete;
    OpenRecorder& operator=(const OpenRecorder&) = delete;

    bool isValid() const { return valid_; }

    // Waits (up to a generous limit) for the opener to have run, returns its
    // arguments and forgets them for the next call. Empty when it never ran.
    QStringList takeArguments();

private:
    QTemporaryDir dir_;
    QByteArray savedOpener_;
    bool hadOpener_ = false;
    bool valid_ = false;
};

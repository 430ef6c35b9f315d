#include "tests/support/openrecorder.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

namespace {
const char kVariable[] = "CHATFERRY_OPENER";
}

OpenRecorder::OpenRecorder()
{
    hadOpener_ = qEnvironmentVariableIsSet(kVariable);
    savedOpener_ = qgetenv(kVariable);
    if (!dir_.isValid())
        return;
    // NUL after every argument keeps blanks, quotes and line feeds intact; the
    // rename makes the record appear whole.
    const QString script = dir_.filePath("opener.sh");
    QFile f(script);
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write("#!/bin/sh\nout='" + QFile::encodeName(dir_.filePath("args")) + "'\n"
            "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv(kVariable, QFile::encodeName(script));
    valid_ = true;
}

OpenRecorder::~OpenRecorder()
{
    if (hadOpener_)
        qputenv(kVariable, savedOpener_);
    else
        qunsetenv(kVariable);
}

QStringList OpenRecorder::takeArguments()
{
    QFile record(dir_.filePath("args"));
    const QDeadlineTimer deadline(60000);
    while (!record.exists() && !deadline.hasExpired())
        QThread::msleep(10);
    if (!record.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> parts = record.readAll().split('\0');
    record.remove();
    parts.removeLast(); // after the last NUL
    QStringList args;
    for (const QByteArray& part : parts)
        args << QString::fromUtf8(part);
    return args;
}

#pragma once

#include <QString>
#include <QtGlobal>

// The daily log: every message of the Qt message system is appended as one
// line to "log-yyyyMMdd.txt" (today's local date) in one folder.

// Deletes the oldest plain files of rootPath (by name, so by date) until at
// most `keep` remain, then installs log_output for the rest of the process.
void logsaver_install_msghandler(const QString& rootPath, int keep);

// The handler. Lines are "(D hh:mm:ss) text" for debug (whose text also goes
// to standard output), W, C and F for warning, critical and fatal, and
// "(hh:mm:ss) text" for anything else. The folder is created when missing; a
// line that cannot be written is lost. Lines from several threads never mix.
// A fatal message aborts after its line is on disk.
void log_output(QtMsgType type, const QMessageLogContext& context, const QString& message);

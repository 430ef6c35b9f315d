#pragma once

#include <QByteArray>
#include <QString>

namespace testenv {

// The private home folder that the test main() made for this run.
QString homeDir();

// The source tree, for test data kept in the repository.
QString sourceDir();

// True when the given command is on PATH (sqlite3, openssl, python3, unzip...).
bool haveTool(const QString& name);

// Runs a program with arguments (no shell) and returns its exit code, or -1
// when it could not start; stdout and stderr go to the given strings.
int runTool(const QString& program, const QStringList& args, QByteArray* out = nullptr,
            QByteArray* err = nullptr, const QByteArray& input = QByteArray(), int timeoutMs = 60000);

// Writes a file, creating its folder; false when that fails.
bool writeFile(const QString& path, const QByteArray& data);
// The file's bytes, or "<missing>" when it cannot be read.
QByteArray readFile(const QString& path);

} // namespace testenv

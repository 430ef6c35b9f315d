#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

namespace testenv {

// The source tree, for test data kept in the repository.
inline QString sourceDir()
{
    const QString dir = qEnvironmentVariable("CHATFERRY_SOURCE_DIR");
    return dir.isEmpty() ? QStringLiteral(CHATFERRY_SOURCE_DIR_DEFAULT) : dir;
}

// True when the given command is on PATH (sqlite3, openssl, python3, unzip...).
inline bool haveTool(const QString& name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

// Runs a program with arguments (no shell) and returns its exit code, or -1
// when it could not start; stdout and stderr go to the given strings.
inline int runTool(const QString& program, const QStringList& args, QByteArray* out = nullptr,
                   QByteArray* err = nullptr, const QByteArray& input = QByteArray(), int timeoutMs = 60000)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(timeoutMs))
        return -1;
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Writes a file, creating its folder; false when that fails.
inline bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly)
           && f.write(data) == data.size();
}

// The file's bytes, or "<missing>" when it cannot be read.
inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace testenv

#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
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

// Every file and folder below `folder` with its bytes, by its path below it.
inline QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> all;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        all[path.mid(folder.size())] = it.fileInfo().isDir() ? "<folder>" : readFile(path);
    }
    return all;
}

// Copies every file below `from` over the same path below `to`, as the
// phone's next backup lands in a folder.
inline bool copyOver(const QString& from, const QString& to)
{
    for (QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString target = to + it.next().mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).path()) || (QFile::exists(target) && !QFile::remove(target))
            || !QFile::copy(it.filePath(), target))
            return false;
    }
    return true;
}

} // namespace testenv

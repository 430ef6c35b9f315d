#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

// Zip archives over libarchive. Every failure throws std::runtime_error with
// a UTF-8 text; a failed packing leaves no archive behind (and an existing
// archive at the same path untouched).
namespace ziputil {

// Writes a new zip archive holding every listed file or folder, folders with
// everything below them. Each listed item is stored under its own file name;
// hidden files and folders below a folder are left out, symbolic links to
// folders below a folder are not descended, so link loops end.
void zipFilesThrow(const QStringList& paths, const QString& zipPath);

// How much one archive may unpack: a few kilobytes of archive can hold
// gigabytes of zeros, and a small one millions of entries.
struct UnzipLimits
{
    qint64 maxBytes = qint64(512) * 1024 * 1024; // data of all files together
    qint64 maxEntries = 20000;                   // entries read, skipped ones included
};

// Unpacks every folder and regular file of an archive into destination.
// Entries that would land outside it (absolute names, ".." parts, a path
// through a symbolic link), links and special files are skipped. A damaged
// archive, or one beyond the limits, throws; what was unpacked before stays,
// and the file being unpacked then is not left behind.
void unzipThrow(const QString& archivePath, const QDir& destination, const UnzipLimits& limits = UnzipLimits());

} // namespace ziputil

// The 31-multiplier hash of the text's UTF-16 code units up to the first zero
// unit, each taken as a signed 16-bit value, in wrapping 32-bit arithmetic.
qint32 hashcode(const QString& text);

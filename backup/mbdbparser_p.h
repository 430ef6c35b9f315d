#pragma once

// Pieces of the file-list readers that tests and fuzz targets reach directly.

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

#include "backup/mbdbparser.h"

class BackupManifest;
class QIODevice;
class Sqlite3DB;

namespace mbdbdetail {

// Reads a whole Manifest.mbdb from `in` into `map`; `name` names the file in
// errors. Throws std::runtime_error for a list that is cut inside a record.
void readMbdb(QIODevice& in, const QString& name, MBDBParser::MBDBItemMap& map);

// Fills the fields of `item` that a Manifest.db row's `file` value holds (an
// MBFile keyed archive, binary or XML). False, with `item` untouched, when the
// value is no keyed archive.
bool decodeMBFile(const QByteArray& value, MBDBParser::_MBDBItem& item);

// The fields decodeMBFile fills, read in place from a binary keyed archive
// without building its tree; with keysOnly only what a merge reads of a
// record it leaves as it is: mode, inode number, protection class and stored
// key. False, with `item` untouched, for anything that is not plainly such an
// archive, so that decodeMBFile decides; where both read a value they agree.
bool decodeMBFileInPlace(const QByteArray& value, MBDBParser::_MBDBItem& item, bool keysOnly);

// MBDBParser::parse, or with `whole` the part of a Manifest.db that a merge
// of the records named in `whole` (its files and their folders) needs: those
// records whole; of the other rows, read with keysOnly, only the first
// kKeyCandidates of each of classes 3 and 4 that hold a key, and those with
// the highest inode numbers (so `maxInodeNumber` and `topInode` are the
// whole list's). A row decodeMBFileInPlace declines is read whole and kept.
// Records read by their keys only must never be written back. A Manifest.mbdb
// is always read whole.
constexpr int kKeyCandidates = 64;
MBDBParser::MBDBItemMap parse(const BackupManifest& backup, const QSet<QString>* whole);

// A plain copy of a file that appears at `to` only when complete; throws
// std::runtime_error.
void copyFileThrow(const QString& from, const QString& to, int permissions);

// True when the Manifest.db at `path` has a write-ahead log beside it, or
// says in its header that it keeps one: then rows may live in the log alone,
// and SQLite would write the log's index beside it on any open.
bool hasLog(const QString& path);

// A copy of the Manifest.db at `from` at `to` that holds every row, the
// log's included, in one file that keeps no log; the folder of `from` is
// not written. Throws std::runtime_error (a log that is not a regular file
// is refused). Without `takeLog` a log beside `from` is left out: the
// decrypted list of an encrypted backup is never written where it lies, so
// a log beside it is not the program's and its rows were written by nobody
// who knows the password.
void copyListThrow(const QString& from, const QString& to, int permissions, bool takeLog = true);

// Folds the log of the Manifest.db at `path` into the file itself (SQLite's
// checkpoint, safe at any moment of a crash) and leaves no log or index
// beside it: a list put in its place later could otherwise be read with the
// old log laid over it. The rows do not change. Throws std::runtime_error.
void settleLogThrow(const QString& path);

// Writes all n bytes; false with the reason in out.errorString(). A write
// that stops short (a full disk) sets no error and would be reported as
// "Unknown error": the rest is tried again, and that write gives the reason.
bool writeAll(QIODevice& out, const char* data, qint64 n);

// The salt of a Manifest.db whose rows are salted, else empty.
QByteArray rowSalt(Sqlite3DB& db);

// The file ID of UTF-8 domain and path bytes; equal to
// MBDBParser::getFileHashName of their texts.
QString fileIdOf(const QByteArray& domain, const QByteArray& path);

// fn(0) ... fn(n - 1), spread over the machine's cores (decoding the rows of
// a file list, sorting its domains): fn must not throw.
template <class F>
void parallelFor(size_t n, F fn)
{
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < n;)
            fn(i);
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < qBound(1, QThread::idealThreadCount(), 8) && n > 64; ++t)
        helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers)
        t.join();
}

} // namespace mbdbdetail

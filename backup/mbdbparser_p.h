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

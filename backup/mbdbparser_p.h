#pragma once

// Pieces of the file-list readers that tests and fuzz targets reach directly.

#include <QByteArray>
#include <QString>

#include "backup/mbdbparser.h"

class QIODevice;

namespace mbdbdetail {

// Reads a whole Manifest.mbdb from `in` into `map`; `name` names the file in
// errors. Throws std::runtime_error for a list that is cut inside a record.
void readMbdb(QIODevice& in, const QString& name, MBDBParser::MBDBItemMap& map);

// Fills the fields of `item` that a Manifest.db row's `file` value holds (an
// MBFile keyed archive, binary or XML). False, with `item` untouched, when the
// value is no keyed archive.
bool decodeMBFile(const QByteArray& value, MBDBParser::_MBDBItem& item);

// The file ID of UTF-8 domain and path bytes; equal to
// MBDBParser::getFileHashName of their texts.
QString fileIdOf(const QByteArray& domain, const QByteArray& path);

} // namespace mbdbdetail

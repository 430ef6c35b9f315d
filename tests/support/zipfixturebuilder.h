#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds zip archives byte by byte from the published format (stored
// entries, Unix modes in the external attributes), so that tests can make
// archives that no well-behaved packer would: hostile names, links,
// special files, damaged data.
class ZipFixtureBuilder
{
public:
    // name is stored as given (UTF-8); mode is the full Unix mode with the
    // file type bits, e.g. 0100644.
    ZipFixtureBuilder& add(const QByteArray& name, const QByteArray& data, quint32 mode);
    ZipFixtureBuilder& addFile(const QByteArray& name, const QByteArray& data) { return add(name, data, 0100644); }
    ZipFixtureBuilder& addDir(const QByteArray& name) { return add(name, QByteArray(), 040755); }
    ZipFixtureBuilder& addSymlink(const QByteArray& name, const QByteArray& target) { return add(name, target, 0120777); }

    QByteArray bytes() const;
    // Offset in bytes() of the first data byte of entry index.
    qint64 dataOffset(int index) const;
    bool writeTo(const QString& path) const;

private:
    struct Entry
    {
        QByteArray name;
        QByteArray data;
        quint32 mode = 0;
    };
    QList<Entry> entries;
};

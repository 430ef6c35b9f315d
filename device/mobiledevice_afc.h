#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

#include <libimobiledevice/afc.h>

#include "device/idevice.h"

class QIODevice;

// One device file's record as AFC reports it. A record whose ifmt is empty
// is invalid; size and mtime of an invalid record mean nothing.
struct _AfcFileInfo
{
    _AfcFileInfo() = default;
    explicit _AfcFileInfo(const QString& path) : path(path) {}

    bool isValid() const { return !ifmt.isEmpty(); }
    // The type word compared without case: some devices send it in lower case.
    bool isFile() const;
    bool isDir() const;
    bool isLink() const;

    QString path; // as asked for
    qint64 size = 0;
    QDateTime mtime; // to the millisecond
    QString ifmt; // "S_IFREG", "S_IFDIR", "S_IFLNK"...
};

// One open device file. It borrows the AFC client of the mobiledevice_afc
// that opened it and must not outlive it.
class AfcFile
{
public:
    AfcFile() = default;
    ~AfcFile() { close(); }
    AfcFile(const AfcFile&) = delete;
    AfcFile& operator=(const AfcFile&) = delete;

    bool isOpen() const { return m_handle != 0; }
    // The bytes moved (0 at the end of a file), or -1 when closed or failed.
    int read(char* buffer, int length);
    int write(const char* data, int length);
    // The library's code; 1 when closed.
    int lock(afc_lock_op_t op);
    // False when the device reports an error on closing (a write may not
    // have landed); true when it closed cleanly or was not open.
    bool close();

private:
    friend class mobiledevice_afc;
    afc_client_private* m_client = nullptr;
    uint64_t m_handle = 0;
};

// One AFC connection to a device's media area. Every operation fails at once
// (without contacting the device) until startService() has succeeded. Used
// by one thread at a time.
class mobiledevice_afc
{
public:
    explicit mobiledevice_afc(const QString& udid);
    ~mobiledevice_afc();
    mobiledevice_afc(const mobiledevice_afc&) = delete;
    mobiledevice_afc& operator=(const mobiledevice_afc&) = delete;

    bool startService();
    void closeService();

    _AfcFileInfo fileInfo(const QString& path);
    // Names in the device's order; "." and ".." left out when skipDots.
    QStringList ls(const QString& path, bool skipDots);
    // Records of the entries whose record could be read, in listing order.
    QList<_AfcFileInfo> ls_finfo(const QString& path);
    bool mkdir(const QString& path);
    // Removes a file, or a folder with everything in it.
    bool del(const QString& path);
    // Removes what a cut transfer may have left at path: over this
    // connection, or, when that has broken off, over a new one of its own
    // (this one stays as it is), so it goes whenever the phone is still
    // there. True when nothing is left at path.
    bool delLeftover(const QString& path);
    bool rename(const QString& from, const QString& to);

    // An open file that was open before is closed first.
    bool openFile(const QString& path, afc_file_mode_t mode, AfcFile& file);
    bool readFile(const QString& path, AfcFile& file); // read only
    bool readWriteFile(const QString& path, AfcFile& file); // the file must exist
    bool writeFile(const QString& path, AfcFile& file); // created or truncated

    // Whole-file copies in blocks of kBlockSize. True only for a complete
    // copy: a file that cannot be opened, a read or write error on either
    // side, or a device that goes away halfway all give false, and whatever
    // was moved until then stays where it went.
    bool readFileContent(const QString& path, QIODevice& out);
    QByteArray readFileContent(const QString& path, bool* complete = nullptr);
    bool writeFileContent(const QString& path, QIODevice& in);
    bool writeFileContent(const QString& path, const QByteArray& data);

    static constexpr int kBlockSize = 8192;

private:
    int delCode(const QString& path);

    iDevice m_device;
    afc_client_private* m_afc = nullptr;
};

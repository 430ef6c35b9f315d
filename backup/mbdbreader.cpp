// Manifest.mbdb: big-endian records after a 6-byte header, read in chunks.
#include <QIODevice>
#include <QSet>

#include <stdexcept>

#include "backup/mbdbparser_p.h"

namespace {

constexpr qint64 kChunk = 65536;

// The file through a buffer of its own: a few bytes per field would cost a
// call into QIODevice each.
class Stream
{
public:
    Stream(QIODevice& in, const QString& name)
        : m_in(in)
        , m_name(name)
    {
    }

    // The next n bytes; throws when the file ends before them.
    const uchar* take(qint64 n)
    {
        if (m_buf.size() - m_pos < n && !fill(n))
            throw std::runtime_error(QStringLiteral("%1 is cut short: the file list ends inside a record at byte %2.")
                                         .arg(m_name)
                                         .arg(m_base + m_buf.size())
                                         .toStdString());
        const uchar* p = reinterpret_cast<const uchar*>(m_buf.constData()) + m_pos;
        m_pos += n;
        return p;
    }
    bool atEnd() { return m_pos == m_buf.size() && !fill(1); }

private:
    bool fill(qint64 n)
    {
        m_buf.remove(0, m_pos);
        m_base += m_pos;
        m_pos = 0;
        while (m_buf.size() < n) {
            const qint64 had = m_buf.size();
            m_buf.resize(had + qMax(kChunk, n));
            const qint64 got = m_in.read(m_buf.data() + had, m_buf.size() - had);
            m_buf.resize(had + qMax<qint64>(got, 0));
            if (got < 0)
                throw std::runtime_error(QStringLiteral("%1: %2").arg(m_name, m_in.errorString()).toStdString());
            if (got == 0)
                return false;
        }
        return true;
    }

    QIODevice& m_in;
    QString m_name;
    QByteArray m_buf;
    qint64 m_pos = 0;
    qint64 m_base = 0;
};

quint32 be(const uchar* p, int n)
{
    quint32 v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

quint16 g_readInt16(Stream& s)
{
    return quint16(be(s.take(2), 2));
}

quint32 g_readInt32(Stream& s)
{
    return be(s.take(4), 4);
}

qint8 g_readByte(Stream& s)
{
    return qint8(*s.take(1));
}

MBDBParser::_MBDBBinary g_readBinary(Stream& s)
{
    MBDBParser::_MBDBBinary b;
    b.length = g_readInt16(s);
    if (b.isValid())
        b.data = QByteArray(reinterpret_cast<const char*>(s.take(b.length)), b.length);
    return b;
}

} // namespace

void mbdbdetail::readMbdb(QIODevice& in, const QString& name, MBDBParser::MBDBItemMap& map)
{
    Stream s(in, name);
    // A file of 6 bytes or fewer holds no record; the header is not examined.
    for (int i = 0; i < 6; ++i) {
        if (s.atEnd())
            return;
        s.take(1);
    }
    QSet<QByteArray> domains; // one copy of each domain's bytes, shared by its records
    std::vector<MBDBParser::_MBDBItem> records;
    while (!s.atEnd()) {
        MBDBParser::_MBDBItem item;
        item.domain = g_readBinary(s);
        item.path = g_readBinary(s);
        item.linkTarget = g_readBinary(s);
        item.digest = g_readBinary(s);
        item.encryptionKey = g_readBinary(s);
        item.mode = g_readInt16(s);
        item.inodeHigh = g_readInt32(s);
        item.inodeNumber = g_readInt32(s);
        item.userId = g_readInt32(s);
        item.groupId = g_readInt32(s);
        item.lastModified = g_readInt32(s);
        item.lastStatusChange = g_readInt32(s);
        item.birth = g_readInt32(s);
        const quint64 high = g_readInt32(s);
        item.size = qint64((high << 32) | g_readInt32(s));
        item.protectionClass = g_readByte(s);
        for (int n = g_readByte(s); n > 0; --n) {
            MBDBParser::_MBDBProperty p;
            p.name = g_readBinary(s);
            p.value = g_readBinary(s);
            item.properties << p;
        }
        // A record without a domain is read whole and then dropped, so the
        // next record starts where it really starts.
        if (!item.domain.isValid())
            continue;
        item.domain.data = *domains.insert(item.domain.data);
        records.push_back(std::move(item));
    }
    // The file IDs (a SHA-1 each) on every core, then the table at its final size.
    std::vector<QString> ids(records.size());
    mbdbdetail::parallelFor(records.size(), [&](size_t i) { ids[i] = records[i].backupFileName(); });
    map.files.reserve(qsizetype(records.size()));
    for (size_t i = 0; i < records.size(); ++i)
        map.insert(ids[i], std::move(records[i]));
}

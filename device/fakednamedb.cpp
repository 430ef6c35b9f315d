#include "device/fakednamedb.h"

#include <QFileInfo>

#include <stdexcept>

namespace {

// Stored as an unsigned 32-bit count of seconds since 1970.
qint64 storedTime(const QDateTime& t)
{
    return qint64(quint32(t.toSecsSinceEpoch()));
}

} // namespace

FakeDNameDb::~FakeDNameDb()
{
    if (!isOpen())
        return;
    try {
        commitTran();
    } catch (const std::exception&) {
    }
}

bool FakeDNameDb::open(const QString& path, QString* error)
{
    if (isOpen())
        return true;
    try {
        if (QFileInfo::exists(path)) {
            openThrow(path, 2);
        } else {
            openThrow(path, 6);
            executeThrow("create table dname(f VARCHAR PRIMARY KEY, p VARCHAR, d VARCHAR, size INTEGER, "
                         "lastm INTEGER, incl INTEGER)");
            executeThrow("create index idx_dname on dname(p)");
        }
        beginTran();
        return true;
    } catch (const std::exception& e) {
        close();
        if (error)
            *error = QString::fromUtf8(e.what());
        return false;
    }
}

void FakeDNameDb::insert(const QString& f, const QString& d, bool incl, const QDateTime& lastm, qint64 size)
{
    if (!isOpen())
        return;
    try {
        executeThrow(Sqlite3Sql("replace into dname(f,p,d,size,lastm,incl) values(?,?,?,?,?,?)")
                         .addTextParam(f)
                         .addTextParam(f.size() >= 32 ? f.left(2) : QString())
                         .addTextParam(d)
                         .addInt64Param(size)
                         .addInt64Param(storedTime(lastm))
                         .addIntParam(incl ? 1 : 0));
        if (++m_inserted % 10000 == 0) {
            commitTran();
            beginTran();
        }
    } catch (const std::exception&) {
    }
}

void FakeDNameDb::update(const QString& f, const QDateTime& lastm, qint64 size)
{
    if (!isOpen())
        return;
    try {
        executeThrow(Sqlite3Sql("update dname set size=?, lastm=? where f=?")
                         .addInt64Param(size)
                         .addInt64Param(storedTime(lastm))
                         .addTextParam(f));
    } catch (const std::exception&) {
    }
}

void FakeDNameDb::remove(const QString& f)
{
    if (!isOpen())
        return;
    try {
        executeThrow(Sqlite3Sql("delete from dname where f=?").addTextParam(f));
    } catch (const std::exception&) {
    }
}

QString FakeDNameDb::getDName(const QString& f)
{
    if (!isOpen())
        return QString();
    try {
        Sqlite3Cursor row = queryThrow(Sqlite3Sql("select d from dname where f=?").addTextParam(f));
        if (row.moveNext())
            return row.getText("d");
    } catch (const std::exception&) {
    }
    return QString();
}

QList<Backup2ToolHook::DirItem> FakeDNameDb::items(const QString& p)
{
    QList<Backup2ToolHook::DirItem> out;
    if (!isOpen())
        return out;
    try {
        if (p.isEmpty()) {
            Sqlite3Cursor groups = queryThrow("select p, max(lastm) as lastm from dname group by p");
            while (groups.moveNext()) {
                const QString prefix = groups.getText("p");
                if (!prefix.isEmpty())
                    out.append({prefix, 2, 0, QDateTime::fromSecsSinceEpoch(groups.getInt64("lastm"))});
            }
        }
        Sqlite3Cursor rows = queryThrow(Sqlite3Sql("select * from dname where p=?").addTextParam(p));
        while (rows.moveNext()) {
            out.append({rows.getText("f"), 1, rows.getInt64("size"),
                        QDateTime::fromSecsSinceEpoch(rows.getInt64("lastm"))});
        }
    } catch (const std::exception&) {
    }
    return out;
}

#include "device/bkcachedb.h"

#include <QFile>

#include <stdexcept>

#include "foundation/datadir.h"

namespace {

const char kSchema[] = ":res/cache_db.sql";

} // namespace

BkCacheDb::BkCacheDb(const QString& path) : m_path(path) {}

BkCacheDb::~BkCacheDb()
{
    if (!m_db.isOpen())
        return;
    try {
        m_db.commitTran();
    } catch (const std::exception&) { // the dates are lost, so files are fetched again
    }
}

QDir BkCacheDb::cacheDir()
{
    return QDir(g_dataSaveDir().filePath(QStringLiteral("cache")));
}

void BkCacheDb::openCheck()
{
    if (m_db.isOpen())
        return;
    if (QFile::exists(m_path))
        m_db.openThrow(m_path, 2);
    else
        create();
    try {
        m_db.beginTran();
    } catch (const std::exception&) {
    }
}

void BkCacheDb::create()
{
    m_db.openThrow(m_path, 6);
    QFile schema(QString::fromLatin1(kSchema));
    QString error;
    if (!schema.open(QIODevice::ReadOnly))
        error = schema.errorString();
    else if (m_db.exec(QString::fromUtf8(schema.readAll()), error) == 0)
        return;
    m_db.close();
    QFile::remove(m_path);
    throw std::runtime_error(error.toStdString());
}

qint64 BkCacheDb::fileDateSecs(const QString& deviceName)
{
    try {
        openCheck();
        Sqlite3Cursor row = m_db.queryThrow(
            Sqlite3Sql("select last_date from manifest where file_name=?").addTextParam(deviceName));
        return row.moveNext() ? row.getInt64(QStringLiteral("last_date")) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

void BkCacheDb::setFileDate(const QString& deviceName, qint64 secs)
{
    try {
        openCheck();
        m_db.executeThrow(Sqlite3Sql("insert into manifest(file_name,last_date) values(?,?) "
                                     "on conflict(file_name) do update set last_date=excluded.last_date")
                              .addTextParam(deviceName)
                              .addInt64Param(secs));
    } catch (const std::exception&) {
    }
}

void BkCacheDb::remove(const QString& deviceName)
{
    try {
        openCheck();
        m_db.executeThrow(Sqlite3Sql("delete from manifest where file_name=?").addTextParam(deviceName));
    } catch (const std::exception&) {
    }
}

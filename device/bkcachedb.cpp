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
    if (QFile::exists(m_path)) {
        m_db.openThrow(m_path, 2);
        // A file left empty by a crash right after its creation, or one that
        // lost its table, would otherwise miss every look-up for good. The
        // schema only adds what is missing; a file that is no database at all
        // fails here and is left as it is.
        const QString error = applySchema();
        if (!error.isEmpty()) {
            m_db.close();
            throw std::runtime_error(error.toStdString());
        }
    } else {
        create();
    }
    try {
        m_db.beginTran();
    } catch (const std::exception&) {
    }
}

void BkCacheDb::create()
{
    m_db.openThrow(m_path, 6);
    const QString error = applySchema();
    if (error.isEmpty())
        return;
    m_db.close();
    QFile::remove(m_path);
    throw std::runtime_error(error.toStdString());
}

QString BkCacheDb::applySchema()
{
    QFile schema(QString::fromLatin1(kSchema));
    QString error;
    if (!schema.open(QIODevice::ReadOnly))
        return schema.errorString();
    if (m_db.exec(QString::fromUtf8(schema.readAll()), error) != 0 && error.isEmpty())
        error = QStringLiteral("can not create the table of %1").arg(m_path);
    return error;
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

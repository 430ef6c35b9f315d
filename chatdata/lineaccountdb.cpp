#include "chatdata/lineaccountdb.h"

#include <QFileInfo>
#include <QtDebug>

#include <stdexcept>

#include "foundation/datadir.h"

namespace {

const char kCreateTable[] = "CREATE TABLE line_account(uid VARCHAR PRIMARY KEY, name VARCHAR, tel VARCHAR);";

void registerAccountMetaType()
{
    static const int id = qRegisterMetaType<LineAccountDB::_Account>("LineAccountDB::Account");
    Q_UNUSED(id);
}

} // namespace

LineAccountDB::_Account::_Account(const QString& uid, const QString& name, const QString& tel)
    : uid(uid), name(name), tel(tel)
{
}

LineAccountDB::LineAccountDB()
{
    registerAccountMetaType();
}

void LineAccountDB::openCheckThrow()
{
    if (isOpen())
        return;
    const QString path = g_dataSaveDir().absoluteFilePath(QStringLiteral("bk_line_account.db"));
    if (QFileInfo(path).size() != 0) {
        openThrow(path, 2);
        return;
    }
    openThrow(path, 6);
    QString error;
    if (exec(QLatin1String(kCreateTable), error) == 0)
        return;
    // Another user of the store may have created the table a moment ago;
    // only a store still without it is a failure.
    try {
        if (!tbCols(QStringLiteral("line_account")).isEmpty())
            return;
    } catch (const std::exception&) {
    }
    // Closed, so that the next use tries again rather than finding an open
    // store without its table.
    close();
    throw std::runtime_error((QLatin1String(kCreateTable) + QLatin1String("\n") + error).toStdString());
}

void LineAccountDB::saveAccountThrow(const _Account& account)
{
    openCheckThrow();
    if (account.uid.isEmpty())
        return;
    Sqlite3Sql sql("replace into line_account(uid, name, tel) values(?, ?, ?)");
    sql.addTextParam(account.uid).addTextParam(account.name).addTextParam(account.tel);
    executeThrow(sql);
}

void LineAccountDB::saveAccount(const _Account& account)
{
    try {
        saveAccountThrow(account);
    } catch (const std::exception& e) {
        qDebug("LineAccountDB::saveAccount error: %s", e.what());
    }
}

QList<LineAccountDB::_Account> LineAccountDB::accountsThrow()
{
    openCheckThrow();
    Sqlite3Cursor cursor = queryThrow("select * from line_account");
    QList<_Account> result;
    while (cursor.moveNext())
        result.append(_Account(cursor.getText("uid"), cursor.getText("name"), cursor.getText("tel")));
    return result;
}

QList<LineAccountDB::_Account> LineAccountDB::accounts()
{
    try {
        return accountsThrow();
    } catch (const std::exception& e) {
        qDebug("%s", e.what());
        return QList<_Account>();
    }
}

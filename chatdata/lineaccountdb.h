#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include "foundation/sqlite3db.h"

// The LINE accounts whose data the program has read, remembered in
// "bk_line_account.db" in the data folder so that an account can be named
// later without its phone. Opened on first use; users create a temporary
// object for each use.
class LineAccountDB : public Sqlite3DB
{
public:
    struct _Account
    {
        _Account() = default;
        _Account(const QString& uid, const QString& name, const QString& tel);

        QString uid; // LINE's "mid"
        QString name;
        QString tel;
    };
    typedef _Account Account;

    LineAccountDB();

    // Opens the store, creating the file with its table when it is missing
    // or empty.
    void openCheckThrow();
    // Stores the account, replacing the name and number of a stored uid. An
    // account without a uid is not stored.
    void saveAccountThrow(const _Account& account);
    // The same; a failure becomes a debug line of the log.
    void saveAccount(const _Account& account);
    // Every stored account, in the order the store returns them.
    QList<_Account> accountsThrow();
    // The same; a failure becomes a debug line and an empty list.
    QList<_Account> accounts();
};

Q_DECLARE_METATYPE(LineAccountDB::_Account)

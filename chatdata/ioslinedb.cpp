#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_p.h"
#include "chatdata/ioslinedb_restore_p.h"

#include <QFileInfo>

#include <algorithm>
#include <stdexcept>

#include "foundation/pathutil.h"
#include "foundation/plistcftype.h"

const char* const IOSLineDb::kTimestampIndex = "_vardo_idx_Message_timestamp";
const char* const IOSLineDb::kChatTimestampIndex = "_vardo_idx_Message_chat_timestamp";

namespace ioslinedb_p {

const char* const kChatDisabled = "zenable=0";

QString pathName(const QString& id)
{
    return isPlainName(id) ? pathutil::fitFileName(id) : pathutil::encodeFileName(id);
}

} // namespace ioslinedb_p

using namespace ioslinedb_p;

IOSLineDb::IOSLineDb(const QDir& containerDir, const QString& devicePath)
    : containerDir(containerDir), confinement(containerDir.absolutePath()), devicePath(devicePath)
{
    readAccount();
    locateStore();
}

IOSLineDb::~IOSLineDb() = default;

void IOSLineDb::readAccount()
{
    const QString path =
        confinement.realPath(containerDir.absoluteFilePath(QStringLiteral("Library/Preferences/jp.naver.line.plist")));
    const PlistCFType prefs = path.isEmpty() ? PlistCFType() : PlistCFType::createCFPropertyListFromFile(path);
    mid = prefs.get(QStringLiteral("mid")).CFStringQString();
    name = prefs.get(QStringLiteral("name")).CFStringQString();
    tel = prefs.get(QStringLiteral("tel")).CFStringQString();
    if (!mid.isEmpty() && mid.startsWith(QLatin1Char('u'), Qt::CaseInsensitive)) {
        LineAccountDB store;
        store.saveAccount(account());
    }
}

void IOSLineDb::locateStore()
{
    // A store reached through a link counts only when the link stays in the
    // container.
    const auto isFile = [this](const QString& rel) {
        const QString real = rel.isEmpty() ? QString() : confinement.realPath(containerDir.absoluteFilePath(rel));
        return !real.isEmpty() && safefile::isRegularFile(real);
    };
    const auto isDir = [this](const QString& rel) {
        const QString real = confinement.realPath(containerDir.absoluteFilePath(rel));
        return !real.isEmpty() && QFileInfo(real).isDir();
    };
    const auto setRel = [this](const QString& rel) {
        dbRelPath = rel;
        dbPath = containerDir.absoluteFilePath(rel);
    };
    // The account folder is named after the mid from the preferences; a mid
    // that is no plain name cannot name a folder the app made.
    const QString accountFolder = QStringLiteral("P_") + (mid.isEmpty() ? QString() : pathName(mid));
    const QString libraryPrivate = QStringLiteral("Library/Application Support/PrivateStore");

    if (isDir(libraryPrivate)) {
        storeDir = libraryPrivate + QLatin1Char('/') + accountFolder + QLatin1Char('/');
        setRel(storeDir + QStringLiteral("Messages/Line.sqlite"));
        const QString groupRel = storeDir + QStringLiteral("Messages/UnifiedGroup.sqlite");
        if (isFile(dbRelPath) && isFile(groupRel))
            groupDbPath = containerDir.absoluteFilePath(groupRel);
        if (!isFile(dbRelPath)) {
            QDir dir(containerDir.absoluteFilePath(libraryPrivate));
            QStringList subs = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
            std::sort(subs.begin(), subs.end(), [](const QString& a, const QString& b) {
                const int c = a.compare(b, Qt::CaseInsensitive);
                return c != 0 ? c < 0 : a < b;
            });
            for (const QString& sub : std::as_const(subs)) {
                const QString candidate = libraryPrivate + QLatin1Char('/') + sub + QStringLiteral("/Messages/Line.sqlite");
                if (isFile(candidate)) {
                    storeDir = libraryPrivate + QLatin1Char('/') + sub + QLatin1Char('/');
                    setRel(candidate);
                    break;
                }
            }
        }
    }
    if (!isFile(dbRelPath) && isDir(QStringLiteral("Documents/PrivateStore"))) {
        storeDir = libraryPrivate + QLatin1Char('/') + accountFolder + QLatin1Char('/');
        const QString docs = QStringLiteral("Documents/PrivateStore/") + accountFolder;
        setRel(docs + QStringLiteral("/talk.sqlite"));
        if (!isFile(dbRelPath))
            setRel(docs + QStringLiteral("/Messages/Line.sqlite"));
        if (!isFile(dbRelPath))
            setRel(docs + QStringLiteral("/Messages/talk.sqlite"));
    }
    if (!isFile(dbRelPath)) {
        storeDir = QStringLiteral("Library/Application Support/");
        setRel(storeDir + QStringLiteral("Messages/Line.sqlite"));
        if (!isFile(dbRelPath))
            setRel(QStringLiteral("Documents/talk.sqlite"));
    }
}

QString IOSLineDb::storeFileThrow(const QString& path)
{
    QString error;
    const QString real = confinement.realPath(path, &error);
    if (real.isEmpty())
        throw std::runtime_error(error.toStdString());
    return real;
}

void IOSLineDb::openCheckThrow()
{
    if (isOpen())
        return;
    const QString mainPath = storeFileThrow(dbPath);
    const QString groupPath = groupDbPath.isEmpty() ? QString() : storeFileThrow(groupDbPath);
    openThrow(mainPath, 2);
    try {
        // Pages are read in long runs; mapping the copy saves a read call
        // per database page. The copy is ours, nobody truncates it under us.
        QString ignored;
        exec(QStringLiteral("PRAGMA mmap_size=268435456"), ignored);
        if (!groupPath.isEmpty())
            groupDb.openCheckThrow(groupPath);
        prepareThrow();
    } catch (const std::exception&) {
        // Being open means being prepared: a failure closes both stores so
        // that the next call starts again instead of using a half-made copy.
        groupDb.close();
        close();
        throw;
    }
}

void IOSLineDb::prepareThrow()
{
    schema.loadDbThrow(*this);

    primaryKeys = readCoreDataEntitiesThrow(*this);

    const qint32 chatEnt = getPrimaryKey(QStringLiteral("Chat"), QStringLiteral("ZCHAT"), 1);
    const qint32 groupEnt = getPrimaryKey(QStringLiteral("Group"), QStringLiteral("ZGROUP"), 4);
    const qint32 userEnt = getPrimaryKey(QStringLiteral("User"), QStringLiteral("ZUSER"), 12);
    chatMembers = {QStringLiteral("Z_%1MEMBERS").arg(chatEnt), QStringLiteral("Z_%1CHATS").arg(chatEnt),
                   QStringLiteral("Z_%1MEMBERS").arg(userEnt)};
    groupMembers = {QStringLiteral("Z_%1MEMBERS").arg(groupEnt), QStringLiteral("Z_%1GROUPS").arg(groupEnt),
                    QStringLiteral("Z_%1MEMBERS1").arg(userEnt)};

    {
        Sqlite3Cursor idx = queryThrow(Sqlite3Sql(
            "select count(*) from pragma_index_list('ZMESSAGE') as l, pragma_index_info(l.name) as i"
            " where i.seqno=0 and i.name='ZCHAT' collate nocase"));
        chatIndexed = idx.moveNext() && idx.getInt64(0) > 0;
    }

    // The indexes and the purge go in one transaction, and the purge runs
    // only the statements this schema allows: a store without ZENABLE has no
    // disabled chats, one without ZCHATMETADATA no metadata to drop.
    //
    // The time index is what all messages are read by. The second serves
    // what is asked per chat: a chat's pages, its newest message (loading,
    // and each chat when a restore is finished) and its message ids (a
    // restore). Core Data indexes a chat's messages without their times,
    // which left each of those reading every message of the chat, and
    // loading every message of the store in an order of its own.
    const bool addIndex = !schema.containsIndex(QString::fromLatin1(kTimestampIndex));
    const bool addChatIndex = !schema.containsIndex(QString::fromLatin1(kChatTimestampIndex))
                              && schema.containsCol(QStringLiteral("ZMESSAGE"), QStringLiteral("ZCHAT"));
    const bool purge = schema.containsCol(QStringLiteral("ZCHAT"), QStringLiteral("ZENABLE"));
    const QString disabled = QStringLiteral("(select z_pk from zchat where %1)").arg(QLatin1String(kChatDisabled));
    if (!addIndex && !addChatIndex && !purge)
        return;
    beginTran();
    try {
        if (addIndex)
            executeThrow(Sqlite3Sql(QStringLiteral("CREATE INDEX %1 ON ZMESSAGE(ZTIMESTAMP)")
                                        .arg(QString::fromLatin1(kTimestampIndex))));
        if (addChatIndex)
            executeThrow(Sqlite3Sql(QStringLiteral("CREATE INDEX %1 ON ZMESSAGE(ZCHAT, ZTIMESTAMP)")
                                        .arg(QString::fromLatin1(kChatTimestampIndex))));
        if (purge) {
            if (schema.containsCol(QStringLiteral("ZMESSAGE"), QStringLiteral("ZCHAT")))
                executeThrow(Sqlite3Sql(QStringLiteral("delete from zmessage where zchat in ") + disabled));
            if (schema.containsCol(chatMembers.table, chatMembers.ownerColumn))
                executeThrow(Sqlite3Sql(QStringLiteral("delete from %1 where %2 in ")
                                            .arg(sqlite3QuoteIdentifier(chatMembers.table),
                                                 sqlite3QuoteIdentifier(chatMembers.ownerColumn))
                                        + disabled));
            if (schema.containsCol(QStringLiteral("ZCHATMETADATA"), QStringLiteral("ZCHAT")))
                executeThrow(Sqlite3Sql(QStringLiteral("delete from ZCHATMETADATA where ZCHAT in ") + disabled));
            executeThrow(Sqlite3Sql(QStringLiteral("delete from zchat where %1").arg(QLatin1String(kChatDisabled))));
        }
        commitTran();
    } catch (const std::exception&) {
        if (inTransaction()) {
            QString ignored;
            exec(QStringLiteral("ROLLBACK"), ignored);
        }
        throw;
    }
    if (addIndex || addChatIndex)
        schema.loadDbThrow(*this);
    chatIndexed = chatIndexed || addChatIndex;
}

qint32 IOSLineDb::getPrimaryKey(const QString& entityName, const QString& tableName, int defaultValue) const
{
    auto it = primaryKeys.constFind(entityName);
    if (it != primaryKeys.constEnd())
        return *it;
    it = primaryKeys.constFind(tableName);
    if (it != primaryKeys.constEnd())
        return *it;
    return defaultValue;
}

LineAccountDB::_Account IOSLineDb::account() const
{
    return LineAccountDB::_Account(mid, name, tel);
}

_LineStickerInfo IOSLineDb::stickerInfoThrow(int stickerId)
{
    auto it = stickerCache.constFind(stickerId);
    if (it != stickerCache.constEnd())
        return *it;
    openCheckThrow();
    // Older stores have no packages: their stickers are read without one.
    if (!schema.containsTable(QStringLiteral("ZSTICKERPACKAGE")))
        return _LineStickerInfo();
    Sqlite3Sql sql("select * from ZSTICKERPACKAGE where ? between ZSTICKERIDSTART and ZSTICKERIDEND limit 1");
    sql.addIntParam(stickerId);
    Sqlite3Cursor cur = queryThrow(sql);
    _LineStickerInfo info;
    if (cur.moveNext()) {
        info.id = stickerId;
        info.package = cur.getInt("ZPACKAGEID");
        info.version = cur.getInt("ZVERSION");
        stickerCache.insert(stickerId, info);
    }
    return info;
}

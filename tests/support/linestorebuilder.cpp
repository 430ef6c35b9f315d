#include "tests/support/linestorebuilder.h"
#include "tests/support/testenv.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <plist/plist.h>
#include <sqlite3.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString& what)
{
    throw std::runtime_error(what.toStdString());
}

// The main store as the app's Core Data model makes it: the columns the
// readers and writers use, some bookkeeping ones, and the entity numbers,
// which name the join tables.
const char kMainSchema[] = R"SQL(
CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER);
INSERT INTO Z_PRIMARYKEY VALUES (1, 'Chat', 0, 0), (2, 'ChatMetadata', 0, 0), (4, 'Group', 0, 0), (5, 'Message', 0, 0),
  (11, 'StickerPackage', 0, 0), (12, 'User', 0, 0);
CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB);
CREATE TABLE ZUSER (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZALERT INTEGER, ZBLOCKING INTEGER,
  ZCAPABILITIES INTEGER, ZCONTACTTYPE INTEGER, ZE2EECONTENTTYPES INTEGER, ZFAVORITEORDER INTEGER,
  ZFRIENDREQUESTSTATUS INTEGER, ZISFRIEND INTEGER, ZISHIDDEN INTEGER, ZISINADDRESSBOOK INTEGER,
  ZISRECOMMENDED INTEGER, ZISREMOVED INTEGER, ZISUNREGISTERED INTEGER, ZISVIEWED INTEGER, ZUSERTYPE INTEGER,
  ZCREATEDTIME TIMESTAMP, ZADDRESSBOOKNAME VARCHAR, ZCUSTOMNAME VARCHAR, ZMID VARCHAR, ZNAME VARCHAR,
  ZPICTUREURL VARCHAR, ZSORTABLENAME VARCHAR);
CREATE INDEX ZUSER_ZMID_INDEX ON ZUSER (ZMID);
CREATE TABLE ZCHAT (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZALERT INTEGER,
  ZE2EECONTENTTYPES INTEGER, ZENABLE INTEGER, ZEXPIREINTERVAL INTEGER, ZLIVE INTEGER, ZSESSIONID INTEGER,
  ZSORTORDER INTEGER, ZTYPE INTEGER, ZUNREAD INTEGER, ZLASTUPDATED TIMESTAMP, ZLASTMESSAGE VARCHAR,
  ZLASTRECEIVEDMESSAGEID VARCHAR, ZMID VARCHAR, ZREADUPTOMESSAGEID VARCHAR, ZREADUPTOMESSAGEIDSYNCED VARCHAR);
CREATE TABLE ZCHATMETADATA (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCHAT INTEGER,
  ZBACKGROUNDIMAGE VARCHAR);
CREATE INDEX ZCHATMETADATA_ZCHAT_INDEX ON ZCHATMETADATA (ZCHAT);
CREATE TABLE ZGROUP (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZALERT INTEGER, ZENABLE INTEGER,
  ZFAVORITEORDER INTEGER, ZISACCEPTED INTEGER, ZISPREVENTLINKINVITATION INTEGER, ZISVIEWED INTEGER,
  ZCREATOR INTEGER, ZCREATEDTIME TIMESTAMP, ZID VARCHAR, ZNAME VARCHAR, ZPICTURESTATUS VARCHAR);
CREATE INDEX ZGROUP_ZCREATOR_INDEX ON ZGROUP (ZCREATOR);
CREATE TABLE ZMESSAGE (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCONTENTTYPE INTEGER,
  ZREADCOUNT INTEGER, ZSENDSTATUS INTEGER, ZCHAT INTEGER, ZSENDER INTEGER, ZTIMESTAMP INTEGER, ZLATITUDE FLOAT,
  ZLONGITUDE FLOAT, ZID VARCHAR, ZTEXT VARCHAR, ZCONTENTMETADATA BLOB, ZTHUMBNAIL BLOB);
CREATE INDEX ZMESSAGE_ZCHAT_INDEX ON ZMESSAGE (ZCHAT);
CREATE INDEX ZMESSAGE_ZSENDER_INDEX ON ZMESSAGE (ZSENDER);
CREATE TABLE ZSTICKERPACKAGE (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZPACKAGEID INTEGER,
  ZSTICKERIDEND INTEGER, ZSTICKERIDSTART INTEGER, ZVERSION INTEGER);
CREATE TABLE Z_1MEMBERS (Z_1CHATS INTEGER, Z_12MEMBERS INTEGER, PRIMARY KEY (Z_1CHATS, Z_12MEMBERS));
CREATE INDEX Z_1MEMBERS_Z_12MEMBERS_INDEX ON Z_1MEMBERS (Z_12MEMBERS, Z_1CHATS);
CREATE TABLE Z_4MEMBERS (Z_4GROUPS INTEGER, Z_12MEMBERS1 INTEGER, PRIMARY KEY (Z_4GROUPS, Z_12MEMBERS1));
CREATE INDEX Z_4MEMBERS_Z_12MEMBERS1_INDEX ON Z_4MEMBERS (Z_12MEMBERS1, Z_4GROUPS);
)SQL";

// The group store: entities UnifiedGroup 3 and UnifiedGroupUser 4.
const char kGroupSchema[] = R"SQL(
CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, Z_MAX INTEGER);
INSERT INTO Z_PRIMARYKEY VALUES (3, 'UnifiedGroup', 0, 0), (4, 'UnifiedGroupUser', 0, 0);
CREATE TABLE ZUNIFIEDGROUP (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZCREATOR INTEGER,
  ZCREATEDTIME TIMESTAMP, ZID VARCHAR, ZNAME VARCHAR, ZPICTURESTATUS VARCHAR);
CREATE TABLE ZUNIFIEDGROUPUSER (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZMID VARCHAR);
CREATE TABLE Z_3MEMBERCHATUSERS (Z_3GROUPS INTEGER, Z_4MEMBERCHATUSERS INTEGER,
  PRIMARY KEY (Z_3GROUPS, Z_4MEMBERCHATUSERS));
)SQL";

// A bare SQLite connection; values are written as literals, texts as
// blobs cast to TEXT, so that any bytes (broken UTF-8 too) arrive unchanged.
class RawDb
{
public:
    explicit RawDb(const QString& path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::remove(path);
        if (sqlite3_open(QFile::encodeName(path).constData(), &m_db) != SQLITE_OK)
            fail("cannot open " + path);
        exec("BEGIN");
    }
    ~RawDb() { sqlite3_close(m_db); }
    void exec(const QString& sql)
    {
        if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(sql.left(200) + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db)));
    }
    void insert(const QString& table, const QVariantHash& row)
    {
        QStringList values;
        for (auto v = row.cbegin(); v != row.cend(); ++v) {
            const int type = v.value().userType();
            const bool text = type == QMetaType::QString, bytes = type == QMetaType::QByteArray;
            const QByteArray hex = (text ? v.value().toString().toUtf8() : v.value().toByteArray()).toHex();
            if (v.value().isNull())
                values << QStringLiteral("NULL");
            else if (text || (bytes && v.key() == "ZTEXT"))
                values << "CAST(X'" + hex + "' AS TEXT)";
            else if (bytes)
                values << "X'" + hex + "'";
            else if (type == QMetaType::Double)
                values << QString::number(v.value().toDouble(), 'g', 17);
            else
                values << QString::number(v.value().toLongLong());
        }
        exec(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(table, row.keys().join(','), values.join(',')));
    }

private:
    sqlite3* m_db = nullptr;
};

struct PlistFree
{
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};

QByteArray plistBytes(plist_t root)
{
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(root, &out, &len);
    const QByteArray bytes(out, int(len));
    free(out);
    return bytes;
}

void writeFileThrow(const QString& path, const QByteArray& bytes)
{
    if (!testenv::writeFile(path, bytes))
        fail(QStringLiteral("cannot write %1").arg(path));
}

} // namespace

double lineCoreDataTime(const QDateTime& t)
{
    return double(t.toMSecsSinceEpoch() - 978307200000LL) / 1000.0;
}

QByteArray linePicture(int width, int height, const char* format)
{
    QImage img(width, height, QImage::Format_RGB32);
    img.fill(QColor(30, 144, 255));
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return bytes;
}

QByteArray LineMetaArchive::archive(const QList<QPair<QString, QVariant>>& entries, bool mutableDictionary)
{
    std::unique_ptr<void, PlistFree> top(plist_new_dict());
    plist_t objects = plist_new_array(), root = plist_new_dict(), keys = plist_new_array(), values = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_array_append_item(objects, root);
    const auto append = [&](plist_t list, plist_t node) {
        plist_array_append_item(list, plist_new_uid(plist_array_get_size(objects)));
        plist_array_append_item(objects, node);
    };
    for (const auto& e : entries)
        append(keys, plist_new_string(e.first.toUtf8().constData()));
    for (const auto& [key, v] : entries) {
        const bool text = v.userType() == QMetaType::QString;
        const QByteArray bytes = text ? v.toString().toUtf8() : v.toByteArray();
        if (text)
            append(values, plist_new_string(bytes.constData()));
        else if (v.userType() == QMetaType::QByteArray)
            append(values, plist_new_data(bytes.constData(), uint64_t(bytes.size())));
        else
            append(values, plist_new_uint(uint64_t(v.toLongLong())));
    }
    plist_dict_set_item(root, "NS.keys", keys);
    plist_dict_set_item(root, "NS.objects", values);
    plist_dict_set_item(root, "$class", plist_new_uid(plist_array_get_size(objects)));
    plist_t cls = plist_new_dict(), chain = plist_new_array();
    const char* name = mutableDictionary ? "NSMutableDictionary" : "NSDictionary";
    for (const char* c : {"NSMutableDictionary", "NSDictionary", "NSObject"})
        if (mutableDictionary || qstrcmp(c, "NSMutableDictionary") != 0)
            plist_array_append_item(chain, plist_new_string(c));
    plist_dict_set_item(cls, "$classes", chain);
    plist_dict_set_item(cls, "$classname", plist_new_string(name));
    plist_array_append_item(objects, cls);
    plist_t topRef = plist_new_dict();
    plist_dict_set_item(topRef, "root", plist_new_uid(1));
    plist_dict_set_item(top.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(top.get(), "$objects", objects);
    plist_dict_set_item(top.get(), "$top", topRef);
    plist_dict_set_item(top.get(), "$version", plist_new_uint(100000));
    return plistBytes(top.get());
}

QByteArray LineMetaArchive::file(const QString& name, qint64 size, qint64 expireMs)
{
    return archive({{"FILE_NAME", name}, {"FILE_SIZE", QString::number(size)},
                    {"FILE_EXPIRE_TIMESTAMP", QString::number(expireMs)}, {"OBS_POP", QStringLiteral("sg-1")}},
                   false);
}

QByteArray LineMetaArchive::voiceReceived(qint64 size)
{
    return archive({{"OBS_POP", QStringLiteral("b")}, {"AUDLEN", QString::number(size)}}, true);
}

LineStoreBuilder::LineStoreBuilder(const QString& containerDir) : m_container(QDir(containerDir).absolutePath()) {}

LineStoreBuilder& LineStoreBuilder::setAccount(const QString& mid, const QString& name, const QString& tel)
{
    m_mid = mid;
    m_name = name;
    m_tel = tel;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::setStore(const QString& dbRelPath, const QString& storeDir)
{
    m_dbRel = dbRelPath;
    m_storeDir = storeDir;
    m_storeSet = true;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::withGroupStore()
{
    m_groupStore = true;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::afterwards(const QString& sql)
{
    m_after << sql;
    return *this;
}

qint64 LineStoreBuilder::addUnifiedGroupUser(const QVariant& mid, qint64 key)
{
    m_groupStore = true;
    m_unifiedUsers.append({key, mid});
    return key;
}

qint64 LineStoreBuilder::addUnifiedGroup(const LineGroupRow& row)
{
    m_groupStore = true;
    return add(m_unifiedGroups, "ZUNIFIEDGROUP", row);
}

LineStoreBuilder& LineStoreBuilder::addAttachment(const QString& chatMid, const QString& msgId, const QString& suffix,
                                                  const QByteArray& bytes)
{
    return addFile(storeDir() + QStringLiteral("Message Attachments/%1/%2%3").arg(chatMid, msgId, suffix), bytes);
}

LineStoreBuilder& LineStoreBuilder::addFile(const QString& relPath, const QByteArray& bytes)
{
    m_files.append({relPath, bytes});
    return *this;
}

QString LineStoreBuilder::storeDir() const
{
    return m_storeSet ? m_storeDir : "Library/Application Support/PrivateStore/P_" + m_mid + '/';
}

QString LineStoreBuilder::dbRelPath() const
{
    return m_storeSet ? m_dbRel : storeDir() + "Messages/Line.sqlite";
}

QString LineStoreBuilder::groupDbPath() const
{
    if (!m_groupStore || dbPath().isEmpty())
        return QString();
    return QFileInfo(dbPath()).absolutePath() + "/UnifiedGroup.sqlite";
}

void LineStoreBuilder::build()
{
    if (!QDir(m_container).exists())
        fail(QStringLiteral("no container folder %1").arg(m_container));
    std::unique_ptr<void, PlistFree> prefs(plist_new_dict());
    for (const auto& [key, value] : {std::pair{"mid", m_mid}, {"name", m_name}, {"tel", m_tel}})
        if (!value.isEmpty())
            plist_dict_set_item(prefs.get(), key, plist_new_string(value.toUtf8().constData()));
    // Real preferences hold many more keys, of other kinds too.
    plist_dict_set_item(prefs.get(), "LineLaunchCount", plist_new_uint(42));
    writeFileThrow(preferencesPath(), plistBytes(prefs.get()));
    if (!dbPath().isEmpty())
        writeMainStore();
    if (!groupDbPath().isEmpty())
        writeGroupStore();
    for (const auto& f : std::as_const(m_files))
        writeFileThrow(absolute(f.first), f.second);
}

void LineStoreBuilder::writeMainStore()
{
    RawDb db(dbPath());
    db.exec(QString::fromLatin1(kMainSchema));
    const auto insert = [&](const QString& table, int ent, qint64 pk, QVariantHash cols) {
        cols.insert({{"Z_PK", pk}, {"Z_ENT", ent}, {"Z_OPT", 1}});
        db.insert(table, cols);
    };
    const auto join = [&](const char* table, const char* owner, const char* user, const auto& row) {
        for (qint64 m : row.members)
            db.insert(table, {{owner, row.pk}, {user, m}});
    };
    for (const LineUserRow& u : std::as_const(m_users))
        insert("ZUSER", 12, u.pk, u.cols);
    for (const LineChatRow& c : std::as_const(m_chats)) {
        insert("ZCHAT", 1, c.pk, c.cols);
        insert("ZCHATMETADATA", 2, c.pk, {{"ZCHAT", c.pk}});
        join("Z_1MEMBERS", "Z_1CHATS", "Z_12MEMBERS", c);
    }
    for (const LineGroupRow& g : std::as_const(m_groups)) {
        insert("ZGROUP", 4, g.pk, g.cols);
        join("Z_4MEMBERS", "Z_4GROUPS", "Z_12MEMBERS1", g);
    }
    for (const LineMsgRow& m : std::as_const(m_msgs))
        insert("ZMESSAGE", 5, m.pk, m.cols);
    // Z_MAX as Core Data keeps it: the highest key given out.
    db.exec("UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT ifnull(max(Z_PK), 0) FROM (SELECT Z_PK, Z_ENT FROM ZUSER"
            " UNION ALL SELECT Z_PK, Z_ENT FROM ZCHAT UNION ALL SELECT Z_PK, Z_ENT FROM ZCHATMETADATA UNION ALL SELECT"
            " Z_PK, Z_ENT FROM ZGROUP UNION ALL SELECT Z_PK, Z_ENT FROM ZMESSAGE) AS r"
            " WHERE r.Z_ENT = Z_PRIMARYKEY.Z_ENT)");
    db.exec(m_after.join(';'));
    db.exec("COMMIT");
}

void LineStoreBuilder::writeGroupStore()
{
    RawDb db(groupDbPath());
    db.exec(QString::fromLatin1(kGroupSchema));
    for (const auto& [key, mid] : std::as_const(m_unifiedUsers))
        db.insert("ZUNIFIEDGROUPUSER", {{"Z_PK", key}, {"Z_ENT", 4}, {"Z_OPT", 1}, {"ZMID", mid}});
    for (LineGroupRow g : std::as_const(m_unifiedGroups)) {
        g.cols.insert({{"Z_PK", g.pk}, {"Z_ENT", 3}, {"Z_OPT", 1}});
        db.insert("ZUNIFIEDGROUP", g.cols);
        for (qint64 m : std::as_const(g.members))
            db.insert("Z_3MEMBERCHATUSERS", {{"Z_3GROUPS", g.pk}, {"Z_4MEMBERCHATUSERS", m}});
    }
    db.exec("COMMIT");
}

qint64 addAmysChat(LineStoreBuilder& line, qint64* amyKey)
{
    line.setAccount("uOwner", "Owner");
    const qint64 amy = line.addUser(LineUserRow("uAmy").named("Amy"));
    if (amyKey)
        *amyKey = amy;
    const qint64 chat = line.addChat(LineChatRow("uAmy").withMembers({amy}));
    line.addMessage(LineMsgRow(chat, "m1").at(1600000000000).text("hello").from(amy));
    line.addMessage(LineMsgRow(chat, "m2").at(1600000001000).photo(8, 8));
    line.addAttachment("uAmy", "m2", ".jpg", "photo bytes");
    return chat;
}

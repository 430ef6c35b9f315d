#include "tests/support/linestorebuilder.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>

#include <plist/plist.h>
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>
#include <utility>

namespace {

// 2001-01-01 00:00:00 UTC in Unix milliseconds.
constexpr qint64 kCoreDataEpochMs = 978307200000LL;

[[noreturn]] void fail(const QString& what)
{
    throw std::runtime_error(what.toStdString());
}

// Bytes that are bound as TEXT (ZTEXT keeps raw UTF-8, possibly broken).
struct TextBytes
{
    QByteArray bytes;
};

} // namespace

Q_DECLARE_METATYPE(TextBytes)

namespace {

// A bare SQLite connection with a cache of prepared statements, so that the
// fixtures share one insert path with the million-row generator.
class RawDb
{
public:
    explicit RawDb(const QString& path)
    {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            const QString msg = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
            sqlite3_close(m_db);
            fail(QStringLiteral("open %1: %2").arg(path, msg));
        }
    }
    ~RawDb()
    {
        for (sqlite3_stmt* s : std::as_const(m_cache))
            sqlite3_finalize(s);
        sqlite3_close(m_db);
    }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    void exec(const QString& sql)
    {
        char* err = nullptr;
        if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &err) != SQLITE_OK) {
            const QString msg = QString::fromUtf8(err ? err : "?");
            sqlite3_free(err);
            fail(QStringLiteral("%1: %2").arg(sql, msg));
        }
    }

    // QString binds TEXT, integers INTEGER, double REAL, QByteArray BLOB,
    // TextBytes TEXT, a null QVariant NULL.
    void run(const QString& sql, const QVariantList& values)
    {
        sqlite3_stmt*& s = m_cache[sql];
        if (!s && sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &s, nullptr) != SQLITE_OK)
            fail(QStringLiteral("%1: %2").arg(sql, QString::fromUtf8(sqlite3_errmsg(m_db))));
        for (int i = 0; i < values.size(); ++i)
            bind(s, i + 1, values.at(i));
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (rc != SQLITE_DONE && rc != SQLITE_ROW)
            fail(QStringLiteral("%1: %2").arg(sql, QString::fromUtf8(sqlite3_errmsg(m_db))));
    }

private:
    static void bind(sqlite3_stmt* s, int i, const QVariant& v)
    {
        int rc = SQLITE_OK;
        const int type = v.userType();
        if (!v.isValid() || v.isNull()) {
            rc = sqlite3_bind_null(s, i);
        } else if (type == qMetaTypeId<TextBytes>() || type == QMetaType::QString) {
            const QByteArray b = type == QMetaType::QString ? v.toString().toUtf8() : v.value<TextBytes>().bytes;
            rc = sqlite3_bind_text(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
        } else if (type == QMetaType::QByteArray) {
            const QByteArray b = v.toByteArray();
            rc = sqlite3_bind_blob(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
        } else if (type == QMetaType::Double) {
            rc = sqlite3_bind_double(s, i, v.toDouble());
        } else if (type == QMetaType::Int || type == QMetaType::UInt || type == QMetaType::LongLong
                   || type == QMetaType::ULongLong || type == QMetaType::Long || type == QMetaType::Bool) {
            rc = sqlite3_bind_int64(s, i, v.toLongLong());
        } else {
            fail(QStringLiteral("cannot bind a %1").arg(QString::fromLatin1(v.typeName())));
        }
        if (rc != SQLITE_OK)
            fail(QStringLiteral("bind %1 failed: %2").arg(i).arg(rc));
    }

    sqlite3* m_db = nullptr;
    QHash<QString, sqlite3_stmt*> m_cache;
};

QString quoteId(const QString& name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

struct TableDef
{
    QString name;
    QList<QPair<QString, QString>> cols; // name, type
    QString primaryKey;                  // a table constraint, e.g. "PRIMARY KEY (a, b)"
    QStringList indexes;                 // CREATE INDEX statements
};

// A Core Data entity table: Z_PK, Z_ENT, Z_OPT, then the columns of spec,
// "TYPE: NAME NAME...; TYPE: ...", as the LINE app's model declares them
// (the ones the readers and writers use, plus bookkeeping ones).
TableDef entityTable(const QString& name, const QString& spec, const QStringList& indexes = {})
{
    TableDef t{name, {{"Z_PK", "INTEGER PRIMARY KEY"}, {"Z_ENT", "INTEGER"}, {"Z_OPT", "INTEGER"}}, {}, indexes};
    for (const QString& group : spec.split(QLatin1Char(';'))) {
        const QString type = group.section(QLatin1Char(':'), 0, 0).trimmed();
        for (const QString& c : group.section(QLatin1Char(':'), 1).split(QLatin1Char(' '), Qt::SkipEmptyParts))
            t.cols.append({c, type});
    }
    return t;
}

TableDef primaryKeyTable()
{
    return {"Z_PRIMARYKEY", {{"Z_ENT", "INTEGER PRIMARY KEY"}, {"Z_NAME", "VARCHAR"}, {"Z_SUPER", "INTEGER"},
                             {"Z_MAX", "INTEGER"}}, {}, {}};
}

TableDef joinTable(const QString& name, const QString& ownerCol, const QString& userCol)
{
    return {name, {{ownerCol, "INTEGER"}, {userCol, "INTEGER"}},
            QStringLiteral("PRIMARY KEY (%1, %2)").arg(ownerCol, userCol),
            {QStringLiteral("CREATE INDEX %1_%2_INDEX ON %1 (%2, %3)").arg(name, userCol, ownerCol)}};
}

// The number recorded for `name` (the last row wins), else for `table`,
// else the default: how the store format says join names are numbered.
int entityNumber(const QList<QPair<QString, int>>& ents, const QString& name, const QString& table, int def)
{
    int byName = -1, byTable = -1;
    for (const auto& e : ents) {
        if (e.first == name)
            byName = e.second;
        if (e.first == table)
            byTable = e.second;
    }
    return byName >= 0 ? byName : byTable >= 0 ? byTable : def;
}

bool isCleanRelPath(const QString& rel)
{
    if (rel.isEmpty() || rel.startsWith(QLatin1Char('/')) || rel.contains(QLatin1Char('\\')))
        return false;
    for (const QString& part : rel.split(QLatin1Char('/')))
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    return true;
}

QString checkedRelPath(const QString& rel)
{
    if (!isCleanRelPath(rel))
        fail(QStringLiteral("not a clean relative path: %1").arg(rel));
    return rel;
}

void writeFileThrow(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write %1").arg(path));
}

void createTables(RawDb& db, const QList<TableDef>& tables)
{
    for (const TableDef& t : tables) {
        QStringList cols;
        for (const auto& c : t.cols)
            cols << quoteId(c.first) + QLatin1Char(' ') + c.second;
        if (!t.primaryKey.isEmpty())
            cols << t.primaryKey;
        db.exec(QStringLiteral("CREATE TABLE %1 (%2)").arg(quoteId(t.name), cols.join(QStringLiteral(", "))));
        for (const QString& idx : t.indexes)
            db.exec(idx);
    }
    // Core Data keeps its model in Z_METADATA; the readers never look at it.
    db.exec(QStringLiteral("CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB);"
                           "INSERT INTO Z_METADATA VALUES (1, 'B2C7E9A0-0000-4000-8000-000000000001', NULL)"));
}

// Inserts the columns the table still has; others are dropped silently so
// that a variant without, say, ZENABLE takes the same rows.
void insertRow(RawDb& db, const QList<TableDef>& tables, const QString& table,
               const QList<QPair<QString, QVariant>>& values)
{
    for (const TableDef& t : tables) {
        if (t.name.compare(table, Qt::CaseInsensitive) != 0)
            continue;
        QStringList names, marks;
        QVariantList vals;
        for (const auto& v : values) {
            for (const auto& c : t.cols) {
                if (c.first.compare(v.first, Qt::CaseInsensitive) == 0) {
                    names << quoteId(v.first);
                    marks << QStringLiteral("?");
                    vals << v.second;
                }
            }
        }
        db.run(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                   .arg(quoteId(t.name), names.join(QLatin1Char(',')), marks.join(QLatin1Char(','))),
               vals);
        return;
    }
}

// --- plist helpers: raw libplist, never the product's value type ---------

struct PlistFree
{
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistOwner = std::unique_ptr<void, PlistFree>;

QByteArray plistBytes(plist_t root, bool binary)
{
    char* out = nullptr;
    uint32_t len = 0;
    if (binary)
        plist_to_bin(root, &out, &len);
    else
        plist_to_xml(root, &out, &len);
    QByteArray bytes(out, int(len));
    if (binary)
        plist_to_bin_free(out);
    else
        plist_to_xml_free(out);
    return bytes;
}

QByteArray smallJpeg()
{
    QImage img(48, 36, QImage::Format_RGB32);
    img.fill(QColor(30, 144, 255));
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, "JPEG");
    return bytes;
}

} // namespace

double lineCoreDataTime(const QDateTime& t)
{
    return double(t.toMSecsSinceEpoch() - kCoreDataEpochMs) / 1000.0;
}

// --- LineMetaArchive ------------------------------------------------------

QByteArray LineMetaArchive::archive(const QList<Entry>& entries, bool mutableDictionary)
{
    PlistOwner top(plist_new_dict());
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t root = plist_new_dict();
    plist_array_append_item(objects, root);
    plist_t keys = plist_new_array();
    plist_t values = plist_new_array();
    const auto append = [&](plist_t list, plist_t node) {
        plist_array_append_item(list, plist_new_uid(plist_array_get_size(objects)));
        plist_array_append_item(objects, node);
    };
    for (const Entry& e : entries)
        append(keys, plist_new_string(e.first.toUtf8().constData()));
    // Equal string values share one object, as Apple's archiver writes them.
    QHash<QString, uint64_t> stringIndex;
    for (const Entry& e : entries) {
        const QVariant& v = e.second;
        if (v.userType() == QMetaType::QString) {
            if (stringIndex.contains(v.toString())) {
                plist_array_append_item(values, plist_new_uid(stringIndex.value(v.toString())));
                continue;
            }
            stringIndex.insert(v.toString(), plist_array_get_size(objects));
            append(values, plist_new_string(v.toString().toUtf8().constData()));
        } else if (v.userType() == QMetaType::QByteArray) {
            append(values, plist_new_data(v.toByteArray().constData(), uint64_t(v.toByteArray().size())));
        } else {
            // Negative numbers in two's complement, as the binary format keeps them.
            append(values, plist_new_uint(uint64_t(v.toLongLong())));
        }
    }
    plist_dict_set_item(root, "NS.keys", keys);
    plist_dict_set_item(root, "NS.objects", values);
    plist_dict_set_item(root, "$class", plist_new_uid(plist_array_get_size(objects)));

    plist_t cls = plist_new_dict();
    plist_t chain = plist_new_array();
    if (mutableDictionary)
        plist_array_append_item(chain, plist_new_string("NSMutableDictionary"));
    plist_array_append_item(chain, plist_new_string("NSDictionary"));
    plist_array_append_item(chain, plist_new_string("NSObject"));
    plist_dict_set_item(cls, "$classes", chain);
    plist_dict_set_item(cls, "$classname", plist_new_string(mutableDictionary ? "NSMutableDictionary" : "NSDictionary"));
    plist_array_append_item(objects, cls);

    plist_t topRef = plist_new_dict();
    plist_dict_set_item(topRef, "root", plist_new_uid(1));
    plist_dict_set_item(top.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_dict_set_item(top.get(), "$objects", objects);
    plist_dict_set_item(top.get(), "$top", topRef);
    plist_dict_set_item(top.get(), "$version", plist_new_uint(100000));
    return plistBytes(top.get(), true);
}

QByteArray LineMetaArchive::empty()
{
    return archive({}, false);
}

QByteArray LineMetaArchive::sticker(int id, int package, int version)
{
    return archive({{"STKVER", QString::number(version)}, {"STKID", QString::number(id)}, {"STKOPT", QString()},
                    {"STKPKGID", QString::number(package)}},
                   false);
}

QByteArray LineMetaArchive::contact(const QString& mid, const QString& displayName)
{
    return archive({{"mid", mid}, {"displayName", displayName}}, true);
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

QByteArray LineMetaArchive::voiceSent(int receiverCount)
{
    return archive({{"receiverCount", receiverCount}}, true);
}

// --- LineStoreBuilder -----------------------------------------------------

namespace {

void setEnt(QList<QPair<QString, int>>& ents, const QString& name, int number)
{
    for (int i = ents.size() - 1; i >= 0; --i)
        if (ents.at(i).first == name)
            ents.removeAt(i);
    if (number >= 0)
        ents.append({name, number});
}

template <typename Row>
qint64 addRow(QList<Row>& list, qint64 key, const Row& row)
{
    list.append(row);
    list.last().pk = key;
    return key;
}

} // namespace

LineStoreBuilder::LineStoreBuilder(const QString& containerDir) : m_container(QDir(containerDir).absolutePath()) {}

LineStoreBuilder& LineStoreBuilder::alsoWriteStoreAt(const QString& relPath)
{
    m_copies << checkedRelPath(relPath);
    return *this;
}

LineStoreBuilder& LineStoreBuilder::setEntity(const QString& name, int number)
{
    setEnt(m_entities, name, number);
    return *this;
}

LineStoreBuilder& LineStoreBuilder::removeGroupStoreEntity(const QString& name)
{
    setEnt(m_groupEntities, name, -1);
    return *this;
}

qint64 LineStoreBuilder::nextKey(const QString& table, qint64 wanted)
{
    qint64& last = m_lastKey[table];
    if (wanted <= 0)
        return ++last;
    last = qMax(last, wanted);
    return wanted;
}

qint64 LineStoreBuilder::addUser(const LineUserRow& row)
{
    return addRow(m_users, nextKey("ZUSER", row.pk), row);
}

qint64 LineStoreBuilder::addChat(const LineChatRow& row)
{
    return addRow(m_chats, nextKey("ZCHAT", row.pk), row);
}

qint64 LineStoreBuilder::addGroup(const LineGroupRow& row)
{
    return addRow(m_groups, nextKey("ZGROUP", row.pk), row);
}

qint64 LineStoreBuilder::addMessage(const LineMsgRow& row)
{
    return addRow(m_msgs, nextKey("ZMESSAGE", row.pk), row);
}

void LineStoreBuilder::addStickerPackage(int packageId, int version, int idStart, int idEnd)
{
    m_stickerPackages.append({nextKey("ZSTICKERPACKAGE", 0), packageId, version, idStart, idEnd});
}

qint64 LineStoreBuilder::addUnifiedGroupUser(const QVariant& mid, qint64 key)
{
    m_groupStore = true;
    m_unifiedUsers.append({nextKey("ZUNIFIEDGROUPUSER", key), mid});
    return m_unifiedUsers.last().first;
}

qint64 LineStoreBuilder::addUnifiedGroup(const LineGroupRow& row)
{
    m_groupStore = true;
    return addRow(m_unifiedGroups, nextKey("ZUNIFIEDGROUP", row.pk), row);
}

LineStoreBuilder& LineStoreBuilder::addFileAt(bool inStoreDir, const QString& rel, const QByteArray& bytes)
{
    m_files.append({inStoreDir, checkedRelPath(rel), bytes});
    return *this;
}

LineStoreBuilder& LineStoreBuilder::addAttachment(const QString& chatMid, const QString& msgId,
                                                  const QString& suffix, const QByteArray& bytes)
{
    return addFileAt(true, QStringLiteral("Message Attachments/%1/%2%3").arg(chatMid, msgId, suffix), bytes);
}

LineStoreBuilder& LineStoreBuilder::addLineThumbnail(const QString& chatFolder, const QString& msgFile,
                                                     const QByteArray& bytes)
{
    return addFileAt(true, QStringLiteral("Message Thumbnails/%1/%2.thumb").arg(chatFolder, msgFile), bytes);
}

LineStoreBuilder& LineStoreBuilder::addFile(const QString& relPath, const QByteArray& bytes)
{
    return addFileAt(false, relPath, bytes);
}

QString LineStoreBuilder::storeDir() const
{
    const QString privateDir = QStringLiteral("Library/Application Support/PrivateStore/");
    switch (m_layout) {
    case LineStoreLayout::Current:
    case LineStoreLayout::DocumentsTalk:
    case LineStoreLayout::DocumentsMessagesLine:
    case LineStoreLayout::DocumentsMessagesTalk:
        return privateDir + QStringLiteral("P_") + m_mid + QLatin1Char('/');
    case LineStoreLayout::CurrentOtherFolder:
        return privateDir + m_otherFolder + QLatin1Char('/');
    default:
        return QStringLiteral("Library/Application Support/");
    }
}

QString LineStoreBuilder::dbRelPath() const
{
    const QString docs = QStringLiteral("Documents/PrivateStore/P_") + m_mid;
    switch (m_layout) {
    case LineStoreLayout::Current:
    case LineStoreLayout::CurrentOtherFolder:
    case LineStoreLayout::LibraryMessages:
        return storeDir() + QStringLiteral("Messages/Line.sqlite");
    case LineStoreLayout::DocumentsTalk:
        return docs + QStringLiteral("/talk.sqlite");
    case LineStoreLayout::DocumentsMessagesLine:
        return docs + QStringLiteral("/Messages/Line.sqlite");
    case LineStoreLayout::DocumentsMessagesTalk:
        return docs + QStringLiteral("/Messages/talk.sqlite");
    case LineStoreLayout::DocumentsRoot:
        return QStringLiteral("Documents/talk.sqlite");
    case LineStoreLayout::None:
        break;
    }
    return QString();
}

QString LineStoreBuilder::dbPath() const
{
    const QString rel = dbRelPath();
    return rel.isEmpty() ? QString() : absolute(rel);
}

QString LineStoreBuilder::groupDbPath() const
{
    const QString rel = dbRelPath();
    if (!m_groupStore || rel.isEmpty())
        return QString();
    return absolute(rel.left(rel.lastIndexOf(QLatin1Char('/')) + 1) + QStringLiteral("UnifiedGroup.sqlite"));
}

QString LineStoreBuilder::chatMembersTable() const
{
    return QStringLiteral("Z_%1MEMBERS").arg(entityNumber(m_entities, "Chat", "ZCHAT", 1));
}

QString LineStoreBuilder::groupMembersTable() const
{
    return QStringLiteral("Z_%1MEMBERS").arg(entityNumber(m_entities, "Group", "ZGROUP", 4));
}

void LineStoreBuilder::build()
{
    if (m_built)
        fail(QStringLiteral("LineStoreBuilder::build called twice"));
    m_built = true;
    if (!QDir(m_container).exists())
        fail(QStringLiteral("no container folder %1").arg(m_container));

    QByteArray prefs = m_prefsBytes.value_or(QByteArray());
    if (!m_prefsBytes) {
        PlistOwner dict(plist_new_dict());
        const QList<QPair<const char*, QString>> keys{{"mid", m_mid}, {"name", m_name}, {"tel", m_tel}};
        for (const auto& k : keys)
            if (!k.second.isEmpty())
                plist_dict_set_item(dict.get(), k.first, plist_new_string(k.second.toUtf8().constData()));
        // Real preferences hold many more keys; one of another kind keeps
        // readers honest about looking keys up by name.
        plist_dict_set_item(dict.get(), "LineLaunchCount", plist_new_uint(42));
        prefs = plistBytes(dict.get(), m_prefsFormat == PlistFormat::Binary);
    }
    writeFileThrow(preferencesPath(), prefs);
    if (m_layout != LineStoreLayout::None)
        writeMainStore();
    if (!groupDbPath().isEmpty())
        writeGroupStore();
    for (const PendingFile& f : std::as_const(m_files))
        writeFileThrow(absolute(f.inStoreDir ? storeDir() + f.rel : f.rel), f.bytes);
}

void LineStoreBuilder::writeMainStore()
{
    const int chatEnt = entityNumber(m_entities, "Chat", "ZCHAT", 1);
    const int groupEnt = entityNumber(m_entities, "Group", "ZGROUP", 4);
    const int userEnt = entityNumber(m_entities, "User", "ZUSER", 12);
    const int msgEnt = entityNumber(m_entities, "Message", "ZMESSAGE", 5);
    const QString chatCol = QStringLiteral("Z_%1CHATS").arg(chatEnt);
    const QString chatUserCol = QStringLiteral("Z_%1MEMBERS").arg(userEnt);
    const QString groupCol = QStringLiteral("Z_%1GROUPS").arg(groupEnt);
    const QString groupUserCol = QStringLiteral("Z_%1MEMBERS1").arg(userEnt);

    QList<TableDef> tables;
    for (TableDef t : QList<TableDef>{
             primaryKeyTable(),
             entityTable("ZUSER",
                         "INTEGER: ZALERT ZBLOCKING ZCAPABILITIES ZCONTACTTYPE ZE2EECONTENTTYPES ZFAVORITEORDER"
                         " ZFRIENDREQUESTSTATUS ZISFRIEND ZISHIDDEN ZISINADDRESSBOOK ZISRECOMMENDED ZISREMOVED"
                         " ZISUNREGISTERED ZISVIEWED ZUSERTYPE; TIMESTAMP: ZCREATEDTIME;"
                         " VARCHAR: ZADDRESSBOOKNAME ZCUSTOMNAME ZMID ZNAME ZPICTUREURL ZSORTABLENAME",
                         {"CREATE INDEX ZUSER_ZMID_INDEX ON ZUSER (ZMID)"}),
             entityTable("ZCHAT",
                         "INTEGER: ZALERT ZE2EECONTENTTYPES ZENABLE ZEXPIREINTERVAL ZLIVE ZSESSIONID ZSORTORDER"
                         " ZTYPE ZUNREAD; TIMESTAMP: ZLASTUPDATED; VARCHAR: ZLASTMESSAGE ZLASTRECEIVEDMESSAGEID"
                         " ZMID ZREADUPTOMESSAGEID ZREADUPTOMESSAGEIDSYNCED"),
             entityTable("ZCHATMETADATA", "INTEGER: ZCHAT; VARCHAR: ZBACKGROUNDIMAGE",
                         {"CREATE INDEX ZCHATMETADATA_ZCHAT_INDEX ON ZCHATMETADATA (ZCHAT)"}),
             entityTable("ZGROUP",
                         "INTEGER: ZALERT ZENABLE ZFAVORITEORDER ZISACCEPTED ZISPREVENTLINKINVITATION ZISVIEWED"
                         " ZCREATOR; TIMESTAMP: ZCREATEDTIME; VARCHAR: ZID ZNAME ZPICTURESTATUS",
                         {"CREATE INDEX ZGROUP_ZCREATOR_INDEX ON ZGROUP (ZCREATOR)"}),
             entityTable("ZMESSAGE",
                         "INTEGER: ZCONTENTTYPE ZREADCOUNT ZSENDSTATUS ZCHAT ZSENDER ZTIMESTAMP;"
                         " FLOAT: ZLATITUDE ZLONGITUDE; VARCHAR: ZID ZTEXT; BLOB: ZCONTENTMETADATA ZTHUMBNAIL",
                         {"CREATE INDEX ZMESSAGE_ZCHAT_INDEX ON ZMESSAGE (ZCHAT)",
                          "CREATE INDEX ZMESSAGE_ZSENDER_INDEX ON ZMESSAGE (ZSENDER)"}),
             entityTable("ZSTICKERPACKAGE", "INTEGER: ZPACKAGEID ZSTICKERIDEND ZSTICKERIDSTART ZVERSION"),
             joinTable(chatMembersTable(), chatCol, chatUserCol),
             joinTable(groupMembersTable(), groupCol, groupUserCol)}) {
        // A store without groups has no group-member join table either.
        if (m_droppedTables.contains(t.name.toUpper())
            || (t.name == groupMembersTable() && m_droppedTables.contains("ZGROUP")))
            continue;
        const QSet<QString> drop = m_droppedCols.value(t.name.toUpper());
        t.cols.erase(std::remove_if(t.cols.begin(), t.cols.end(),
                                    [&](const auto& c) { return drop.contains(c.first.toUpper()); }),
                     t.cols.end());
        t.indexes.erase(std::remove_if(t.indexes.begin(), t.indexes.end(),
                                       [&](const QString& s) {
                                           bool gone = m_droppedIndexes.contains(s.section(QLatin1Char(' '), 2, 2));
                                           for (const QString& c : drop)
                                               gone = gone || s.contains(QRegularExpression("\\b" + c + "\\b"));
                                           return gone;
                                       }),
                        t.indexes.end());
        tables.append(t);
    }

    const QString path = dbPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    {
        RawDb db(path);
        db.exec(QStringLiteral("BEGIN"));
        createTables(db, tables);
        const auto insert = [&](const QString& table, const Values& values) { insertRow(db, tables, table, values); };
        for (const auto& e : std::as_const(m_entities))
            insert("Z_PRIMARYKEY", {{"Z_ENT", e.second}, {"Z_NAME", e.first}, {"Z_SUPER", 0}, {"Z_MAX", 0}});
        for (const LineUserRow& u : std::as_const(m_users))
            insert("ZUSER", {{"Z_PK", u.pk}, {"Z_ENT", userEnt}, {"Z_OPT", 1}, {"ZMID", u.mid}, {"ZNAME", u.name},
                             {"ZADDRESSBOOKNAME", u.addressBookName}, {"ZCUSTOMNAME", u.customName},
                             {"ZCREATEDTIME", u.createdTime}, {"ZPICTUREURL", u.pictureUrl},
                             {"ZSORTABLENAME", u.name}, {"ZISFRIEND", 1}, {"ZUSERTYPE", 0}});
        qint64 metaKey = 0;
        for (const LineChatRow& c : std::as_const(m_chats)) {
            insert("ZCHAT", {{"Z_PK", c.pk}, {"Z_ENT", chatEnt}, {"Z_OPT", 1}, {"ZMID", c.mid}, {"ZTYPE", c.type},
                             {"ZENABLE", c.enable}, {"ZLASTUPDATED", c.lastUpdated}, {"ZALERT", 1},
                             {"ZUNREAD", 0}, {"ZSESSIONID", 0}});
            if (c.metadataRow)
                insert("ZCHATMETADATA", {{"Z_PK", ++metaKey},
                                         {"Z_ENT", entityNumber(m_entities, "ChatMetadata", "ZCHATMETADATA", 2)},
                                         {"Z_OPT", 1}, {"ZCHAT", c.pk}});
            for (qint64 m : c.members)
                insert(chatMembersTable(), {{chatCol, c.pk}, {chatUserCol, m}});
        }
        for (const LineGroupRow& g : std::as_const(m_groups)) {
            insert("ZGROUP", {{"Z_PK", g.pk}, {"Z_ENT", groupEnt}, {"Z_OPT", 1}, {"ZID", g.id}, {"ZNAME", g.name},
                              {"ZCREATEDTIME", g.createdTime}, {"ZPICTURESTATUS", g.pictureStatus},
                              {"ZCREATOR", g.creator}, {"ZENABLE", 1}, {"ZISACCEPTED", 1}});
            for (qint64 m : g.members)
                insert(groupMembersTable(), {{groupCol, g.pk}, {groupUserCol, m}});
        }
        for (const LineMsgRow& m : std::as_const(m_msgs)) {
            // An empty QByteArray would bind as a zero-length blob; a null
            // one must stay NULL.
            const QVariant text = m.ztext ? QVariant::fromValue(TextBytes{*m.ztext}) : QVariant();
            const QVariant thumb = m.thumbnail.isEmpty() && !m.emptyThumbnail ? QVariant()
                                   : m.thumbnail.isEmpty()                    ? QVariant(QByteArray(""))
                                                                              : QVariant(m.thumbnail);
            const QVariant meta = m.metadata.isEmpty() ? QVariant() : QVariant(m.metadata);
            insert("ZMESSAGE", {{"Z_PK", m.pk}, {"Z_ENT", msgEnt}, {"Z_OPT", m.sender.isNull() ? 3 : 1},
                                {"ZID", m.id}, {"ZCHAT", m.chat}, {"ZSENDER", m.sender}, {"ZTIMESTAMP", m.timestamp},
                                {"ZCONTENTTYPE", m.contentType}, {"ZTEXT", text}, {"ZCONTENTMETADATA", meta},
                                {"ZLATITUDE", m.latitude}, {"ZLONGITUDE", m.longitude}, {"ZTHUMBNAIL", thumb},
                                {"ZSENDSTATUS", 1}, {"ZREADCOUNT", 0}});
        }
        for (const QVariantList& p : std::as_const(m_stickerPackages))
            insert("ZSTICKERPACKAGE", {{"Z_PK", p.at(0)},
                                       {"Z_ENT", entityNumber(m_entities, "StickerPackage", "ZSTICKERPACKAGE", 11)},
                                       {"Z_OPT", 1}, {"ZPACKAGEID", p.at(1)}, {"ZVERSION", p.at(2)},
                                       {"ZSTICKERIDSTART", p.at(3)}, {"ZSTICKERIDEND", p.at(4)}});
        for (const auto& raw : std::as_const(m_rawRows))
            insert(raw.first, raw.second);
        // Z_MAX as Core Data keeps it: the highest key given out.
        for (const auto& e : std::as_const(m_entities)) {
            const QString table = QStringLiteral("Z") + e.first.toUpper();
            const bool exists = std::any_of(tables.cbegin(), tables.cend(), [&](const TableDef& t) { return t.name == table; });
            if (exists && !m_droppedTables.contains("Z_PRIMARYKEY"))
                db.run(QStringLiteral("UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT ifnull(max(Z_PK), 0) FROM %1) WHERE Z_NAME = ?")
                           .arg(quoteId(table)),
                       {e.first});
        }
        db.exec(QStringLiteral("COMMIT"));
    }
    for (const QString& rel : std::as_const(m_copies)) {
        const QString to = absolute(rel);
        QDir().mkpath(QFileInfo(to).absolutePath());
        QFile::remove(to);
        if (!QFile::copy(path, to))
            fail(QStringLiteral("cannot copy the store to %1").arg(to));
    }
}

void LineStoreBuilder::writeGroupStore()
{
    const QString path = groupDbPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    const int g = entityNumber(m_groupEntities, "UnifiedGroup", "ZUNIFIEDGROUP", 0);
    const int u = entityNumber(m_groupEntities, "UnifiedGroupUser", "ZUNIFIEDGROUPUSER", 0);
    const QString join = QStringLiteral("Z_%1MEMBERCHATUSERS").arg(g);
    const QString gcol = QStringLiteral("Z_%1GROUPS").arg(g);
    const QString ucol = QStringLiteral("Z_%1MEMBERCHATUSERS").arg(u);
    const QList<TableDef> tables{primaryKeyTable(),
                                 entityTable("ZUNIFIEDGROUP", "INTEGER: ZCREATOR; TIMESTAMP: ZCREATEDTIME;"
                                                              " VARCHAR: ZID ZNAME ZPICTURESTATUS"),
                                 entityTable("ZUNIFIEDGROUPUSER", "VARCHAR: ZMID"), joinTable(join, gcol, ucol)};
    RawDb db(path);
    db.exec(QStringLiteral("BEGIN"));
    createTables(db, tables);
    for (const auto& e : std::as_const(m_groupEntities))
        insertRow(db, tables, "Z_PRIMARYKEY", {{"Z_ENT", e.second}, {"Z_NAME", e.first}, {"Z_SUPER", 0}, {"Z_MAX", 0}});
    for (const auto& uu : std::as_const(m_unifiedUsers))
        insertRow(db, tables, "ZUNIFIEDGROUPUSER", {{"Z_PK", uu.first}, {"Z_ENT", u}, {"Z_OPT", 1}, {"ZMID", uu.second}});
    for (const LineGroupRow& gr : std::as_const(m_unifiedGroups)) {
        insertRow(db, tables, "ZUNIFIEDGROUP",
                  {{"Z_PK", gr.pk}, {"Z_ENT", g}, {"Z_OPT", 1}, {"ZID", gr.id}, {"ZNAME", gr.name},
                   {"ZCREATEDTIME", gr.createdTime}, {"ZPICTURESTATUS", gr.pictureStatus}, {"ZCREATOR", gr.creator}});
        for (qint64 m : gr.members)
            insertRow(db, tables, join, {{gcol, gr.pk}, {ucol, m}});
    }
    db.exec(QStringLiteral("COMMIT"));
}

// --- large stores ---------------------------------------------------------

LineStoreBuilder::LargeInfo LineStoreBuilder::generateLarge(const QString& containerDir, const LargeSpec& spec)
{
    if (spec.users < 2 || spec.chats < 2 || spec.messages < spec.smallChatMessages)
        fail(QStringLiteral("generateLarge: numbers too small"));

    LineStoreBuilder b(containerDir);
    b.setAccount(spec.accountMid, QStringLiteral("Bench Owner"));
    b.build(); // preferences, schema and entity rows, no data rows

    LargeInfo info;
    std::mt19937 rng(spec.seed);
    const QByteArray thumb = spec.thumbnail.isEmpty() ? smallJpeg() : spec.thumbnail;
    const QDateTime base = QDateTime(QDate(2015, 1, 1), QTime(0, 0), Qt::UTC);
    const qint64 baseMs = base.toMSecsSinceEpoch();

    RawDb db(b.dbPath());
    db.exec(QStringLiteral("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN"));

    auto userMid = [](int i) { return QStringLiteral("u%1").arg(i, 32, 16, QLatin1Char('0')); };
    const QString insUser = QStringLiteral(
        "INSERT INTO ZUSER (Z_PK, Z_ENT, Z_OPT, ZMID, ZNAME, ZADDRESSBOOKNAME, ZCUSTOMNAME, ZCREATEDTIME, "
        "ZPICTUREURL, ZISFRIEND) VALUES (?,12,1,?,?,?,NULL,?,?,1)");
    for (int i = 1; i <= spec.users; ++i) {
        const bool owner = i == 1;
        db.run(insUser, {i, owner ? spec.accountMid : userMid(i), QStringLiteral("User %1").arg(i),
                         (i % 3 == 0) ? QVariant(QStringLiteral("Contact %1").arg(i)) : QVariant(),
                         lineCoreDataTime(base) + i, QStringLiteral("/p/%1").arg(i)});
    }

    // Chats: mostly one-to-one with users 2.., every tenth a group chat and
    // every twentieth a room; the last chat is the small one.
    const QString insChat = QStringLiteral(
        "INSERT INTO ZCHAT (Z_PK, Z_ENT, Z_OPT, ZMID, ZTYPE, ZENABLE, ZLASTUPDATED, ZALERT, ZUNREAD, ZSESSIONID) "
        "VALUES (?,1,1,?,?,1,?,1,0,0)");
    const QString insMeta = QStringLiteral("INSERT INTO ZCHATMETADATA (Z_PK, Z_ENT, Z_OPT, ZCHAT) VALUES (?,2,1,?)");
    const QString insChatMember = QStringLiteral("INSERT OR IGNORE INTO Z_1MEMBERS (Z_1CHATS, Z_12MEMBERS) VALUES (?,?)");
    const QString insGroup = QStringLiteral(
        "INSERT INTO ZGROUP (Z_PK, Z_ENT, Z_OPT, ZID, ZNAME, ZCREATEDTIME, ZPICTURESTATUS, ZCREATOR, ZENABLE) "
        "VALUES (?,4,1,?,?,?,?,?,1)");
    const QString insGroupMember = QStringLiteral("INSERT OR IGNORE INTO Z_4MEMBERS (Z_4GROUPS, Z_12MEMBERS1) VALUES (?,?)");
    QString lastChatMid;
    qint64 groupKey = 0;
    for (int c = 1; c <= spec.chats; ++c) {
        const int type = c == spec.chats ? 0 : c % 10 == 0 ? 2 : c % 20 == 5 ? 1 : 0;
        const QString mid = type == 0 ? userMid(2 + (c - 1) % (spec.users - 1))
                                      : QStringLiteral("%1%2").arg(type == 2 ? 'c' : 'r').arg(c, 32, 16, QLatin1Char('0'));
        lastChatMid = mid;
        db.run(insChat, {c, mid, type, lineCoreDataTime(base) + c});
        db.run(insMeta, {c, c});
        if (type != 0) {
            const int n = 3 + int(rng() % 8);
            for (int k = 0; k < n; ++k) {
                const int user = 2 + int(rng() % quint32(spec.users - 1));
                db.run(insChatMember, {c, user});
                if (type == 2 && k == 0)
                    db.run(insGroup, {++groupKey, mid, QStringLiteral("Group %1").arg(c),
                                      lineCoreDataTime(base) + c, QStringLiteral("p"), user});
                if (type == 2)
                    db.run(insGroupMember, {groupKey, user});
            }
        }
    }
    info.smallChatMid = lastChatMid;

    const QString insMsg = QStringLiteral(
        "INSERT INTO ZMESSAGE (Z_PK, Z_ENT, Z_OPT, ZID, ZCHAT, ZSENDER, ZTIMESTAMP, ZCONTENTTYPE, ZTEXT, "
        "ZCONTENTMETADATA, ZLATITUDE, ZLONGITUDE, ZTHUMBNAIL, ZSENDSTATUS, ZREADCOUNT) "
        "VALUES (?,5,?,?,?,?,?,?,?,?,?,?,?,1,0)");
    const QByteArray voiceMeta = LineMetaArchive::voiceReceived(4900);
    const QByteArray fileMeta = LineMetaArchive::file(QStringLiteral("report.pdf"), 12345, 1700000000000LL);
    static const char* words[] = {"hello", "see", "you", "tomorrow", "ok", "thanks", "lunch", "train",
                                  "photo", "nice", "meeting", "late"};
    const qint64 bigMessages = spec.messages - spec.smallChatMessages;
    qint64 ts = baseMs;
    for (qint64 i = 1; i <= spec.messages; ++i) {
        const bool small = i > bigMessages;
        // Smaller chats get fewer messages: a square skew over the others.
        const double r = double(rng()) / double(std::mt19937::max());
        const int chat = small ? spec.chats : 1 + int(r * r * (spec.chats - 1)) % (spec.chats - 1);
        ts += 1 + rng() % 60000;
        const bool fromOwner = rng() % 3 == 0;
        QVariant sender = fromOwner ? QVariant() : QVariant(2 + int(rng() % quint32(spec.users - 1)));
        const int pick = int(rng() % 100);
        int type = LineContent::Text;
        QVariant text, meta, lat, lng, th;
        if (pick < spec.mediaPercent) {
            ++info.mediaMessages;
            const int kind = pick * 15 / qMax(1, spec.mediaPercent); // 0..14
            if (kind < 10) {
                type = LineContent::Photo;
                lat = 640;
                lng = 480;
                th = thumb;
            } else if (kind < 12) {
                type = LineContent::Video;
                lat = 1280;
                lng = 720;
                th = thumb;
            } else if (kind < 14) {
                type = LineContent::Voice;
                lat = 4900;
                meta = voiceMeta;
            } else {
                type = LineContent::File;
                meta = fileMeta;
            }
        } else {
            ++info.textMessages;
            QByteArray t;
            const int n = 2 + int(rng() % 12);
            for (int k = 0; k < n; ++k) {
                if (k)
                    t += ' ';
                t += words[rng() % (sizeof(words) / sizeof(words[0]))];
            }
            text = QVariant::fromValue(TextBytes{t});
        }
        db.run(insMsg, {i, fromOwner ? 3 : 1, QString::number(100000000000LL + i), chat, sender, ts, type, text,
                        meta, lat, lng, th});
    }
    db.exec(QStringLiteral("UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT max(Z_PK) FROM ZMESSAGE) WHERE Z_NAME='Message';"
                           "UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT max(Z_PK) FROM ZUSER) WHERE Z_NAME='User';"
                           "UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT max(Z_PK) FROM ZCHAT) WHERE Z_NAME='Chat';"
                           "UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT ifnull(max(Z_PK),0) FROM ZGROUP) WHERE Z_NAME='Group';"
                           "COMMIT"));
    return info;
}

#include "tests/support/linestorebuilder.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QRegularExpression>
#include <QStringList>

#include <plist/plist.h>
#include <sqlite3.h>

#include <memory>
#include <random>
#include <utility>
#include <stdexcept>

namespace {

// 2001-01-01 00:00:00 UTC in Unix milliseconds.
constexpr qint64 kCoreDataEpochMs = 978307200000LL;

[[noreturn]] void fail(const QString& what)
{
    throw std::runtime_error(what.toStdString());
}

// A bare SQLite connection with a cache of prepared statements, so that the
// fixtures share one insert path with the million-row generator.
class RawDb
{
public:
    explicit RawDb(const QString& path)
    {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            const QString msg = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
            sqlite3_close(m_db);
            m_db = nullptr;
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

    sqlite3_stmt* prepare(const QString& sql)
    {
        auto it = m_cache.constFind(sql);
        if (it != m_cache.constEnd())
            return *it;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &s, nullptr) != SQLITE_OK)
            fail(QStringLiteral("%1: %2").arg(sql, QString::fromUtf8(sqlite3_errmsg(m_db))));
        m_cache.insert(sql, s);
        return s;
    }

    // QString binds TEXT, integers INTEGER, double REAL, QByteArray BLOB,
    // TextBytes (below) TEXT, a null QVariant NULL.
    void bind(sqlite3_stmt* s, int i, const QVariant& v);

    void step(sqlite3_stmt* s)
    {
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (rc != SQLITE_DONE && rc != SQLITE_ROW)
            fail(QStringLiteral("step: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
    }

    void run(const QString& sql, const QVariantList& values)
    {
        sqlite3_stmt* s = prepare(sql);
        for (int i = 0; i < values.size(); ++i)
            bind(s, i + 1, values.at(i));
        step(s);
    }

    qint64 scalar(const QString& sql)
    {
        sqlite3_stmt* s = prepare(sql);
        qint64 v = 0;
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_ROW)
            v = sqlite3_column_int64(s, 0);
        sqlite3_reset(s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            fail(QStringLiteral("%1: %2").arg(sql, QString::fromUtf8(sqlite3_errmsg(m_db))));
        return v;
    }

private:
    sqlite3* m_db = nullptr;
    QHash<QString, sqlite3_stmt*> m_cache;
};

// Bytes that are bound as TEXT (ZTEXT keeps raw UTF-8, possibly broken).
struct TextBytes
{
    QByteArray bytes;
};

} // namespace

Q_DECLARE_METATYPE(TextBytes)

namespace {

void RawDb::bind(sqlite3_stmt* s, int i, const QVariant& v)
{
    int rc = SQLITE_OK;
    if (!v.isValid() || v.isNull()) {
        rc = sqlite3_bind_null(s, i);
    } else if (v.userType() == qMetaTypeId<TextBytes>()) {
        const QByteArray b = v.value<TextBytes>().bytes;
        rc = sqlite3_bind_text(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
    } else {
        switch (v.userType()) {
        case QMetaType::QByteArray: {
            const QByteArray b = v.toByteArray();
            rc = sqlite3_bind_blob(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
            break;
        }
        case QMetaType::QString: {
            const QByteArray b = v.toString().toUtf8();
            rc = sqlite3_bind_text(s, i, b.constData(), int(b.size()), SQLITE_TRANSIENT);
            break;
        }
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(s, i, v.toDouble());
            break;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Long:
        case QMetaType::Bool:
            rc = sqlite3_bind_int64(s, i, v.toLongLong());
            break;
        default:
            fail(QStringLiteral("cannot bind a %1").arg(QString::fromLatin1(v.typeName())));
        }
    }
    if (rc != SQLITE_OK)
        fail(QStringLiteral("bind %1 failed: %2").arg(i).arg(rc));
}

QString quoteId(const QString& name)
{
    QString q = name;
    q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

struct Column
{
    QString name;
    QString type;
};

struct TableDef
{
    QString name;
    QList<Column> cols;
    QString primaryKey;         // a table constraint, e.g. "PRIMARY KEY (a, b)"
    QStringList indexes;        // CREATE INDEX statements, %T for the table
};

QList<Column> coreDataHead()
{
    return {{"Z_PK", "INTEGER PRIMARY KEY"}, {"Z_ENT", "INTEGER"}, {"Z_OPT", "INTEGER"}};
}

// Columns as the LINE app's Core Data model declares them (the ones the
// readers and writers use, plus the bookkeeping ones).
TableDef userTable()
{
    TableDef t{"ZUSER", coreDataHead(), {}, {}};
    for (const char* c : {"ZALERT", "ZBLOCKING", "ZCAPABILITIES", "ZCONTACTTYPE", "ZE2EECONTENTTYPES",
                          "ZFAVORITEORDER", "ZFRIENDREQUESTSTATUS", "ZISFRIEND", "ZISHIDDEN",
                          "ZISINADDRESSBOOK", "ZISRECOMMENDED", "ZISREMOVED", "ZISUNREGISTERED", "ZISVIEWED",
                          "ZUSERTYPE"})
        t.cols.append(Column{c, "INTEGER"});
    t.cols.append(Column{"ZCREATEDTIME", "TIMESTAMP"});
    for (const char* c : {"ZADDRESSBOOKNAME", "ZCUSTOMNAME", "ZMID", "ZNAME", "ZPICTUREURL", "ZSORTABLENAME"})
        t.cols.append(Column{c, "VARCHAR"});
    t.indexes << "CREATE INDEX ZUSER_ZMID_INDEX ON ZUSER (ZMID)";
    return t;
}

TableDef chatTable()
{
    TableDef t{"ZCHAT", coreDataHead(), {}, {}};
    for (const char* c : {"ZALERT", "ZE2EECONTENTTYPES", "ZENABLE", "ZEXPIREINTERVAL", "ZLIVE", "ZSESSIONID",
                          "ZSORTORDER", "ZTYPE", "ZUNREAD"})
        t.cols.append(Column{c, "INTEGER"});
    t.cols.append(Column{"ZLASTUPDATED", "TIMESTAMP"});
    for (const char* c : {"ZLASTMESSAGE", "ZLASTRECEIVEDMESSAGEID", "ZMID", "ZREADUPTOMESSAGEID",
                          "ZREADUPTOMESSAGEIDSYNCED"})
        t.cols.append(Column{c, "VARCHAR"});
    return t;
}

TableDef chatMetadataTable()
{
    TableDef t{"ZCHATMETADATA", coreDataHead(), {}, {}};
    t.cols.append(Column{"ZCHAT", "INTEGER"});
    t.cols.append(Column{"ZBACKGROUNDIMAGE", "VARCHAR"});
    t.indexes << "CREATE INDEX ZCHATMETADATA_ZCHAT_INDEX ON ZCHATMETADATA (ZCHAT)";
    return t;
}

TableDef groupTable()
{
    TableDef t{"ZGROUP", coreDataHead(), {}, {}};
    for (const char* c : {"ZALERT", "ZENABLE", "ZFAVORITEORDER", "ZISACCEPTED", "ZISPREVENTLINKINVITATION",
                          "ZISVIEWED", "ZCREATOR"})
        t.cols.append(Column{c, "INTEGER"});
    t.cols.append(Column{"ZCREATEDTIME", "TIMESTAMP"});
    for (const char* c : {"ZID", "ZNAME", "ZPICTURESTATUS"})
        t.cols.append(Column{c, "VARCHAR"});
    t.indexes << "CREATE INDEX ZGROUP_ZCREATOR_INDEX ON ZGROUP (ZCREATOR)";
    return t;
}

TableDef messageTable()
{
    TableDef t{"ZMESSAGE", coreDataHead(), {}, {}};
    for (const char* c : {"ZCONTENTTYPE", "ZREADCOUNT", "ZSENDSTATUS", "ZCHAT", "ZSENDER", "ZTIMESTAMP"})
        t.cols.append(Column{c, "INTEGER"});
    t.cols.append(Column{"ZLATITUDE", "FLOAT"});
    t.cols.append(Column{"ZLONGITUDE", "FLOAT"});
    t.cols.append(Column{"ZID", "VARCHAR"});
    t.cols.append(Column{"ZTEXT", "VARCHAR"});
    t.cols.append(Column{"ZCONTENTMETADATA", "BLOB"});
    t.cols.append(Column{"ZTHUMBNAIL", "BLOB"});
    t.indexes << "CREATE INDEX ZMESSAGE_ZCHAT_INDEX ON ZMESSAGE (ZCHAT)"
              << "CREATE INDEX ZMESSAGE_ZSENDER_INDEX ON ZMESSAGE (ZSENDER)";
    return t;
}

TableDef stickerPackageTable()
{
    TableDef t{"ZSTICKERPACKAGE", coreDataHead(), {}, {}};
    for (const char* c : {"ZPACKAGEID", "ZSTICKERIDEND", "ZSTICKERIDSTART", "ZVERSION"})
        t.cols.append(Column{c, "INTEGER"});
    return t;
}

TableDef primaryKeyTable()
{
    return TableDef{"Z_PRIMARYKEY",
                    {{"Z_ENT", "INTEGER PRIMARY KEY"}, {"Z_NAME", "VARCHAR"}, {"Z_SUPER", "INTEGER"},
                     {"Z_MAX", "INTEGER"}},
                    {},
                    {}};
}

TableDef joinTable(const QString& name, const QString& ownerCol, const QString& userCol)
{
    return TableDef{name,
                    {{ownerCol, "INTEGER"}, {userCol, "INTEGER"}},
                    QStringLiteral("PRIMARY KEY (%1, %2)").arg(ownerCol, userCol),
                    {QStringLiteral("CREATE INDEX %1_%2_INDEX ON %1 (%2, %3)").arg(name, userCol, ownerCol)}};
}

TableDef unifiedGroupTable()
{
    TableDef t{"ZUNIFIEDGROUP", coreDataHead(), {}, {}};
    t.cols.append(Column{"ZCREATOR", "INTEGER"});
    t.cols.append(Column{"ZCREATEDTIME", "TIMESTAMP"});
    for (const char* c : {"ZID", "ZNAME", "ZPICTURESTATUS"})
        t.cols.append(Column{c, "VARCHAR"});
    return t;
}

TableDef unifiedGroupUserTable()
{
    TableDef t{"ZUNIFIEDGROUPUSER", coreDataHead(), {}, {}};
    t.cols.append(Column{"ZMID", "VARCHAR"});
    return t;
}

using Entities = QList<QPair<QString, int>>;

// The number recorded for `name` (the last row wins), else for `table`,
// else the default: how the store format says join names are numbered.
int entityNumber(const Entities& ents, const QString& name, const QString& table, int def)
{
    int found = -1;
    for (const auto& e : ents)
        if (e.first == name)
            found = e.second;
    if (found >= 0)
        return found;
    for (const auto& e : ents)
        if (e.first == table)
            found = e.second;
    return found >= 0 ? found : def;
}

bool isCleanRelPath(const QString& rel)
{
    if (rel.isEmpty() || rel.startsWith(QLatin1Char('/')) || rel.contains(QLatin1Char('\\')))
        return false;
    for (const QString& part : rel.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

void writeFileThrow(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write %1").arg(path));
}

// --- plist helpers: raw libplist, never the product's value type ---------

struct PlistFree
{
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistOwner = std::unique_ptr<void, PlistFree>;

plist_t plistNode(const QVariant& v)
{
    switch (v.userType()) {
    case QMetaType::QString:
        return plist_new_string(v.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Double:
        return plist_new_real(v.toDouble());
    default:
        // Negative numbers are kept in two's complement, as the binary
        // format stores them.
        return plist_new_uint(uint64_t(v.toLongLong()));
    }
}

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

// --- LineMsgRow -----------------------------------------------------------

LineMsgRow& LineMsgRow::thumbnailBlob(const QByteArray& bytes)
{
    thumbnail = bytes;
    emptyThumbnail = bytes.isEmpty();
    return *this;
}

LineMsgRow& LineMsgRow::text(const QString& s)
{
    contentType = LineContent::Text;
    ztext = s.toUtf8();
    return *this;
}

LineMsgRow& LineMsgRow::photo(int width, int height)
{
    contentType = LineContent::Photo;
    latitude = width;
    longitude = height;
    return *this;
}

LineMsgRow& LineMsgRow::video(int width, int height)
{
    contentType = LineContent::Video;
    latitude = width;
    longitude = height;
    return *this;
}

LineMsgRow& LineMsgRow::voice(qint64 size)
{
    contentType = LineContent::Voice;
    latitude = size;
    metadata = LineMetaArchive::voiceReceived(size);
    return *this;
}

LineMsgRow& LineMsgRow::sticker(int id, int package, int version)
{
    contentType = LineContent::Sticker;
    longitude = id;
    metadata = LineMetaArchive::sticker(id, package, version);
    return *this;
}

LineMsgRow& LineMsgRow::stickerByLongitude(int id)
{
    contentType = LineContent::Sticker;
    longitude = id;
    metadata.clear();
    return *this;
}

LineMsgRow& LineMsgRow::contact(const QString& mid, const QString& displayName)
{
    contentType = LineContent::Contact;
    ztext = QByteArray();
    metadata = LineMetaArchive::contact(mid, displayName);
    return *this;
}

LineMsgRow& LineMsgRow::file(const QString& name, qint64 size)
{
    contentType = LineContent::File;
    metadata = LineMetaArchive::file(name, size, 1700000000000LL);
    return *this;
}

LineMsgRow& LineMsgRow::location(double lat, double lng, const QString& place)
{
    contentType = LineContent::Location;
    latitude = lat;
    longitude = lng;
    ztext = place.toUtf8();
    return *this;
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

    for (const Entry& e : entries) {
        plist_array_append_item(keys, plist_new_uid(plist_array_get_size(objects)));
        plist_array_append_item(objects, plist_new_string(e.first.toUtf8().constData()));
    }
    // Equal string values share one object, as Apple's archiver writes them.
    QHash<QString, uint64_t> stringIndex;
    for (const Entry& e : entries) {
        if (e.second.userType() == QMetaType::QString) {
            auto it = stringIndex.constFind(e.second.toString());
            if (it != stringIndex.constEnd()) {
                plist_array_append_item(values, plist_new_uid(*it));
                continue;
            }
            stringIndex.insert(e.second.toString(), plist_array_get_size(objects));
        }
        plist_array_append_item(values, plist_new_uid(plist_array_get_size(objects)));
        plist_array_append_item(objects, plistNode(e.second));
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
    plist_dict_set_item(cls, "$classname",
                        plist_new_string(mutableDictionary ? "NSMutableDictionary" : "NSDictionary"));
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
    return archive({{"STKVER", QString::number(version)},
                    {"STKID", QString::number(id)},
                    {"STKOPT", QString()},
                    {"STKPKGID", QString::number(package)}},
                   false);
}

QByteArray LineMetaArchive::contact(const QString& mid, const QString& displayName)
{
    return archive({{"mid", mid}, {"displayName", displayName}}, true);
}

QByteArray LineMetaArchive::file(const QString& name, qint64 size, qint64 expireMs)
{
    return archive({{"FILE_NAME", name},
                    {"FILE_SIZE", QString::number(size)},
                    {"FILE_EXPIRE_TIMESTAMP", QString::number(expireMs)},
                    {"OBS_POP", QStringLiteral("sg-1")}},
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

struct LineStoreBuilder::Impl
{
    QString container;
    QString mid, name, tel;
    PlistFormat prefsFormat = PlistFormat::Binary;
    std::optional<QByteArray> prefsBytes;
    bool writePrefs = true;

    LineStoreLayout layout = LineStoreLayout::Current;
    QString otherFolder;
    QStringList copies;
    bool groupStore = false;
    QString groupStoreRel;

    QSet<QString> droppedTables;            // upper case
    QHash<QString, QSet<QString>> droppedCols; // upper case
    QSet<QString> droppedIndexes;
    Entities entities{{"Chat", 1}, {"ChatMetadata", 2}, {"Group", 4}, {"Message", 5},
                      {"StickerPackage", 11}, {"User", 12}};
    Entities groupEntities{{"UnifiedGroup", 3}, {"UnifiedGroupUser", 4}};

    QList<LineUserRow> users;
    QList<LineChatRow> chats;
    QList<LineGroupRow> groups;
    QList<LineMsgRow> msgs;
    QList<QList<QVariant>> stickerPackages;
    QList<QPair<qint64, QVariant>> unifiedUsers;
    QList<LineGroupRow> unifiedGroups;
    QList<QPair<QString, QList<QPair<QString, QVariant>>>> rawRows;

    struct PendingFile
    {
        bool inStoreDir;
        QString rel;
        QByteArray bytes;
    };
    QList<PendingFile> files;
    bool built = false;

    QHash<QString, qint64> lastKey;

    qint64 nextKey(const QString& table, qint64 wanted)
    {
        qint64& last = lastKey[table];
        if (wanted > 0) {
            last = qMax(last, wanted);
            return wanted;
        }
        return ++last;
    }

    template <typename Row>
    qint64 add(QList<Row>& list, const QString& table, const Row& row)
    {
        Row r = row;
        r.pk = nextKey(table, row.pk);
        list.append(r);
        return r.pk;
    }

    int ent(const QString& name, const QString& table, int def) const
    {
        return entityNumber(entities, name, table, def);
    }

    bool hasTable(const QString& t) const { return !droppedTables.contains(t.toUpper()); }

    TableDef filtered(TableDef t) const
    {
        const QSet<QString> drop = droppedCols.value(t.name.toUpper());
        QList<Column> keep;
        for (const Column& c : t.cols)
            if (!drop.contains(c.name.toUpper()))
                keep.append(c);
        t.cols = keep;
        QStringList idx;
        for (const QString& s : t.indexes) {
            bool ok = !droppedIndexes.contains(s.section(QLatin1Char(' '), 2, 2));
            for (const QString& c : drop)
                ok = ok && !QRegularExpression(QStringLiteral("\\b%1\\b").arg(c)).match(s).hasMatch();
            if (ok)
                idx.append(s);
        }
        t.indexes = idx;
        return t;
    }

    QList<TableDef> mainTables(const LineStoreBuilder& b) const
    {
        const int chatEnt = ent("Chat", "ZCHAT", 1);
        const int groupEnt = ent("Group", "ZGROUP", 4);
        const int userEnt = ent("User", "ZUSER", 12);
        QList<TableDef> all{primaryKeyTable(), userTable(), chatTable(), chatMetadataTable(), groupTable(),
                            messageTable(), stickerPackageTable(),
                            joinTable(b.chatMembersTable(), QStringLiteral("Z_%1CHATS").arg(chatEnt),
                                      QStringLiteral("Z_%1MEMBERS").arg(userEnt)),
                            joinTable(b.groupMembersTable(), QStringLiteral("Z_%1GROUPS").arg(groupEnt),
                                      QStringLiteral("Z_%1MEMBERS1").arg(userEnt))};
        QList<TableDef> out;
        for (const TableDef& t : all) {
            if (!hasTable(t.name))
                continue;
            // A store without groups has no group-member join table either.
            if (t.name == b.groupMembersTable() && !hasTable("ZGROUP"))
                continue;
            out.append(filtered(t));
        }
        return out;
    }

    QList<TableDef> groupTables(const LineStoreBuilder& b) const
    {
        const int g = entityNumber(groupEntities, "UnifiedGroup", "ZUNIFIEDGROUP", 0);
        const int u = entityNumber(groupEntities, "UnifiedGroupUser", "ZUNIFIEDGROUPUSER", 0);
        return {primaryKeyTable(), unifiedGroupTable(), unifiedGroupUserTable(),
                joinTable(b.groupStoreMembersTable(), QStringLiteral("Z_%1GROUPS").arg(g),
                          QStringLiteral("Z_%1MEMBERCHATUSERS").arg(u))};
    }
};

namespace {

void createTables(RawDb& db, const QList<TableDef>& tables)
{
    for (const TableDef& t : tables) {
        QStringList cols;
        for (const Column& c : t.cols)
            cols << quoteId(c.name) + QLatin1Char(' ') + c.type;
        if (!t.primaryKey.isEmpty())
            cols << t.primaryKey;
        db.exec(QStringLiteral("CREATE TABLE %1 (%2)").arg(quoteId(t.name), cols.join(QStringLiteral(", "))));
        for (const QString& idx : t.indexes)
            db.exec(idx);
    }
    // Core Data keeps its model in Z_METADATA; the readers never look at it.
    db.exec(QStringLiteral("CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB)"));
    db.exec(QStringLiteral("INSERT INTO Z_METADATA VALUES (1, 'B2C7E9A0-0000-4000-8000-000000000001', NULL)"));
}

// Inserts the columns the table still has; others are dropped silently so
// that a variant without, say, ZENABLE takes the same rows.
void insertRow(RawDb& db, const QList<TableDef>& tables, const QString& table,
               const QList<QPair<QString, QVariant>>& values)
{
    const TableDef* def = nullptr;
    for (const TableDef& t : tables)
        if (t.name.compare(table, Qt::CaseInsensitive) == 0)
            def = &t;
    if (!def)
        return;
    QSet<QString> have;
    for (const Column& c : def->cols)
        have.insert(c.name.toUpper());
    QStringList names, marks;
    QVariantList vals;
    for (const auto& v : values) {
        if (!have.contains(v.first.toUpper()))
            continue;
        names << quoteId(v.first);
        marks << QStringLiteral("?");
        vals << v.second;
    }
    db.run(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
               .arg(quoteId(def->name), names.join(QLatin1Char(',')), marks.join(QLatin1Char(','))),
           vals);
}

} // namespace

LineStoreBuilder::LineStoreBuilder(const QString& containerDir) : d(new Impl)
{
    d->container = QDir(containerDir).absolutePath();
}

LineStoreBuilder::~LineStoreBuilder()
{
    delete d;
}

LineStoreBuilder& LineStoreBuilder::setAccount(const QString& mid, const QString& name, const QString& tel)
{
    d->mid = mid;
    d->name = name;
    d->tel = tel;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::setPreferencesFormat(PlistFormat f)
{
    d->prefsFormat = f;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::setPreferencesBytes(const QByteArray& bytes)
{
    d->prefsBytes = bytes;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::withoutPreferences()
{
    d->writePrefs = false;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::setLayout(LineStoreLayout layout, const QString& folder)
{
    d->layout = layout;
    d->otherFolder = folder;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::alsoWriteStoreAt(const QString& relPath)
{
    if (!isCleanRelPath(relPath))
        fail(QStringLiteral("not a clean relative path: %1").arg(relPath));
    d->copies << relPath;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::withGroupStore()
{
    d->groupStore = true;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::setGroupStorePath(const QString& relPath)
{
    if (!isCleanRelPath(relPath))
        fail(QStringLiteral("not a clean relative path: %1").arg(relPath));
    d->groupStore = true;
    d->groupStoreRel = relPath;
    return *this;
}

LineStoreBuilder& LineStoreBuilder::withoutTable(const QString& table)
{
    d->droppedTables.insert(table.toUpper());
    return *this;
}

LineStoreBuilder& LineStoreBuilder::withoutIndex(const QString& name)
{
    d->droppedIndexes.insert(name);
    return *this;
}

LineStoreBuilder& LineStoreBuilder::withoutColumn(const QString& table, const QString& column)
{
    d->droppedCols[table.toUpper()].insert(column.toUpper());
    return *this;
}

static void setEnt(Entities& ents, const QString& name, int number)
{
    for (int i = ents.size() - 1; i >= 0; --i)
        if (ents.at(i).first == name)
            ents.removeAt(i);
    if (number >= 0)
        ents.append({name, number});
}

LineStoreBuilder& LineStoreBuilder::setEntity(const QString& name, int number)
{
    setEnt(d->entities, name, number);
    return *this;
}

LineStoreBuilder& LineStoreBuilder::removeEntity(const QString& name)
{
    setEnt(d->entities, name, -1);
    return *this;
}

LineStoreBuilder& LineStoreBuilder::setGroupStoreEntity(const QString& name, int number)
{
    setEnt(d->groupEntities, name, number);
    return *this;
}

LineStoreBuilder& LineStoreBuilder::removeGroupStoreEntity(const QString& name)
{
    setEnt(d->groupEntities, name, -1);
    return *this;
}

qint64 LineStoreBuilder::addUser(const LineUserRow& row)
{
    return d->add(d->users, "ZUSER", row);
}

qint64 LineStoreBuilder::addChat(const LineChatRow& row)
{
    return d->add(d->chats, "ZCHAT", row);
}

qint64 LineStoreBuilder::addGroup(const LineGroupRow& row)
{
    return d->add(d->groups, "ZGROUP", row);
}

qint64 LineStoreBuilder::addMessage(const LineMsgRow& row)
{
    return d->add(d->msgs, "ZMESSAGE", row);
}

void LineStoreBuilder::addStickerPackage(int packageId, int version, int idStart, int idEnd)
{
    d->stickerPackages.append({d->nextKey("ZSTICKERPACKAGE", 0), packageId, version, idStart, idEnd});
}

qint64 LineStoreBuilder::addUnifiedGroupUser(const QVariant& mid, qint64 key)
{
    d->groupStore = true;
    const qint64 k = d->nextKey("ZUNIFIEDGROUPUSER", key);
    d->unifiedUsers.append({k, mid});
    return k;
}

qint64 LineStoreBuilder::addUnifiedGroup(const LineGroupRow& row)
{
    d->groupStore = true;
    return d->add(d->unifiedGroups, "ZUNIFIEDGROUP", row);
}

void LineStoreBuilder::addRawRow(const QString& table, const QList<QPair<QString, QVariant>>& values)
{
    d->rawRows.append({table, values});
}

LineStoreBuilder& LineStoreBuilder::addAttachment(const QString& chatMid, const QString& msgId,
                                                  const QString& suffix, const QByteArray& bytes)
{
    const QString rel = QStringLiteral("Message Attachments/%1/%2%3").arg(chatMid, msgId, suffix);
    if (!isCleanRelPath(rel))
        fail(QStringLiteral("not a clean relative path: %1").arg(rel));
    d->files.append({true, rel, bytes});
    return *this;
}

LineStoreBuilder& LineStoreBuilder::addLineThumbnail(const QString& chatFolder, const QString& msgFile,
                                                     const QByteArray& bytes)
{
    const QString rel = QStringLiteral("Message Thumbnails/%1/%2.thumb").arg(chatFolder, msgFile);
    if (!isCleanRelPath(rel))
        fail(QStringLiteral("not a clean relative path: %1").arg(rel));
    d->files.append({true, rel, bytes});
    return *this;
}

LineStoreBuilder& LineStoreBuilder::addFile(const QString& relPath, const QByteArray& bytes)
{
    if (!isCleanRelPath(relPath))
        fail(QStringLiteral("not a clean relative path: %1").arg(relPath));
    d->files.append({false, relPath, bytes});
    return *this;
}

QString LineStoreBuilder::containerDir() const
{
    return d->container;
}

QString LineStoreBuilder::absolute(const QString& relPath) const
{
    return d->container + QLatin1Char('/') + relPath;
}

QString LineStoreBuilder::storeDir() const
{
    const QString privateDir = QStringLiteral("Library/Application Support/PrivateStore/");
    switch (d->layout) {
    case LineStoreLayout::Current:
    case LineStoreLayout::DocumentsTalk:
    case LineStoreLayout::DocumentsMessagesLine:
    case LineStoreLayout::DocumentsMessagesTalk:
        return privateDir + QStringLiteral("P_") + d->mid + QLatin1Char('/');
    case LineStoreLayout::CurrentOtherFolder:
        return privateDir + d->otherFolder + QLatin1Char('/');
    case LineStoreLayout::LibraryMessages:
    case LineStoreLayout::DocumentsRoot:
    case LineStoreLayout::None:
        break;
    }
    return QStringLiteral("Library/Application Support/");
}

QString LineStoreBuilder::dbRelPath() const
{
    const QString docs = QStringLiteral("Documents/PrivateStore/P_") + d->mid;
    switch (d->layout) {
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
    if (!d->groupStore)
        return QString();
    if (!d->groupStoreRel.isEmpty())
        return absolute(d->groupStoreRel);
    const QString rel = dbRelPath();
    if (rel.isEmpty())
        return QString();
    return absolute(rel.left(rel.lastIndexOf(QLatin1Char('/')) + 1) + QStringLiteral("UnifiedGroup.sqlite"));
}

QString LineStoreBuilder::preferencesPath() const
{
    return absolute(QStringLiteral("Library/Preferences/jp.naver.line.plist"));
}

QString LineStoreBuilder::chatMembersTable() const
{
    return QStringLiteral("Z_%1MEMBERS").arg(d->ent("Chat", "ZCHAT", 1));
}

QString LineStoreBuilder::groupMembersTable() const
{
    return QStringLiteral("Z_%1MEMBERS").arg(d->ent("Group", "ZGROUP", 4));
}

QString LineStoreBuilder::groupStoreMembersTable() const
{
    return QStringLiteral("Z_%1MEMBERCHATUSERS")
        .arg(entityNumber(d->groupEntities, "UnifiedGroup", "ZUNIFIEDGROUP", 0));
}

void LineStoreBuilder::build()
{
    if (d->built)
        fail(QStringLiteral("LineStoreBuilder::build called twice"));
    d->built = true;
    if (!QDir(d->container).exists())
        fail(QStringLiteral("no container folder %1").arg(d->container));

    if (d->writePrefs) {
        QByteArray prefs;
        if (d->prefsBytes) {
            prefs = *d->prefsBytes;
        } else {
            PlistOwner dict(plist_new_dict());
            const QList<QPair<const char*, QString>> keys{{"mid", d->mid}, {"name", d->name}, {"tel", d->tel}};
            for (const auto& k : keys)
                if (!k.second.isEmpty())
                    plist_dict_set_item(dict.get(), k.first, plist_new_string(k.second.toUtf8().constData()));
            // Real preferences hold many more keys; one of another kind
            // keeps readers honest about looking keys up by name.
            plist_dict_set_item(dict.get(), "LineLaunchCount", plist_new_uint(42));
            prefs = plistBytes(dict.get(), d->prefsFormat == PlistFormat::Binary);
        }
        writeFileThrow(preferencesPath(), prefs);
    }

    if (d->layout != LineStoreLayout::None) {
        const QString path = dbPath();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::remove(path);
        const QList<TableDef> tables = d->mainTables(*this);
        {
            RawDb db(path);
            db.exec(QStringLiteral("BEGIN"));
            createTables(db, tables);

            const int userEnt = d->ent("User", "ZUSER", 12);
            const int chatEnt = d->ent("Chat", "ZCHAT", 1);
            const int groupEnt = d->ent("Group", "ZGROUP", 4);
            const int msgEnt = d->ent("Message", "ZMESSAGE", 5);
            for (const auto& e : d->entities)
                insertRow(db, tables, "Z_PRIMARYKEY", {{"Z_ENT", e.second}, {"Z_NAME", e.first}, {"Z_SUPER", 0},
                                                        {"Z_MAX", 0}});
            for (const LineUserRow& u : d->users)
                insertRow(db, tables, "ZUSER",
                          {{"Z_PK", u.pk}, {"Z_ENT", userEnt}, {"Z_OPT", 1}, {"ZMID", u.mid}, {"ZNAME", u.name},
                           {"ZADDRESSBOOKNAME", u.addressBookName}, {"ZCUSTOMNAME", u.customName},
                           {"ZCREATEDTIME", u.createdTime}, {"ZPICTUREURL", u.pictureUrl},
                           {"ZSORTABLENAME", u.name}, {"ZISFRIEND", 1}, {"ZUSERTYPE", 0}});
            const QString chatCol = QStringLiteral("Z_%1CHATS").arg(chatEnt);
            const QString chatUserCol = QStringLiteral("Z_%1MEMBERS").arg(userEnt);
            qint64 metaKey = 0;
            for (const LineChatRow& c : d->chats) {
                insertRow(db, tables, "ZCHAT",
                          {{"Z_PK", c.pk}, {"Z_ENT", chatEnt}, {"Z_OPT", 1}, {"ZMID", c.mid}, {"ZTYPE", c.type},
                           {"ZENABLE", c.enable}, {"ZLASTUPDATED", c.lastUpdated}, {"ZALERT", 1},
                           {"ZUNREAD", 0}, {"ZSESSIONID", 0}});
                if (c.metadataRow)
                    insertRow(db, tables, "ZCHATMETADATA",
                              {{"Z_PK", ++metaKey}, {"Z_ENT", d->ent("ChatMetadata", "ZCHATMETADATA", 2)},
                               {"Z_OPT", 1}, {"ZCHAT", c.pk}});
                for (qint64 m : c.members)
                    insertRow(db, tables, chatMembersTable(), {{chatCol, c.pk}, {chatUserCol, m}});
            }
            const QString groupCol = QStringLiteral("Z_%1GROUPS").arg(groupEnt);
            const QString groupUserCol = QStringLiteral("Z_%1MEMBERS1").arg(userEnt);
            for (const LineGroupRow& g : d->groups) {
                insertRow(db, tables, "ZGROUP",
                          {{"Z_PK", g.pk}, {"Z_ENT", groupEnt}, {"Z_OPT", 1}, {"ZID", g.id}, {"ZNAME", g.name},
                           {"ZCREATEDTIME", g.createdTime}, {"ZPICTURESTATUS", g.pictureStatus},
                           {"ZCREATOR", g.creator}, {"ZENABLE", 1}, {"ZISACCEPTED", 1}});
                if (d->hasTable("ZGROUP"))
                    for (qint64 m : g.members)
                        insertRow(db, tables, groupMembersTable(), {{groupCol, g.pk}, {groupUserCol, m}});
            }
            for (const LineMsgRow& m : d->msgs) {
                QVariant text;
                if (m.ztext)
                    text = QVariant::fromValue(TextBytes{*m.ztext});
                QVariant thumb;
                if (!m.thumbnail.isEmpty() || m.emptyThumbnail)
                    thumb = m.thumbnail.isEmpty() ? QVariant(QByteArray("")) : QVariant(m.thumbnail);
                // An empty QByteArray would bind as a zero-length blob; a
                // null one must stay NULL.
                QVariant meta = m.metadata.isEmpty() ? QVariant() : QVariant(m.metadata);
                insertRow(db, tables, "ZMESSAGE",
                          {{"Z_PK", m.pk}, {"Z_ENT", msgEnt}, {"Z_OPT", m.sender.isNull() ? 3 : 1},
                           {"ZID", m.id}, {"ZCHAT", m.chat}, {"ZSENDER", m.sender}, {"ZTIMESTAMP", m.timestamp},
                           {"ZCONTENTTYPE", m.contentType}, {"ZTEXT", text}, {"ZCONTENTMETADATA", meta},
                           {"ZLATITUDE", m.latitude}, {"ZLONGITUDE", m.longitude}, {"ZTHUMBNAIL", thumb},
                           {"ZSENDSTATUS", 1}, {"ZREADCOUNT", 0}});
            }
            for (const QList<QVariant>& p : d->stickerPackages)
                insertRow(db, tables, "ZSTICKERPACKAGE",
                          {{"Z_PK", p.at(0)}, {"Z_ENT", d->ent("StickerPackage", "ZSTICKERPACKAGE", 11)},
                           {"Z_OPT", 1}, {"ZPACKAGEID", p.at(1)}, {"ZVERSION", p.at(2)},
                           {"ZSTICKERIDSTART", p.at(3)}, {"ZSTICKERIDEND", p.at(4)}});
            for (const auto& raw : d->rawRows)
                insertRow(db, tables, raw.first, raw.second);
            // Z_MAX as Core Data keeps it: the highest key given out.
            if (d->hasTable("Z_PRIMARYKEY"))
                for (const auto& e : d->entities) {
                    const QString table = QStringLiteral("Z") + e.first.toUpper();
                    bool exists = false;
                    for (const TableDef& t : tables)
                        exists = exists || t.name == table;
                    if (exists)
                        db.run(QStringLiteral("UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT ifnull(max(Z_PK), 0) FROM %1) "
                                              "WHERE Z_NAME = ?")
                                   .arg(quoteId(table)),
                               {e.first});
                }
            db.exec(QStringLiteral("COMMIT"));
        }
        for (const QString& rel : d->copies) {
            const QString to = absolute(rel);
            QDir().mkpath(QFileInfo(to).absolutePath());
            QFile::remove(to);
            if (!QFile::copy(path, to))
                fail(QStringLiteral("cannot copy the store to %1").arg(to));
        }
    }

    const QString groupPath = groupDbPath();
    if (!groupPath.isEmpty()) {
        QDir().mkpath(QFileInfo(groupPath).absolutePath());
        QFile::remove(groupPath);
        const QList<TableDef> tables = d->groupTables(*this);
        RawDb db(groupPath);
        db.exec(QStringLiteral("BEGIN"));
        createTables(db, tables);
        const int g = entityNumber(d->groupEntities, "UnifiedGroup", "ZUNIFIEDGROUP", 0);
        const int u = entityNumber(d->groupEntities, "UnifiedGroupUser", "ZUNIFIEDGROUPUSER", 0);
        for (const auto& e : d->groupEntities)
            insertRow(db, tables, "Z_PRIMARYKEY", {{"Z_ENT", e.second}, {"Z_NAME", e.first}, {"Z_SUPER", 0},
                                                    {"Z_MAX", 0}});
        for (const auto& uu : d->unifiedUsers)
            insertRow(db, tables, "ZUNIFIEDGROUPUSER", {{"Z_PK", uu.first}, {"Z_ENT", u}, {"Z_OPT", 1},
                                                         {"ZMID", uu.second}});
        const QString gcol = QStringLiteral("Z_%1GROUPS").arg(g);
        const QString ucol = QStringLiteral("Z_%1MEMBERCHATUSERS").arg(u);
        for (const LineGroupRow& gr : d->unifiedGroups) {
            insertRow(db, tables, "ZUNIFIEDGROUP",
                      {{"Z_PK", gr.pk}, {"Z_ENT", g}, {"Z_OPT", 1}, {"ZID", gr.id}, {"ZNAME", gr.name},
                       {"ZCREATEDTIME", gr.createdTime}, {"ZPICTURESTATUS", gr.pictureStatus},
                       {"ZCREATOR", gr.creator}});
            for (qint64 m : gr.members)
                insertRow(db, tables, groupStoreMembersTable(), {{gcol, gr.pk}, {ucol, m}});
        }
        db.exec(QStringLiteral("COMMIT"));
    }

    for (const Impl::PendingFile& f : d->files)
        writeFileThrow(absolute(f.inStoreDir ? storeDir() + f.rel : f.rel), f.bytes);
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
    QList<QString> chatMids;
    chatMids.reserve(spec.chats);
    qint64 groupKey = 0;
    for (int c = 1; c <= spec.chats; ++c) {
        int type = 0;
        if (c != spec.chats) {
            if (c % 10 == 0)
                type = 2;
            else if (c % 20 == 5)
                type = 1;
        }
        QString mid;
        if (type == 0)
            mid = userMid(2 + (c - 1) % (spec.users - 1));
        else
            mid = QStringLiteral("%1%2").arg(type == 2 ? 'c' : 'r').arg(c, 32, 16, QLatin1Char('0'));
        chatMids.append(mid);
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
    info.smallChatMid = chatMids.last();

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

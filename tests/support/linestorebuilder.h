#pragma once

// Test fixtures for the LINE app's iOS container: the preferences plist, the
// Core Data main store in each layout the app has used, the companion
// "UnifiedGroup" store and media files. Written from the documented formats
// with raw SQLite and libplist, never with the product's readers, so a test
// that reads a fixture back checks the product against an independent
// picture. Rows get Z_PK 1, 2, ... per table, which add... returns so that
// rows can refer to each other; entities have the app's usual numbers (Chat
// 1, ChatMetadata 2, Group 4, Message 5, User 12). build() writes it all.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

// ZCONTENTTYPE values the LINE app writes.
namespace LineContent {
enum : int { Text = 0, Photo = 1, Video = 2, Voice = 3, Sticker = 7, Contact = 13, File = 14, Location = 100,
             TextAlt = 107, PhotoAlt = 112 };
}

// Seconds since 2001-01-01 UTC, the Core Data time of ZCREATEDTIME and ZLASTUPDATED.
double lineCoreDataTime(const QDateTime& t);
// A picture of one colour, for photos and thumbnails.
QByteArray linePicture(int width, int height, const char* format = "JPEG");

// One row: column values by name (QString TEXT, integers, double, QByteArray
// BLOB but TEXT for ZTEXT, which keeps raw UTF-8; a null QVariant NULL), and
// the user keys it joins (chat and group members).
template <typename Self>
struct LineRow
{
    qint64 pk = 0;
    QVariantHash cols;
    QList<qint64> members;
    Self& set(const QString& col, const QVariant& v)
    {
        cols[col] = v;
        return static_cast<Self&>(*this);
    }
    Self& withMembers(const QList<qint64>& keys)
    {
        members += keys;
        return static_cast<Self&>(*this);
    }
};

struct LineUserRow : LineRow<LineUserRow>
{
    explicit LineUserRow(const QVariant& mid) { set("ZMID", mid); }
    LineUserRow& named(const QString& v) { return set("ZNAME", v); }
    LineUserRow& addressBook(const QString& v) { return set("ZADDRESSBOOKNAME", v); }
    LineUserRow& custom(const QString& v) { return set("ZCUSTOMNAME", v); }
    LineUserRow& createdAt(const QDateTime& t) { return set("ZCREATEDTIME", lineCoreDataTime(t)); }
    LineUserRow& picture(const QString& v) { return set("ZPICTUREURL", v); }
};

// A ZCHAT row (ZTYPE 0 one-to-one, 1 room, 2 group chat; ZENABLE 0 disabled)
// with its ZCHATMETADATA row and member rows.
struct LineChatRow : LineRow<LineChatRow>
{
    explicit LineChatRow(const QVariant& mid) { set("ZMID", mid).set("ZTYPE", 0).set("ZENABLE", 1); }
    LineChatRow& room() { return set("ZTYPE", 1); }
    LineChatRow& groupChat() { return set("ZTYPE", 2); }
    LineChatRow& lastUpdatedAt(const QDateTime& t) { return set("ZLASTUPDATED", lineCoreDataTime(t)); }
};

// A ZGROUP row of the main store or a ZUNIFIEDGROUP row of the group store;
// the creator and members are keys of that store's user table.
struct LineGroupRow : LineRow<LineGroupRow>
{
    explicit LineGroupRow(const QVariant& id) { set("ZID", id); }
    LineGroupRow& named(const QString& v) { return set("ZNAME", v); }
    LineGroupRow& picture(const QString& status) { return set("ZPICTURESTATUS", status); }
    LineGroupRow& createdBy(qint64 userKey) { return set("ZCREATOR", userKey); }
};

// NSKeyedArchiver dictionaries as LINE keeps them in ZCONTENTMETADATA: a
// binary plist whose $objects are "$null", the root dictionary, the keys, the
// values (a QString a string, a QByteArray data, else an integer) and the class.
struct LineMetaArchive
{
    static QByteArray archive(const QList<QPair<QString, QVariant>>& entries, bool mutableDictionary);
    static QByteArray file(const QString& name, qint64 size, qint64 expireMs);
    static QByteArray voiceReceived(qint64 size);
};

// A ZMESSAGE row, the owner's unless from(); the content helpers set
// ZCONTENTTYPE and the columns the app fills for that content.
struct LineMsgRow : LineRow<LineMsgRow>
{
    LineMsgRow(qint64 chat, const QVariant& zid) { set("ZCHAT", chat).set("ZID", zid).set("ZCONTENTTYPE", 0); }
    LineMsgRow& at(qint64 ms) { return set("ZTIMESTAMP", ms); }
    LineMsgRow& from(qint64 userKey) { return set("ZSENDER", userKey); }
    LineMsgRow& ofType(int t) { return set("ZCONTENTTYPE", t); }
    LineMsgRow& withText(const QByteArray& bytes) { return set("ZTEXT", bytes); }
    LineMsgRow& withMetadata(const QByteArray& b) { return set("ZCONTENTMETADATA", b.isEmpty() ? QVariant() : b); }
    LineMsgRow& thumbnailBlob(const QByteArray& bytes) { return set("ZTHUMBNAIL", bytes); }
    LineMsgRow& media(int type, const QVariant& lat, const QVariant& lng)
    {
        return ofType(type).set("ZLATITUDE", lat).set("ZLONGITUDE", lng);
    }

    LineMsgRow& text(const QString& s) { return ofType(LineContent::Text).withText(s.toUtf8()); }
    LineMsgRow& photo(int width, int height) { return media(LineContent::Photo, width, height); }
    LineMsgRow& video(int width, int height) { return media(LineContent::Video, width, height); }
    // ZLATITUDE holds the voice message's length.
    LineMsgRow& voice(qint64 size)
    {
        return media(LineContent::Voice, size, {}).withMetadata(LineMetaArchive::voiceReceived(size));
    }
    // The id in ZLONGITUDE and, unless bare, in a metadata archive.
    LineMsgRow& sticker(int id, int package, int version, bool bare = false)
    {
        const QList<QPair<QString, QVariant>> keys{{"STKVER", QString::number(version)}, {"STKID", QString::number(id)},
                                                   {"STKOPT", QString()}, {"STKPKGID", QString::number(package)}};
        const QByteArray meta = bare ? QByteArray() : LineMetaArchive::archive(keys, false);
        return media(LineContent::Sticker, {}, id).withMetadata(meta);
    }
    LineMsgRow& contact(const QString& mid, const QString& name)
    {
        const QList<QPair<QString, QVariant>> keys{{"mid", mid}, {"displayName", name}};
        return ofType(LineContent::Contact).withMetadata(LineMetaArchive::archive(keys, true));
    }
    LineMsgRow& file(const QString& name, qint64 size)
    {
        return ofType(LineContent::File).withMetadata(LineMetaArchive::file(name, size, 1700000000000LL));
    }
    LineMsgRow& location(double lat, double lng, const QString& place)
    {
        return media(LineContent::Location, lat, lng).withText(place.toUtf8());
    }
};

class LineStoreBuilder
{
public:
    // containerDir must exist; everything is written below it.
    explicit LineStoreBuilder(const QString& containerDir);

    // Preferences (Library/Preferences/jp.naver.line.plist): "mid", "name"
    // and "tel" as strings, an empty value left out.
    LineStoreBuilder& setAccount(const QString& mid, const QString& name = QString(), const QString& tel = QString());
    // Where the main store goes and the folder of its "Message Attachments/"
    // and "Message Thumbnails/", both relative to the container, the folder
    // ending in "/"; an empty dbRelPath writes no store. By default the
    // app's current place: Library/Application Support/PrivateStore/P_<mid>/
    // and its Messages/Line.sqlite.
    LineStoreBuilder& setStore(const QString& dbRelPath, const QString& storeDir);
    // The group store beside the main store (implied by addUnifiedGroup...).
    LineStoreBuilder& withGroupStore();
    // SQL run on the finished main store: schema variants (DROP TABLE, DROP
    // INDEX, ALTER TABLE ... DROP COLUMN), other entity numbers, triggers,
    // rows of odd values.
    LineStoreBuilder& afterwards(const QString& sql);

    qint64 addUser(const LineUserRow& row) { return add(m_users, "ZUSER", row); }
    qint64 addChat(const LineChatRow& row) { return add(m_chats, "ZCHAT", row); }
    qint64 addGroup(const LineGroupRow& row) { return add(m_groups, "ZGROUP", row); }
    qint64 addMessage(const LineMsgRow& row) { return add(m_msgs, "ZMESSAGE", row); }
    // A user of the group store, under this key.
    qint64 addUnifiedGroupUser(const QVariant& mid, qint64 key);
    qint64 addUnifiedGroup(const LineGroupRow& row);

    // <storeDir>Message Attachments/<chatMid>/<msgId><suffix>.
    LineStoreBuilder& addAttachment(const QString& chatMid, const QString& msgId, const QString& suffix,
                                    const QByteArray& bytes);
    // Any file, relative to the container.
    LineStoreBuilder& addFile(const QString& relPath, const QByteArray& bytes);

    // Writes everything; throws std::runtime_error on failure.
    void build();

    QString containerDir() const { return m_container; }
    QString absolute(const QString& relPath) const { return m_container + QLatin1Char('/') + relPath; }
    QString dbRelPath() const;
    QString dbPath() const { return dbRelPath().isEmpty() ? QString() : absolute(dbRelPath()); }
    QString storeDir() const;
    QString groupDbPath() const; // "" without a group store
    QString preferencesPath() const { return absolute(QStringLiteral("Library/Preferences/jp.naver.line.plist")); }

private:
    template <typename Row>
    qint64 add(QList<Row>& list, const QString& table, const Row& row)
    {
        list.append(row);
        return list.last().pk = ++m_lastKey[table];
    }
    void writeMainStore();
    void writeGroupStore();

    QString m_container, m_mid, m_name, m_tel, m_dbRel, m_storeDir;
    bool m_storeSet = false;
    bool m_groupStore = false;
    QHash<QString, qint64> m_lastKey;
    QList<LineUserRow> m_users;
    QList<LineChatRow> m_chats;
    QList<LineGroupRow> m_groups, m_unifiedGroups;
    QList<LineMsgRow> m_msgs;
    QList<QPair<qint64, QVariant>> m_unifiedUsers;
    QStringList m_after;
    QList<QPair<QString, QByteArray>> m_files; // container-relative
};

// The small store both phone roads carry: the owner, Amy, and her chat with
// a text and a photo whose attachment is present. Returns the chat's key, for
// more messages before build(), and Amy's in `amy` when asked.
qint64 addAmysChat(LineStoreBuilder& line, qint64* amy = nullptr);

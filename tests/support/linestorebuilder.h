#pragma once

// Test fixtures for the LINE app's iOS store: the preferences plist, the
// Core Data main store in each layout the app has used, the companion
// "UnifiedGroup" store and attachment files, as a container copied out of a
// backup or a phone holds them. Written from the documented formats with raw
// SQLite and libplist, never with the product's readers, so a test that
// reads a fixture back checks the product against an independent picture.
//
// Rows get Z_PK 1, 2, ... per table unless they name one with key(); add...
// returns the key at once so rows can refer to each other. Nothing touches
// the disk before build(), which may be called once. Join tables are named
// from the entity numbers in effect. Only Qt is needed here and nothing of
// the test framework in the implementation, so benchmarks compile it in.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// ZCONTENTTYPE values the LINE app writes.
namespace LineContent {
enum : int {
    Text = 0,
    Photo = 1,
    Video = 2,
    Voice = 3,
    Sticker = 7,
    Contact = 13,
    File = 14,
    Location = 100,
    TextAlt = 107,
    PhotoAlt = 112,
};
}

// Where the main store lies in the container (%mid = the account's mid).
enum class LineStoreLayout {
    Current,               // Library/Application Support/PrivateStore/P_%mid/Messages/Line.sqlite
    CurrentOtherFolder,    // Library/Application Support/PrivateStore/<folder>/Messages/Line.sqlite
    DocumentsTalk,         // Documents/PrivateStore/P_%mid/talk.sqlite
    DocumentsMessagesLine, // Documents/PrivateStore/P_%mid/Messages/Line.sqlite
    DocumentsMessagesTalk, // Documents/PrivateStore/P_%mid/Messages/talk.sqlite
    LibraryMessages,       // Library/Application Support/Messages/Line.sqlite
    DocumentsRoot,         // Documents/talk.sqlite
    None,                  // no store file at all
};

// Seconds since 2001-01-01 00:00:00 UTC, the Core Data time of ZCREATEDTIME
// and ZLASTUPDATED.
double lineCoreDataTime(const QDateTime& t);

// One ZUSER row. Values left unset are written as NULL.
struct LineUserRow
{
    qint64 pk = 0; // 0: the builder gives the next free key
    QVariant mid;
    QVariant name;
    QVariant addressBookName;
    QVariant customName;
    QVariant createdTime; // Core Data seconds (real)
    QVariant pictureUrl;

    explicit LineUserRow(const QVariant& mid) : mid(mid) {}
    LineUserRow& key(qint64 k) { pk = k; return *this; }
    LineUserRow& named(const QString& v) { name = v; return *this; }
    LineUserRow& addressBook(const QString& v) { addressBookName = v; return *this; }
    LineUserRow& custom(const QString& v) { customName = v; return *this; }
    LineUserRow& createdAt(const QDateTime& t) { createdTime = lineCoreDataTime(t); return *this; }
    LineUserRow& picture(const QString& v) { pictureUrl = v; return *this; }
};

// One ZCHAT row, its ZCHATMETADATA row and its member join rows.
struct LineChatRow
{
    qint64 pk = 0;
    QVariant mid;
    QVariant type = 0;   // 0 one-to-one, 1 room, 2 group chat; any int may be written
    QVariant enable = 1; // 0 marks a disabled chat
    QVariant lastUpdated;
    QList<qint64> members; // ZUSER keys, written to the chat-member join table
    bool metadataRow = true;

    explicit LineChatRow(const QVariant& mid) : mid(mid) {}
    LineChatRow& room() { type = 1; return *this; }
    LineChatRow& groupChat() { type = 2; return *this; }
    LineChatRow& ofType(const QVariant& t) { type = t; return *this; }
    LineChatRow& disabled() { enable = 0; return *this; }
    LineChatRow& lastUpdatedAt(const QDateTime& t) { lastUpdated = lineCoreDataTime(t); return *this; }
    LineChatRow& withMembers(const QList<qint64>& keys) { members += keys; return *this; }
    LineChatRow& withoutMetadataRow() { metadataRow = false; return *this; }
};

// One ZGROUP row of the main store, or one ZUNIFIEDGROUP row of the group
// store. creator and members are keys of the user table of the same store:
// ZUSER for ZGROUP, ZUNIFIEDGROUPUSER for ZUNIFIEDGROUP.
struct LineGroupRow
{
    qint64 pk = 0;
    QVariant id;
    QVariant name;
    QVariant createdTime;
    QVariant pictureStatus;
    QVariant creator;
    QList<qint64> members;

    explicit LineGroupRow(const QVariant& id) : id(id) {}
    LineGroupRow& named(const QString& v) { name = v; return *this; }
    LineGroupRow& createdAt(const QDateTime& t) { createdTime = lineCoreDataTime(t); return *this; }
    LineGroupRow& picture(const QString& status) { pictureStatus = status; return *this; }
    LineGroupRow& createdBy(qint64 userKey) { creator = userKey; return *this; }
    LineGroupRow& withMembers(const QList<qint64>& keys) { members += keys; return *this; }
};

// NSKeyedArchiver dictionaries as LINE keeps them in ZCONTENTMETADATA: a
// binary plist whose $objects are "$null", the root dictionary (NS.keys,
// NS.objects, $class), the keys, the values, and the class record. Equal
// string values share one object, as Apple's archiver does.
struct LineMetaArchive
{
    // A QString value becomes a string node, an integer value an integer
    // node, a QByteArray a data node.
    using Entry = QPair<QString, QVariant>;

    static QByteArray archive(const QList<Entry>& entries, bool mutableDictionary);
    static QByteArray empty();
    static QByteArray sticker(int id, int package, int version);
    static QByteArray contact(const QString& mid, const QString& displayName);
    static QByteArray file(const QString& name, qint64 size, qint64 expireMs);
    static QByteArray voiceReceived(qint64 size);
    static QByteArray voiceSent(int receiverCount);
};

// One ZMESSAGE row. The content helpers set ZCONTENTTYPE and the columns the
// LINE app fills for that content, with LineMetaArchive's archives.
struct LineMsgRow
{
    qint64 pk = 0;
    qint64 chat = 0;
    QVariant id;        // ZID; a null QVariant writes NULL
    qint64 timestamp = 0; // ms since 1970
    int contentType = LineContent::Text;
    QVariant sender;    // ZUSER key; null (the default) for the account owner
    std::optional<QByteArray> ztext; // ZTEXT bytes, bound as TEXT; nullopt writes NULL
    QByteArray metadata;  // ZCONTENTMETADATA; empty writes NULL
    QVariant latitude;
    QVariant longitude;
    QByteArray thumbnail; // ZTHUMBNAIL; empty writes NULL unless emptyThumbnail
    bool emptyThumbnail = false;

    LineMsgRow(qint64 chatKey, const QVariant& zid) : chat(chatKey), id(zid) {}
    LineMsgRow& at(qint64 ms) { timestamp = ms; return *this; }
    LineMsgRow& from(qint64 userKey) { sender = userKey; return *this; }
    LineMsgRow& ofType(int t) { contentType = t; return *this; }
    LineMsgRow& withText(const QByteArray& bytes) { ztext = bytes; return *this; }
    LineMsgRow& withMetadata(const QByteArray& bytes) { metadata = bytes; return *this; }
    LineMsgRow& thumbnailBlob(const QByteArray& bytes)
    {
        thumbnail = bytes, emptyThumbnail = bytes.isEmpty();
        return *this;
    }

    LineMsgRow& text(const QString& s) { return content(LineContent::Text).withText(s.toUtf8()); }
    LineMsgRow& photo(int width, int height) { return content(LineContent::Photo, width, height); }
    LineMsgRow& video(int width, int height) { return content(LineContent::Video, width, height); }
    // Voice with ZLATITUDE = size and the metadata of a received message.
    LineMsgRow& voice(qint64 size)
    {
        return content(LineContent::Voice, size).withMetadata(LineMetaArchive::voiceReceived(size));
    }
    // Sticker with a hand-made metadata archive ("STKID", "STKPKGID", "STKVER").
    LineMsgRow& sticker(int id, int package, int version)
    {
        return content(LineContent::Sticker, {}, id).withMetadata(LineMetaArchive::sticker(id, package, version));
    }
    // Sticker without metadata: the id only in ZLONGITUDE.
    LineMsgRow& stickerByLongitude(int id) { return content(LineContent::Sticker, {}, id).withMetadata({}); }
    LineMsgRow& contact(const QString& mid, const QString& displayName)
    {
        ztext = QByteArray();
        return content(LineContent::Contact).withMetadata(LineMetaArchive::contact(mid, displayName));
    }
    LineMsgRow& file(const QString& name, qint64 size)
    {
        return content(LineContent::File).withMetadata(LineMetaArchive::file(name, size, 1700000000000LL));
    }
    LineMsgRow& location(double lat, double lng, const QString& place)
    {
        return content(LineContent::Location, lat, lng).withText(place.toUtf8());
    }

private:
    LineMsgRow& content(int type, const QVariant& lat = {}, const QVariant& lng = {})
    {
        contentType = type, latitude = lat, longitude = lng;
        return *this;
    }
};

class LineStoreBuilder
{
public:
    enum class PlistFormat { Binary, Xml };

    // containerDir must exist; everything is written below it.
    explicit LineStoreBuilder(const QString& containerDir);
    LineStoreBuilder(const LineStoreBuilder&) = delete;
    LineStoreBuilder& operator=(const LineStoreBuilder&) = delete;

    // --- preferences: Library/Preferences/jp.naver.line.plist -------------
    // "mid", "name" and "tel" as strings; an empty value leaves the key out.
    LineStoreBuilder& setAccount(const QString& mid, const QString& name = QString(),
                                 const QString& tel = QString())
    {
        m_mid = mid, m_name = name, m_tel = tel;
        return *this;
    }
    LineStoreBuilder& setPreferencesFormat(PlistFormat f) { m_prefsFormat = f; return *this; }
    // Writes these bytes instead of a generated plist.
    LineStoreBuilder& setPreferencesBytes(const QByteArray& bytes) { m_prefsBytes = bytes; return *this; }

    // --- layout -------------------------------------------------------------
    // folder is the PrivateStore sub-folder name for CurrentOtherFolder.
    LineStoreBuilder& setLayout(LineStoreLayout layout, const QString& folder = QString())
    {
        m_layout = layout, m_otherFolder = folder;
        return *this;
    }
    // Also puts a copy of the finished main store at this container-relative
    // path (a decoy or a second candidate).
    LineStoreBuilder& alsoWriteStoreAt(const QString& relPath);
    // Writes the companion group store beside the main store (implied by
    // addUnifiedGroup/addUnifiedGroupUser).
    LineStoreBuilder& withGroupStore() { m_groupStore = true; return *this; }

    // --- schema variants ----------------------------------------------------
    // withoutTable("ZGROUP") also drops the group-member join table.
    LineStoreBuilder& withoutTable(const QString& table) { m_droppedTables << table.toUpper(); return *this; }
    LineStoreBuilder& withoutColumn(const QString& table, const QString& column)
    {
        m_droppedCols[table.toUpper()] << column.toUpper();
        return *this;
    }
    // Leaves out one of the indexes Core Data makes (ZMESSAGE_ZCHAT_INDEX...).
    LineStoreBuilder& withoutIndex(const QString& name) { m_droppedIndexes << name; return *this; }
    // Z_PRIMARYKEY rows of the main store; defaults Chat 1, ChatMetadata 2,
    // Group 4, Message 5, StickerPackage 11, User 12.
    LineStoreBuilder& setEntity(const QString& name, int number);
    LineStoreBuilder& removeEntity(const QString& name) { return setEntity(name, -1); }
    // Z_PRIMARYKEY of the group store; defaults UnifiedGroup 3, UnifiedGroupUser 4.
    LineStoreBuilder& removeGroupStoreEntity(const QString& name);

    // --- rows ---------------------------------------------------------------
    qint64 addUser(const LineUserRow& row);
    qint64 addChat(const LineChatRow& row);
    qint64 addGroup(const LineGroupRow& row);
    qint64 addMessage(const LineMsgRow& row);
    void addStickerPackage(int packageId, int version, int idStart, int idEnd);
    // Group store rows.
    qint64 addUnifiedGroupUser(const QVariant& mid, qint64 key = 0);
    qint64 addUnifiedGroup(const LineGroupRow& row);
    // Any extra row: column name to value (QString TEXT, integers, double,
    // QByteArray BLOB, null QVariant NULL). The table must be one of the
    // builder's tables.
    void addRawRow(const QString& table, const QList<QPair<QString, QVariant>>& values)
    {
        m_rawRows.append({table, values});
    }

    // --- files --------------------------------------------------------------
    // <storeDir>Message Attachments/<chatMid>/<msgId><suffix>, names as given.
    LineStoreBuilder& addAttachment(const QString& chatMid, const QString& msgId, const QString& suffix,
                                    const QByteArray& bytes);
    // <storeDir>Message Thumbnails/<chatFolder>/<msgFile>.thumb; the caller
    // passes the folder and file names in their on-disk (encoded) form.
    LineStoreBuilder& addLineThumbnail(const QString& chatFolder, const QString& msgFile,
                                       const QByteArray& bytes);
    // Any file, relative to the container; "..", "." and absolute paths are
    // refused.
    LineStoreBuilder& addFile(const QString& relPath, const QByteArray& bytes);

    // Writes everything. Throws std::runtime_error on failure.
    void build();

    // --- where things went (valid before and after build) -------------------
    QString containerDir() const { return m_container; }
    QString absolute(const QString& relPath) const { return m_container + QLatin1Char('/') + relPath; }
    QString dbRelPath() const;  // "" for LineStoreLayout::None
    QString dbPath() const;
    // The folder in which the app keeps "Message Attachments/" and
    // "Message Thumbnails/", relative, ending in "/".
    QString storeDir() const;
    QString groupDbPath() const; // "" when no group store is written
    QString preferencesPath() const { return absolute(QStringLiteral("Library/Preferences/jp.naver.line.plist")); }
    // Join tables by the entity numbers in effect.
    QString chatMembersTable() const;
    QString groupMembersTable() const;

    // --- large synthetic stores for benchmarks -------------------------------
    struct LargeSpec
    {
        QString accountMid = QStringLiteral("u0000000000000000000000000000abcd");
        int users = 50000;
        int chats = 5000;
        qint64 messages = 1000000;
        int mediaPercent = 30; // photo, video, voice and file messages
        int smallChatMessages = 50;
        quint32 seed = 12345;
        QByteArray thumbnail;  // ZTHUMBNAIL of photos and videos; empty: a small JPEG
    };
    struct LargeInfo
    {
        QString smallChatMid; // a one-to-one chat holding exactly smallChatMessages
        qint64 textMessages = 0;
        qint64 mediaMessages = 0;
    };
    // Writes a store in the current layout with the given numbers, in one
    // transaction with prepared statements. No attachment files are written.
    static LargeInfo generateLarge(const QString& containerDir, const LargeSpec& spec);

private:
    using Entities = QList<QPair<QString, int>>;
    using Values = QList<QPair<QString, QVariant>>;
    qint64 nextKey(const QString& table, qint64 wanted);
    LineStoreBuilder& addFileAt(bool inStoreDir, const QString& rel, const QByteArray& bytes);
    void writeMainStore();
    void writeGroupStore();

    QString m_container, m_mid, m_name, m_tel, m_otherFolder;
    PlistFormat m_prefsFormat = PlistFormat::Binary;
    std::optional<QByteArray> m_prefsBytes;
    LineStoreLayout m_layout = LineStoreLayout::Current;
    QStringList m_copies;
    bool m_groupStore = false;
    bool m_built = false;
    QSet<QString> m_droppedTables, m_droppedIndexes; // tables upper case
    QHash<QString, QSet<QString>> m_droppedCols;     // upper case
    Entities m_entities{{"Chat", 1}, {"ChatMetadata", 2}, {"Group", 4}, {"Message", 5},
                        {"StickerPackage", 11}, {"User", 12}};
    Entities m_groupEntities{{"UnifiedGroup", 3}, {"UnifiedGroupUser", 4}};
    QHash<QString, qint64> m_lastKey;
    QList<LineUserRow> m_users;
    QList<LineChatRow> m_chats;
    QList<LineGroupRow> m_groups, m_unifiedGroups;
    QList<LineMsgRow> m_msgs;
    QList<QVariantList> m_stickerPackages;
    QList<QPair<qint64, QVariant>> m_unifiedUsers;
    QList<QPair<QString, Values>> m_rawRows;
    struct PendingFile
    {
        bool inStoreDir;
        QString rel;
        QByteArray bytes;
    };
    QList<PendingFile> m_files;
};

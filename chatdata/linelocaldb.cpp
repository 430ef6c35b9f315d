#include "chatdata/linelocaldb.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>

#include <stdexcept>

#include "chatdata/linedata.h"
#include "chatdata/linerawcontent.h"
#include "chatdata/tinykvserializer.h"
#include "foundation/pathutil.h"

namespace {

// The folder of the media of messages that belong to no chat.
const QString kNoChatFolder = QStringLiteral("000000000000000000000000000000000");

const char* const kTables[] = {"line_chat", "line_user", "line_group", "line_chat_users", "line_group_members",
                               "line_msg"};

const char* const kChatTypeWords[] = {"single", "multi", "group"};
// In the order reading compares them; each word's value is its type.
const struct
{
    const char* word;
    int type;
} kMsgTypeWords[] = {
    {"text", LineMsgType::TEXT},       {"photo", LineMsgType::PHOTO},     {"video", LineMsgType::VIDEO},
    {"voice", LineMsgType::VOICE},     {"sticker", LineMsgType::STICKER}, {"contact", LineMsgType::CONTACT},
    {"location", LineMsgType::LOCATION}, {"file", LineMsgType::FILE},
};

// Times are kept as Unix seconds and read as unsigned 32-bit values.
QDateTime fromUnixSecs32(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(qint64(quint32(secs)));
}

// How many ids go into one "in (...)" list of the purge.
const int kPurgeChunk = 400;

} // namespace

const char* const LineLocalDb::dbFileName = "marrowquist-line.db";
const char* const LineLocalDb::schemaResource = ":res/linelocaldb.sql";

LineLocalDb::LineLocalDb(const QDir& folder)
    : m_folder(folder),
      m_thumbsDir(QDir(folder.absoluteFilePath(QStringLiteral("thumbs"))).absolutePath()),
      m_filesDir(QDir(folder.absoluteFilePath(QStringLiteral("files"))).absolutePath())
{
}

LineLocalDb::~LineLocalDb() = default;

QString LineLocalDb::dbPath() const
{
    return m_folder.absoluteFilePath(QLatin1String(dbFileName));
}

QString LineLocalDb::chatTypeWord(int type)
{
    if (type < 0 || type > 2)
        type = LineChatType::SINGLE;
    return QLatin1String(kChatTypeWords[type]);
}

int LineLocalDb::chatTypeFromWord(const QString& word)
{
    for (int type = 0; type < 3; ++type) {
        if (word.compare(QLatin1String(kChatTypeWords[type]), Qt::CaseInsensitive) == 0)
            return type;
    }
    return LineChatType::SINGLE;
}

QString LineLocalDb::msgTypeWord(int type)
{
    for (const auto& w : kMsgTypeWords) {
        if (w.type == type)
            return QLatin1String(w.word);
    }
    return QStringLiteral("text");
}

int LineLocalDb::msgTypeFromWord(const QString& word)
{
    for (const auto& w : kMsgTypeWords) {
        if (word.compare(QLatin1String(w.word), Qt::CaseInsensitive) == 0)
            return w.type;
    }
    return LineMsgType::TEXT;
}

void LineLocalDb::openCheckThrow()
{
    if (isOpen())
        return;
    QDir().mkpath(m_thumbsDir);
    QDir().mkpath(m_filesDir);

    const QString path = dbPath();
    const bool existed = QFileInfo::exists(path);
    openThrow(path, existed ? 2 : 6);
    try {
        prepareSchemaThrow();
        purgeJunkUsersThrow();
    } catch (...) {
        // Closed so that the next use tries the whole opening again. A file
        // this call created is removed: left behind half made, it would be
        // taken for a database at the next start.
        close();
        if (!existed) {
            QFile::remove(path);
            QFile::remove(path + QStringLiteral("-journal"));
        }
        throw;
    }
}

void LineLocalDb::prepareSchemaThrow()
{
    m_schema.loadDbThrow(*this);
    bool complete = true;
    for (const char* table : kTables)
        complete = complete && m_schema.containsTable(QLatin1String(table));
    if (!complete) {
        // Missing tables are created whether the file is new or was left
        // incomplete, all in one transaction so that a failure adds none.
        QFile file(QString::fromLatin1(schemaResource));
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error(file.errorString().toStdString());
        QByteArray script = file.readAll();
        const qsizetype nul = script.indexOf('\0');
        if (nul >= 0)
            script.truncate(nul);
        beginTran();
        QString error;
        if (exec(QString::fromUtf8(script), error) != 0) {
            QString ignored;
            exec(QStringLiteral("ROLLBACK"), ignored);
            throw std::runtime_error(error.toStdString());
        }
        commitTran();
        m_schema.loadDbThrow(*this);
    }

    bool changed = false;
    if (!m_schema.containsCol(QStringLiteral("line_msg"), QStringLiteral("ver"))) {
        executeThrow("ALTER TABLE line_msg ADD COLUMN ver INTEGER");
        changed = true;
    }
    if (!m_schema.containsCol(QStringLiteral("line_user"), QStringLiteral("custom_name"))) {
        executeThrow("ALTER TABLE line_user ADD COLUMN custom_name VARCHAR");
        changed = true;
    }
    if (!m_schema.containsIndex(QStringLiteral("_vardo_idx_line_msg_ts"))) {
        executeThrow("CREATE INDEX _vardo_idx_line_msg_ts ON line_msg(ts)");
        changed = true;
    }
    if (changed)
        m_schema.loadDbThrow(*this);
}

// Users whose uid is not a LINE user id (LINE's own user ids begin with
// "u") are junk left by older versions. They go with their memberships, but
// only when no message names them as its sender: a message that a backup
// stored must still be there, with its sender, at every later opening.
void LineLocalDb::purgeJunkUsersThrow()
{
    QList<qint64> candidates;
    {
        Sqlite3Cursor cur = queryThrow("select _id from line_user where uid not like 'u%'");
        while (cur.moveNext())
            candidates.append(cur.getInt64(0));
    }
    if (candidates.isEmpty())
        return;

    // One pass over the messages, whatever their number.
    QSet<qint64> senders;
    {
        Sqlite3Cursor cur = queryThrow("select distinct from_id from line_msg where from_id in "
                                       "(select _id from line_user where uid not like 'u%')");
        while (cur.moveNext())
            senders.insert(cur.getInt64(0));
    }
    QList<qint64> junk;
    for (qint64 id : candidates) {
        if (!senders.contains(id))
            junk.append(id);
    }

    static const char* const deletes[] = {
        "delete from line_chat_users where user_id in (%1)",
        "delete from line_group_members where user_id in (%1)",
        "delete from line_user where _id in (%1)",
    };
    for (qsizetype from = 0; from < junk.size(); from += kPurgeChunk) {
        const QList<qint64> chunk = junk.mid(from, kPurgeChunk);
        QStringList marks;
        for (qsizetype i = 0; i < chunk.size(); ++i)
            marks.append(QStringLiteral("?"));
        for (const char* statement : deletes) {
            Sqlite3Sql sql(QString::fromLatin1(statement).arg(marks.join(QLatin1Char(','))));
            for (qint64 id : chunk)
                sql.addInt64Param(id);
            executeThrow(sql);
        }
    }
}

QList<QPair<qint64, qint64>> LineLocalDb::idPairsThrow(const char* sql)
{
    QList<QPair<qint64, qint64>> pairs;
    Sqlite3Cursor cur = queryThrow(sql);
    while (cur.moveNext())
        pairs.append(qMakePair(cur.getInt64(0), cur.getInt64(1)));
    return pairs;
}

void LineLocalDb::loadDataThrow(LineData& data)
{
    openCheckThrow();
    {
        Sqlite3Cursor cur = queryThrow("select * from line_user");
        while (cur.moveNext()) {
            const qint64 id = cur.getInt64("_id");
            if (data.user(id))
                continue;
            auto* user = new _LineUser;
            data.insertUser(id, user);
            user->id = id;
            user->uid = cur.getText("uid");
            user->contactName = cur.getText("contact_name");
            user->serverName = cur.getText("server_name");
            user->customName = cur.getText("custom_name");
            user->createTs = fromUnixSecs32(cur.getInt64("create_ts"));
            user->picUri = cur.getText("pic_uri");
        }
    }
    {
        Sqlite3Cursor cur = queryThrow("select * from line_chat");
        while (cur.moveNext()) {
            const qint64 id = cur.getInt64("_id");
            if (data.chat(id))
                continue;
            auto* chat = new _LineChat;
            data.insertChat(id, chat);
            chat->id = id;
            chat->uid = cur.getText("uid");
            chat->type = chatTypeFromWord(cur.getText("type"));
        }
    }
    for (const auto& pair : idPairsThrow("select chat_id, user_id from line_chat_users")) {
        _LineChat* chat = data.chat(pair.first);
        _LineUser* user = data.user(pair.second);
        if (chat && user)
            chat->users.insert(user);
    }
    {
        Sqlite3Cursor cur = queryThrow("select chat_id, max(ts) as last_ts from line_msg group by chat_id");
        while (cur.moveNext()) {
            if (_LineChat* chat = data.chat(cur.getInt64("chat_id")))
                chat->lastTs = fromUnixSecs32(cur.getInt64("last_ts"));
        }
    }
    {
        Sqlite3Cursor cur = queryThrow(
            "select g.*, c._id as chat_id from line_group as g inner join line_chat as c on g.uid=c.uid");
        while (cur.moveNext()) {
            _LineChat* chat = data.chat(cur.getInt64("chat_id"));
            if (!chat)
                continue;
            const qint64 id = cur.getInt64("_id");
            _LineGroupInfo* group = data.group(id);
            if (!group) {
                group = new _LineGroupInfo;
                data.insertGroup(id, group);
                group->id = id;
                group->uid = cur.getText("uid");
                group->name = cur.getText("name");
                group->createTs = fromUnixSecs32(cur.getInt64("create_ts"));
                group->picStatus = cur.getText("pic_status");
                group->creator = cur.isNull("creator_id") ? nullptr : data.user(cur.getInt64("creator_id"));
            }
            chat->group = group;
        }
    }
    for (const auto& pair : idPairsThrow("select group_id, user_id from line_group_members")) {
        _LineGroupInfo* group = data.group(pair.first);
        _LineUser* user = data.user(pair.second);
        if (group && user)
            group->members.insert(user);
    }
}

qint64 LineLocalDb::messagesCountThrow(_LineChat* chat)
{
    openCheckThrow();
    Sqlite3Sql sql("select count(*) from line_msg as m inner join line_chat as c on m.chat_id=c._id");
    if (chat)
        sql.appendSql(QStringLiteral(" and c.uid=?")).addTextParam(chat->uid);
    Sqlite3Cursor cur = queryThrow(sql);
    return cur.moveNext() ? cur.getInt64(0) : 0;
}

QList<_LineMsg> LineLocalDb::messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc)
{
    openCheckThrow();
    Sqlite3Sql sql("select m.* from line_msg as m inner join line_chat as c on m.chat_id=c._id");
    if (chat)
        sql.appendSql(QStringLiteral(" and c.uid=?")).addTextParam(chat->uid);
    // The row id breaks ties between equal times, so that consecutive pages
    // can neither repeat nor skip a message; the time indexes hold the row
    // id, so this costs nothing over ordering by time alone.
    sql.appendSql(asc ? QStringLiteral(" order by ts asc, m._id asc") : QStringLiteral(" order by ts desc, m._id desc"));
    sql.appendSql(QStringLiteral(" limit %1 offset %2").arg(pageSize).arg((qint64(page) - 1) * pageSize));

    QList<_LineMsg> msgs;
    Sqlite3Cursor cur = queryThrow(sql);
    while (cur.moveNext()) {
        _LineMsg m;
        m.chat = data.chat(cur.getInt64("chat_id"));
        m.id = cur.getInt64("_id");
        m.uid = cur.getText("uid");
        m.type = msgTypeFromWord(cur.getText("type"));
        m.ts = fromUnixSecs32(cur.getInt64("ts"));
        // NULL is the account owner; a sender row that is not loaded (or 0,
        // which the writer keeps for a sender without LINE id) is no owner.
        if (!cur.isNull("from_id")) {
            m.from = data.user(cur.getInt64("from_id"));
            if (!m.from)
                m.from = data.unknownUser();
        }
        m.rawContent = cur.getTextBytes("content");
        // Rows of the earlier format carry emoji whose run end an older tool
        // turned into U+FFFD; the bytes are mended whole, never across two.
        if (cur.getInt("ver") == 0)
            m.rawContent = fixRawContent_efbfbd(m.rawContent);
        m.text = parseLineRawContent(m.rawContent);
        const QByteArray atta = cur.getBlob("atta");
        if (!atta.isEmpty())
            m.atta = TinyKVSerializer::unser(atta);
        msgAttaPath(&m, &m.thumbPath, &m.attaPath);
        msgs.append(m);
    }
    return msgs;
}

void LineLocalDb::msgAttaPath(const _LineMsg* msg, QString* thumb, QString* atta) const
{
    switch (msg->type) {
    case LineMsgType::PHOTO:
    case LineMsgType::VIDEO:
    case LineMsgType::VOICE:
    case LineMsgType::FILE:
        break;
    default:
        return;
    }
    const QString chatPart = msg->chat ? pathutil::encodeFileName(msg->chat->uid) : kNoChatFolder;
    // Messages LINE never numbered would all share one name: theirs is the
    // row id, in a form no encoded id can take (a "%" that starts no escape).
    const QString msgPart = isLineMsgUidValid(msg->uid) ? pathutil::encodeFileName(msg->uid)
                                                        : QStringLiteral("%id%1").arg(msg->id);
    const QString base = chatPart + QLatin1Char('/') + msgPart;
    const QString thumbPath = m_thumbsDir + QLatin1Char('/') + base + QStringLiteral(".thumb.jpg");
    const QString mediaBase = m_filesDir + QLatin1Char('/') + base;
    switch (msg->type) {
    case LineMsgType::PHOTO:
        if (thumb)
            *thumb = thumbPath;
        if (atta)
            *atta = mediaBase + QStringLiteral(".jpg");
        break;
    case LineMsgType::VIDEO:
        if (thumb)
            *thumb = thumbPath;
        if (atta)
            *atta = mediaBase + QStringLiteral(".mp4");
        break;
    case LineMsgType::VOICE:
        if (atta)
            *atta = mediaBase + QStringLiteral(".aac");
        break;
    case LineMsgType::FILE:
        if (atta) {
            // The suffix comes from the sender's file name: encoded like the
            // ids, so that no name can reach outside the folder.
            const QString name = msg->attaFileName();
            const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
            const QString suffix = dot >= 0 ? name.mid(dot + 1) : QString();
            // A long suffix makes a name that no file system takes: the
            // whole name is shortened, the same way on every run.
            *atta = suffix.isEmpty() ? mediaBase
                                     : m_filesDir + QLatin1Char('/') + chatPart + QLatin1Char('/')
                                           + pathutil::fitFileName(msgPart + QLatin1Char('.')
                                                                   + pathutil::encodeFileNamePart(suffix));
        }
        break;
    default:
        break;
    }
}

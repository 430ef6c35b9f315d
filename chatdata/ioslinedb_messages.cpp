// Counting and reading the messages of a LINE store, with their media files.
#include "chatdata/ioslinedb.h"
#include "chatdata/ioslinedb_p.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QBuffer>

#include <sys/stat.h>
#include <stdexcept>

#include "chatdata/linedata.h"
#include "chatdata/linerawcontent.h"
#include "chatdata/linetime.h"
#include "foundation/fileutil.h"
#include "foundation/pathutil.h"
#include "foundation/safefile.h"
#include "foundation/utf8mac.h"

using namespace ioslinedb_p;

namespace {

// LINE content types shown, and the message types they become; every other
// content type is left out by the query.
int messageType(int contentType)
{
    switch (contentType) {
    case 0:
    case 107:
        return LineMsgType::TEXT;
    case 1:
    case 112:
        return LineMsgType::PHOTO;
    case 2:
        return LineMsgType::VIDEO;
    case 3:
        return LineMsgType::VOICE;
    case 7:
        return LineMsgType::STICKER;
    case 13:
        return LineMsgType::CONTACT;
    case 14:
        return LineMsgType::FILE;
    case 100:
        return LineMsgType::LOCATION;
    default:
        return -1;
    }
}

const char* const kFilter = " and" IOSLINEDB_SHOWN_MESSAGES;

// The columns a page needs. ZTHUMBNAIL is left out: it is read only for a
// thumbnail that has not been written to a file yet. The chat's id comes
// along for the media paths of a message whose chat is not loaded.
const char* const kPageColumns = "select m.Z_PK, m.ZID, m.ZTIMESTAMP, m.ZCONTENTTYPE, m.ZCHAT, m.ZSENDER, m.ZTEXT,"
                                 " m.ZCONTENTMETADATA, m.ZLATITUDE, m.ZLONGITUDE, c.ZMID as chat_mid";

template <typename IsFile>
QString firstExisting(const QString& base, std::initializer_list<const char*> suffixes, IsFile isFile)
{
    for (const char* s : suffixes) {
        const QString p = base + QLatin1String(s);
        if (isFile(p))
            return p;
    }
    return QString();
}

// Size and modification time (ns) of a file, (-1, 0) when there is none.
// Straight from stat(): QFileInfo would turn the time into a local one,
// which costs a look at the time zone per file.
QPair<qint64, qint64> fileStamp(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {-1, 0};
#ifdef __APPLE__
    const qint64 ns = qint64(st.st_mtimespec.tv_sec) * 1000000000 + st.st_mtimespec.tv_nsec;
#else
    const qint64 ns = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif
    return {qint64(st.st_size), ns};
}

// Written whole or not at all (a partial file would be taken for the
// thumbnail from then on), and never through a link at its name.
void writeWhole(const QString& path, const QByteArray& bytes)
{
    safefile::AtomicFile file(path);
    if (file.open() && file.file().write(bytes) == bytes.size())
        file.commit();
}

// A picture from a regular file only: opening a FIFO would block for good.
bool loadPicture(QImage& img, const QString& path)
{
    QFile file;
    if (path.isEmpty() || !safefile::openRegular(file, path, QIODevice::ReadOnly, nullptr, true))
        return false;
    return img.load(&file, "JPEG") || (file.seek(0) && img.load(&file, "PNG"));
}

// Records by id: a table indexed by the id where the ids are dense (as Core
// Data's keys are), a hash of the others.
template <typename T, typename Find>
void fillTable(const QList<T*>& all, std::vector<T*>& dense, QHash<qint64, T*>& sparse, Find find)
{
    dense.clear();
    sparse.clear();
    const qint64 limit = 4 * qint64(all.size()) + 1024;
    for (T* p : all) {
        if (find(p->id) != p)
            continue;
        if (p->id >= 0 && p->id < limit) {
            if (size_t(p->id) >= dense.size())
                dense.resize(size_t(p->id) + 1, nullptr);
            dense[size_t(p->id)] = p;
        } else {
            sparse.insert(p->id, p);
        }
    }
}

template <typename T>
T* lookUp(const std::vector<T*>& dense, const QHash<qint64, T*>& sparse, qint64 id)
{
    if (id >= 0 && quint64(id) < dense.size())
        return dense[size_t(id)];
    return sparse.value(id, nullptr);
}

} // namespace

namespace ioslinedb_p {

void RecordLookup::sync(const LineData& data)
{
    const quint64 version = data.recordsVersion();
    if (version == m_version)
        return;
    fillTable(data.chats(), m_chats, m_otherChats, [&](qint64 id) { return data.chat(id); });
    fillTable(data.users(), m_users, m_otherUsers, [&](qint64 id) { return data.user(id); });
    m_version = version;
}

_LineChat* RecordLookup::chat(const LineData& data, qint64 id) const
{
    _LineChat* c = lookUp(m_chats, m_otherChats, id);
    return c ? c : data.chat(id);
}

_LineUser* RecordLookup::user(const LineData& data, qint64 id) const
{
    _LineUser* u = lookUp(m_users, m_otherUsers, id);
    return u ? u : data.user(id);
}

} // namespace ioslinedb_p

Sqlite3Sql IOSLineDb::messagesSql(bool count, _LineChat* chat, bool chatFirst) const
{
    Sqlite3Sql sql(count ? "select count(*)" : kPageColumns);
    // Both joins give the same rows. Without statistics SQLite walks the
    // time index for any chat, which reads the whole store for a small one;
    // taking the chat first goes through the store's index on ZMESSAGE.ZCHAT.
    sql.appendSql(chatFirst ? QStringLiteral(" from ZCHAT as c cross join ZMESSAGE as m on m.ZCHAT=c.Z_PK")
                            : QStringLiteral(" from ZMESSAGE as m inner join ZCHAT as c on m.ZCHAT=c.Z_PK"));
    if (chat) {
        sql.appendSql(QStringLiteral(" and c.ZMID=?"));
        sql.addTextParam(chat->uid);
    }
    sql.appendSql(QString::fromLatin1(kFilter));
    return sql;
}

qint64 IOSLineDb::messagesCountThrow(_LineChat* chat)
{
    Sqlite3Cursor cur = queryThrow(messagesSql(true, chat, chat && chatIndexed));
    return cur.moveNext() ? cur.getInt64(0) : 0;
}

bool IOSLineDb::chatFirstThrow(_LineChat* chat, const StoreState& state)
{
    if (!chat || !chatIndexed)
        return false;
    PlanCache& pc = planCache;
    if (!(pc.state == state) || pc.chatUid != chat->uid) {
        if (!(pc.state == state)) {
            Sqlite3Cursor all = queryThrow(Sqlite3Sql("select count(*) from ZMESSAGE"));
            pc.totalRows = all.moveNext() ? all.getInt64(0) : 0;
        }
        pc.chatRows = messagesCountThrow(chat);
        pc.chatUid = chat->uid;
        pc.state = state;
    }
    // Walking the time index costs about the whole store once for a chat
    // read page by page; taking the chat first costs the chat's rows on
    // every page. The latter wins while rows x rows / pageSize stays below
    // the store's size (pageSize taken as the usual 5000).
    return double(pc.chatRows) * double(pc.chatRows) < double(pc.totalRows) * 5000.0;
}

QList<_LineMsg> IOSLineDb::messagesThrow(LineData& data, _LineChat* chat, int page, int pageSize, bool asc)
{
    QList<_LineMsg> list;
    if (page < 1 || pageSize < 1)
        return list;

    // Rows of equal time are ordered by Z_PK, so that every page is well
    // defined and no message can fall between two pages or show on both.
    // A page that follows the one read last continues after its last row
    // instead of skipping the rows before it again; that gives the same rows
    // as the offset as long as the store has not changed in between.
    const StoreState state = changeStamp();
    const PageCursor& pc = pageCursor;
    const bool resume = pc.valid && pc.allChats == (chat == nullptr) && (!chat || pc.chatUid == chat->uid)
                        && pc.asc == asc && pc.pageSize == pageSize && pc.page + 1 == page && pc.state == state;

    Sqlite3Sql sql = messagesSql(false, chat, chatFirstThrow(chat, state));
    if (resume) {
        sql.appendSql(asc ? QStringLiteral(" and m.ZTIMESTAMP >= ? and (m.ZTIMESTAMP > ? or m.Z_PK > ?)")
                          : QStringLiteral(" and m.ZTIMESTAMP <= ? and (m.ZTIMESTAMP < ? or m.Z_PK < ?)"));
        sql.addInt64Param(pc.lastTs).addInt64Param(pc.lastTs).addInt64Param(pc.lastPk);
    }
    sql.appendSql(asc ? QStringLiteral(" order by m.ZTIMESTAMP asc, m.Z_PK asc")
                      : QStringLiteral(" order by m.ZTIMESTAMP desc, m.Z_PK desc"));
    sql.appendSql(QStringLiteral(" limit %1 offset %2")
                      .arg(pageSize)
                      .arg(resume ? qint64(0) : qint64(page - 1) * qint64(pageSize)));

    Sqlite3Cursor cur = queryThrow(sql);
    const int iPk = cur.columnIndex(QStringLiteral("Z_PK"));
    const int iId = cur.columnIndex(QStringLiteral("ZID"));
    const int iTs = cur.columnIndex(QStringLiteral("ZTIMESTAMP"));
    const int iType = cur.columnIndex(QStringLiteral("ZCONTENTTYPE"));
    const int iChat = cur.columnIndex(QStringLiteral("ZCHAT"));
    const int iSender = cur.columnIndex(QStringLiteral("ZSENDER"));
    const int iText = cur.columnIndex(QStringLiteral("ZTEXT"));
    const int iMeta = cur.columnIndex(QStringLiteral("ZCONTENTMETADATA"));
    const int iLat = cur.columnIndex(QStringLiteral("ZLATITUDE"));
    const int iLng = cur.columnIndex(QStringLiteral("ZLONGITUDE"));
    const int iChatMid = cur.columnIndex(QStringLiteral("chat_mid"));

    const QString container = containerDir.absolutePath() + QLatin1Char('/');
    const QString storeAbs = container + storeDir;
    const QString extractedDir = container + QStringLiteral("tmp/thumbnails/");

    list.reserve(qMin(pageSize, 20000));
    if (!lookup)
        lookup.reset(new RecordLookup);
    lookup->sync(data);
    // The zone read once for the page.
    LocalZone localTimes(false);
    int rows = 0;
    qint64 lastTs = 0, lastPk = 0;
    for (;;) {
        // The connection's lock held once over the step and the reads of a
        // row, instead of once per column read; let go before any file work.
        Sqlite3Lock rowLock(*this);
        if (!cur.moveNext())
            break;
        ++rows;
        const qint64 ts = cur.getInt64(iTs);
        const qint64 pk = cur.getInt64(iPk);
        lastTs = ts;
        lastPk = pk;
        const int type = messageType(cur.getInt(iType));
        if (type < 0)
            continue;
        // A chat that reached the store after loading has no record: its
        // messages come without one, as counting includes them.
        _LineChat* msgChat = lookup->chat(data, cur.getInt64(iChat));

        // The query passes only rows with an id; a row that still reads
        // without one, or with one that is no text (NUL bytes, broken
        // UTF-8), comes from a damaged page of the store, and its other
        // columns (the time among them) are no better: the page is refused
        // rather than handed out as messages.
        const QByteArray idBytes = cur.getTextBytes(iId);
        if (idBytes.isEmpty() || idBytes.contains('\0') || !QByteArrayView(idBytes).isValidUtf8())
            throw std::runtime_error(QStringLiteral("The LINE store %1 is damaged: message row %2 has no id.")
                                         .arg(dbPath)
                                         .arg(pk)
                                         .toStdString());
        // Filled in place in the page: a failure later in the row throws the
        // whole page away.
        _LineMsg& msg = list.emplaceBack();
        msg.id = pk;
        msg.uid = QString::fromUtf8(idBytes);
        msg.type = type;
        msg.ts = localTimes.dateTime(ts);
        msg.chat = msgChat;
        // Only a message without sender is the account owner's.
        if (const qint64 sender = cur.getInt64(iSender)) {
            msg.from = lookup->user(data, sender);
            if (!msg.from)
                msg.from = data.unknownUser();
        }
        const auto chatUid = [&] { return msgChat ? msgChat->uid : cur.getText(iChatMid); };

        const auto thumbnailSteps = [&](bool pictureFallback) {
            const QString encChat = pathutil::encodeFileName(chatUid());
            const QString encMsg = pathutil::encodeFileName(msg.uid);
            const QString extracted = extractedDir + encChat + QLatin1Char('/') + encMsg + QStringLiteral(".thumb.jpg");
            const QString lineThumb =
                storeAbs + QStringLiteral("Message Thumbnails/") + encChat + QLatin1Char('/') + encMsg + QStringLiteral(".thumb");
            msg.thumbPath = extracted;
            // Where each really is; empty when that is outside the container.
            QString thumbReal = confinement.realPath(lineThumb);
            if (!thumbReal.isEmpty() && safefile::isRegularFile(thumbReal)) {
                msg.thumbPath = lineThumb;
            } else {
                thumbReal = confinement.realPath(extracted);
                if (thumbReal.isEmpty()) {
                    msg.thumbPath.clear();
                } else if (fileStamp(thumbReal).first <= 0) {
                    Sqlite3Sql blobSql("select ZTHUMBNAIL from ZMESSAGE where Z_PK=?");
                    blobSql.addInt64Param(pk);
                    Sqlite3Cursor blob = queryThrow(blobSql);
                    const QByteArray bytes = blob.moveNext() ? blob.getBlob(0) : QByteArray();
                    QDir().mkpath(QFileInfo(thumbReal).absolutePath());
                    writeWhole(thumbReal, bytes);
                }
            }
            if (!pictureFallback || thumbReal.isEmpty())
                return;
            // A thumbnail that decoded once and has not changed since decodes
            // again: remember it instead of decoding it on every read.
            const QPair<qint64, qint64> stamp = fileStamp(thumbReal);
            const auto known = decodedThumbs.constFind(thumbReal);
            if (stamp.first > 0 && known != decodedThumbs.constEnd() && *known == stamp)
                return;
            QImage img;
            if (loadPicture(img, thumbReal)) {
                // Bounded: reading a whole store must not keep one entry
                // per photo for as long as the store is open.
                if (decodedThumbs.size() >= kMaxDecodedThumbs)
                    decodedThumbs.clear();
                decodedThumbs.insert(thumbReal, stamp);
                return;
            }
            QImage photo;
            if (msg.attaPath.isEmpty() || !loadPicture(photo, confinement.realPath(msg.attaPath)))
                return;
            const QImage scaled = photo.width() > photo.height()
                                      ? photo.scaledToWidth(400, Qt::FastTransformation)
                                      : photo.scaledToHeight(400, Qt::FastTransformation);
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            if (buffer.open(QIODevice::WriteOnly) && scaled.save(&buffer, "JPEG"))
                writeWhole(thumbReal, jpeg);
        };

        const auto attaBase = [&] {
            return storeAbs + QStringLiteral("Message Attachments/") + pathName(chatUid()) + QLatin1Char('/')
                   + pathName(msg.uid);
        };
        // A media file counts when it is a regular file inside the container.
        const auto isFile = [this](const QString& path) {
            const QString real = confinement.realPath(path);
            return !real.isEmpty() && safefile::isRegularFile(real);
        };
        // A path named whether or not its file exists, unless it leads out.
        const auto unlessOutside = [this](const QString& path) {
            return confinement.realPath(path).isEmpty() ? QString() : path;
        };

        switch (type) {
        case LineMsgType::TEXT:
            msg.rawContent = cur.getTextBytes(iText);
            msg.text = parseLineRawContent(msg.rawContent);
            break;
        case LineMsgType::PHOTO:
            rowLock.unlock();
            msg.attaPath = unlessOutside(attaBase() + QStringLiteral(".jpg"));
            thumbnailSteps(true);
            msg.attaSetWidth(cur.getInt(iLat));
            msg.attaSetHeight(cur.getInt(iLng));
            break;
        case LineMsgType::VIDEO:
            rowLock.unlock();
            thumbnailSteps(false);
            msg.attaPath = firstExisting(attaBase(), {".mp4", ".mov"}, isFile);
            msg.attaSetWidth(cur.getInt(iLat));
            msg.attaSetHeight(cur.getInt(iLng));
            break;
        case LineMsgType::VOICE:
            rowLock.unlock();
            msg.attaPath = firstExisting(attaBase(), {".mp4", ".aac", ".m4a"}, isFile);
            msg.attaSetFileSize(cur.getInt64(iLat));
            break;
        case LineMsgType::STICKER: {
            _LineStickerInfo sticker;
            const QByteArray metaBytes = cur.getBlob(iMeta);
            if (!metaBytes.isEmpty()) {
                const QHash<QString, QString> meta = readMetaData(metaBytes);
                sticker.id = meta.value(QStringLiteral("STKID")).toInt();
                sticker.version = meta.value(QStringLiteral("STKVER")).toInt();
                sticker.package = meta.value(QStringLiteral("STKPKGID")).toInt();
            }
            if (sticker.id <= 0)
                sticker = stickerInfoThrow(cur.getInt(iLng));
            msg.attaSetSticker(sticker);
            break;
        }
        case LineMsgType::CONTACT: {
            const QHash<QString, QString> meta = readMetaData(cur.getBlob(iMeta));
            msg.attaSetContact(ioslinedb_p::contactInfoOf(meta));
            break;
        }
        case LineMsgType::FILE: {
            rowLock.unlock();
            const QString fileName = readMetaData(cur.getBlob(iMeta)).value(QStringLiteral("FILE_NAME"));
            msg.attaSetFileName(fileName);
            // Both forms are single names: the encoded one escapes every
            // separator and the cleaned one drops them.
            const QString folder = storeAbs + QStringLiteral("Message Attachments/") + pathName(chatUid())
                                   + QLatin1Char('/');
            const QString base = attaBase() + QLatin1Char('_');
            // The copy of a backup names the phone's file "<id>_<name>"
            // encoded as a whole (shortened when too long): the same here.
            const QString encoded =
                folder + pathutil::encodeFileName(msg.uid + QLatin1Char('_') + utf8mac_to(fileName));
            msg.attaPath = isFile(encoded) ? encoded : unlessOutside(base + g_formatFileName(fileName));
            break;
        }
        case LineMsgType::LOCATION: {
            _LineLocationInfo loc;
            loc.lat = cur.getDouble(iLat);
            loc.lng = cur.getDouble(iLng);
            loc.name = cur.getText(iText);
            msg.attaSetLocation(loc);
            break;
        }
        default:
            break;
        }
    }

    PageCursor& next = pageCursor;
    next.valid = rows == pageSize;
    next.allChats = chat == nullptr;
    next.chatUid = chat ? chat->uid : QString();
    next.asc = asc;
    next.page = page;
    next.pageSize = pageSize;
    next.lastTs = lastTs;
    next.lastPk = lastPk;
    next.state = state;
    return list;
}

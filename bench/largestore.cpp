#include "bench/largestore.h"
#include "tests/support/linestorebuilder.h"

#include <QFile>

#include <sqlite3.h>

#include <random>
#include <stdexcept>

namespace {

class BulkDb
{
public:
    explicit BulkDb(const QString& path)
    {
        if (sqlite3_open(QFile::encodeName(path).constData(), &m_db) != SQLITE_OK)
            fail("open");
    }
    ~BulkDb()
    {
        for (sqlite3_stmt* s : std::as_const(m_cache))
            sqlite3_finalize(s);
        sqlite3_close(m_db);
    }
    void exec(const char* sql)
    {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            fail(sql);
    }
    // QString binds TEXT, QByteArray BLOB, double REAL, integers INTEGER, a
    // null QVariant NULL.
    void run(const char* sql, const QVariantList& values)
    {
        sqlite3_stmt*& s = m_cache[sql];
        if (!s && sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr) != SQLITE_OK)
            fail(sql);
        for (int i = 0; i < values.size(); ++i) {
            const QVariant& v = values.at(i);
            const QByteArray b = v.userType() == QMetaType::QString ? v.toString().toUtf8() : v.toByteArray();
            if (v.isNull())
                sqlite3_bind_null(s, i + 1);
            else if (v.userType() == QMetaType::QByteArray)
                sqlite3_bind_blob(s, i + 1, b.constData(), int(b.size()), SQLITE_TRANSIENT);
            else if (v.userType() == QMetaType::QString)
                sqlite3_bind_text(s, i + 1, b.constData(), int(b.size()), SQLITE_TRANSIENT);
            else if (v.userType() == QMetaType::Double)
                sqlite3_bind_double(s, i + 1, v.toDouble());
            else
                sqlite3_bind_int64(s, i + 1, v.toLongLong());
        }
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE)
            fail(sql);
    }

private:
    [[noreturn]] void fail(const char* what)
    {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(m_db));
    }
    sqlite3* m_db = nullptr;
    QHash<QByteArray, sqlite3_stmt*> m_cache;
};

} // namespace

LargeStoreInfo generateLargeLineStore(const QString& containerDir, const LargeStoreSpec& spec)
{
    if (spec.users < 2 || spec.chats < 2 || spec.messages < spec.smallChatMessages)
        throw std::runtime_error("generateLargeLineStore: numbers too small");

    LineStoreBuilder b(containerDir);
    b.setAccount(spec.accountMid, QStringLiteral("Bench Owner"));
    b.build(); // preferences, schema and entity rows, no data rows

    LargeStoreInfo info;
    std::mt19937 rng(spec.seed);
    const QByteArray thumb = spec.thumbnail.isEmpty() ? linePicture(48, 36) : spec.thumbnail;
    const QDateTime base = QDateTime(QDate(2015, 1, 1), QTime(0, 0), Qt::UTC);
    const qint64 baseMs = base.toMSecsSinceEpoch();

    BulkDb db(b.dbPath());
    db.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN");

    auto userMid = [](int i) { return QStringLiteral("u%1").arg(i, 32, 16, QLatin1Char('0')); };
    for (int i = 1; i <= spec.users; ++i) {
        const bool owner = i == 1;
        db.run("INSERT INTO ZUSER (Z_PK, Z_ENT, Z_OPT, ZMID, ZNAME, ZADDRESSBOOKNAME, ZCUSTOMNAME, ZCREATEDTIME, "
               "ZPICTUREURL, ZISFRIEND) VALUES (?,12,1,?,?,?,NULL,?,?,1)",
               {i, owner ? spec.accountMid : userMid(i), QStringLiteral("User %1").arg(i),
                (i % 3 == 0) ? QVariant(QStringLiteral("Contact %1").arg(i)) : QVariant(), lineCoreDataTime(base) + i,
                QStringLiteral("/p/%1").arg(i)});
    }

    // Chats: mostly one-to-one with users 2.., every tenth a group chat and
    // every twentieth a room; the last chat is the small one.
    QString lastChatMid;
    qint64 groupKey = 0;
    for (int c = 1; c <= spec.chats; ++c) {
        const int type = c == spec.chats ? 0 : c % 10 == 0 ? 2 : c % 20 == 5 ? 1 : 0;
        const QString mid = type == 0 ? userMid(2 + (c - 1) % (spec.users - 1))
                                      : QStringLiteral("%1%2").arg(type == 2 ? 'c' : 'r').arg(c, 32, 16, QLatin1Char('0'));
        lastChatMid = mid;
        db.run("INSERT INTO ZCHAT (Z_PK, Z_ENT, Z_OPT, ZMID, ZTYPE, ZENABLE, ZLASTUPDATED, ZALERT, ZUNREAD, ZSESSIONID) "
               "VALUES (?,1,1,?,?,1,?,1,0,0)",
               {c, mid, type, lineCoreDataTime(base) + c});
        db.run("INSERT INTO ZCHATMETADATA (Z_PK, Z_ENT, Z_OPT, ZCHAT) VALUES (?,2,1,?)", {c, c});
        if (type != 0) {
            const int n = 3 + int(rng() % 8);
            for (int k = 0; k < n; ++k) {
                const int user = 2 + int(rng() % quint32(spec.users - 1));
                db.run("INSERT OR IGNORE INTO Z_1MEMBERS (Z_1CHATS, Z_12MEMBERS) VALUES (?,?)", {c, user});
                if (type == 2 && k == 0)
                    db.run("INSERT INTO ZGROUP (Z_PK, Z_ENT, Z_OPT, ZID, ZNAME, ZCREATEDTIME, ZPICTURESTATUS, ZCREATOR, "
                           "ZENABLE) VALUES (?,4,1,?,?,?,?,?,1)",
                           {++groupKey, mid, QStringLiteral("Group %1").arg(c), lineCoreDataTime(base) + c,
                            QStringLiteral("p"), user});
                if (type == 2)
                    db.run("INSERT OR IGNORE INTO Z_4MEMBERS (Z_4GROUPS, Z_12MEMBERS1) VALUES (?,?)", {groupKey, user});
            }
        }
    }
    info.smallChatMid = lastChatMid;

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
            text = QString::fromLatin1(t);
        }
        db.run("INSERT INTO ZMESSAGE (Z_PK, Z_ENT, Z_OPT, ZID, ZCHAT, ZSENDER, ZTIMESTAMP, ZCONTENTTYPE, ZTEXT, "
               "ZCONTENTMETADATA, ZLATITUDE, ZLONGITUDE, ZTHUMBNAIL, ZSENDSTATUS, ZREADCOUNT) "
               "VALUES (?,5,?,?,?,?,?,?,?,?,?,?,?,1,0)",
               {i, fromOwner ? 3 : 1, QString::number(100000000000LL + i), chat, sender, ts, type, text, meta, lat, lng,
                th});
    }
    db.exec("UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT max(Z_PK) FROM ZMESSAGE) WHERE Z_NAME='Message';"
            "UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT max(Z_PK) FROM ZUSER) WHERE Z_NAME='User';"
            "UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT max(Z_PK) FROM ZCHAT) WHERE Z_NAME='Chat';"
            "UPDATE Z_PRIMARYKEY SET Z_MAX = (SELECT ifnull(max(Z_PK),0) FROM ZGROUP) WHERE Z_NAME='Group';"
            "COMMIT");
    return info;
}

// The LINE store fixtures are read back here with tools that share no code
// with them or with the product: the sqlite3 shell and Python's plistlib. A
// fixture that drifts from the documented format would make every reader
// test built on it meaningless.
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString sqlite(const QString& db, const QString& sql)
{
    QByteArray out, err;
    const int rc = testenv::runTool("sqlite3", {"-batch", "-noheader", "-separator", "|", db, sql}, &out, &err);
    EXPECT_EQ(rc, 0) << err.toStdString();
    return QString::fromUtf8(out).trimmed();
}

// Runs a Python snippet with the file as sys.argv[1]; the output trimmed.
QString python(const QString& script, const QString& arg)
{
    QByteArray out, err;
    const int rc = testenv::runTool("python3", {"-c", script, arg}, &out, &err);
    EXPECT_EQ(rc, 0) << err.toStdString();
    return QString::fromUtf8(out).trimmed();
}

// Decodes a keyed archive of one dictionary with plistlib and prints its
// entries sorted, "key=repr(value)" per line, then the class name.
const char* kDecodeArchive = R"PY(
import plistlib, sys
a = plistlib.loads(bytes.fromhex(sys.argv[1]))
assert a['$archiver'] == 'NSKeyedArchiver' and a['$version'] == 100000
objs = a['$objects']
root = objs[a['$top']['root'].data]
keys = [objs[u.data] for u in root['NS.keys']]
vals = [objs[u.data] for u in root['NS.objects']]
for k, v in sorted(zip(keys, vals)):
    print('%s=%r' % (k, v))
cls = objs[root['$class'].data]
print('class=%s/%s' % (cls['$classname'], ','.join(cls['$classes'])))
)PY";

class LineStoreBuilderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testenv::haveTool("sqlite3") || !testenv::haveTool("python3"))
            GTEST_SKIP() << "needs the sqlite3 shell and python3";
        ASSERT_TRUE(tmp.isValid());
    }
    QTemporaryDir tmp;
};

TEST_F(LineStoreBuilderTest, EveryLayoutPutsTheStoreWhereTheAppKeepsIt)
{
    struct Case
    {
        LineStoreLayout layout;
        QString db;
        QString storeDir;
    };
    const QString mid = "u1234abcd";
    const QList<Case> cases{
        {LineStoreLayout::Current, "Library/Application Support/PrivateStore/P_u1234abcd/Messages/Line.sqlite",
         "Library/Application Support/PrivateStore/P_u1234abcd/"},
        {LineStoreLayout::CurrentOtherFolder, "Library/Application Support/PrivateStore/p_Other/Messages/Line.sqlite",
         "Library/Application Support/PrivateStore/p_Other/"},
        {LineStoreLayout::DocumentsTalk, "Documents/PrivateStore/P_u1234abcd/talk.sqlite",
         "Library/Application Support/PrivateStore/P_u1234abcd/"},
        {LineStoreLayout::DocumentsMessagesLine, "Documents/PrivateStore/P_u1234abcd/Messages/Line.sqlite",
         "Library/Application Support/PrivateStore/P_u1234abcd/"},
        {LineStoreLayout::DocumentsMessagesTalk, "Documents/PrivateStore/P_u1234abcd/Messages/talk.sqlite",
         "Library/Application Support/PrivateStore/P_u1234abcd/"},
        {LineStoreLayout::LibraryMessages, "Library/Application Support/Messages/Line.sqlite",
         "Library/Application Support/"},
        {LineStoreLayout::DocumentsRoot, "Documents/talk.sqlite", "Library/Application Support/"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.db.toStdString());
        const QString dir = tmp.path() + QStringLiteral("/c%1").arg(n++);
        QDir().mkpath(dir);
        LineStoreBuilder b(dir);
        b.setAccount(mid).setLayout(c.layout, "p_Other");
        const qint64 chat = b.addChat(LineChatRow("uPeer"));
        b.addMessage(LineMsgRow(chat, "7").at(1000).text("hi"));
        b.addAttachment("uPeer", "7", ".jpg", "JPEGDATA");
        b.build();
        EXPECT_EQ(b.dbRelPath(), c.db);
        EXPECT_EQ(b.storeDir(), c.storeDir);
        EXPECT_TRUE(QFileInfo(dir + "/" + c.db).isFile());
        EXPECT_EQ(sqlite(dir + "/" + c.db, "select ZTEXT from ZMESSAGE"), "hi");
        QFile att(dir + "/" + c.storeDir + "Message Attachments/uPeer/7.jpg");
        ASSERT_TRUE(att.open(QIODevice::ReadOnly));
        EXPECT_EQ(att.readAll(), QByteArray("JPEGDATA"));
    }

    // No store at all: only the preferences and the files exist.
    LineStoreBuilder none(tmp.path() + "/none");
    QDir().mkpath(tmp.path() + "/none");
    none.setAccount(mid).setLayout(LineStoreLayout::None);
    none.build();
    EXPECT_TRUE(none.dbRelPath().isEmpty());
    EXPECT_FALSE(QDir(tmp.path() + "/none/Documents").exists());
    EXPECT_TRUE(QFileInfo(none.preferencesPath()).isFile());
}

TEST_F(LineStoreBuilderTest, CoreDataTablesHoldTheRowsWithEntityNumbersAndJoinTables)
{
    LineStoreBuilder b(tmp.path());
    b.setAccount("uOwner").withGroupStore();
    const qint64 alice = b.addUser(LineUserRow("uAlice").named("Alice").addressBook("Ali").custom("A."));
    const qint64 bob = b.addUser(LineUserRow("uBob").named("Bob").key(40));
    const qint64 carol = b.addUser(LineUserRow("uCarol"));
    EXPECT_EQ(alice, 1);
    EXPECT_EQ(bob, 40);
    EXPECT_EQ(carol, 41); // keys continue after an explicit one
    const qint64 room = b.addChat(LineChatRow("rRoom").room().withMembers({alice, bob}));
    const qint64 gchat = b.addChat(LineChatRow("cGroup").groupChat().disabled());
    b.addGroup(LineGroupRow("cGroup").named("Friends").createdBy(bob).withMembers({alice, carol}));
    b.addMessage(LineMsgRow(room, "1").at(1420070400000).from(alice).text("héllo"));
    b.addMessage(LineMsgRow(gchat, QVariant()).at(5).text("no id"));
    b.addStickerPackage(1001, 3, 500, 599);
    const qint64 gu = b.addUnifiedGroupUser("uAlice");
    b.addUnifiedGroup(LineGroupRow("cUnified").named("U").createdBy(gu).withMembers({gu}));
    b.build();

    const QString db = b.dbPath();
    EXPECT_EQ(sqlite(db, "select Z_NAME||'='||Z_ENT||'/'||Z_MAX from Z_PRIMARYKEY order by Z_ENT"),
              "Chat=1/2\nChatMetadata=2/2\nGroup=4/1\nMessage=5/2\nStickerPackage=11/1\nUser=12/41");
    EXPECT_EQ(sqlite(db, "select Z_PK, Z_ENT, ZMID, ZNAME, ZADDRESSBOOKNAME, ZCUSTOMNAME from ZUSER order by Z_PK"),
              "1|12|uAlice|Alice|Ali|A.\n40|12|uBob|Bob||\n41|12|uCarol|||");
    EXPECT_EQ(sqlite(db, "select Z_PK, ZMID, ZTYPE, ZENABLE from ZCHAT order by Z_PK"), "1|rRoom|1|1\n2|cGroup|2|0");
    EXPECT_EQ(sqlite(db, "select ZCHAT from ZCHATMETADATA order by ZCHAT"), "1\n2");
    EXPECT_EQ(sqlite(db, "select Z_1CHATS||':'||Z_12MEMBERS from Z_1MEMBERS order by 1"), "1:1\n1:40");
    EXPECT_EQ(sqlite(db, "select ZID, ZNAME, ZCREATOR from ZGROUP"), "cGroup|Friends|40");
    EXPECT_EQ(sqlite(db, "select Z_4GROUPS||':'||Z_12MEMBERS1 from Z_4MEMBERS order by 1"), "1:1\n1:41");
    // ZTEXT is stored as TEXT (UTF-8), a missing id as NULL, times as integers.
    EXPECT_EQ(sqlite(db, "select typeof(ZTEXT), ZTEXT, ZTIMESTAMP, ZSENDER, Z_OPT from ZMESSAGE where Z_PK=1"),
              "text|héllo|1420070400000|1|1");
    EXPECT_EQ(sqlite(db, "select typeof(ZID), typeof(ZSENDER), Z_OPT from ZMESSAGE where Z_PK=2"), "null|null|3");
    EXPECT_EQ(sqlite(db, "select ZPACKAGEID, ZVERSION, ZSTICKERIDSTART, ZSTICKERIDEND from ZSTICKERPACKAGE"),
              "1001|3|500|599");
    // The readers' added index is not there: opening is what adds it.
    EXPECT_EQ(sqlite(db, "select count(*) from sqlite_master where name='_vardo_idx_Message_timestamp'"), "0");

    const QString g = b.groupDbPath();
    EXPECT_EQ(QFileInfo(g).fileName(), "UnifiedGroup.sqlite");
    EXPECT_EQ(QFileInfo(g).absolutePath(), QFileInfo(db).absolutePath());
    EXPECT_EQ(sqlite(g, "select Z_NAME||'='||Z_ENT from Z_PRIMARYKEY order by Z_ENT"),
              "UnifiedGroup=3\nUnifiedGroupUser=4");
    EXPECT_EQ(sqlite(g, "select ZID, ZNAME, ZCREATOR from ZUNIFIEDGROUP"), "cUnified|U|1");
    EXPECT_EQ(sqlite(g, "select ZMID from ZUNIFIEDGROUPUSER"), "uAlice");
    EXPECT_EQ(sqlite(g, "select Z_3GROUPS||':'||Z_4MEMBERCHATUSERS from Z_3MEMBERCHATUSERS"), "1:1");
}

TEST_F(LineStoreBuilderTest, SchemaVariantsLeaveOutTablesColumnsAndEntities)
{
    LineStoreBuilder b(tmp.path());
    b.setAccount("uOwner")
        .withoutColumn("ZCHAT", "ZENABLE")
        .withoutTable("ZCHATMETADATA")
        .withoutTable("ZGROUP")
        .withoutIndex("ZMESSAGE_ZCHAT_INDEX")
        .removeEntity("Chat")
        .setEntity("ZCHAT", 7)
        .setEntity("User", 9);
    const qint64 u = b.addUser(LineUserRow("uA"));
    b.addChat(LineChatRow("uA").disabled().withMembers({u})); // ZENABLE is dropped with its column
    b.addGroup(LineGroupRow("cG"));                           // no table: nothing written
    b.build();

    const QString db = b.dbPath();
    const QString tables = sqlite(db, "select name from sqlite_master where type='table' order by name");
    EXPECT_FALSE(tables.split('\n').contains("ZCHATMETADATA"));
    EXPECT_FALSE(tables.split('\n').contains("ZGROUP"));
    EXPECT_FALSE(tables.split('\n').contains("Z_4MEMBERS"));
    EXPECT_TRUE(tables.split('\n').contains("Z_7MEMBERS")) << tables.toStdString();
    EXPECT_EQ(b.chatMembersTable(), "Z_7MEMBERS");
    EXPECT_EQ(sqlite(db, "select count(*) from pragma_table_info('ZCHAT') where name='ZENABLE'"), "0");
    EXPECT_EQ(sqlite(db, "select group_concat(name) from pragma_index_list('ZMESSAGE')"), "ZMESSAGE_ZSENDER_INDEX");
    EXPECT_EQ(sqlite(db, "select Z_7CHATS||':'||Z_9MEMBERS from Z_7MEMBERS"), "1:1");
    EXPECT_EQ(sqlite(db, "select Z_ENT from Z_PRIMARYKEY where Z_NAME='ZCHAT'"), "7");
    EXPECT_EQ(sqlite(db, "select count(*) from Z_PRIMARYKEY where Z_NAME='Chat'"), "0");
}

TEST_F(LineStoreBuilderTest, PreferencesAreAPlistInBothForms)
{
    const char* script = R"PY(
import plistlib, sys
raw = open(sys.argv[1], 'rb').read()
p = plistlib.loads(raw)
print('binary' if raw.startswith(b'bplist') else 'xml', p.get('mid'), p.get('name'), p.get('tel'), sep='|')
)PY";
    for (auto fmt : {LineStoreBuilder::PlistFormat::Binary, LineStoreBuilder::PlistFormat::Xml}) {
        QTemporaryDir dir;
        LineStoreBuilder b(dir.path());
        b.setAccount("U77aa", "名前", "+81 3").setPreferencesFormat(fmt).setLayout(LineStoreLayout::None);
        b.build();
        EXPECT_EQ(python(script, b.preferencesPath()),
                  fmt == LineStoreBuilder::PlistFormat::Binary ? "binary|U77aa|名前|+81 3" : "xml|U77aa|名前|+81 3");
    }
    // An empty value leaves its key out.
    QTemporaryDir dir;
    LineStoreBuilder b(dir.path());
    b.setAccount("uX").setLayout(LineStoreLayout::None);
    b.build();
    EXPECT_EQ(python(script, b.preferencesPath()), "binary|uX|None|None");
}

TEST_F(LineStoreBuilderTest, MetadataArchivesDecodeWithPlistlib)
{
    LineStoreBuilder b(tmp.path());
    b.setAccount("uOwner");
    const qint64 c = b.addChat(LineChatRow("uPeer"));
    b.addMessage(LineMsgRow(c, "1").sticker(52002734, 11537, 1));
    b.addMessage(LineMsgRow(c, "2").contact("uFriend", "Tom & <Jerry>"));
    b.addMessage(LineMsgRow(c, "3").file("résumé.pdf", 0));
    b.addMessage(LineMsgRow(c, "4").voice(4900));
    b.addMessage(LineMsgRow(c, "5").voice(0).withMetadata(LineMetaArchive::voiceSent(3)));
    b.addMessage(LineMsgRow(c, "6").ofType(LineContent::Sticker).withMetadata(LineMetaArchive::empty()));
    b.addMessage(LineMsgRow(c, "7").stickerByLongitude(510));
    b.build();

    auto decoded = [&](int pk) {
        const QString hex = sqlite(b.dbPath(), QStringLiteral("select hex(ZCONTENTMETADATA) from ZMESSAGE where Z_PK=%1").arg(pk));
        return python(kDecodeArchive, hex);
    };
    EXPECT_EQ(decoded(1), "STKID='52002734'\nSTKOPT=''\nSTKPKGID='11537'\nSTKVER='1'\n"
                          "class=NSDictionary/NSDictionary,NSObject");
    EXPECT_EQ(decoded(2), "displayName='Tom & <Jerry>'\nmid='uFriend'\n"
                          "class=NSMutableDictionary/NSMutableDictionary,NSDictionary,NSObject");
    EXPECT_EQ(decoded(3), "FILE_EXPIRE_TIMESTAMP='1700000000000'\nFILE_NAME='résumé.pdf'\nFILE_SIZE='0'\n"
                          "OBS_POP='sg-1'\nclass=NSDictionary/NSDictionary,NSObject");
    EXPECT_EQ(decoded(4), "AUDLEN='4900'\nOBS_POP='b'\n"
                          "class=NSMutableDictionary/NSMutableDictionary,NSDictionary,NSObject");
    EXPECT_EQ(decoded(5), "receiverCount=3\nclass=NSMutableDictionary/NSMutableDictionary,NSDictionary,NSObject");
    EXPECT_EQ(decoded(6), "class=NSDictionary/NSDictionary,NSObject");
    EXPECT_EQ(sqlite(b.dbPath(), "select typeof(ZCONTENTMETADATA), ZLONGITUDE from ZMESSAGE where Z_PK=7"), "null|510.0");
    EXPECT_EQ(sqlite(b.dbPath(), "select substr(ZCONTENTMETADATA,1,6) from ZMESSAGE where Z_PK=1"), "bplist");

    // Equal values share one object, as in archives the app writes: the
    // table then holds fewer objects than keys + values.
    const QByteArray shared = LineMetaArchive::archive({{"a", QString("x")}, {"b", QString("x")}}, false);
    EXPECT_EQ(python("import plistlib,sys; a=plistlib.loads(bytes.fromhex(sys.argv[1])); "
                     "r=a['$objects'][1]; print(len(a['$objects']), [u.data for u in r['NS.objects']])",
                     QString::fromLatin1(shared.toHex())),
              "6 [4, 4]");
}

TEST_F(LineStoreBuilderTest, FilesStayInsideTheContainer)
{
    LineStoreBuilder b(tmp.path());
    b.setAccount("uOwner");
    EXPECT_THROW(b.addFile("../escape", "x"), std::runtime_error);
    EXPECT_THROW(b.addFile("/etc/passwd", "x"), std::runtime_error);
    EXPECT_THROW(b.addAttachment("..", "1", ".jpg", "x"), std::runtime_error);
    EXPECT_THROW(b.addLineThumbnail("c", "../../m", "x"), std::runtime_error);
    b.addLineThumbnail("uPeer", "9", "THUMB").addFile("tmp/x.bin", "X");
    b.build();
    QFile t(b.absolute(b.storeDir() + "Message Thumbnails/uPeer/9.thumb"));
    ASSERT_TRUE(t.open(QIODevice::ReadOnly));
    EXPECT_EQ(t.readAll(), QByteArray("THUMB"));
    EXPECT_TRUE(QFileInfo(b.absolute("tmp/x.bin")).isFile());
    EXPECT_THROW(b.build(), std::runtime_error);
}

TEST_F(LineStoreBuilderTest, LargeStoreHasTheAskedNumbers)
{
    LineStoreBuilder::LargeSpec spec;
    spec.users = 300;
    spec.chats = 40;
    spec.messages = 5000;
    spec.smallChatMessages = 25;
    const auto info = LineStoreBuilder::generateLarge(tmp.path(), spec);
    const QString db = tmp.path() + "/Library/Application Support/PrivateStore/P_" + spec.accountMid +
                       "/Messages/Line.sqlite";
    EXPECT_EQ(sqlite(db, "select count(*) from ZUSER"), "300");
    EXPECT_EQ(sqlite(db, "select count(*) from ZCHAT"), "40");
    EXPECT_EQ(sqlite(db, "select count(*) from ZMESSAGE"), "5000");
    EXPECT_EQ(sqlite(db, QStringLiteral("select count(*) from ZMESSAGE m join ZCHAT c on m.ZCHAT=c.Z_PK "
                                        "where c.ZMID='%1'").arg(info.smallChatMid)),
              "25");
    EXPECT_EQ(info.textMessages + info.mediaMessages, 5000);
    const int media = sqlite(db, "select count(*) from ZMESSAGE where ZCONTENTTYPE in (1,2,3,14)").toInt();
    EXPECT_EQ(media, info.mediaMessages);
    EXPECT_GT(media, 1200);
    EXPECT_LT(media, 1800);
    // Every group chat has its group, every message a chat.
    EXPECT_EQ(sqlite(db, "select count(*) from ZCHAT c left join ZGROUP g on g.ZID=c.ZMID where c.ZTYPE=2 and g.Z_PK is null"), "0");
    EXPECT_EQ(sqlite(db, "select count(*) from ZMESSAGE m left join ZCHAT c on m.ZCHAT=c.Z_PK where c.Z_PK is null"), "0");
    EXPECT_EQ(sqlite(db, "select Z_MAX from Z_PRIMARYKEY where Z_NAME='Message'"), "5000");
}

} // namespace

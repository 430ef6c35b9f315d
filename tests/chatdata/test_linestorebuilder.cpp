// The LINE store fixtures are read back here with tools that share no code
// with them or with the product: the sqlite3 shell and Python's plistlib. A
// fixture that drifts from the documented format would make every reader
// test built on it meaningless. (Its metadata archives are decoded in
// test_ioslinedb_metadata.cpp.)
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/linestorecheck.h"
#include "tests/support/testenv.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class LineStoreBuilderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!sqlitecli::available() || !testenv::haveTool("python3"))
            GTEST_SKIP() << "needs the sqlite3 shell and python3";
        ASSERT_TRUE(tmp.isValid());
    }
    static QString sqlite(const QString& db, const QString& sql) { return sqlitecli::textThrow(db, sql); }
    QTemporaryDir tmp;
};

TEST_F(LineStoreBuilderTest, CoreDataTablesHoldTheRowsWithEntityNumbersAndJoinTables)
{
    LineStoreBuilder b(tmp.path());
    b.setAccount("uOwner").withGroupStore();
    const qint64 alice = b.addUser(LineUserRow("uAlice").named("Alice").addressBook("Ali").custom("A."));
    const qint64 bob = b.addUser(LineUserRow("uBob").named("Bob").key(40));
    const qint64 carol = b.addUser(LineUserRow("uCarol"));
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
    EXPECT_EQ(g, QFileInfo(db).absolutePath() + "/UnifiedGroup.sqlite");
    EXPECT_EQ(sqlite(g, "select Z_NAME||'='||Z_ENT from Z_PRIMARYKEY order by Z_ENT"), "UnifiedGroup=3\nUnifiedGroupUser=4");
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
    EXPECT_EQ(sqlite(db, "select group_concat(name) from (select name from sqlite_master where type='table' and"
                         " name in ('ZCHATMETADATA', 'ZGROUP', 'Z_4MEMBERS', 'Z_7MEMBERS'))"),
              "Z_7MEMBERS");
    EXPECT_EQ(b.chatMembersTable(), "Z_7MEMBERS");
    EXPECT_EQ(sqlite(db, "select count(*) from pragma_table_info('ZCHAT') where name='ZENABLE'"), "0");
    EXPECT_EQ(sqlite(db, "select group_concat(name) from pragma_index_list('ZMESSAGE')"), "ZMESSAGE_ZSENDER_INDEX");
    EXPECT_EQ(sqlite(db, "select Z_7CHATS||':'||Z_9MEMBERS from Z_7MEMBERS"), "1:1");
    EXPECT_EQ(sqlite(db, "select group_concat(Z_NAME||'='||Z_ENT) from Z_PRIMARYKEY where Z_NAME like '%chat'"), "ZCHAT=7");
}

TEST_F(LineStoreBuilderTest, PreferencesAreAPlistInBothForms)
{
    const char* script = R"PY(
import plistlib, sys
raw = open(sys.argv[1], 'rb').read()
p = plistlib.loads(raw)
print('binary' if raw.startswith(b'bplist') else 'xml', p.get('mid'), p.get('name'), p.get('tel'), sep='|')
)PY";
    const auto read = [&](const QString& mid, const QString& name, const QString& tel, LineStoreBuilder::PlistFormat f) {
        QTemporaryDir dir;
        LineStoreBuilder b(dir.path());
        b.setAccount(mid, name, tel).setPreferencesFormat(f).setLayout(LineStoreLayout::None);
        b.build();
        QByteArray out;
        EXPECT_EQ(testenv::runTool("python3", {"-c", script, b.preferencesPath()}, &out), 0);
        return QString::fromUtf8(out).trimmed();
    };
    EXPECT_EQ(read("U77aa", "名前", "+81 3", LineStoreBuilder::PlistFormat::Binary), "binary|U77aa|名前|+81 3");
    EXPECT_EQ(read("U77aa", "名前", "+81 3", LineStoreBuilder::PlistFormat::Xml), "xml|U77aa|名前|+81 3");
    // An empty value leaves its key out.
    EXPECT_EQ(read("uX", "", "", LineStoreBuilder::PlistFormat::Binary), "binary|uX|None|None");
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
    EXPECT_EQ(sqlite(db, QStringLiteral("select (select count(*) from ZUSER), (select count(*) from ZCHAT),"
                                        " (select count(*) from ZMESSAGE), (select count(*) from ZMESSAGE m join ZCHAT c"
                                        " on m.ZCHAT=c.Z_PK where c.ZMID='%1'), (select Z_MAX from Z_PRIMARYKEY where"
                                        " Z_NAME='Message')").arg(info.smallChatMid)),
              "300|40|5000|25|5000");
    EXPECT_EQ(info.textMessages + info.mediaMessages, 5000);
    const int media = sqlite(db, "select count(*) from ZMESSAGE where ZCONTENTTYPE in (1,2,3,14)").toInt();
    EXPECT_EQ(media, info.mediaMessages);
    EXPECT_GT(media, 1200);
    EXPECT_LT(media, 1800);
    // Every group chat has its group, every message a chat.
    EXPECT_EQ(sqlite(db, "select count(*) from ZCHAT c left join ZGROUP g on g.ZID=c.ZMID where c.ZTYPE=2 and g.Z_PK is null"), "0");
    EXPECT_EQ(sqlite(db, "select count(*) from ZMESSAGE m left join ZCHAT c on m.ZCHAT=c.Z_PK where c.Z_PK is null"), "0");
}

} // namespace

// ZCONTENTMETADATA: what the builders write is decoded by Python's plistlib,
// and what the reader reads comes from archives made by hand.
#include "chatdata/ioslinedb.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/linestorebuilder.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

namespace {

// Sorted "key=repr(value)" lines of the archived dictionary, then its class.
QString decode(const QByteArray& bytes)
{
    const char* script = R"PY(
import plistlib, sys
raw = bytes.fromhex(sys.argv[1])
assert raw.startswith(b'bplist')
a = plistlib.loads(raw)
assert a['$archiver'] == 'NSKeyedArchiver' and a['$version'] == 100000
objs = a['$objects']
root = objs[a['$top']['root'].data]
pairs = sorted((objs[k.data], objs[v.data]) for k, v in zip(root['NS.keys'], root['NS.objects']))
for k, v in pairs:
    print('%s=%r' % (k, v))
cls = objs[root['$class'].data]
print(cls['$classname'] + ':' + ','.join(cls['$classes']))
)PY";
    QByteArray out, err;
    const int rc = testenv::runTool("python3", {"-c", script, QString::fromLatin1(bytes.toHex())}, &out, &err);
    EXPECT_EQ(rc, 0) << err.toStdString();
    return QString::fromUtf8(out).trimmed();
}

class IOSLineMetaDataTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testenv::haveTool("python3"))
            GTEST_SKIP() << "needs python3";
    }
};

const char* kDict = "NSDictionary:NSDictionary,NSObject";
const char* kMutable = "NSMutableDictionary:NSMutableDictionary,NSDictionary,NSObject";

TEST_F(IOSLineMetaDataTest, VoiceDependsOnWhoSentIt)
{
    _LineUser peer;
    _LineChat chat;
    chat.users = {&peer, new _LineUser, new _LineUser};
    _LineMsg received;
    received.from = &peer;
    received.attaSetFileSize(0);
    EXPECT_EQ(decode(IOSLineDb::voiceMetaData(&received)), QString("AUDLEN='0'\nOBS_POP='b'\n") + kMutable);
    received.attaSetFileSize(123456789012LL);
    EXPECT_EQ(decode(IOSLineDb::voiceMetaData(&received)), QString("AUDLEN='123456789012'\nOBS_POP='b'\n") + kMutable);

    _LineMsg sent;
    sent.chat = &chat;
    EXPECT_EQ(decode(IOSLineDb::voiceMetaData(&sent)), QString("receiverCount=3\n") + kMutable);
    sent.chat = nullptr;
    EXPECT_EQ(decode(IOSLineDb::voiceMetaData(&sent)), QString("receiverCount=0\n") + kMutable);

    EXPECT_EQ(IOSLineDb::voiceMetaData(nullptr), IOSLineDb::emptyMetaData());
    EXPECT_EQ(decode(IOSLineDb::emptyMetaData()), QString(kDict));
    for (_LineUser* u : std::as_const(chat.users))
        if (u != &peer)
            delete u;
}

TEST_F(IOSLineMetaDataTest, ContactNamesAreEscapedOnceAndReadBackAsWritten)
{
    LineContactInfo c;
    c.uid = "uFriend";
    c.name = "A&B <C> \"D\" 'E' &lt;";
    const QByteArray bytes = IOSLineDb::contactInfoMetaData(c);
    EXPECT_EQ(decode(bytes), QString("displayName=\"A&amp;B &lt;C&gt; &quot;D&quot; 'E' &amp;lt;\"\nmid='uFriend'\n")
                                 + kMutable);
    const QHash<QString, QString> back = IOSLineDb::readMetaData(bytes);
    EXPECT_EQ(back.value("displayName"), "A&amp;B &lt;C&gt; &quot;D&quot; 'E' &amp;lt;");
    EXPECT_EQ(back.value("mid"), "uFriend");
}

TEST_F(IOSLineMetaDataTest, StickerAndFileKeys)
{
    EXPECT_EQ(decode(IOSLineDb::stickerMetaData(_LineStickerInfo())),
              QString("STKID='0'\nSTKOPT=''\nSTKPKGID='0'\nSTKVER='0'\n") + kDict);
    _LineStickerInfo s;
    s.id = 52002734;
    s.package = -3;
    s.version = 12;
    EXPECT_EQ(decode(IOSLineDb::stickerMetaData(s)),
              QString("STKID='52002734'\nSTKOPT=''\nSTKPKGID='-3'\nSTKVER='12'\n") + kDict);

    const QDateTime expire = QDateTime::fromMSecsSinceEpoch(1700000000123LL);
    EXPECT_EQ(decode(IOSLineDb::fileMetaData(QString::fromUtf8("報告.pdf"), 0, expire)),
              QString::fromUtf8("FILE_EXPIRE_TIMESTAMP='1700000000123'\nFILE_NAME='報告.pdf'\nFILE_SIZE='0'\n"
                                "OBS_POP='sg-1'\n")
                  + kDict);
}

TEST_F(IOSLineMetaDataTest, ReaderTakesHandMadeArchivesAndToleratesJunk)
{
    const QHash<QString, QString> sticker = IOSLineDb::readMetaData(LineMetaArchive::sticker(7, 3, 1));
    EXPECT_EQ(sticker.value("STKID"), "7");
    EXPECT_EQ(sticker.value("STKPKGID"), "3");
    EXPECT_EQ(sticker.value("STKVER"), "1");
    EXPECT_TRUE(sticker.contains("STKOPT"));

    const QHash<QString, QString> file = IOSLineDb::readMetaData(LineMetaArchive::file("a b.txt", 5, 9));
    EXPECT_EQ(file.value("FILE_NAME"), "a b.txt");
    EXPECT_EQ(file.value("FILE_SIZE"), "5");

    const QHash<QString, QString> voice = IOSLineDb::readMetaData(LineMetaArchive::voiceSent(4));
    EXPECT_EQ(voice.value("receiverCount", "absent"), ""); // a number is no text

    // Shared value objects, as the app's archiver writes them.
    const QHash<QString, QString> shared = IOSLineDb::readMetaData(
        LineMetaArchive::archive({{"mid", QString("same")}, {"displayName", QString("same")}}, true));
    EXPECT_EQ(shared.value("mid"), "same");
    EXPECT_EQ(shared.value("displayName"), "same");

    for (const QByteArray& junk : {QByteArray(), QByteArray("bplist"), QByteArray("bplist00\x01\x02", 10),
                                   QByteArray("<?xml version=\"1.0\"?><plist><string>x</string></plist>"),
                                   LineMetaArchive::empty()})
        EXPECT_TRUE(IOSLineDb::readMetaData(junk).isEmpty()) << junk.toHex().toStdString();
}

} // namespace

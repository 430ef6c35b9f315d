// ZCONTENTMETADATA: what the product's builders and the fixtures write is
// decoded by Python's plistlib, and what the reader reads comes from
// archives made by hand.
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

const QString kDict = "NSDictionary:NSDictionary,NSObject";
const QString kMutable = "NSMutableDictionary:NSMutableDictionary,NSDictionary,NSObject";

// Each writer is checked beside the fixtures' hand-made archive of the same
// content, so both are pinned to what plistlib reads.
TEST_F(IOSLineMetaDataTest, VoiceDependsOnWhoSentIt)
{
    _LineUser peer, other, third;
    _LineChat chat;
    chat.users = {&peer, &other, &third};
    _LineMsg received;
    received.from = &peer;
    for (qint64 size : {0LL, 123456789012LL}) {
        received.attaSetFileSize(size);
        const QString want = QStringLiteral("AUDLEN='%1'\nOBS_POP='b'\n").arg(size) + kMutable;
        EXPECT_EQ(decode(IOSLineDb::voiceMetaData(&received)), want);
        EXPECT_EQ(decode(LineMetaArchive::voiceReceived(size)), want);
    }
    _LineMsg sent;
    sent.chat = &chat;
    EXPECT_EQ(decode(IOSLineDb::voiceMetaData(&sent)), "receiverCount=3\n" + kMutable);
    EXPECT_EQ(decode(LineMetaArchive::voiceSent(3)), "receiverCount=3\n" + kMutable);
    sent.chat = nullptr;
    EXPECT_EQ(decode(IOSLineDb::voiceMetaData(&sent)), "receiverCount=0\n" + kMutable);

    EXPECT_EQ(IOSLineDb::voiceMetaData(nullptr), IOSLineDb::emptyMetaData());
    EXPECT_EQ(decode(IOSLineDb::emptyMetaData()), kDict);
    EXPECT_EQ(decode(LineMetaArchive::empty()), kDict);
}

TEST_F(IOSLineMetaDataTest, ContactNamesAreEscapedOnceAndReadBackAsWritten)
{
    LineContactInfo c;
    c.uid = "uFriend";
    c.name = "A&B <C> \"D\" 'E' &lt;";
    const QByteArray bytes = IOSLineDb::contactInfoMetaData(c);
    EXPECT_EQ(decode(bytes), "displayName=\"A&amp;B &lt;C&gt; &quot;D&quot; 'E' &amp;lt;\"\nmid='uFriend'\n" + kMutable);
    const QHash<QString, QString> back = IOSLineDb::readMetaData(bytes);
    EXPECT_EQ(back.value("displayName"), "A&amp;B &lt;C&gt; &quot;D&quot; 'E' &amp;lt;");
    EXPECT_EQ(back.value("mid"), "uFriend");
    EXPECT_EQ(decode(LineMetaArchive::contact("uFriend", "Tom & <Jerry>")),
              "displayName='Tom & <Jerry>'\nmid='uFriend'\n" + kMutable);
}

TEST_F(IOSLineMetaDataTest, StickerAndFileKeys)
{
    EXPECT_EQ(decode(IOSLineDb::stickerMetaData(_LineStickerInfo())),
              "STKID='0'\nSTKOPT=''\nSTKPKGID='0'\nSTKVER='0'\n" + kDict);
    const QString sticker = "STKID='52002734'\nSTKOPT=''\nSTKPKGID='-3'\nSTKVER='12'\n" + kDict;
    EXPECT_EQ(decode(IOSLineDb::stickerMetaData({52002734, -3, 12})), sticker);
    EXPECT_EQ(decode(LineMetaArchive::sticker(52002734, -3, 12)), sticker);

    const QString file = QString::fromUtf8("FILE_EXPIRE_TIMESTAMP='1700000000123'\nFILE_NAME='報告.pdf'\nFILE_SIZE='0'\n"
                                           "OBS_POP='sg-1'\n") + kDict;
    EXPECT_EQ(decode(IOSLineDb::fileMetaData(QString::fromUtf8("報告.pdf"), 0,
                                             QDateTime::fromMSecsSinceEpoch(1700000000123LL))),
              file);
    EXPECT_EQ(decode(LineMetaArchive::file(QString::fromUtf8("報告.pdf"), 0, 1700000000123LL)), file);
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

    // Shared value objects, as the app's archiver writes them (one object
    // fewer than two distinct values of the same length).
    const QByteArray sharing = LineMetaArchive::archive({{"mid", QString("same")}, {"displayName", QString("same")}}, true);
    EXPECT_LT(sharing.size(),
              LineMetaArchive::archive({{"mid", QString("same")}, {"displayName", QString("diff")}}, true).size());
    const QHash<QString, QString> shared = IOSLineDb::readMetaData(sharing);
    EXPECT_EQ(shared.value("mid"), "same");
    EXPECT_EQ(shared.value("displayName"), "same");

    for (const QByteArray& junk : {QByteArray(), QByteArray("bplist"), QByteArray("bplist00\x01\x02", 10),
                                   QByteArray("<?xml version=\"1.0\"?><plist><string>x</string></plist>"),
                                   LineMetaArchive::empty()})
        EXPECT_TRUE(IOSLineDb::readMetaData(junk).isEmpty()) << junk.toHex().toStdString();
}

} // namespace

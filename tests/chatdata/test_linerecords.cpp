#include <QUrl>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"

#include "chatdata/linemsg.h"

namespace {

_LineMsg typed(int type)
{
    _LineMsg m;
    m.type = type;
    return m;
}

_LineUser namedUser(qint64 id, const QString& serverName, const QString& uid = QString())
{
    _LineUser u;
    u.id = id;
    u.uid = uid;
    u.serverName = serverName;
    return u;
}

} // namespace

TEST(LineMsg, AttachmentValuesUseTheDocumentedKeysAndReadingAddsNone)
{
    const _LineMsg empty;
    EXPECT_TRUE(empty.wasFromMe());
    EXPECT_EQ(empty.summary(), "");
    EXPECT_EQ(empty.attaFileSize(), 0);
    EXPECT_EQ(empty.attaSticker().package, 0);
    EXPECT_TRUE(empty.attaContact().uid.isEmpty());
    EXPECT_TRUE(empty.atta.isEmpty());

    _LineMsg m;
    m.attaSetWidth(640);
    m.attaSetHeight(480);
    m.attaSetFileSize(Q_INT64_C(5000000000));
    m.attaSetSticker(_LineStickerInfo{7, 3, 1});
    m.attaSetContact(LineContactInfo{"u1", "Ann"});
    m.attaSetLocation(_LineLocationInfo{35.5, -139.25, "Park"});
    m.attaSetFileName("a.pdf");
    EXPECT_EQ(m.atta.size(), 12);
    EXPECT_EQ(m.atta.value("size").toLongLong(), Q_INT64_C(5000000000));
    EXPECT_EQ(m.atta.value("sticker_package").toInt(), 3);
    EXPECT_EQ(m.atta.value("contact_uid").toString(), "u1");
    EXPECT_EQ(m.atta.value("loc_lng").toDouble(), -139.25);
    EXPECT_EQ(m.attaHeight(), 480);
    EXPECT_EQ(m.attaFileSize(), Q_INT64_C(5000000000));
    EXPECT_EQ(m.attaSticker().version, 1);
    EXPECT_EQ(m.attaContact().name, "Ann");
    EXPECT_EQ(m.attaLocation().name, "Park");
    EXPECT_EQ(m.attaFileName(), "a.pdf");
}

TEST(LineMsg, SummaryByType)
{
    _LineMsg sticker = typed(LineMsgType::STICKER);
    sticker.attaSetSticker(_LineStickerInfo{52002734, 11537, 1});
    _LineMsg file = typed(LineMsgType::FILE);
    file.attaSetFileName("report.xlsx");
    // Escaped breaks of contact and place names become spaces; real ones stay.
    _LineMsg contact = typed(LineMsgType::CONTACT);
    contact.attaSetContact(LineContactInfo{"u9", "Ann\\r\\nLee"});
    _LineMsg rawBreaks = typed(LineMsgType::CONTACT);
    rawBreaks.attaSetContact(LineContactInfo{"u9", "Ann\nLee\r"});
    _LineMsg place = typed(LineMsgType::LOCATION);
    place.attaSetLocation(_LineLocationInfo{1, 2, "Shibuya\\nStation"});
    // Text, and any type the program does not know, show emoji as markers.
    _LineMsg text;
    text.text = QStringLiteral("hi ") + QChar(0xE001) + QString::fromUcs4(U"\U0001F600!");
    _LineMsg unknown = text;
    unknown.type = 42;

    const QList<QPair<_LineMsg, QString>> cases = {
        {typed(LineMsgType::PHOTO), "[IMAGE]"},   {typed(LineMsgType::VIDEO), "[VIDEO]"},
        {typed(LineMsgType::VOICE), "[VOICE]"},   {typed(LineMsgType::STICKER), "[STICKER-0]"},
        {sticker, "[STICKER-52002734]"},          {typed(LineMsgType::FILE), ""},
        {file, "report.xlsx"},                    {contact, "Contact: Ann Lee"},
        {rawBreaks, "Contact: Ann\nLee\r"},       {place, "Shibuya Station"},
        {text, "hi [EMOJI][EMOJI]!"},             {unknown, "hi [EMOJI][EMOJI]!"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.first.summary(), c.second);
}

TEST(LineMsg, LocationTextFallsBackFromNameToTextToLocation)
{
    _LineMsg loc = typed(LineMsgType::LOCATION);
    loc.attaSetLocation(_LineLocationInfo{1, 2, "  \t "});
    loc.text = "Tokyo ";
    EXPECT_EQ(loc.locationDisplay(), "Tokyo");
    EXPECT_EQ(loc.summary(), "Tokyo");
    loc.text.clear();
    EXPECT_EQ(loc.summary(), "Location");
    loc.attaSetLocation(_LineLocationInfo{1, 2, " Tower "});
    loc.text = "ignored";
    EXPECT_EQ(loc.locationDisplay(), "Tower");
}

TEST(LineMsg, VoiceDurationRoundsTenthsAtFiveAndUidZeroIsNoUid)
{
    const QList<QPair<qint64, QString>> durations = {
        {0, "0:00"}, {1469, "0:01"}, {1470, "0:02"}, {58800, "1:00"}, {59290, "1:01"}, {5880000, "100:00"}};
    for (const auto& d : durations) {
        _LineMsg voice = typed(LineMsgType::VOICE);
        voice.attaSetFileSize(d.first);
        EXPECT_EQ(voice.voiceDuration(), d.second) << d.first;
    }
    EXPECT_EQ(typed(LineMsgType::VOICE).voiceDuration(), "0:00");

    for (const char* uid : {"", "0"})
        EXPECT_FALSE(isLineMsgUidValid(uid)) << uid;
    for (const char* uid : {"00", " 0", "123456789"})
        EXPECT_TRUE(isLineMsgUidValid(uid)) << uid;
}

TEST(LineUser, ShownNamePrefersContactThenCustomThenServer)
{
    _LineUser u;
    EXPECT_EQ(u.displayName(), "Unknown");
    u.serverName = "server";
    EXPECT_EQ(u.displayName(), "server");
    u.customName = "custom";
    EXPECT_EQ(u.displayName(), "custom");
    u.contactName = "contact";
    EXPECT_EQ(u.displayName(), "contact");
}

TEST(LineGroupAndChat, TitlesFromNamesAndMembersInAFixedOrder)
{
    _LineUser a = namedUser(1, "A"), b = namedUser(2, "B");
    _LineGroupInfo g;
    g.members = {&b, &a};
    EXPECT_EQ(g.display(false), "A,B");
    EXPECT_EQ(g.display(true), "A,B");
    g.name = "Family";
    EXPECT_EQ(g.display(false), "[GROUP] Family");
    EXPECT_EQ(g.display(true), "[GROUP] Family: A,B");

    _LineChat chat;
    chat.type = LineChatType::GROUP;
    chat.users = {&a};
    chat.group = &g;
    EXPECT_EQ(chat.display(true), "[GROUP] Family: A,B");
    EXPECT_EQ(chat.display(false), "[GROUP] Family");
    // A group chat whose group is missing shows its users like a room.
    chat.group = nullptr;
    chat.users = {&b, &a};
    EXPECT_EQ(chat.display(true), "A,B");
    chat.type = LineChatType::MULTI;
    EXPECT_EQ(chat.display(false), "A,B");
    chat.users.clear();
    EXPECT_EQ(chat.display(false), "");

    // Equal ids fall back on the uid, never on the set's order.
    _LineUser x = namedUser(0, "X", "u2"), y = namedUser(0, "Y", "u1");
    _LineGroupInfo same;
    same.members = {&x, &y};
    EXPECT_EQ(same.display(false), "Y,X");
}

TEST(LineAttachments, StickerAndMapUrls)
{
    const QUrl sticker(_LineStickerInfo{7, 3, 1}.url());
    EXPECT_EQ(sticker.scheme(), "http");
    EXPECT_EQ(sticker.path(), "/products/0/0/1/3/android/stickers/7.png");

    const QString map = _LineLocationInfo{35.6812, -139.7671, "x"}.url();
    EXPECT_EQ(QUrl(map).path(), "/maps/api/staticmap");
    EXPECT_TRUE(map.endsWith("?zoom=16&size=600x389&scale=<scale>&maptype=roadmap&sensor=true"
                             "&center=35.681200,-139.767100"))
        << map.toStdString();
}

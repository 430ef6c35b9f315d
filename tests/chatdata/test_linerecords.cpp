#include <QUrl>
#include <QUrlQuery>
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

_LineMsg voiceOfSize(qint64 size)
{
    _LineMsg m = typed(LineMsgType::VOICE);
    m.attaSetFileSize(size);
    return m;
}

_LineUser namedUser(qint64 id, const QString& serverName)
{
    _LineUser u;
    u.id = id;
    u.serverName = serverName;
    return u;
}

} // namespace

TEST(LineMsg, DefaultMessageIsEmptyAndFromMe)
{
    const _LineMsg m;
    EXPECT_EQ(m.id, 0);
    EXPECT_TRUE(m.uid.isEmpty());
    EXPECT_EQ(m.type, LineMsgType::TEXT);
    EXPECT_FALSE(m.ts.isValid());
    EXPECT_EQ(m.chat, nullptr);
    EXPECT_TRUE(m.wasFromMe());
    EXPECT_EQ(m.summary(), "");

    _LineUser sender;
    _LineMsg fromOther;
    fromOther.from = &sender;
    EXPECT_FALSE(fromOther.wasFromMe());
}

TEST(LineMsg, AttachmentGettersDefaultWithoutAddingKeys)
{
    const _LineMsg m;
    EXPECT_EQ(m.attaWidth(), 0);
    EXPECT_EQ(m.attaHeight(), 0);
    EXPECT_EQ(m.attaFileSize(), 0);
    const _LineStickerInfo s = m.attaSticker();
    EXPECT_EQ(s.id, 0);
    EXPECT_EQ(s.package, 0);
    EXPECT_EQ(s.version, 0);
    EXPECT_TRUE(m.attaContact().uid.isEmpty());
    EXPECT_EQ(m.attaLocation().lat, 0.0);
    EXPECT_TRUE(m.attaFileName().isEmpty());
    EXPECT_TRUE(m.atta.isEmpty());
}

TEST(LineMsg, AttachmentSettersStoreTheDocumentedKeysAndRoundTrip)
{
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
    EXPECT_EQ(m.attaWidth(), 640);
    EXPECT_EQ(m.attaHeight(), 480);
    EXPECT_EQ(m.attaFileSize(), Q_INT64_C(5000000000));
    EXPECT_EQ(m.attaSticker().version, 1);
    EXPECT_EQ(m.attaContact().name, "Ann");
    EXPECT_EQ(m.attaLocation().name, "Park");
    EXPECT_EQ(m.attaFileName(), "a.pdf");

    // Setting again replaces, and a copy carries everything.
    m.attaSetWidth(1);
    const _LineMsg copy = m;
    EXPECT_EQ(copy.attaWidth(), 1);
    EXPECT_EQ(copy.atta, m.atta);
}

TEST(LineMsg, SummaryByType)
{
    EXPECT_EQ(typed(LineMsgType::PHOTO).summary(), "[IMAGE]");
    EXPECT_EQ(typed(LineMsgType::VIDEO).summary(), "[VIDEO]");
    EXPECT_EQ(typed(LineMsgType::VOICE).summary(), "[VOICE]");
    EXPECT_EQ(typed(LineMsgType::STICKER).summary(), "[STICKER-0]");
    _LineMsg sticker = typed(LineMsgType::STICKER);
    sticker.attaSetSticker(_LineStickerInfo{52002734, 11537, 1});
    EXPECT_EQ(sticker.summary(), "[STICKER-52002734]");
    EXPECT_EQ(typed(LineMsgType::FILE).summary(), "");
    _LineMsg file = typed(LineMsgType::FILE);
    file.attaSetFileName("report.xlsx");
    EXPECT_EQ(file.summary(), "report.xlsx");

    // Text, and any type the program does not know, show their text with
    // emoji as markers.
    _LineMsg text;
    text.text = QStringLiteral("hi ") + QChar(0xE001) + QString::fromUcs4(U"\U0001F600!");
    EXPECT_EQ(text.summary(), "hi [EMOJI][EMOJI]!");
    text.type = 42;
    EXPECT_EQ(text.summary(), "hi [EMOJI][EMOJI]!");
}

TEST(LineMsg, ContactAndLocationSummariesTurnEscapedBreaksIntoOneLine)
{
    _LineMsg contact = typed(LineMsgType::CONTACT);
    contact.attaSetContact(LineContactInfo{"u9", "Ann\\r\\nLee"});
    EXPECT_EQ(contact.summary(), "Contact: Ann Lee");
    contact.attaSetContact(LineContactInfo{"u9", "Ann\nLee\r"});
    EXPECT_EQ(contact.summary(), "Contact: Ann\nLee\r");

    _LineMsg loc = typed(LineMsgType::LOCATION);
    loc.attaSetLocation(_LineLocationInfo{1, 2, "Shibuya\\nStation"});
    EXPECT_EQ(loc.summary(), "Shibuya Station");
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

TEST(LineMsg, VoiceDurationRoundsTenthsAtFiveAndWritesMinutesAndSeconds)
{
    EXPECT_EQ(voiceOfSize(0).voiceDuration(), "0:00");
    EXPECT_EQ(voiceOfSize(1469).voiceDuration(), "0:01");
    EXPECT_EQ(voiceOfSize(1470).voiceDuration(), "0:02");
    EXPECT_EQ(voiceOfSize(58800).voiceDuration(), "1:00");
    EXPECT_EQ(voiceOfSize(59290).voiceDuration(), "1:01");
    EXPECT_EQ(voiceOfSize(5880000).voiceDuration(), "100:00");
    EXPECT_EQ(typed(LineMsgType::VOICE).voiceDuration(), "0:00");
}

TEST(LineMsg, UidValidity)
{
    EXPECT_FALSE(isLineMsgUidValid(""));
    EXPECT_FALSE(isLineMsgUidValid("0"));
    EXPECT_TRUE(isLineMsgUidValid("00"));
    EXPECT_TRUE(isLineMsgUidValid(" 0"));
    EXPECT_TRUE(isLineMsgUidValid("123456789"));
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
    u.customName.clear();
    EXPECT_EQ(u.displayName(), "contact");
}

TEST(LineGroupAndChat, TitlesFromNamesAndMembers)
{
    _LineUser a = namedUser(1, "A");
    _LineUser b = namedUser(2, "B");
    _LineGroupInfo g;
    g.members = {&b, &a};
    // No name: the members, the same with or without the flag, in a
    // stable order.
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
}

TEST(LineGroupAndChat, MembersWithEqualIdsStillListInAFixedOrder)
{
    _LineUser x = namedUser(0, "X");
    x.uid = "u2";
    _LineUser y = namedUser(0, "Y");
    y.uid = "u1";
    _LineGroupInfo g;
    g.members = {&x, &y};
    EXPECT_EQ(g.display(false), "Y,X");
}

TEST(LineAttachments, StickerAndMapUrls)
{
    const QUrl sticker(_LineStickerInfo{7, 3, 1}.url());
    EXPECT_EQ(sticker.scheme(), "http");
    EXPECT_FALSE(sticker.host().isEmpty());
    EXPECT_EQ(sticker.path(), "/products/0/0/1/3/android/stickers/7.png");

    const QString map = _LineLocationInfo{35.6812, -139.7671, "x"}.url();
    const QUrl url(map);
    EXPECT_EQ(url.scheme(), "http");
    EXPECT_EQ(url.path(), "/maps/api/staticmap");
    EXPECT_TRUE(map.endsWith("?zoom=16&size=600x389&scale=<scale>&maptype=roadmap&sensor=true"
                             "&center=35.681200,-139.767100"))
        << map.toStdString();
}

// The file tree of a backup: where each record's node lands, the indexes of
// well-known iOS files, and names that must not lead out of a folder.
#include "tests/backup/backuptest.h"

namespace {

using Tree = BackupTest;

void walk(const BackupManifest::_FileNode* node, const QString& at, QStringList* out)
{
    for (const BackupManifest::_FileNode* child : node->children) {
        const QString path = at.isEmpty() ? child->name : at + "/" + child->name;
        *out << path + (child->item.domain.isValid() ? " <" + child->item.domain.toString() + ">" : "");
        walk(child, path, out);
    }
}

QString where(const BackupManifest::_FileNode* node)
{
    QString path;
    for (; node && node->parent; node = node->parent)
        path = path.isEmpty() ? node->name : node->name + "/" + path;
    return path;
}

template <class Map>
QString keys(const Map& map)
{
    QStringList out;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out << QString("%1=%2").arg(it.key()).arg(where(it.value()));
    return out.join(' ');
}

} // namespace

TEST_F(Tree, NodesIndexesAndHostileNames)
{
    QJsonArray entries;
    auto add = [&](const char* domain, QStringList paths, bool folders = false) {
        for (const QString& p : paths)
            entries.append(folders ? bb::folder(domain, p) : bb::file(domain, p, ""));
    };
    add("AppDomain-jp.naver.line", {"", "Library", "Library/Preferences"}, true);
    add("AppDomainGroup-group.com.linecorp.line", {"", "Library"}, true);
    add("HomeDomain", {"Library", "Library/SMS", "Library/Voicemail"}, true);
    add("RootDomain", {"Library", "Library/Caches", ""}, true);
    add("HomeDomain", {"Library/SMS/SMS.db", "Library/SMS/sms.db", "Library/Voicemail/12.amr",
                       "Library/Voicemail/99999999999.amr", "Library/Voicemail/13.AMR", "Library/Notes/notes.sqlite"});
    add("homedomain", {"Library/AddressBook/AddressBook.sqlitedb"});
    add("MediaDomain", {"Media/DCIM/100APPLE", "Media/Recordings/F.m4a"}, true);
    add("CameraRollDomain", {"Media/DCIM/100APPLE/IMG_0001.JPG", "Media/DCIM/100APPLE/IMG_0002.MOV",
                             "Media/DCIM/100APPLE/IMG_0003.HEIC", "Media/DCIM/100APPLE/IMG_0004.JPG.AAE",
                             "Media/DCIM/.THMB/x/100APPLE___IMG_0001.JPG",
                             "Media/PhotoData/MetaData/DCIM/100APPLE/IMG_0001.THM"});
    add("MediaDomain", {"Library/SMS/Attachments/0a/10/ABC/IMG_1.jpeg", "Library/SMS/Attachments/0a/IMG_2.jpeg",
                        "Library/SMS/Attachments/0a/10/ABC/IMG_3-preview-left.jpg", "Library/SMS/a.b/c",
                        "Library/SMS/Parts/x/y/P1.txt", "Media/Recordings/Memo 1.m4a", "Media/Recordings/a.b.m4a",
                        "Media/Recordings/Recordings.db"});
    add("WirelessDomain", {"Library/CallHistory/call_history.db"});
    // Names that could lead out of a folder, and paths that only need cleaning.
    for (const char* domain : {"AppDomain-", "AppDomain-..", "AppDomain-a/b", "../up"})
        add(domain, {"x"});
    add("HomeDomain", {"..", "../x", "/abs", ".", "Library/../../x", "Library//Preferences", "./Library/./Cookies"});

    BackupManifest b(build({{"entries", entries}}));
    b.parseInfo();
    EXPECT_EQ(b.items.files.size(), entries.size());
    QStringList nodes;
    walk(&b.root, QString(), &nodes);
    // Records whose folder has no node yet (the camera roll below MediaDomain's
    // folders, a path that sorts before its cleaned parent) hang under the root.
    EXPECT_EQ(nodes.join(", "),
              "AppDomain-, AppDomain-/x <AppDomain->, Applications, Applications/jp.naver.line <AppDomain-jp.naver.line>, "
              "Applications/jp.naver.line/Library <AppDomain-jp.naver.line>, "
              "Applications/jp.naver.line/Library/Preferences <AppDomain-jp.naver.line>, AppDomainGroup, "
              "AppDomainGroup/group.com.linecorp.line <AppDomainGroup-group.com.linecorp.line>, "
              "AppDomainGroup/group.com.linecorp.line/Library <AppDomainGroup-group.com.linecorp.line>, "
              "100APPLE___IMG_0001.JPG <CameraRollDomain>, IMG_0001.JPG <CameraRollDomain>, "
              "IMG_0002.MOV <CameraRollDomain>, IMG_0003.HEIC <CameraRollDomain>, IMG_0004.JPG.AAE <CameraRollDomain>, "
              "IMG_0001.THM <CameraRollDomain>, Cookies <HomeDomain>, Library <HomeDomain>, "
              "Library/Preferences <HomeDomain>, Library/SMS <HomeDomain>, Library/SMS/SMS.db <HomeDomain>, "
              "Library/SMS/sms.db <HomeDomain>, Library/Voicemail <HomeDomain>, Library/Voicemail/12.amr <HomeDomain>, "
              "Library/Voicemail/13.AMR <HomeDomain>, Library/Voicemail/99999999999.amr <HomeDomain>, "
              "Library/Caches <RootDomain>, notes.sqlite <HomeDomain>, IMG_1.jpeg <MediaDomain>, "
              "IMG_3-preview-left.jpg <MediaDomain>, IMG_2.jpeg <MediaDomain>, P1.txt <MediaDomain>, c <MediaDomain>, "
              "100APPLE <MediaDomain>, F.m4a <MediaDomain>, Memo 1.m4a <MediaDomain>, Recordings.db <MediaDomain>, "
              "a.b.m4a <MediaDomain>, call_history.db <WirelessDomain>, homedomain, AddressBook.sqlitedb <homedomain>");

    EXPECT_EQ(QStringList({where(b.smsDb), where(b.notesDb), where(b.addressBookDb), where(b.recordingsDb),
                           where(b.callHistoryDb)}).join(' '),
              "Library/SMS/SMS.db notes.sqlite AddressBook.sqlitedb Recordings.db call_history.db");
    EXPECT_EQ(keys(b.voicemails), "0=Library/Voicemail/99999999999.amr 12=Library/Voicemail/12.amr "
                                  "13=Library/Voicemail/13.AMR");
    EXPECT_EQ(QStringList({where(b.photos.value(0)), where(b.photos.value(1)), where(b.videos.value(0))}).join(' '),
              "IMG_0001.JPG IMG_0004.JPG.AAE IMG_0002.MOV");
    EXPECT_EQ(b.photos.size() + b.videos.size(), 3);
    EXPECT_EQ(keys(b.photoThumbnails), "IMG_0001=IMG_0001.THM");
    EXPECT_EQ(keys(b.smsFilesByDevicePath),
              "/var/mobile/Library/SMS/Attachments/0a/10/ABC/IMG_1=IMG_1.jpeg "
              "/var/mobile/Library/SMS/Attachments/0a/10/ABC/IMG_3-preview=IMG_3-preview-left.jpg "
              "/var/mobile/Library/SMS/Attachments/0a/10/ABC/IMG_3-preview-left=IMG_3-preview-left.jpg "
              "/var/mobile/Library/SMS/Attachments/0a/IMG_2=IMG_2.jpeg /var/mobile/Library/SMS/Parts/x/y/P1=P1.txt "
              "/var/mobile/Library/SMS/a=c");
    EXPECT_EQ(keys(b.smsAttachments), "0a/IMG_2=IMG_2.jpeg");
    EXPECT_EQ(keys(b.smsParts), "P1=P1.txt");
    EXPECT_EQ(keys(b.recordings), "Memo 1.m4a=Memo 1.m4a");

    QFile::remove(b.dir.filePath("Manifest.db"));
    b.parseInfo(); // the tree is final: a second call reads nothing
    QStringList again;
    walk(&b.root, QString(), &again);
    EXPECT_EQ(again, nodes);

    // Large lists are sorted and built on the helper threads in slices: among
    // thousands of other records, spread through the list, the same records
    // give the same nodes, and each other record its own node, in order.
    QJsonArray many = entries;
    for (int i = 0; i < 6000; ++i) {
        QJsonObject filler = bb::file("Filler", QString("f/%1").arg(i * 7919 % 6000), "");
        filler["noDataFile"] = true;
        many.insert(i * 7 % (many.size() + 1), filler);
    }
    BackupManifest big(build({{"entries", many}}, "big"));
    big.parseInfo();
    QStringList others, fillers;
    walk(&big.root, QString(), &others);
    for (const QString& line : others) {
        if (line.endsWith(" <Filler>"))
            fillers << line;
    }
    others.removeIf([](const QString& line) { return line.endsWith(" <Filler>") || line == "Filler"; });
    EXPECT_EQ(others, nodes);
    QStringList sorted = fillers;
    sorted.sort();
    sorted.removeDuplicates();
    EXPECT_EQ(fillers.size(), 6000);
    EXPECT_EQ(fillers, sorted);
}

// The camera roll's index takes pictures by their suffix in any case, PNG
// screenshots as well as JPEG photos, and their thumbnails by the picture's name.
TEST_F(Tree, CameraRollIndexesPhotosOfEitherKindAndTheirThumbnails)
{
    const struct { const char* path; const char* index; } cases[] = {
        {"Media/DCIM/100APPLE/IMG_0001.PNG", "photo"},
        {"Media/DCIM/100APPLE/IMG_0002.png", "photo"},
        {"Media/DCIM/101APPLE/IMG_0003.jpg", "photo"},
        {"Media/DCIM/100APPLE/IMG_0004.MOV", "video"},
        {"Media/DCIM/100APPLE/IMG_0005.GIF", ""},
        {"Media/DCIM/.THMB/x/100APPLE___IMG_0001.PNG", "thumb IMG_0001"},
        {"Media/DCIM/.THMB/x/100APPLE___IMG_0003.JPG", "thumb IMG_0003"},
        {"Media/DCIM/.THMB/x/100APPLE___IMG_0004.BMP", ""},
    };
    QJsonArray entries;
    for (const auto& c : cases)
        entries.append(bb::file("CameraRollDomain", c.path, ""));
    BackupManifest b(build({{"entries", entries}}));
    b.parseInfo();
    QStringList want;
    for (const auto& c : cases) {
        if (*c.index)
            want << QString(c.path).section('/', -1) + " " + c.index;
    }
    want.sort();
    const auto indexed = [&] {
        QStringList got;
        for (const BackupManifest::_FileNode* n : b.photos)
            got << n->name + " photo";
        for (const BackupManifest::_FileNode* n : b.videos)
            got << n->name + " video";
        for (auto it = b.photoThumbnails.cbegin(); it != b.photoThumbnails.cend(); ++it)
            got << it.value()->name + " thumb " + it.key();
        got.sort();
        return got;
    };
    EXPECT_EQ(indexed(), want);
    // The list on disk replaced: the tree read again, its indexes point into it only.
    build({{"entries", entries}});
    ASSERT_TRUE(b.refreshInfoThrow());
    EXPECT_EQ(indexed(), want);
}

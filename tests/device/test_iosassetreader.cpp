// The photo asset reader against a photo library in the simulated iPhone's media folder.
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "device/iosassetreader.h"
#include "device/iosdevice.h"
#include "foundation/progressform.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/simiphone.h"
#include "tests/support/testenv.h"

namespace {

// Photos (kind 0) have their thumbnail under "/DCIM/.THMB", videos (kind 1)
// under "/PhotoData/Metadata"; a folder other than "<number>APPLE" and other
// kinds have none.
const struct Asset
{
    const char *uuid, *folder, *file;
    int kind, modified;
    const char* thumbnail;
} kAssets[] = {
    {"A", "DCIM/100APPLE", "IMG_0001.JPG", 0, 500000000, "/DCIM/.THMB/00/100APPLE___IMG_0001.JPG.1478307200"},
    {"B", "DCIM/100APPLE", "IMG_0002.MOV", 1, 0, "/PhotoData/Metadata/DCIM/100APPLE/IMG_0002.THM"},
    {"C", "DCIM/105apple", "IMG_0003.JPG", 0, 500000013, "/DCIM/.THMB/13/105apple___IMG_0003.JPG.1478307213"},
    {"D", "DCIM/Camera", "x.jpg", 0, 1, ""},
    {"E", "DCIM/100APPLE", "y.jpg", 2, 1, ""},
};

TEST(AssetReader, FindsFilesAndThumbnailsInOneFetchOfTheLibraryAndNeverRetriesACancelledFetch)
{
    ScopedDataHome home;
    QTemporaryDir media, local;
    SimIPhone sim;
    auto device = QSharedPointer<IOSDevice>::create();
    device->udid = "00008030-00A55E7000000001";
    SimDevice phone(device->udid);
    phone.media = media.path();
    sim.attach(phone);
    // The library in WAL mode with every row still in its "-wal" file, as a
    // live library has its newest ones: the companion files count.
    ASSERT_TRUE(QDir().mkpath(media.filePath("PhotoData")));
    Sqlite3DB library;
    library.openThrow(media.filePath("PhotoData/Photos.sqlite"), 6);
    library.executeThrow("PRAGMA journal_mode=WAL");
    library.executeThrow("PRAGMA wal_autocheckpoint=0");
    library.executeThrow("CREATE TABLE ZGENERICASSET(Z_PK INTEGER PRIMARY KEY, ZUUID, ZDIRECTORY, ZFILENAME,"
                         " ZKIND INTEGER, ZMODIFICATIONDATE TIMESTAMP)");
    for (const Asset& a : kAssets) {
        Sqlite3Sql insert("insert into ZGENERICASSET(ZUUID, ZDIRECTORY, ZFILENAME, ZKIND, ZMODIFICATIONDATE)"
                          " values(?, ?, ?, ?, ?)");
        insert.addTextParam(a.uuid).addTextParam(a.folder).addTextParam(a.file).addIntParam(a.kind);
        library.executeThrow(insert.addDoubleParam(a.modified + 0.25));
        ASSERT_TRUE(testenv::writeFile(media.filePath(QString("%1/%2").arg(a.folder, a.file)), a.uuid));
        if (*a.thumbnail)
            ASSERT_TRUE(testenv::writeFile(media.filePath(a.thumbnail + 1), QByteArray("thumb ") + a.uuid));
    }
    const auto opens = [&](const QString& path) { return sim.requests().count("com.apple.afc:FileOpen " + path); };

    ProgressForm form {"assets"};
    IOSAssetReader cancelled(device, form);
    form.cancelled = true;
    EXPECT_THROW(cancelled.isAssetExistsThrow("A"), std::runtime_error); // no database to look in
    form.cancelled = false;
    EXPECT_THROW(cancelled.downloadAssetThrow("A", local.filePath("A")), std::runtime_error);
    EXPECT_EQ(opens("/PhotoData/Photos.sqlite"), 0);

    IOSAssetReader reader(device, form);
    for (const Asset& a : kAssets) {
        const QString file = local.filePath(a.uuid);
        EXPECT_TRUE(reader.isAssetExistsThrow(a.uuid)) << a.uuid;
        EXPECT_TRUE(reader.downloadAssetThrow(a.uuid, file)) << a.uuid;
        EXPECT_EQ(testenv::readFile(file), a.uuid);
        EXPECT_EQ(reader.downloadAssetThumbnailThrow(a.uuid, file + ".thm"), *a.thumbnail != 0) << a.uuid;
        EXPECT_EQ(testenv::readFile(file + ".thm"), *a.thumbnail ? QByteArray("thumb ") + a.uuid : "<missing>");
    }
    EXPECT_FALSE(reader.isAssetExistsThrow("Z"));
    EXPECT_FALSE(reader.downloadAssetThrow("Z", local.filePath("Z")));
    EXPECT_TRUE(reader.downloadAssetThrow("A", local.filePath("A"))); // unchanged: not fetched again
    EXPECT_EQ(opens("/DCIM/100APPLE/IMG_0001.JPG"), 1);
    EXPECT_EQ(opens("/PhotoData/Photos.sqlite") + opens("/PhotoData/Photos.sqlite-wal"), 2);
}

} // namespace

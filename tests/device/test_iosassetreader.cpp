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

const struct Asset { const char *uuid, *folder, *file; int kind, modified; const char* thumbnail; } kAssets[] = {
    {"A", "DCIM/100APPLE", "IMG_0001.JPG", 0, 500000000, "/DCIM/.THMB/00/100APPLE___IMG_0001.JPG.1478307200"},
    {"B", "DCIM/100APPLE", "IMG_0002.MOV", 1, 0, "/PhotoData/Metadata/DCIM/100APPLE/IMG_0002.THM"},
    {"C", "DCIM/105apple", "IMG_0003.JPG", 0, 500000003, "/DCIM/.THMB/03/105apple___IMG_0003.JPG.1478307203"},
    {"D", "DCIM/Camera", "x.jpg", 0, 1, ""},
    {"E", "DCIM/100APPLE", "y.jpg", 2, 1, ""},
};

class AssetReader : public ::testing::Test
{
protected:
    void SetUp() override
    {
        device->udid = "00008030-00A55E7000000001";
        SimDevice phone(device->udid);
        phone.media = media.path();
        sim.attach(phone);
        // The phone's database in WAL mode with every row still in its "-wal"
        // file, as a live library has its newest ones: the companions count.
        ASSERT_TRUE(QDir().mkpath(media.filePath("PhotoData")));
        library.openThrow(media.filePath("PhotoData/Photos.sqlite"), 6);
        library.executeThrow("PRAGMA journal_mode=WAL");
        library.executeThrow("PRAGMA wal_autocheckpoint=0");
        library.executeThrow("CREATE TABLE ZGENERICASSET(Z_PK INTEGER PRIMARY KEY, ZUUID, ZDIRECTORY, ZFILENAME, ZKIND INTEGER, ZMODIFICATIONDATE TIMESTAMP)");
        for (const Asset& a : kAssets) {
            library.executeThrow(Sqlite3Sql("insert into ZGENERICASSET(ZUUID,ZDIRECTORY,ZFILENAME,ZKIND,ZMODIFICATIONDATE) values(?,?,?,?,?)")
                                     .addTextParam(a.uuid).addTextParam(a.folder).addTextParam(a.file).addIntParam(a.kind).addDoubleParam(a.modified + 0.25));
            ASSERT_TRUE(testenv::writeFile(media.filePath(QString("%1/%2").arg(a.folder, a.file)), a.uuid));
            ASSERT_TRUE(!*a.thumbnail || testenv::writeFile(media.filePath(a.thumbnail + 1), QByteArray("thumb ") + a.uuid));
        }
    }
    int opens(const QString& devicePath) const { return sim.requests().count("com.apple.afc:FileOpen " + devicePath); }

    ScopedDataHome home;
    QTemporaryDir media, local;
    SimIPhone sim;
    Sqlite3DB library;
    QSharedPointer<IOSDevice> device = QSharedPointer<IOSDevice>::create();
    ProgressForm form {"assets"};
};

TEST_F(AssetReader, FindsFilesAndThumbnailsInOneFetchOfTheLibrary)
{
    IOSAssetReader reader(device, form);
    for (const Asset& a : kAssets) {
        const QString file = local.filePath(a.uuid), thumbnail = file + ".thm";
        EXPECT_TRUE(reader.isAssetExistsThrow(a.uuid) && reader.downloadAssetThrow(a.uuid, file)) << a.uuid;
        EXPECT_EQ(testenv::readFile(file), a.uuid);
        EXPECT_EQ(reader.downloadAssetThumbnailThrow(a.uuid, thumbnail), *a.thumbnail != 0) << a.uuid;
        EXPECT_EQ(testenv::readFile(thumbnail), *a.thumbnail ? QByteArray("thumb ") + a.uuid : "<missing>") << a.uuid;
    }
    EXPECT_FALSE(reader.isAssetExistsThrow("Z") || reader.downloadAssetThrow("Z", local.filePath("Z")));
    EXPECT_TRUE(reader.downloadAssetThrow("A", local.filePath("A"))); // unchanged: not fetched again
    EXPECT_EQ(opens("/DCIM/100APPLE/IMG_0001.JPG"), 1);
    EXPECT_EQ(opens("/PhotoData/Photos.sqlite") + opens("/PhotoData/Photos.sqlite-wal"), 2);
}

TEST_F(AssetReader, AFetchThatWasCancelledIsNotTriedAgain)
{
    IOSAssetReader reader(device, form);
    form.cancelled = true;
    EXPECT_THROW(reader.isAssetExistsThrow("A"), std::runtime_error); // no database to look in
    form.cancelled = false;
    EXPECT_THROW(reader.downloadAssetThrow("A", local.filePath("A")), std::runtime_error);
    EXPECT_EQ(opens("/PhotoData/Photos.sqlite"), 0);
}

} // namespace

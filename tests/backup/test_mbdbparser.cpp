// Reading backup file lists: Manifest.mbdb byte by byte, Manifest.db rows
// plain, salted and undecodable, and every layout giving the same records.
#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>

#include "backup/backupmanifest.h"
#include "backup/mbdbparser_p.h"
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"

namespace {

using Lists = BackupTest;

// Every field the readers fill, as one line; stored keys by length (they are random).
QString dump(const MBDBParser::_MBDBItem& i)
{
    QStringList props;
    for (const auto& p : i.properties)
        props << p.name.data + "=" + p.value.data;
    QStringList f{i.domain.toString(), i.path.toString(), i.linkTarget.isValid() ? i.linkTarget.toString() : "-",
                  i.digest.data.toHex().left(8), QString::number(i.encryptionKey.data.size()),
                  QString::number(i.mode, 8)};
    for (qint64 n : {qint64(i.inodeHigh), i.inodeNumber, qint64(i.userId), qint64(i.groupId), qint64(i.lastModified),
                     qint64(i.lastStatusChange), qint64(i.birth), i.size, qint64(i.protectionClass)})
        f << QString::number(n);
    return (f << props.join(',') << (i.undecoded ? "undecoded" : "")).join('|');
}

QStringList dumpAll(const MBDBParser::MBDBItemMap& map)
{
    QStringList lines;
    for (const auto& item : map.files)
        lines << dump(item);
    lines.sort();
    return lines;
}

MBDBParser::MBDBItemMap readMbdb(const QByteArray& bytes)
{
    QBuffer buf;
    buf.setData(bytes);
    buf.open(QIODevice::ReadOnly);
    MBDBParser::MBDBItemMap map;
    mbdbdetail::readMbdb(buf, "Manifest.mbdb", map);
    return map;
}

MBDBParser::MBDBItemMap parse(const QString& folder, const QString& password = QString())
{
    BackupManifest b(folder);
    b.readManifestInfo();
    if (!password.isEmpty() && !b.setPasscodeNoUIThrow(password))
        throw std::runtime_error("password refused");
    return MBDBParser::parse(b);
}

} // namespace

TEST_F(Lists, MbdbRecordsAreReadWholeEvenWhenDropped)
{
    QJsonObject split = bb::file("D", "split", "s");
    split["inode"] = qint64(0x100000002);
    QJsonObject props = bb::file("D", "props", "");
    props["props"] = QJsonArray{QJsonArray{"n1", "v1"}, QJsonArray{"n2", ""}};
    const QJsonArray entries{bb::file(QString(), "no domain", "x"), bb::file("", "empty domain", "x"), split, props,
                             bb::folder("D", QString()), bb::link("D", "l", "first"), bb::link("D", "l", "later")};
    const QByteArray bytes = readAll(build({{"mbdb", true}, {"entries", entries}}) + "/Manifest.mbdb");
    const MBDBParser::MBDBItemMap map = readMbdb(bytes);
    const QString times = "|501|501|1600000000|1600000001|1599999900|";
    EXPECT_EQ(dumpAll(map), (QStringList{"D|l|later||0|120755|0|7" + times + "0|0||",
                                         "D|props|-|da39a3ee|0|100644|0|4" + times + "0|3|n1=v1,n2=|",
                                         "D|split|-|a0f1490a|0|100644|1|2" + times + "1|3||",
                                         "D||-||0|40755|0|5" + times + "0|0||"}));
    EXPECT_EQ(map.maxInodeNumber, 7);

    // A list of the header alone, or less, is empty; the header is not examined.
    for (int n = 0; n <= 6; ++n)
        EXPECT_TRUE(readMbdb(bytes.left(n)).files.isEmpty());
    const qsizetype split0 = bytes.indexOf("split") - 5; // after the domain "D" and the path's length
    const QByteArray one = "XXXX\x07\x07" + bytes.mid(split0, bytes.indexOf("props") - 5 - split0);
    EXPECT_EQ(dumpAll(readMbdb(one)).size(), 1);
    EXPECT_EQ(readMbdb(one).maxInodeNumber, 2);
    // A property count of 0x80 or more reads as none.
    const QByteArray noProps = one.left(one.size() - 1) + '\x80';
    EXPECT_TRUE(readMbdb(noProps).files.begin()->properties.isEmpty());
    // A list cut anywhere inside a record is refused, naming the file.
    for (qsizetype cut = 7; cut < one.size(); ++cut) {
        try {
            readMbdb(one.left(cut));
            ADD_FAILURE() << "accepted a list cut at " << cut;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(QString(e.what()).startsWith("Manifest.mbdb is cut short")) << e.what();
        }
    }
}

TEST_F(Lists, EveryLayoutGivesTheSameRecords)
{
    QJsonObject nsDigest = bb::file("HomeDomain", "Library/ns", "digest in a dictionary", 4);
    nsDigest["nsData"] = true;
    const QJsonArray entries{bb::folder("AppDomain-x", ""), bb::file("AppDomain-x", "Library/f", "f"), nsDigest,
                             bb::link("HomeDomain", "Library/link", "Library/f"),
                             bb::link("HomeDomain", "Library/nolink", "")};
    const QJsonObject layouts[] = {{{"mbdb", true}}, {{"encryptList", false}}, {{"encryptList", true}},
                                   {{"encryptList", false}, {"saltRows", true}}};
    QStringList first;
    for (int i = 0; i < 4; ++i) {
        QJsonObject spec = layouts[i];
        spec["password"] = "pw";
        spec["entries"] = entries;
        const QString folder = build(spec, QString::number(i));
        const QStringList records = dumpAll(parse(folder, "pw"));
        EXPECT_EQ(records.size(), entries.size());
        if (i == 0)
            first = records;
        EXPECT_EQ(records, first) << "layout " << i;
    }
    // A passcode with no salt table: plain rows.
    Sqlite3DB db;
    db.openThrow(tmp.filePath("1/Manifest.db"), 2);
    db.executeThrow("drop table Properties");
    db.close();
    EXPECT_EQ(dumpAll(parse(tmp.filePath("1"), "pw")), first);
}

TEST_F(Lists, RowsThatDoNotDecodeAreMarkedAndDamagedSaltedRowsRefused)
{
    QJsonObject raw = bb::file("D", "raw", "x");
    raw["raw"] = "not an archive";
    const QString folder = build({{"entries", QJsonArray{raw, bb::file("", "no domain", "x")}}});
    EXPECT_EQ(dumpAll(parse(folder)), QStringList{"D|raw|-||0|0|0|0|0|0|0|0|0|0|0||undecoded"});

    // Salted rows read without the password: only domain and path are known.
    const QString salted = build({{"password", "pw"}, {"encryptList", false}, {"saltRows", true},
                                  {"entries", QJsonArray{bb::file("D", "a", "x"), bb::file("D", "b", "y")}}},
                                 "salted");
    BackupManifest noPassword(salted);
    for (const QString& line : dumpAll(MBDBParser::parse(noPassword)))
        EXPECT_TRUE(line.endsWith("|0|0|0|0|0|0|0|0|0|0||undecoded")) << line.toStdString();
    Sqlite3DB db;
    db.openThrow(salted + "/Manifest.db", 2);
    db.executeThrow(Sqlite3Sql("update Files set file=? where relativePath='b'")
                        .addTextParam(bb::aesCbc(built.rowKey, "cut text", true, bb::rowIv()).left(12).toBase64()));
    db.close();
    try {
        parse(salted, "pw");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(QString(e.what()).contains("the record of b in D does not decrypt")) << e.what();
    }
}

TEST_F(Lists, WhichListIsRead)
{
    const QString folder = build({{"entries", QJsonArray{bb::file("D", "db", "")}}});
    build({{"mbdb", true}, {"entries", QJsonArray{bb::file("D", "mbdb", "")}}});
    EXPECT_EQ(parse(folder).files.keys(), QStringList{bb::fileId("D", "mbdb")});
    QFile::remove(folder + "/Manifest.mbdb");
    QFile::remove(folder + "/Manifest.db");
    EXPECT_THROW(parse(folder), std::runtime_error);
    EXPECT_EQ(MBDBParser::readFileHash(folder + "/none"), QByteArray());
    EXPECT_EQ(MBDBParser::readFileHash(folder + "/Manifest.plist"),
              QCryptographicHash::hash(readAll(folder + "/Manifest.plist"), QCryptographicHash::Sha1));
}

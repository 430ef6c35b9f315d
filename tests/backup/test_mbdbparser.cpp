// Reading backup file lists: Manifest.mbdb byte by byte, Manifest.db rows
// plain, salted and undecodable, and every layout giving the same records.
#include <QBuffer>

#include "backup/mbdbparser_p.h"
#include "foundation/sqlite3db.h"
#include "tests/backup/backuptest.h"

namespace {

using Lists = BackupTest;

// Every field the readers fill, one line a record, sorted; stored keys by length (they are random).
QStringList dump(const MBDBParser::MBDBItemMap& map)
{
    QStringList lines;
    for (const MBDBParser::_MBDBItem& i : map.files) {
        QStringList props;
        for (const auto& p : i.properties)
            props << p.name.data + "=" + p.value.data;
        QStringList f{i.domain.toString(), i.path.toString(), i.linkTarget.isValid() ? i.linkTarget.toString() : "-",
                      i.digest.data.toHex().left(8), QString::number(i.encryptionKey.data.size()),
                      QString::number(i.mode, 8)};
        for (qint64 n : {qint64(i.inodeHigh), i.inodeNumber, qint64(i.userId), qint64(i.groupId),
                         qint64(i.lastModified), qint64(i.lastStatusChange), qint64(i.birth), i.size,
                         qint64(i.protectionClass)})
            f << QString::number(n);
        lines << (f << props.join(',') << (i.undecoded ? "undecoded" : "")).join('|');
    }
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

} // namespace

TEST_F(Lists, MbdbRecordsAreReadWholeEvenWhenDropped)
{
    QJsonObject split = bb::file("D", "split", "s");
    split["inode"] = qint64(0x100000002);
    QJsonObject props = bb::file("D", "props", "");
    props["props"] = QJsonArray{QJsonArray{"n1", "v1"}, QJsonArray{"n2", ""}};
    const QJsonArray entries{bb::file(QString(), "no domain", "x"), bb::file("", "empty domain", "x"), split, props,
                             bb::folder("D", QString()), bb::link("D", "l", "first"), bb::link("D", "l", "later")};
    const QByteArray bytes = readFile(build({{"mbdb", true}, {"entries", entries}}) + "/Manifest.mbdb");
    const MBDBParser::MBDBItemMap map = readMbdb(bytes);
    const QString times = "|501|501|1600000000|1600000001|1599999900|";
    EXPECT_EQ(dump(map), (QStringList{"D|l|later||0|120755|0|7" + times + "0|0||",
                                      "D|props|-|da39a3ee|0|100644|0|4" + times + "0|3|n1=v1,n2=|",
                                      "D|split|-|a0f1490a|0|100644|1|2" + times + "1|3||",
                                      "D||-||0|40755|0|5" + times + "0|0||"}));
    EXPECT_EQ(map.maxInodeNumber, 7);

    // A list of the header alone, or less, is empty; the header is not examined.
    for (int n = 0; n <= 6; ++n)
        EXPECT_TRUE(readMbdb(bytes.left(n)).files.isEmpty());
    const qsizetype split0 = bytes.indexOf("split") - 5; // after the domain "D" and the path's length
    const QByteArray one = "XXXX\x07\x07" + bytes.mid(split0, bytes.indexOf("props") - 5 - split0);
    EXPECT_EQ(readMbdb(one).maxInodeNumber, 2);
    // A property count of 0x80 or more reads as none.
    EXPECT_TRUE(readMbdb(one.left(one.size() - 1) + '\x80').files.begin()->properties.isEmpty());
    // A list cut anywhere inside a record is refused, naming the file.
    for (qsizetype cut = 7; cut < one.size(); ++cut)
        EXPECT_PRED2(contains, errorOf([&] { readMbdb(one.left(cut)); }), "Manifest.mbdb is cut short") << cut;
}

// Hand-made Manifest.mbdb records of one file each, a property padding each
// to the size asked for, so that a list can end at any byte.
QByteArray mbdbString(const QByteArray& s) { return QByteArray(1, char(s.size() >> 8)) + char(s.size() & 0xff) + s; }
QByteArray mbdbRecord(const QByteArray& domain, const QByteArray& path, int inode, int total)
{
    const QByteArray fixed = QByteArray::fromHex("81a4" "00000000") + QByteArray(3, '\0') + char(inode)
        + QByteArray::fromHex("000001f5" "000001f5" "5f5e1000" "5f5e1000" "5f5e1000" "0000000000000007" "04" "01");
    QByteArray head = mbdbString(domain) + mbdbString(path) + "\xff\xff" + mbdbString(QByteArray(20, 'd')) + "\xff\xff"
        + fixed + mbdbString("pad");
    return head + mbdbString(QByteArray(total - head.size() - 2, 'p'));
}

// A list is read whole wherever its last record ends against the reader's
// 65,536-byte chunks; a domain or path holding a NUL names its file by the
// text before the NUL.
TEST_F(Lists, MbdbListsOfAnySizeAndNamesCutAtANul)
{
    for (const int size : {65535, 65536, 65537, 65538, 131073}) {
        QByteArray bytes("mbdb\x05\x00", 6);
        const int records = size > 100000 ? 3 : 2;
        for (int i = 0; i < records; ++i) {
            const int left = size - int(bytes.size());
            bytes += mbdbRecord("D", "f" + QByteArray::number(i), i + 1, i + 1 < records ? left / (records - i) : left);
        }
        ASSERT_EQ(bytes.size(), size);
        MBDBParser::MBDBItemMap map;
        EXPECT_EQ(errorOf([&] { map = readMbdb(bytes); }), "no error") << size;
        EXPECT_EQ(map.files.size(), records) << size;
        EXPECT_EQ(map.maxInodeNumber, records) << size;
        EXPECT_EQ(map.files.value(bb::fileId("D", "f" + QString::number(records - 1))).size, 7) << size;
    }
    const QByteArray nul = QByteArray("mbdb\x05\x00", 6) + mbdbRecord(QByteArray("AppDomain-x\0junk", 16), "Library/a", 1, 200)
        + mbdbRecord("AppDomain-x", QByteArray("Library/b\0c", 11), 2, 200);
    const MBDBParser::MBDBItemMap map = readMbdb(nul);
    EXPECT_EQ(map.files.value(bb::fileId("AppDomain-x", "Library/a")).inodeNumber, 1);
    EXPECT_EQ(map.files.value(bb::fileId("AppDomain-x", "Library/b")).inodeNumber, 2);
}

// Every layout, encrypted with a password that is not ASCII: a wrong password
// changes nothing, the right one gives the same records and each file's bytes
// and time (a file stored without key copied as it is, reporting its progress).
TEST_F(Lists, EveryLayoutGivesTheSameRecordsAndFiles)
{
    QJsonObject nsDigest = bb::file("HomeDomain", "Library/ns", "digest in a dictionary", 4),
                bare = bb::file("HomeDomain", "Library/bare", QByteArray(20000, 'b'));
    nsDigest["nsData"] = true;
    bare["noKey"] = true;
    const QJsonArray entries{bb::folder("AppDomain-x", ""), bb::file("AppDomain-x", "Library/a", QByteArray(20000, 'a')),
                             bb::file("AppDomain-x", "Library/e", ""), nsDigest, bare,
                             bb::link("HomeDomain", "Library/link", "Library/f"), bb::link("HomeDomain", "Library/nolink", "")};
    const QJsonObject layouts[] = {{{"mbdb", true}}, {{"encryptList", false}}, {{"encryptList", true}},
                                   {{"encryptList", false}, {"saltRows", true}}};
    QStringList first;
    for (int i = 0; i < 4; ++i) {
        QJsonObject spec = layouts[i];
        spec["password"] = "pässword";
        spec["entries"] = entries;
        const auto b = open(build(spec, QString::number(i)));
        EXPECT_FALSE(b->setPasscodeNoUIThrow("password"));
        EXPECT_EQ(b->passcode, "");
        ASSERT_TRUE(b->setPasscodeNoUIThrow("pässword"));
        EXPECT_TRUE(i != 2 || (QFileInfo(b->decryptedManifestPath).permissions() & 0x0777) == (QFile::ReadUser | QFile::WriteUser));
        const MBDBParser::MBDBItemMap list = MBDBParser::parse(*b);
        const QStringList records = dump(list);
        EXPECT_EQ(records.size(), entries.size());
        first = i == 0 ? records : first;
        EXPECT_EQ(records, first) << "layout " << i;
        QList<long long> calls;
        auto progress = [](long long total, long long done, void* c) { *static_cast<QList<long long>*>(c) << total << done; };
        for (const QJsonValue& v : entries) {
            const QString domain = v["domain"].toString(), path = v["path"].toString(), out = tmp.filePath("out");
            if (v["kind"].toInt() == 0) {
                b->copyItemThrow(list.files.value(bb::fileId(domain, path)), out, &calls, progress);
                EXPECT_EQ(readFile(out), v["data"].toString().toLatin1()) << path.toStdString();
                EXPECT_EQ(QFileInfo(out).lastModified().toSecsSinceEpoch(), 1600000000);
                // The load job copies without a progress callback: the same bytes.
                b->copyItemThrow(list.files.value(bb::fileId(domain, path)), out + "2", nullptr, nullptr);
                EXPECT_EQ(readFile(out + "2"), v["data"].toString().toLatin1()) << path.toStdString();
            }
        }
        EXPECT_EQ(calls, (QList<long long>{20000, 8192, 20000, 16384, 20000, 20000}));
    }
    // A passcode with no salt table: plain rows.
    Sqlite3DB db;
    db.openThrow(tmp.filePath("1/Manifest.db"), 2);
    db.executeThrow("drop table Properties");
    db.close();
    EXPECT_EQ(dump(MBDBParser::parse(*open(tmp.filePath("1"), "pässword"))), first);
}

// Rows are decoded in batches of 4,096: every row is read once, at and
// around the batch's end, and no batch leaves a phantom record behind.
TEST_F(Lists, ManifestDbRowsAroundTheBatchBoundaryAreReadOnceEach)
{
    const QString folder = build({{"entries", QJsonArray{bb::file("D", "base", "x")}}});
    for (const int rows : {4096, 4097, 8193}) {
        Sqlite3DB db;
        db.openThrow(folder + "/Manifest.db", 2);
        db.executeThrow("delete from Files where relativePath <> 'base'");
        db.executeThrow(Sqlite3Sql("with recursive n(x) as (select 1 union all select x + 1 from n where x < ?) "
                                   "insert into Files(fileID, domain, relativePath, flags, file) "
                                   "select 'id' || x, 'E', 'r' || x, 1, (select file from Files where "
                                   "relativePath = 'base') from n")
                            .addIntParam(rows - 1));
        db.close();
        const MBDBParser::MBDBItemMap map = MBDBParser::parse(*open(folder));
        EXPECT_EQ(map.files.size(), rows);
        int undecoded = 0;
        for (const MBDBParser::_MBDBItem& i : map.files)
            undecoded += i.undecoded;
        EXPECT_EQ(undecoded, 0) << rows;
        for (const int r : {1, 4095, rows - 1})
            EXPECT_EQ(map.files.value(bb::fileId("E", "r" + QString::number(r))).path.toString(), "r" + QString::number(r));
    }
}

TEST_F(Lists, RowsThatDoNotDecodeAreMarkedAndDamagedSaltedRowsRefused)
{
    QJsonObject raw = bb::file("D", "raw", "x");
    raw["raw"] = "not an archive";
    const QString folder = build({{"entries", QJsonArray{raw, bb::file("", "no domain", "x")}}});
    EXPECT_EQ(dump(MBDBParser::parse(*open(folder))), QStringList{"D|raw|-||0|0|0|0|0|0|0|0|0|0|0||undecoded"});

    // Salted rows read without the password: only domain and path are known.
    const QString salted = build({{"password", "pw"}, {"encryptList", false}, {"saltRows", true},
                                  {"entries", QJsonArray{bb::file("D", "a", "x"), bb::file("D", "b", "y")}}},
                                 "salted");
    EXPECT_EQ(dump(MBDBParser::parse(BackupManifest(salted))).join(' ').count("|0|0|0|0|0|0|0|0|0|0||undecoded"), 2);
    Sqlite3DB db;
    db.openThrow(salted + "/Manifest.db", 2);
    db.executeThrow(Sqlite3Sql("update Files set file=? where relativePath='b'")
                        .addTextParam(bb::aesCbc(built.rowKey, "cut text", true, bb::rowIv()).left(12).toBase64()));
    db.close();
    EXPECT_PRED2(contains, errorOf([&] { MBDBParser::parse(*open(salted, "pw")); }), "the record of b in D does not decrypt");
}

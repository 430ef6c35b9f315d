#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QMap>
#include <QPushButton>
#include <QSet>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/testenv.h"

#include "foundation/datadir.h"
#include "foundation/errorreport.h"
#include "foundation/progressform.h"
#include "foundation/translocale.h"

namespace {

QString yes()
{
    return QCoreApplication::translate("QObject", "Yes");
}

class TransLocaleTest : public ::testing::Test
{
protected:
    // Later tests expect the English texts.
    void TearDown() override { translocale_set("en_US"); }

    ScopedDataHome home;

    static QString localeFile() { return g_dataSaveDir().filePath("locale"); }
    static void writeLocaleFile(const QByteArray& bytes)
    {
        QFile f(localeFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
};

TEST_F(TransLocaleTest, LanguageComesFromTheWholeLocaleFileIgnoringCase)
{
    const struct
    {
        QByteArray file;
        const char* yes;
    } cases[] = {
        {"ja_JP", "\xe3\x81\xaf\xe3\x81\x84"},
        {"ja_JP\n", "\xe3\x81\xaf\xe3\x81\x84"}, // the prefix still matches
        {"JA_jp", "\xe3\x81\xaf\xe3\x81\x84"},
        {"zh_TW", "\xe6\x98\xaf"},
        {"ZH_TW", "\xe6\x98\xaf"},
        {"zh_HK", "\xe6\x98\xaf"},
        {"zh_MO", "\xe6\x98\xaf"},
        {"zh_SG", "\xe6\x98\xaf"},
        {"zh_TW\n", "Yes"}, // the whole name no longer matches
        {"zh_CN", "Yes"},
        {"ja", "Yes"},
        {"en_US", "Yes"},
        {"", "Yes"}, // an empty file is English whatever the system says
    };
    for (const auto& c : cases) {
        writeLocaleFile(c.file);
        translocale_set(QString());
        EXPECT_EQ(yes(), QString::fromUtf8(c.yes)) << c.file.constData();
    }
}

TEST_F(TransLocaleTest, AGivenNameWinsOverTheFile)
{
    writeLocaleFile("ja_JP");
    translocale_set("zh_HK");
    EXPECT_EQ(yes(), QString::fromUtf8("\xe6\x98\xaf"));
    translocale_set("ja_XX");
    EXPECT_EQ(yes(), QString::fromUtf8("\xe3\x81\xaf\xe3\x81\x84"));
}

TEST_F(TransLocaleTest, WithoutAFileTheSystemLocaleDecides)
{
    translocale_set(QLocale::system().name());
    const QString bySystemName = yes();
    translocale_set("en_US");
    translocale_set(QString());
    EXPECT_EQ(yes(), bySystemName);
}

TEST_F(TransLocaleTest, SaveLocaleWritesExactlyTheNameAndReplacesTheFile)
{
    translocale_saveLocale("zh_TW");
    translocale_saveLocale("ja_JP");
    QFile f(localeFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "ja_JP");
    // Saving alone changes nothing on screen; the next start does.
    EXPECT_EQ(yes(), "Yes");
    translocale_set(QString());
    EXPECT_EQ(yes(), QString::fromUtf8("\xe3\x81\xaf\xe3\x81\x84"));
}

TEST_F(TransLocaleTest, ASecondCallReplacesTheTranslator)
{
    translocale_set("ja_JP");
    translocale_set("zh_TW");
    translocale_set("en_US");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(qApp->findChildren<QTranslator*>().size(), 1);
    EXPECT_EQ(yes(), "Yes");
    EXPECT_EQ(QCoreApplication::translate("ProgressForm", "Are You Sure You Want To Cancel?"),
              "Are You Sure You Want To Cancel?");
}

TEST_F(TransLocaleTest, AUserWhoPicksJapaneseSeesJapanese)
{
    errorReport_setServer(QString(), 0);
    translocale_saveLocale("ja_JP");
    translocale_set(QString());

    ModalDriver driver;
    driver.answer(QMessageBox::No);
    ProgressForm form("");
    EXPECT_EQ(form.findChild<QPushButton*>("btnCancel")->text(), QString::fromUtf8("\xe3\x82\xad\xe3\x83\xa3\xe3\x83\xb3\xe3\x82\xbb\xe3\x83\xab"));
    QTimer::singleShot(0, &form, [&] {
        form.findChild<QPushButton*>("btnCancel")->pressed();
        form.invokeSucceed("");
    });
    EXPECT_EQ(form.exec(), 1);
    ASSERT_EQ(driver.answered(), 1);
    EXPECT_EQ(driver.texts[0], QString::fromUtf8("\xe3\x82\xad\xe3\x83\xa3\xe3\x83\xb3\xe3\x82\xbb\xe3\x83\xab"
                                                 "\xe3\x81\x97\xe3\x81\xa6\xe3\x82\x82\xe3\x82\x88\xe3\x82\x8d"
                                                 "\xe3\x81\x97\xe3\x81\x84\xe3\x81\xa7\xe3\x81\x99\xe3\x81\x8b"
                                                 "\xef\xbc\x9f"));
    EXPECT_EQ(driver.buttonTexts[0], QString::fromUtf8("\xe3\x81\xaf\xe3\x81\x84|\xe3\x81\x84\xe3\x81\x84\xe3\x81\x88"));
}

// (context, source) -> translation of one Qt Linguist file.
QMap<QPair<QString, QString>, QString> readTs(const QString& path, QString* language)
{
    QMap<QPair<QString, QString>, QString> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QXmlStreamReader xml(&f);
    QString context, source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == u"TS" && language)
            *language = xml.attributes().value("language").toString();
        else if (xml.name() == u"name")
            context = xml.readElementText();
        else if (xml.name() == u"source")
            source = xml.readElementText();
        else if (xml.name() == u"translation") {
            const bool unfinished = xml.attributes().value("type") == u"unfinished";
            const QString text = xml.readElementText();
            out.insert({context, source}, unfinished ? QString() : text);
        }
    }
    EXPECT_FALSE(xml.hasError()) << path.toStdString();
    return out;
}

TEST(Translations, EveryTextHasAFinishedTranslationInEachLanguage)
{
    const QString dir = testenv::sourceDir() + "/resources/translations/";
    QString en, ja, zh;
    const auto english = readTs(dir + "chatferry_en.ts", &en);
    const auto japanese = readTs(dir + "chatferry_ja_JP.ts", &ja);
    const auto chinese = readTs(dir + "chatferry_zh_TW.ts", &zh);
    EXPECT_EQ(en, "en");
    EXPECT_EQ(ja, "ja_JP");
    EXPECT_EQ(zh, "zh_TW");
    ASSERT_FALSE(english.isEmpty());
    EXPECT_EQ(english.keys(), japanese.keys());
    EXPECT_EQ(english.keys(), chinese.keys());
    for (auto it = japanese.begin(); it != japanese.end(); ++it) {
        EXPECT_FALSE(it.value().isEmpty()) << it.key().second.toStdString();
        EXPECT_FALSE(chinese.value(it.key()).isEmpty()) << it.key().second.toStdString();
        EXPECT_FALSE(english.value(it.key()).isEmpty()) << it.key().second.toStdString();
    }

    // The files hold exactly the texts that the code marks for translation.
    const QString lupdate = QLibraryInfo::path(QLibraryInfo::BinariesPath) + "/lupdate";
    if (!QFile::exists(lupdate))
        GTEST_SKIP() << "lupdate is not installed";
    QTemporaryDir tmp;
    const QString src = testenv::sourceDir() + "/";
    QStringList args{"-silent", "-locations", "none", "-I", src};
    // Every source of the libraries, so a text added anywhere later is caught.
    for (const char* folder : {"foundation", "chatdata", "backup", "device"}) {
        QDirIterator it(src + folder, {"*.cpp", "*.h", "*.ui"}, QDir::Files);
        while (it.hasNext())
            args << it.next();
    }
    args << "-ts" << tmp.filePath("scan.ts");
    ASSERT_EQ(testenv::runTool(lupdate, args), 0);
    const auto scanned = readTs(tmp.filePath("scan.ts"), nullptr);
    for (auto it = scanned.begin(); it != scanned.end(); ++it)
        EXPECT_TRUE(english.contains(it.key())) << "untranslated: " << it.key().first.toStdString() << " / "
                                                << it.key().second.toStdString();
}

} // namespace

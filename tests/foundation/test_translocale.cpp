#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QLibraryInfo>
#include <QMap>
#include <QPushButton>
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

const char* const kJa = "はい"; // "Yes" in Japanese
const char* const kZh = "是";   // and in Traditional Chinese

QString yes()
{
    return QCoreApplication::translate("QObject", "Yes");
}

class TransLocaleTest : public ::testing::Test
{
protected:
    // Later tests expect the English texts.
    void TearDown() override { translocale_set("en_US"); }

    static void writeLocaleFile(const QByteArray& bytes)
    {
        QFile f(g_dataSaveDir().filePath("locale"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    ScopedDataHome home;
};

TEST_F(TransLocaleTest, LanguageComesFromTheWholeLocaleFileIgnoringCaseAndAGivenNameWins)
{
    const struct
    {
        QByteArray file;
        const char* yes;
    } cases[] = {
        {"ja_JP", kJa}, {"ja_JP\n", kJa}, {"JA_jp", kJa}, {"zh_TW", kZh},  {"zh_HK", kZh}, {"zh_MO", kZh},
        {"zh_SG", kZh}, {"zh_TW\n", "Yes"}, {"zh_CN", "Yes"}, {"ja", "Yes"}, {"", "Yes"}, // empty: English
    };
    for (const auto& c : cases) {
        writeLocaleFile(c.file);
        translocale_set(QString());
        EXPECT_EQ(yes(), QString::fromUtf8(c.yes)) << c.file.constData();
    }
    translocale_set("zh_HK");
    EXPECT_EQ(yes(), QString::fromUtf8(kZh));
    translocale_set("ja_XX");
    EXPECT_EQ(yes(), QString::fromUtf8(kJa));
}

TEST_F(TransLocaleTest, ASecondCallReplacesTheTranslator)
{
    translocale_set("ja_JP");
    translocale_set("zh_TW");
    translocale_set("en_US");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(qApp->findChildren<QTranslator*>().size(), 1);
    EXPECT_EQ(yes(), "Yes");
}

TEST_F(TransLocaleTest, AUserWhoSavesJapaneseSeesJapaneseFromTheNextStart)
{
    errorReport_setServer(QString(), 0);
    translocale_saveLocale("zh_TW");
    translocale_saveLocale("ja_JP");
    QFile f(g_dataSaveDir().filePath("locale"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "ja_JP");
    // Saving alone changes nothing on screen.
    EXPECT_EQ(yes(), "Yes");
    translocale_set(QString());

    ModalDriver driver;
    driver.answer(QMessageBox::No);
    ProgressForm form("");
    const QString cancel = QString::fromUtf8("キャンセル");
    EXPECT_EQ(form.findChild<QPushButton*>("btnCancel")->text(), cancel);
    QTimer::singleShot(0, &form, [&] {
        emit form.findChild<QPushButton*>("btnCancel")->pressed();
        form.invokeSucceed("");
    });
    EXPECT_EQ(form.exec(), 1);
    EXPECT_EQ(driver.texts, QStringList{cancel + QString::fromUtf8("してもよろしいですか？")});
    EXPECT_EQ(driver.buttonTexts,
              QStringList{QString::fromUtf8(kJa) + QString::fromUtf8("|いいえ")});
}

// (context, source) -> finished translation (empty when unfinished) of one
// Qt Linguist file; `language` receives the file's language.
QMap<QPair<QString, QString>, QString> readTs(const QString& path, QString* language = nullptr)
{
    QMap<QPair<QString, QString>, QString> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QXmlStreamReader xml(&f);
    QString context, source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"TS" && language)
            *language = xml.attributes().value("language").toString();
        else if (xml.name() == u"name")
            context = xml.readElementText();
        else if (xml.name() == u"source")
            source = xml.readElementText();
        else if (xml.name() == u"translation")
            out.insert({context, source}, xml.attributes().value("type") == u"unfinished" ? QString()
                                                                                          : xml.readElementText());
    }
    EXPECT_FALSE(xml.hasError()) << path.toStdString();
    return out;
}

TEST(Translations, EveryMarkedTextHasAFinishedTranslationInEachLanguage)
{
    const QString src = testenv::sourceDir() + "/";
    QMap<QString, QMap<QPair<QString, QString>, QString>> files;
    for (const char* lang : {"en", "ja_JP", "zh_TW"}) {
        QString language;
        files[lang] = readTs(src + "resources/translations/chatferry_" + lang + ".ts", &language);
        EXPECT_EQ(language, lang);
    }
    const auto& english = files["en"];
    ASSERT_FALSE(english.isEmpty());
    for (const auto& file : files) {
        EXPECT_EQ(file.keys(), english.keys());
        for (auto it = file.begin(); it != file.end(); ++it)
            EXPECT_FALSE(it.value().isEmpty()) << it.key().second.toStdString();
    }

    // The files hold exactly the texts that the code marks for translation,
    // in every source of the libraries, so a text added later is caught.
    const QString lupdate = QLibraryInfo::path(QLibraryInfo::BinariesPath) + "/lupdate";
    if (!QFile::exists(lupdate))
        GTEST_SKIP() << "lupdate is not installed";
    QTemporaryDir tmp;
    QStringList args{"-silent", "-locations", "none", "-I", src};
    for (const char* folder : {"foundation", "chatdata", "backup", "device"}) {
        QDirIterator it(src + folder, {"*.cpp", "*.h", "*.ui"}, QDir::Files);
        while (it.hasNext())
            args << it.next();
    }
    args << "-ts" << tmp.filePath("scan.ts");
    ASSERT_EQ(testenv::runTool(lupdate, args), 0);
    const auto scanned = readTs(tmp.filePath("scan.ts"));
    for (auto it = scanned.begin(); it != scanned.end(); ++it)
        EXPECT_TRUE(english.contains(it.key()))
            << "untranslated: " << it.key().first.toStdString() << " / " << it.key().second.toStdString();
}

} // namespace

#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QLibraryInfo>
#include <QMap>
#include <QPushButton>
#include <QTranslator>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/scopeddatahome.h"
#include "tests/support/testenv.h"

#include "foundation/datadir.h"
#include "foundation/progressform.h"
#include "foundation/translocale.h"

namespace {

QString yes()
{
    return QCoreApplication::translate("QObject", "Yes");
}

TEST(TransLocale, TheSavedLanguageIsShownFromTheNextStartAndASecondCallReplacesTheTranslator)
{
    ScopedDataHome home;
    const struct
    {
        QByteArray file;
        const char* yes;
    } cases[] = {{"JA_jp", "はい"}, {"zh_HK", "是"}, {"zh_SG", "是"}, {"zh_TW\n", "Yes"}, {"zh_CN", "Yes"}, {"", "Yes"}};
    for (const auto& c : cases) {
        translocale_saveLocale(QString::fromUtf8(c.file));
        translocale_set(QString());
        EXPECT_EQ(yes(), QString::fromUtf8(c.yes)) << c.file.constData();
    }
    translocale_saveLocale("ja_JP");
    EXPECT_EQ(testenv::readFile(g_dataSaveDir().filePath("locale")), "ja_JP");
    translocale_set("zh_TW"); // a given name wins
    EXPECT_EQ(yes(), QString::fromUtf8("是"));
    translocale_set(QString());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(qApp->findChildren<QTranslator*>().size(), 1);

    ProgressForm form(""); // the window's own texts are translated
    EXPECT_EQ(form.findChild<QPushButton*>("btnCancel")->text(), QString::fromUtf8("キャンセル"));
    translocale_set("en_US"); // later tests expect English
}

// (context, source) -> finished translation (empty when unfinished) of one
// Qt Linguist file.
QMap<QPair<QString, QString>, QString> readTs(const QString& path)
{
    QMap<QPair<QString, QString>, QString> out;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    QXmlStreamReader xml(&f);
    QString context, source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"name")
            context = xml.readElementText();
        else if (xml.name() == u"source")
            source = xml.readElementText();
        else if (xml.name() == u"translation")
            out.insert({context, source}, xml.attributes().value("type") == u"unfinished" ? QString() : xml.readElementText());
    }
    EXPECT_FALSE(xml.hasError()) << path.toStdString();
    return out;
}

// Every text the code marks for translation, in every source of the
// libraries, has a finished translation in each language.
TEST(Translations, EveryMarkedTextHasAFinishedTranslationInEachLanguage)
{
    const QString src = testenv::sourceDir() + "/";
    const auto english = readTs(src + "resources/translations/chatferry_en.ts");
    ASSERT_FALSE(english.isEmpty());
    for (const char* lang : {"en", "ja_JP", "zh_TW"}) {
        const auto file = readTs(src + "resources/translations/chatferry_" + lang + ".ts");
        EXPECT_EQ(file.keys(), english.keys()) << lang;
        for (auto it = file.begin(); it != file.end(); ++it)
            EXPECT_FALSE(it.value().isEmpty()) << lang << ": " << it.key().second.toStdString();
    }
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
        EXPECT_TRUE(english.contains(it.key())) << "untranslated: " << it.key().second.toStdString();
}

} // namespace

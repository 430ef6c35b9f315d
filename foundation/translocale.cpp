#include "foundation/translocale.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QPointer>
#include <QTranslator>

#include "foundation/datadir.h"

namespace {

QString localeFilePath()
{
    return g_dataSaveDir().filePath(QStringLiteral("locale"));
}

QString translationFor(const QString& name)
{
    static const char* const traditional[] = {"zh_HK", "zh_TW", "zh_MO", "zh_SG"};
    for (const char* t : traditional) {
        if (name.compare(QLatin1String(t), Qt::CaseInsensitive) == 0)
            return QStringLiteral(":/translations/chatferry_zh_TW.qm");
    }
    if (name.startsWith(QLatin1String("ja_"), Qt::CaseInsensitive))
        return QStringLiteral(":/translations/chatferry_ja_JP.qm");
    return QStringLiteral(":/translations/chatferry_en.qm");
}

// The one installed translator; the application object owns it.
QPointer<QTranslator>& installedTranslator()
{
    static QPointer<QTranslator> translator;
    return translator;
}

} // namespace

void translocale_saveLocale(QString name)
{
    QFile file(localeFilePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write(name.toUtf8());
    file.close();
}

void translocale_set(QString name)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QPointer<QTranslator>& current = installedTranslator();
    if (current) {
        QCoreApplication::removeTranslator(current);
        current->deleteLater();
        current = nullptr;
    }

    if (name.isEmpty()) {
        // No line end is stripped: "zh_TW\n" is not zh_TW, but "ja_JP\n"
        // still begins with ja_.
        QFile file(localeFilePath());
        if (file.open(QIODevice::ReadOnly))
            name = QString::fromUtf8(file.readAll());
        else
            name = QLocale::system().name();
    }

    auto* translator = new QTranslator(app);
    // A translation that does not load leaves the source texts.
    (void)translator->load(translationFor(name));
    QCoreApplication::installTranslator(translator);
    current = translator;
}

#include "foundation/messagebox.h"

#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QPushButton>

#include "foundation/productinfo.h"
#include "foundation/stylesheet.h"
#include "foundation/winmovable.h"

namespace {

QString headerLine()
{
    return QStringLiteral("<nobr><b>") + g_productTitle() + QStringLiteral(" v%1").arg(QLatin1String(kProductVersion))
        + QStringLiteral("</b></nobr><br/><br/>");
}

QWidget* findTextLabel(QMessageBox& box)
{
    static const QString name = QStringLiteral("qt_msgbox_label");
    if (QLayout* layout = box.layout()) {
        for (int i = 0; i < layout->count(); ++i) {
            QWidget* w = layout->itemAt(i)->widget();
            if (w && w->objectName() == name)
                return w;
        }
    }
    // Later Qt versions nest the label one layout deeper.
    return box.findChild<QLabel*>(name);
}

} // namespace

QSharedPointer<QMessageBox> g_messageBox(QMessageBox::Icon icon, QString text, int buttons,
                                         QWidget** label, bool header)
{
    if (header)
        text = headerLine() + text;
    QSharedPointer<QMessageBox> box(new QMessageBox(icon, g_productTitle(), text, QMessageBox::NoButton, nullptr));

    if (icon == QMessageBox::Information) {
        QPixmap pic(QStringLiteral(":/res/tipsutil_res/icon_info.png"));
        if (!pic.isNull())
            box->setIconPixmap(pic.scaledToHeight(32, Qt::FastTransformation));
    }
    box->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box->setStyleSheet(getStyleSheet());

    const struct
    {
        QMessageBox::StandardButton button;
        const char* text;
    } kinds[] = {
        {QMessageBox::Yes, QT_TRANSLATE_NOOP("QObject", "Yes")},
        {QMessageBox::No, QT_TRANSLATE_NOOP("QObject", "No")},
        {QMessageBox::Ok, QT_TRANSLATE_NOOP("QObject", "OK")},
        {QMessageBox::Cancel, QT_TRANSLATE_NOOP("QObject", "Cancel")},
        {QMessageBox::Abort, QT_TRANSLATE_NOOP("QObject", "Abort")},
        {QMessageBox::Retry, QT_TRANSLATE_NOOP("QObject", "Retry")},
        {QMessageBox::Ignore, QT_TRANSLATE_NOOP("QObject", "Ignore")},
    };
    for (const auto& k : kinds) {
        if (buttons & k.button)
            box->addButton(k.button)->setText(QObject::tr(k.text));
    }

    if (label) {
        if (QWidget* found = findTextLabel(*box))
            *label = found;
    }
    box->setTextFormat(Qt::RichText);
    return box;
}

int g_execMessageBox(QSharedPointer<QMessageBox> box)
{
    if (!box)
        return 0;
    WinMovable mover(box.data());
    return box->exec();
}

int g_showMessageBox(QMessageBox::Icon icon, QString text, int buttons, bool header)
{
    return g_execMessageBox(g_messageBox(icon, std::move(text), buttons, nullptr, header));
}

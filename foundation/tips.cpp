#include "foundation/tips.h"

#include <QMessageBox>

#include "foundation/errorreport.h"
#include "foundation/messagebox.h"
#include "foundation/productinfo.h"

void Tips::info(QString text)
{
    g_showMessageBox(QMessageBox::Information, std::move(text), QMessageBox::Ok, false);
}

void Tips::warning(QString text)
{
    g_showMessageBox(QMessageBox::Warning, std::move(text), QMessageBox::Ok, false);
}

bool Tips::question(QString text)
{
    return g_showMessageBox(QMessageBox::Question, std::move(text), QMessageBox::Yes | QMessageBox::No, false)
        == QMessageBox::Yes;
}

void Tips::error(QString message)
{
    // The frame stays English: callers pass the message already translated.
    const QString text = QStringLiteral("An Error Occurred. <br/><br/>%1<br/><br/> Or you can contact ")
                             .arg(message)
        + QLatin1String(kSupportEmail) + QStringLiteral(" for help.");
    g_showMessageBox(QMessageBox::Critical, text, QMessageBox::Ok, true);
    errorReport_send(message);
}

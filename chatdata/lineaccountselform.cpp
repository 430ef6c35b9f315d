#include "chatdata/lineaccountselform.h"
#include "ui_lineaccountselform.h"

#include "foundation/stylesheet.h"
#include "foundation/tips.h"

LineAccountSelForm::LineAccountSelForm(QWidget* parent)
    : QDialog(parent)
    , m_mover(this)
    , ui(new Ui_LineAccountSelForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &LineAccountSelForm::onBtnOkPress);

    LineAccountDB store;
    for (const LineAccountDB::_Account& account : store.accounts()) {
        ui->cbLineAccount->addItem(
            QStringLiteral("tel:%1, name:%2, uid:%3").arg(account.tel, account.name, account.uid),
            QVariant::fromValue(account));
    }
}

LineAccountSelForm::~LineAccountSelForm()
{
    delete ui;
}

void LineAccountSelForm::onBtnOkPress()
{
    // An empty combo box has no current item and so no account.
    selAccount = ui->cbLineAccount->currentData().value<LineAccountDB::_Account>();
    if (selAccount.uid.isEmpty()) {
        Tips::warning(tr("IDS_PLEASE_SELECT_A_LINE_ACCOUNT."));
        return;
    }
    accept();
}

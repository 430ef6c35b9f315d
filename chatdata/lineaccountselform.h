#pragma once

#include <QDialog>

#include "chatdata/lineaccountdb.h"
#include "foundation/winmovable.h"

class Ui_LineAccountSelForm;

// A small frameless dialog that lists the stored LINE accounts and returns
// the one the user picks: after exec() gave QDialog::Accepted, selAccount
// holds it.
class LineAccountSelForm : public QDialog
{
    Q_OBJECT
public:
    explicit LineAccountSelForm(QWidget* parent = nullptr);
    ~LineAccountSelForm() override;

    LineAccountDB::_Account selAccount;

private slots:
    void onBtnOkPress();

private:
    WinMovable m_mover;
    Ui_LineAccountSelForm* ui;
};

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/modaldriver.h"
#include "tests/support/scopeddatahome.h"

#include "chatdata/lineaccountdb.h"
#include "chatdata/lineaccountselform.h"
#include "foundation/translocale.h"

namespace {

class LineAccountSelFormTest : public ::testing::Test
{
protected:
    void SetUp() override { translocale_set("en_US"); }
    void TearDown() override { translocale_set("en_US"); }

    static void store(const QList<LineAccountDB::_Account>& accounts)
    {
        LineAccountDB db;
        for (const auto& a : accounts)
            db.saveAccountThrow(a);
    }
    static QComboBox* combo(LineAccountSelForm& f) { return f.findChild<QComboBox*>("cbLineAccount"); }
    static void press(LineAccountSelForm& f, const char* button) { emit f.findChild<QPushButton*>(button)->pressed(); }

    ScopedDataHome home;
    ModalDriver driver;
};

TEST_F(LineAccountSelFormTest, ListsEveryStoredAccountAndOkReturnsTheChosenOne)
{
    store({{"u1", "Ann", "123"}, {"u2", "50%1 %2", ""}});
    LineAccountSelForm form;
    QStringList items;
    for (int i = 0; i < combo(form)->count(); ++i)
        items << combo(form)->itemText(i);
    items.sort();
    // Names from the store are not read as further place markers.
    EXPECT_EQ(items, QStringList({"tel:, name:50%1 %2, uid:u2", "tel:123, name:Ann, uid:u1"}));

    QTimer::singleShot(0, &form, [&] {
        combo(form)->setCurrentIndex(combo(form)->findText("tel:, name:50%1 %2, uid:u2"));
        press(form, "btnOK");
    });
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_EQ(form.selAccount.uid + '|' + form.selAccount.name + '|' + form.selAccount.tel, "u2|50%1 %2|");
    EXPECT_EQ(driver.answered(), 0);
}

TEST_F(LineAccountSelFormTest, OkWithNoAccountsWarnsAndStaysOpen)
{
    driver.answer(QMessageBox::Ok);
    LineAccountSelForm form;
    bool openAfterWarning = false;
    QTimer::singleShot(0, &form, [&] {
        press(form, "btnOK");
        openAfterWarning = form.isVisible();
        press(form, "btnClose");
    });
    EXPECT_EQ(form.exec(), QDialog::Rejected);
    EXPECT_TRUE(openAfterWarning);
    EXPECT_EQ(driver.texts, QStringList{"Line account is required. Please choose your Line account."});
    EXPECT_TRUE(form.selAccount.uid.isEmpty());
}

TEST_F(LineAccountSelFormTest, ShownInJapaneseWhenChosen)
{
    translocale_set("ja_JP");
    LineAccountSelForm form;
    EXPECT_EQ(form.findChild<QLabel*>("label")->text(),
              QString::fromUtf8("LINE アカウントを選択してください："));
}

} // namespace

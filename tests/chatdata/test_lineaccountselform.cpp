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

    static void store(const QList<LineAccountDB::_Account>& accounts)
    {
        LineAccountDB db;
        for (const auto& a : accounts)
            db.saveAccountThrow(a);
    }
    static QComboBox* combo(LineAccountSelForm& f) { return f.findChild<QComboBox*>("cbLineAccount"); }
    static void press(LineAccountSelForm& f, const char* button)
    {
        emit f.findChild<QPushButton*>(button)->pressed();
    }

    ScopedDataHome home;
};

TEST_F(LineAccountSelFormTest, ListsEveryStoredAccountWithItsText)
{
    store({{"u1", "Ann", "123"}, {"u2", "50%1 %2", ""}});
    LineAccountSelForm form;
    EXPECT_EQ(form.objectName(), "LineAccountSelForm");
    EXPECT_EQ(form.windowFlags(), Qt::Dialog | Qt::FramelessWindowHint);
    EXPECT_FALSE(form.styleSheet().isEmpty());
    EXPECT_EQ(form.findChild<QLabel*>("label")->text(), "Please choose your Line account:");
    EXPECT_EQ(combo(form)->toolTip(), "Choose Line Account");
    EXPECT_FALSE(combo(form)->isEditable());

    QStringList items;
    for (int i = 0; i < combo(form)->count(); ++i)
        items << combo(form)->itemText(i);
    items.sort();
    // Names from the store are not read as further place markers.
    EXPECT_EQ(items, QStringList({"tel:, name:50%1 %2, uid:u2", "tel:123, name:Ann, uid:u1"}));
}

TEST_F(LineAccountSelFormTest, OkWithNoAccountsWarnsAndStaysOpen)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    LineAccountSelForm form;
    EXPECT_EQ(combo(form)->count(), 0);
    bool openAfterWarning = false;
    QTimer::singleShot(0, &form, [&] {
        press(form, "btnOK");
        openAfterWarning = form.isVisible();
        press(form, "btnClose");
    });
    EXPECT_EQ(form.exec(), QDialog::Rejected);
    EXPECT_TRUE(openAfterWarning);
    ASSERT_EQ(driver.answered(), 1);
    EXPECT_EQ(driver.texts[0], "Line account is required. Please choose your Line account.");
    EXPECT_TRUE(form.selAccount.uid.isEmpty());
}

TEST_F(LineAccountSelFormTest, OkReturnsTheChosenAccount)
{
    store({{"u1", "Ann", "123"}, {"u2", "Bob", "456"}});
    ModalDriver driver;
    LineAccountSelForm form;
    const int bob = combo(form)->findText("tel:456, name:Bob, uid:u2");
    ASSERT_GE(bob, 0);
    QTimer::singleShot(0, &form, [&] {
        combo(form)->setCurrentIndex(bob);
        press(form, "btnOK");
    });
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_EQ(form.selAccount.uid, "u2");
    EXPECT_EQ(form.selAccount.name, "Bob");
    EXPECT_EQ(form.selAccount.tel, "456");
    EXPECT_EQ(driver.answered(), 0);
}

TEST_F(LineAccountSelFormTest, ShownInJapaneseWhenChosen)
{
    translocale_set("ja_JP");
    LineAccountSelForm form;
    EXPECT_EQ(form.findChild<QLabel*>("label")->text(),
              QString::fromUtf8("LINE \xe3\x82\xa2\xe3\x82\xab\xe3\x82\xa6\xe3\x83\xb3\xe3\x83\x88\xe3\x82\x92"
                                "\xe9\x81\xb8\xe6\x8a\x9e\xe3\x81\x97\xe3\x81\xa6\xe3\x81\x8f\xe3\x81\xa0\xe3\x81\x95"
                                "\xe3\x81\x84\xef\xbc\x9a"));
    EXPECT_EQ(form.findChild<QPushButton*>("btnClose")->text(),
              QString::fromUtf8("\xe3\x82\xad\xe3\x83\xa3\xe3\x83\xb3\xe3\x82\xbb\xe3\x83\xab"));
    translocale_set("en_US");
}

} // namespace

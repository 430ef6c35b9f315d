#include <QAbstractButton>
#include <QApplication>
#include <QNetworkReply>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/httptestserver.h"
#include "tests/support/modaldriver.h"

#include "foundation/errorreport.h"
#include "foundation/messagebox.h"
#include "foundation/tips.h"

namespace {

const QString kHeader = "<nobr><b>Marrowquist Chatferry for Mac v3.1.97</b></nobr><br/><br/>";

TEST(Tips, QuestionIsTrueOnlyForYesAndNoticesKeepOnlyTheButtonsAskedFor)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Yes);
    driver.answer(QMessageBox::No);
    driver.handle([](QMessageBox* box) { box->reject(); });
    driver.answer(QMessageBox::Ok);
    driver.answer(QMessageBox::Retry);
    EXPECT_TRUE(Tips::question("q1"));
    EXPECT_FALSE(Tips::question("q2"));
    EXPECT_FALSE(Tips::question("q3"));
    Tips::warning("careful <b>x</b>");
    EXPECT_EQ(g_showMessageBox(QMessageBox::Warning, "trust?", QMessageBox::Retry | QMessageBox::Save, true),
              QMessageBox::Retry);
    EXPECT_EQ(driver.texts, QStringList({"q1", "q2", "q3", "careful <b>x</b>", kHeader + "trust?"}));
    EXPECT_EQ(driver.buttonTexts.mid(2), QStringList({"Yes|No", "OK", "Retry"}));
}

// Reports free themselves once their exchange has ended. A test waits for
// that, since a request still in flight when the process ends leaves Qt's
// network thread with objects it never frees.
bool reportsEnded()
{
    return spinUntil([] { return qApp->findChildren<QNetworkReply*>().isEmpty(); });
}

TEST(TipsError, ShowsTheFramedMessageThenPostsTheReportByteForByteOrNothingWhenOff)
{
    HttpTestServer server;
    ASSERT_TRUE(server.start());
    errorReport_setServer("127.0.0.1", server.port());
    ModalDriver driver;
    for (int i = 0; i < 3; ++i)
        driver.answer(QMessageBox::Ok);
    const QString message = QString::fromUtf8("書けません<br/>disk <b>full</b> 😀");
    Tips::error(message);
    EXPECT_EQ(driver.texts.value(0), kHeader + "An Error Occurred. <br/><br/>" + message
                                         + "<br/><br/> Or you can contact support@marrowquist.com for help.");
    EXPECT_TRUE(spinUntil([&] { return server.requests().size() == 1; }));
    EXPECT_TRUE(reportsEnded());
    const HttpTestRequest req = server.requests().value(0);
    EXPECT_EQ(req.method + ' ' + req.target + ' ' + req.header("Content-Type"),
              "POST /err_report.php application/x-www-form-urlencoded");
    // Base64 with "/" and "=" replaced; <br/> becomes a line break, markup is escaped.
    const QByteArray err =
        QByteArray("書けません\r\ndisk &lt;b&gt;full&lt;/b&gt; 😀").toBase64().replace('/', '!').replace('=', '-');
    EXPECT_EQ(req.body, "prod=TWFycm93cXVpc3QgQ2hhdGZlcnJ5IGZvciBNYWM-&ver=My4xLjk3KDk3KQ--&err=" + err);

    // An unreachable or switched-off server changes nothing the user sees.
    errorReport_setServer("127.0.0.1", HttpTestServer::closedPort());
    Tips::error("refused");
    EXPECT_TRUE(reportsEnded());
    errorReport_setServer(QString(), 0);
    Tips::error("off");
    EXPECT_TRUE(qApp->findChildren<QNetworkReply*>().isEmpty()); // nothing was even started
    EXPECT_EQ(driver.answered(), 3);
}

} // namespace

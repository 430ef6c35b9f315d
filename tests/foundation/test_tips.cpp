#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QNetworkReply>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/httptestserver.h"
#include "tests/support/modaldriver.h"

#include "foundation/errorreport.h"
#include "foundation/messagebox.h"
#include "foundation/productinfo.h"
#include "foundation/tips.h"

namespace {

const QString kHeader = "<nobr><b>Marrowquist Chatferry for Mac v3.1.97</b></nobr><br/><br/>";

TEST(ErrorReportText, Base64VarBrTagsAndTheBody)
{
    const QString utf8 = QString::fromUtf8("ûï");
    for (const auto& [text, encoded] : {std::make_pair(QString("abc"), "YWJj"), std::make_pair(QString("ab"), "YWI-"),
                                        std::make_pair(QString("???"), "Pz8!"), std::make_pair(QString(), ""),
                                        std::make_pair(g_productVersionPair(), "My4xLjk3KDk3KQ--"),
                                        std::make_pair(utf8, "w7vDrw--"), // UTF-8 bytes are encoded
                                        std::make_pair(QString::fromUtf8("‾"), "4oC+")}) // "+" stays
        EXPECT_EQ(base64_var(text), encoded) << text.toStdString();

    EXPECT_EQ(errorReport_text("a<BR>b<br/>c< br />d<br >e<Br/>f<bR  >g"), "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng");
    EXPECT_EQ(errorReport_text("<b>x</b> <brx> <br// > 1<2"), "&lt;b&gt;x&lt;/b&gt; &lt;brx&gt; &lt;br// &gt; 1&lt;2");
    EXPECT_EQ(errorReport_body("x<br/>y"),
              "prod=" + base64_var(g_productTitle()).toUtf8() + "&ver=My4xLjk3KDk3KQ--&err=eA0KeQ--");
}

TEST(MessageBox, KeepsOnlyTheHonouredButtonsAndHandsOutItsLabel)
{
    QWidget* label = nullptr;
    auto box = g_messageBox(QMessageBox::Warning, "<b>t</b>", QMessageBox::Yes | QMessageBox::Save | QMessageBox::Ignore,
                            &label, false);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->textFormat(), Qt::RichText);
    ASSERT_EQ(box->buttons().size(), 2);
    EXPECT_EQ(box->button(QMessageBox::Save), nullptr);
    ASSERT_TRUE(qobject_cast<QLabel*>(label));
    EXPECT_EQ(qobject_cast<QLabel*>(label)->text(), "<b>t</b>");
    EXPECT_EQ(g_execMessageBox(QSharedPointer<QMessageBox>()), 0);
}

TEST(MessageBox, NoticesReturnThePressedButton)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Retry);
    driver.answer(QMessageBox::Abort);
    for (const auto pressed : {QMessageBox::Retry, QMessageBox::Abort})
        EXPECT_EQ(g_showMessageBox(QMessageBox::Warning, "trust?", QMessageBox::Retry | QMessageBox::Abort, true),
                  pressed);
    EXPECT_EQ(driver.texts.value(0), kHeader + "trust?");
}

TEST(Tips, QuestionIsTrueOnlyForYesAndInfoAndWarningHaveOneOkButton)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Yes);
    driver.answer(QMessageBox::No);
    driver.handle([](QMessageBox* box) { box->reject(); });
    driver.handle([](QMessageBox* box) { box->close(); });
    driver.answer(QMessageBox::Ok);
    driver.answer(QMessageBox::Ok);
    EXPECT_TRUE(Tips::question("q1"));
    for (const char* text : {"q2", "q3", "q4"})
        EXPECT_FALSE(Tips::question(text));
    Tips::info("fine <b>x</b>");
    Tips::warning("careful");
    EXPECT_EQ(driver.texts, QStringList({"q1", "q2", "q3", "q4", "fine <b>x</b>", "careful"}));
    EXPECT_EQ(driver.buttonTexts.mid(3), QStringList({"Yes|No", "OK", "OK"}));
}

// Reports free themselves once their exchange has ended. A test waits for
// that, since a request still in flight when the process ends leaves Qt's
// network thread with objects it never frees.
bool reportsEnded()
{
    return spinUntil([] { return qApp->findChildren<QNetworkReply*>().isEmpty(); });
}

TEST(TipsError, ShowsTheFramedMessageThenPostsTheReportByteForByte)
{
    HttpTestServer server([](HttpTestConnection& c) { c.send(HttpTestServer::response(200, "OK", "ok")); });
    ASSERT_TRUE(server.start());
    errorReport_setServer("127.0.0.1", server.port());
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    driver.answer(QMessageBox::Ok);
    const QString message = QString::fromUtf8("書けません<br/>disk <b>full</b> 😀");
    // The report goes out from the event loop; each is awaited in turn.
    for (const QString& text : {message, QString()}) {
        Tips::error(text);
        const int sent = driver.answered();
        EXPECT_TRUE(spinUntil([&] { return server.requests().size() == sent; }));
        EXPECT_EQ(driver.texts.value(sent - 1), kHeader + "An Error Occurred. <br/><br/>" + text
                                                    + "<br/><br/> Or you can contact support@marrowquist.com for help.");
    }
    EXPECT_TRUE(reportsEnded());
    errorReport_setServer(QString(), 0);

    const QList<HttpTestRequest> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2);
    EXPECT_EQ(reqs[0].method + ' ' + reqs[0].target, "POST /err_report.php");
    EXPECT_EQ(reqs[0].header("Content-Type"), "application/x-www-form-urlencoded");
    const QByteArray err =
        QByteArray("書けません\r\ndisk &lt;b&gt;full&lt;/b&gt; 😀").toBase64().replace('/', '!').replace('=', '-');
    EXPECT_EQ(reqs[0].body, "prod=TWFycm93cXVpc3QgQ2hhdGZlcnJ5IGZvciBNYWM-&ver=My4xLjk3KDk3KQ--&err=" + err);
    EXPECT_TRUE(reqs[1].body.endsWith("&err="));
}

TEST(TipsError, UnreachableOrSwitchedOffServerChangesNothingTheUserSees)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    driver.answer(QMessageBox::Ok);
    errorReport_setServer("127.0.0.1", HttpTestServer::closedPort());
    Tips::error("refused");
    EXPECT_TRUE(reportsEnded());
    errorReport_setServer(QString(), 0);
    Tips::error("off");
    EXPECT_EQ(driver.answered(), 2);
    // Switched off, nothing was even started.
    EXPECT_TRUE(qApp->findChildren<QNetworkReply*>().isEmpty());
}

} // namespace

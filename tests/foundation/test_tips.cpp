#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
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

TEST(Base64Var, EncodesUtf8WithBangAndDashInsteadOfSlashAndEquals)
{
    EXPECT_EQ(base64_var("abc"), "YWJj");
    EXPECT_EQ(base64_var("ab"), "YWI-");
    EXPECT_EQ(base64_var("???"), "Pz8!");
    EXPECT_EQ(base64_var(g_productVersionPair()), "My4xLjk3KDk3KQ--");
    EXPECT_EQ(base64_var(""), "");
    // "+" stays as it is; UTF-8 bytes are what is encoded.
    EXPECT_EQ(base64_var(QString::fromUtf8("\xc3\xbb\xc3\xaf")), "w7vDrw--");
    EXPECT_EQ(base64_var(QString::fromUtf8("\xe2\x80\xbe")), "4oC+");
}

TEST(ErrorReportText, EveryFormOfTheBrTagBecomesCrLfAndOtherTagsAreEscaped)
{
    EXPECT_EQ(errorReport_text("a<BR>b<br/>c< br />d<br >e<Br/>f<bR  >g"), "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng");
    EXPECT_EQ(errorReport_text("<b>x</b> <brx> <br// > 1<2"), "&lt;b&gt;x&lt;/b&gt; &lt;brx&gt; &lt;br// &gt; 1&lt;2");
    EXPECT_EQ(errorReport_text(""), "");
}

TEST(ErrorReportText, BodyCarriesProductVersionAndErrorInThatOrder)
{
    EXPECT_EQ(errorReport_body("x<br/>y"),
              "prod=" + base64_var(g_productTitle()).toUtf8() + "&ver=My4xLjk3KDk3KQ--&err=eA0KeQ--");
}

TEST(MessageBox, IsFramelessStyledRichTextWithOnlyTheHonouredButtons)
{
    QWidget* label = nullptr;
    auto box = g_messageBox(QMessageBox::Warning, "<b>t</b>",
                            QMessageBox::Yes | QMessageBox::Save | QMessageBox::Ignore, &label, false);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->windowTitle(), "Marrowquist Chatferry for Mac");
    EXPECT_TRUE(box->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(box->styleSheet().isEmpty());
    EXPECT_EQ(box->textFormat(), Qt::RichText);
    EXPECT_EQ(box->text(), "<b>t</b>");
    ASSERT_EQ(box->buttons().size(), 2);
    EXPECT_EQ(box->button(QMessageBox::Yes)->text(), "Yes");
    EXPECT_EQ(box->button(QMessageBox::Ignore)->text(), "Ignore");
    EXPECT_EQ(box->button(QMessageBox::Save), nullptr);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->objectName(), "qt_msgbox_label");
    EXPECT_EQ(qobject_cast<QLabel*>(label)->text(), "<b>t</b>");
    EXPECT_FALSE(box->isVisible());
}

TEST(MessageBox, InformationBoxShowsTheBuiltInIconAt32Pixels)
{
    auto info = g_messageBox(QMessageBox::Information, "i", QMessageBox::Ok, nullptr, false);
    EXPECT_EQ(info->iconPixmap().height(), 32);
    auto question = g_messageBox(QMessageBox::Question, "q", QMessageBox::Ok, nullptr, false);
    EXPECT_EQ(question->icon(), QMessageBox::Question);
}

TEST(MessageBox, NullBoxRunsNothing)
{
    EXPECT_EQ(g_execMessageBox(QSharedPointer<QMessageBox>()), 0);
}

TEST(MessageBox, HeaderAndRetryAbortReturnThePressedButton)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Retry);
    driver.answer(QMessageBox::Abort);
    EXPECT_EQ(g_showMessageBox(QMessageBox::Warning, "trust?", QMessageBox::Retry | QMessageBox::Abort, true),
              QMessageBox::Retry);
    EXPECT_EQ(g_showMessageBox(QMessageBox::Warning, "trust?", QMessageBox::Retry | QMessageBox::Abort, true),
              QMessageBox::Abort);
    ASSERT_EQ(driver.answered(), 2);
    EXPECT_EQ(driver.texts[0],
              "<nobr><b>Marrowquist Chatferry for Mac v3.1.97</b></nobr><br/><br/>trust?");
    // Yes/No/OK... come first in their fixed order, whatever the flag order.
    EXPECT_TRUE(driver.buttonTexts[0].contains("Abort"));
    EXPECT_TRUE(driver.buttonTexts[0].contains("Retry"));
}

TEST(MessageBox, OpenBoxCanBeDraggedWithTheLeftButton)
{
    ModalDriver driver;
    QPoint before, after;
    driver.handle([&](QMessageBox* box) {
        before = box->pos();
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(box->mapToGlobal(QPoint(10, 10))),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(box, &press);
        QMouseEvent move(QEvent::MouseMove, QPointF(40, 17), QPointF(box->mapToGlobal(QPoint(40, 17))),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(box, &move);
        after = box->pos();
        box->button(QMessageBox::Ok)->click();
    });
    Tips::warning("drag me");
    EXPECT_EQ(driver.answered(), 1);
    EXPECT_EQ(after - before, QPoint(30, 7));
}

TEST(Tips, QuestionIsTrueOnlyForYes)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Yes);
    driver.answer(QMessageBox::No);
    driver.handle([](QMessageBox* box) { box->reject(); });
    driver.handle([](QMessageBox* box) { box->close(); });
    EXPECT_TRUE(Tips::question("q1"));
    EXPECT_FALSE(Tips::question("q2"));
    EXPECT_FALSE(Tips::question("q3"));
    EXPECT_FALSE(Tips::question("q4"));
    EXPECT_EQ(driver.answered(), 4);
    EXPECT_EQ(driver.buttonTexts[0], "Yes|No");
}

TEST(Tips, InfoAndWarningShowTheTextWithOneOkButton)
{
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    driver.answer(QMessageBox::Ok);
    Tips::info("fine <b>x</b>");
    Tips::warning("careful");
    ASSERT_EQ(driver.answered(), 2);
    EXPECT_EQ(driver.texts, QStringList({"fine <b>x</b>", "careful"}));
    EXPECT_EQ(driver.buttonTexts, QStringList({"OK", "OK"}));
}

// Reports free themselves once their exchange has ended. A test waits for
// that, since a request still in flight when the process ends leaves Qt's
// network thread with objects it never frees.
bool reportsEnded()
{
    return spinUntil([] { return qApp->findChildren<QNetworkReply*>().isEmpty(); });
}

// A loopback server that takes the reports; the report setting points at it
// for the sink's lifetime.
class ReportSink
{
public:
    ReportSink()
        : server([](HttpTestConnection& c) { c.send(HttpTestServer::response(200, "OK", "ok")); })
    {
        started = server.start();
        errorReport_setServer("127.0.0.1", server.port());
    }
    ~ReportSink() { errorReport_setServer(QString(), 0); }

    bool received() { return spinUntil([&] { return !server.requests().isEmpty(); }); }
    HttpTestRequest request() const { return server.requests().value(0); }

    HttpTestServer server;
    bool started = false;
};

TEST(TipsError, ShowsTheFramedMessageThenPostsTheReportByteForByte)
{
    ReportSink sink;
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    const QString message = QString::fromUtf8("\xe6\x9b\xb8\xe3\x81\x91\xe3\x81\xbe\xe3\x81\x9b\xe3\x82\x93<br/>"
                                              "disk <b>full</b> \xf0\x9f\x98\x80");
    Tips::error(message);
    ASSERT_EQ(driver.answered(), 1);
    EXPECT_EQ(driver.texts[0], "<nobr><b>Marrowquist Chatferry for Mac v3.1.97</b></nobr><br/><br/>"
                               "An Error Occurred. <br/><br/>"
                                   + message + "<br/><br/> Or you can contact support@marrowquist.com for help.");
    EXPECT_EQ(driver.buttonTexts[0], "OK");

    // Tips::error does not wait for the report; it goes out from the event loop.
    ASSERT_TRUE(sink.started);
    ASSERT_TRUE(sink.received());
    const HttpTestRequest req = sink.request();
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.target, "/err_report.php");
    EXPECT_EQ(req.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_TRUE(req.header("Host").startsWith("127.0.0.1"));
    const QByteArray expectedErr = QString::fromUtf8("\xe6\x9b\xb8\xe3\x81\x91\xe3\x81\xbe\xe3\x81\x9b\xe3\x82\x93\r\n"
                                                     "disk &lt;b&gt;full&lt;/b&gt; \xf0\x9f\x98\x80")
                                       .toUtf8()
                                       .toBase64()
                                       .replace('/', '!')
                                       .replace('=', '-');
    EXPECT_EQ(req.body, "prod=TWFycm93cXVpc3QgQ2hhdGZlcnJ5IGZvciBNYWM-&ver=My4xLjk3KDk3KQ--&err=" + expectedErr);
    EXPECT_TRUE(reportsEnded());
}

TEST(TipsError, EmptyMessageStillShowsTheBoxAndReportsAnEmptyError)
{
    ReportSink sink;
    ModalDriver driver;
    driver.answer(QMessageBox::Ok);
    Tips::error(QString());
    ASSERT_EQ(driver.answered(), 1);
    EXPECT_TRUE(driver.texts[0].contains("An Error Occurred. <br/><br/><br/><br/> Or you can contact"));
    ASSERT_TRUE(sink.received());
    EXPECT_TRUE(sink.request().body.endsWith("&err="));
    EXPECT_TRUE(reportsEnded());
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

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include "tests/support/gtest_qt.h"
#include "tests/support/memlinedb.h"
#include "tests/support/modaldriver.h"

#include <atomic>
#include <functional>
#include <stdexcept>

#include "chatdata/loadlinedbthread.h"
#include "foundation/errorreport.h"
#include "foundation/progressform.h"

namespace {

// A database whose load runs `body` on the loading thread after the
// in-memory records are in, for failures and cancels.
class ScriptedDb : public MemLineDb
{
public:
    std::function<void(ScriptedDb&)> body;
    void loadDataThrow(LineData& data) override
    {
        MemLineDb::loadDataThrow(data);
        if (body)
            body(*this);
    }
};

// The progress window that loadThrow opens, once it is on screen.
ProgressForm* openProgressForm()
{
    return qobject_cast<ProgressForm*>(QApplication::activeModalWidget());
}

class LoadLineDbThreadTest : public ::testing::Test
{
protected:
    void SetUp() override { errorReport_setServer(QString(), 0); }

    // Presses Cancel as soon as the load's window shows and answers the
    // question Yes.
    void cancelWhenShown()
    {
        driver.answer(QMessageBox::Yes);
        auto* timer = new QTimer(&driver);
        QObject::connect(timer, &QTimer::timeout, [this, timer] {
            if (ProgressForm* form = openProgressForm()) {
                timer->stop();
                shownForm = form;
                emit form->findChild<QPushButton*>("btnCancel")->pressed();
            }
        });
        timer->start(5);
    }

    ModalDriver driver;
    // Valid until loadThrow returns.
    std::atomic<ProgressForm*> shownForm{nullptr};
};

TEST_F(LoadLineDbThreadTest, LoadsEveryRecordWithPageSize5000AndNoNotice)
{
    auto db = QSharedPointer<MemLineDb>::create();
    for (qint64 id : {1, 2}) {
        _LineUser u;
        u.id = id;
        db->addUser(u);
    }
    _LineGroupInfo g;
    g.id = 5;
    db->addGroup(g, 1, {1, 2});
    _LineChat single, group;
    single.id = 10;
    group.id = 11;
    db->addChat(single, 0, {1});
    db->addChat(group, 5, {1, 2});

    const LineData data = LoadLineDbThread::loadThrow(db);
    ASSERT_FALSE(data.isNull());
    EXPECT_EQ(driver.answered(), 0);
    EXPECT_EQ(data.pageSize(), 5000);
    EXPECT_EQ(data.db(), db);
    EXPECT_EQ(data.users().size(), 2);
    EXPECT_EQ(data.chats().size(), 2);
    EXPECT_EQ(data.chat(11)->users.size(), 2);
    EXPECT_EQ(data.chat(11)->group, data.group(5));
    EXPECT_EQ(data.group(5)->creator, data.user(1));
}

TEST_F(LoadLineDbThreadTest, FailureIsThrownByteForByteWithoutANotice)
{
    const QByteArray message("データベースが壊れています: ZMESSAGE 💥");
    auto db = QSharedPointer<ScriptedDb>::create();
    db->body = [&](ScriptedDb&) { throw std::runtime_error(message.toStdString()); };
    try {
        LoadLineDbThread::loadThrow(db);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(QByteArray(e.what()), message);
    }
    EXPECT_EQ(driver.answered(), 0);

    db->body = nullptr;
    db->setFailLoad(true);
    EXPECT_THROW(LoadLineDbThread::loadThrow(db), std::runtime_error);
}

TEST_F(LoadLineDbThreadTest, CancelInterruptsALongQueryAndReturnsNoHalfFilledData)
{
    auto db = QSharedPointer<ScriptedDb>::create();
    _LineUser u;
    u.id = 1;
    db->addUser(u);
    // Users are in; the next table's query would run for ever.
    db->body = [](ScriptedDb& self) {
        self.queryThrow("with recursive n(x) as (select 1 union all select x + 1 from n) select count(*) from n")
            .moveNext();
    };
    cancelWhenShown();
    EXPECT_TRUE(LoadLineDbThread::loadThrow(db).isNull());
    EXPECT_EQ(driver.answered(), 1);

    // The connection no longer answers to the closed window's flag.
    Sqlite3Cursor c = db->queryThrow(
        "with recursive n(x) as (select 1 union all select x + 1 from n where x < 100000) select count(*) from n");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt(0), 100000);
}

TEST_F(LoadLineDbThreadTest, CancelBetweenStatementsStillReturnsNothing)
{
    auto db = QSharedPointer<ScriptedDb>::create();
    std::atomic<bool> finished{false};
    // Work outside SQLite that cannot be interrupted: the load ends normally
    // a while after the cancel.
    db->body = [&](ScriptedDb&) {
        while (!shownForm || !shownForm.load()->cancelled)
            QThread::msleep(2);
        QThread::msleep(300);
        finished = true;
    };
    cancelWhenShown();
    EXPECT_TRUE(LoadLineDbThread::loadThrow(db).isNull());
    EXPECT_TRUE(finished);
}

} // namespace

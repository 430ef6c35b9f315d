#include "chatdata/loadlinedbthread.h"

#include <sqlite3.h>

#include <stdexcept>

#include "chatdata/abslinedb.h"
#include "foundation/progressform.h"

namespace {

int stopWhenCancelled(void* flag)
{
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

// While it lives, every statement of the connection fails with
// SQLITE_INTERRUPT soon after the progress window has been cancelled, so that
// a long load stops in the middle of a table instead of running to its end.
// The handler must be gone before the window is: it points at its flag.
class CancelOnConnection
{
public:
    CancelOnConnection(Sqlite3DB& db, const std::atomic<bool>& cancelled)
        : m_db(db)
    {
        if (sqlite3* h = m_db.rawHandle())
            sqlite3_progress_handler(h, 1000, stopWhenCancelled, const_cast<std::atomic<bool>*>(&cancelled));
    }
    ~CancelOnConnection()
    {
        if (sqlite3* h = m_db.rawHandle())
            sqlite3_progress_handler(h, 0, nullptr, nullptr);
    }
    CancelOnConnection(const CancelOnConnection&) = delete;
    CancelOnConnection& operator=(const CancelOnConnection&) = delete;

private:
    Sqlite3DB& m_db;
};

} // namespace

LoadLineDbThread::LoadLineDbThread(QSharedPointer<AbsLineDb> db, ProgressForm& form, QObject* parent)
    : QThread(parent)
    , db(db)
    , form(form)
    , data(db, 5000)
{
}

LoadLineDbThread::~LoadLineDbThread() = default;

void LoadLineDbThread::run()
{
    failed = false;
    try {
        form.invokeUpdateProgress(tr("Loading..."), 99, QString());
        if (!db)
            throw std::runtime_error("no database to load");
        db->openCheckThrow();
        CancelOnConnection watch(*db, form.cancelled);
        db->loadDataThrow(data);
    } catch (const std::exception& e) {
        failed = true;
        errorText = QString::fromUtf8(e.what());
    }
    form.invokeSucceed(QString());
}

LineData LoadLineDbThread::loadThrow(QSharedPointer<AbsLineDb> db)
{
    ProgressForm form(QString(), nullptr);
    bool failed = false;
    QString errorText;
    LineData loaded;
    {
        LoadLineDbThread thread(db, form, nullptr);
        form.runWorker(thread);
        form.waitForThread(thread, true);
        failed = thread.failed;
        errorText = thread.errorText;
        if (!failed)
            loaded = thread.data;
    }
    // A cancelled load may have been stopped in the middle of a table; one
    // that ran on past the cancel is complete, but the user asked for none of
    // it. Neither is handed back.
    if (form.cancelled)
        return LineData();
    if (failed)
        throw std::runtime_error(errorText.toStdString());
    return loaded;
}

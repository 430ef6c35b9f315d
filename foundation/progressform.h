#pragma once

#include <QDialog>
#include <QMutex>
#include <QString>

#include <atomic>
#include <memory>

#include "foundation/winmovable.h"

class QThread;
class Ui_ProgressForm;

// The modal progress window in front of every long operation, and the only
// channel through which a worker thread talks to the user.
//
// Driving it (GUI thread):
//     ProgressForm form(title, mainWindow);
//     SomeWorker worker(inputs, form);
//     const int result = form.runWorker(worker);   // 1 success, 0 failure or cancel
//     form.waitForThread(worker, true);
// The worker reports only through the invoke... operations, polls `cancelled`
// between items and stops quietly once it is true, and ends every run that
// was not cancelled with exactly one invokeSucceed or invokeErrorOccurred.
// A worker that ends without either closes the window with result 0.
class ProgressForm : public QDialog
{
    Q_OBJECT
public:
    explicit ProgressForm(QString title, QWidget* parent = nullptr);
    ~ProgressForm() override;

    // True once the window has closed with result 0 (cancel or error).
    // Written on the GUI thread, polled by workers.
    std::atomic<bool> cancelled{false};
    // True from invokeTipsWait until the user has closed its notice.
    std::atomic<bool> tipsWaiting{false};

    void setCancelable(bool cancelable);

    // Closes the window with result 0 when `thread` ends before it has
    // reported success or error, so that the modal loop cannot outlive it.
    void watchThread(QThread& thread);
    // watchThread, start with inherited priority, then the modal loop; the
    // loop's result is returned.
    int runWorker(QThread& worker);

    // Waits for the thread in one-second steps until it has ended. A worker is
    // never terminated (that could leave a database or a file half-written):
    // after a cancel or an error it is expected to notice `cancelled` and
    // leave. `force` is kept for callers and changes nothing.
    bool waitForThread(QThread& thread, bool force);

    // Callable from any thread; from a worker the matching slot is queued to
    // the GUI thread, on the GUI thread it runs at once. Queued progress calls
    // are coalesced: however often a worker reports, at most one progress
    // update waits in the event queue, carrying the combined effect of the
    // calls behind it. Calls from one worker keep their order.
    bool invokeUpdateProgress(QString status, int percent, QString text);
    bool invokeErrorOccurred(QString message);
    bool invokeSucceed(QString message);
    bool invokeTipsWait(QString message);
    bool invokeSetCancelBtnText(QString const& text);

    // Enter, Esc and closing the window leave it open: only a result of the
    // worker or a confirmed cancel closes it.
    void accept() override;
    void reject() override;

signals:
    void userCancel();

public slots:
    void updateProgress(QString status, int percent, QString text);
    void errorOccurred(QString message);
    void succeed(QString message);
    void onFinish(int result);
    void tipsWait(QString message);
    void cancel();
    void setCancelBtnText(QString text);

private slots:
    void onThreadFinished();

private:
    struct PendingProgress;

    void closeWith(int result);
    void sealProgressBatch();
    void deliverProgress(const std::shared_ptr<PendingProgress>& batch);

    WinMovable m_mover;
    Ui_ProgressForm* ui;

    // GUI-thread state that keeps late or overlapping events from changing an
    // outcome that has already been decided.
    bool m_closed = false;
    bool m_resultShowing = false;
    bool m_askingCancel = false;
    bool m_threadEnded = false;

    QMutex m_progressMutex;
    std::shared_ptr<PendingProgress> m_openBatch;
};

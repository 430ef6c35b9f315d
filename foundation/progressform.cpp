#include "foundation/progressform.h"
#include "ui_progressform.h"

#include <QDeadlineTimer>
#include <QThread>
#include <QtDebug>

#include "foundation/stylesheet.h"
#include "foundation/tips.h"

struct ProgressForm::PendingProgress
{
    QString status;
    int percent;
    QString text;

    // Folds a later call into this one so that applying the result once has
    // the effect of applying both in turn: an empty status and a negative
    // percent keep what came before, the text always comes from the later call.
    void merge(const QString& laterStatus, int laterPercent, const QString& laterText)
    {
        if (!laterStatus.isEmpty())
            status = laterStatus;
        if (laterPercent >= 0)
            percent = laterPercent;
        text = laterText;
    }
};

ProgressForm::ProgressForm(QString title, QWidget* parent)
    : QDialog(parent)
    , m_mover(this)
    , ui(new Ui_ProgressForm)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());
    connect(this, &QDialog::finished, this, &ProgressForm::onFinish);
    connect(ui->btnCancel, &QPushButton::pressed, this, &ProgressForm::cancel);
    setWindowTitle(title);
    ui->lbStatus->setText(title);
    ui->btnCancel->setFocusPolicy(Qt::NoFocus);
}

ProgressForm::~ProgressForm()
{
    delete ui;
}

void ProgressForm::setCancelable(bool cancelable)
{
    ui->btnCancel->setEnabled(cancelable);
}

void ProgressForm::watchThread(QThread& thread)
{
    // Queued even when emitted here, so that the worker's last report, queued
    // before it ended, is always handled first.
    connect(&thread, &QThread::finished, this, &ProgressForm::onThreadFinished, Qt::QueuedConnection);
    if (thread.isFinished())
        QMetaObject::invokeMethod(this, &ProgressForm::onThreadFinished, Qt::QueuedConnection);
}

int ProgressForm::runWorker(QThread& worker)
{
    watchThread(worker);
    worker.start(QThread::InheritPriority);
    return exec();
}

bool ProgressForm::waitForThread(QThread& thread, bool force)
{
    Q_UNUSED(force);
    bool announced = false;
    while (!thread.wait(QDeadlineTimer(1000))) {
        if (cancelled && !announced) {
            qDebug("progress: waiting for a cancelled worker to wind down");
            announced = true;
        }
    }
    return true;
}

bool ProgressForm::invokeUpdateProgress(QString status, int percent, QString text)
{
    if (QThread::currentThread() == thread()) {
        updateProgress(status, percent, text);
        return true;
    }
    QMutexLocker lock(&m_progressMutex);
    if (m_openBatch) {
        m_openBatch->merge(status, percent, text);
        return true;
    }
    auto batch = std::make_shared<PendingProgress>(PendingProgress{status, percent, text});
    m_openBatch = batch;
    return QMetaObject::invokeMethod(
        this, [this, batch] { deliverProgress(batch); }, Qt::QueuedConnection);
}

void ProgressForm::deliverProgress(const std::shared_ptr<PendingProgress>& batch)
{
    PendingProgress p;
    {
        QMutexLocker lock(&m_progressMutex);
        if (m_openBatch == batch)
            m_openBatch.reset();
        p = *batch;
    }
    updateProgress(p.status, p.percent, p.text);
}

// Any other call ends the open batch: later progress must not be applied
// ahead of it.
void ProgressForm::sealProgressBatch()
{
    QMutexLocker lock(&m_progressMutex);
    m_openBatch.reset();
}

bool ProgressForm::invokeErrorOccurred(QString message)
{
    sealProgressBatch();
    return QMetaObject::invokeMethod(this, "errorOccurred", Qt::AutoConnection, Q_ARG(QString, message));
}

bool ProgressForm::invokeSucceed(QString message)
{
    sealProgressBatch();
    return QMetaObject::invokeMethod(this, "succeed", Qt::AutoConnection, Q_ARG(QString, message));
}

bool ProgressForm::invokeTipsWait(QString message)
{
    sealProgressBatch();
    tipsWaiting = true;
    return QMetaObject::invokeMethod(this, "tipsWait", Qt::AutoConnection, Q_ARG(QString, message));
}

bool ProgressForm::invokeSetCancelBtnText(QString const& text)
{
    sealProgressBatch();
    return QMetaObject::invokeMethod(this, "setCancelBtnText", Qt::AutoConnection, Q_ARG(QString, text));
}

void ProgressForm::accept()
{
}

void ProgressForm::reject()
{
}

void ProgressForm::updateProgress(QString status, int percent, QString text)
{
    if (!status.isEmpty())
        ui->lbStatus->setText(status);
    if (percent < 0)
        percent = ui->progressBar->value();
    ui->progressBar->setValue(percent);
    if (text.isEmpty())
        text = QStringLiteral("Progress:%1%").arg(percent);
    ui->lbProgress->setText(text);
}

void ProgressForm::closeWith(int result)
{
    if (m_closed)
        return;
    m_closed = true;
    done(result);
}

void ProgressForm::errorOccurred(QString message)
{
    if (m_closed || m_resultShowing)
        return;
    m_resultShowing = true;
    Tips::error(message);
    m_resultShowing = false;
    closeWith(0);
}

void ProgressForm::succeed(QString message)
{
    if (m_closed || m_resultShowing)
        return;
    m_resultShowing = true;
    if (!message.isEmpty())
        Tips::info(message);
    m_resultShowing = false;
    closeWith(1);
}

void ProgressForm::onFinish(int result)
{
    m_closed = true;
    cancelled = (result == 0);
}

void ProgressForm::tipsWait(QString message)
{
    Tips::info(message);
    tipsWaiting = false;
}

void ProgressForm::cancel()
{
    if (m_closed || m_askingCancel || m_resultShowing)
        return;
    m_askingCancel = true;
    const bool yes = Tips::question(tr("Are You Sure You Want To Cancel?"));
    m_askingCancel = false;
    // A result that arrived while the question was open stands: a success
    // must not turn into a cancel.
    if (m_closed)
        return;
    if (yes) {
        emit userCancel();
        closeWith(0);
    } else if (m_threadEnded) {
        closeWith(0);
    }
}

void ProgressForm::setCancelBtnText(QString text)
{
    ui->btnCancel->setText(text);
}

void ProgressForm::onThreadFinished()
{
    m_threadEnded = true;
    // A notice of the worker's result or the cancel question is still open;
    // they close the window themselves.
    if (m_closed || m_resultShowing || m_askingCancel)
        return;
    qDebug("progress: worker ended without reporting a result");
    closeWith(0);
}

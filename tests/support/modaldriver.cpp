#include "tests/support/modaldriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

QMessageBox* topMessageBox()
{
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

bool spinUntil(const std::function<bool()>& done, int maxMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > maxMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

ModalDriver::ModalDriver()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::tick);
    m_timer.start(10);
}

void ModalDriver::answer(QMessageBox::StandardButton button)
{
    handle([button](QMessageBox* box) {
        if (QAbstractButton* b = box->button(button))
            b->click();
        else
            box->done(QMessageBox::NoButton);
    });
}

void ModalDriver::handle(std::function<void(QMessageBox*)> action)
{
    m_actions.append(std::move(action));
}

void ModalDriver::tick()
{
    QMessageBox* box = topMessageBox();
    if (!box || !box->isVisible() || m_actions.isEmpty() || m_seen.contains(box))
        return;
    m_seen.append(box);
    texts.append(box->text());
    QStringList labels;
    for (QAbstractButton* b : box->buttons())
        labels.append(b->text());
    buttonTexts.append(labels.join('|'));
    m_actions.takeFirst()(box);
}

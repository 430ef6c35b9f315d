#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <functional>

// The message box on top of the modal stack, if any.
inline QMessageBox* topMessageBox()
{
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

// Processes events until `done` is true or about `maxMs` have passed; returns
// `done()`. The limit only keeps a broken test from hanging.
inline bool spinUntil(const std::function<bool()>& done, int maxMs = 20000)
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

// Drives modal windows from tests: the answers are given before the code
// under test opens its notices, and a timer answers each notice as it
// appears inside the modal loop. A notice with no answer left stays open.
class ModalDriver : public QObject
{
public:
    ModalDriver()
    {
        connect(&m_timer, &QTimer::timeout, this, &ModalDriver::tick);
        m_timer.start(10);
    }

    // The next notice gets this button pressed (closed like Escape when it has
    // no such button); answers are used in order.
    void answer(QMessageBox::StandardButton button)
    {
        handle([button](QMessageBox* box) {
            if (QAbstractButton* b = box->button(button))
                b->click();
            else
                box->done(QMessageBox::NoButton);
        });
    }
    // The next notice is handed to `action`, which must close it.
    void handle(std::function<void(QMessageBox*)> action) { m_actions.append(std::move(action)); }

    // Texts of the notices answered so far.
    QStringList texts;
    int answered() const { return texts.size(); }
    int pending() const { return int(m_actions.size()); }

private:
    void tick()
    {
        QMessageBox* box = topMessageBox();
        if (!box || !box->isVisible() || m_actions.isEmpty() || m_seen.contains(box))
            return;
        m_seen.append(box);
        texts.append(box->text());
        m_actions.takeFirst()(box);
    }

    QTimer m_timer;
    QList<std::function<void(QMessageBox*)>> m_actions;
    QList<QPointer<QMessageBox>> m_seen;
};

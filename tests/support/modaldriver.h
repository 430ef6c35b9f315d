#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

// Drives modal windows from tests: the answers are given before the code
// under test opens its notices, and a timer answers each notice as it
// appears inside the modal loop. A notice with no answer left stays open.
class ModalDriver : public QObject
{
    Q_OBJECT
public:
    ModalDriver();

    // The next notice gets this button pressed (closed like Escape when it has
    // no such button); answers are used in order.
    void answer(QMessageBox::StandardButton button);
    // The next notice is handed to `action`, which must close it.
    void handle(std::function<void(QMessageBox*)> action);

    // Texts, and button texts joined with "|", of the notices answered so far.
    QStringList texts;
    QStringList buttonTexts;
    int answered() const { return texts.size(); }
    int pending() const { return int(m_actions.size()); }

private:
    void tick();

    QTimer m_timer;
    QList<std::function<void(QMessageBox*)>> m_actions;
    QList<QPointer<QMessageBox>> m_seen;
};

// The message box on top of the modal stack, if any.
QMessageBox* topMessageBox();

// Processes events until `done` is true or about `maxMs` have passed; returns
// `done()`. The limit only keeps a broken test from hanging.
bool spinUntil(const std::function<bool()>& done, int maxMs = 20000);

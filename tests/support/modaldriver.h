#pragma once

// Drives modal windows from tests: the answers are given before the code
// under test opens its notices, and a timer answers each notice as it
// appears inside the modal loop.
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

class ModalDriver : public QObject
{
    Q_OBJECT
public:
    ModalDriver();
    ~ModalDriver() override;

    // The next notice that appears gets this button pressed (Escape-like
    // closing when the button is NoButton); answers are used in order.
    void answer(QMessageBox::StandardButton button);
    // The next notice is handed to `action`, which must close it.
    void handle(std::function<void(QMessageBox*)> action);

    // Texts of the notices answered so far, in order.
    QStringList texts;
    // Button texts of the notices answered so far, joined with "|".
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

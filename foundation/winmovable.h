#pragma once

#include <QObject>
#include <QPoint>

class QWidget;

// Lets the user drag a frameless window with the left mouse button. It filters
// the target's mouse events without consuming any of them.
//
// Lifetime: keep it (as a member or on the stack) exactly as long as the
// target window is open; it must not outlive the target.
class WinMovable : public QObject
{
    Q_OBJECT
public:
    explicit WinMovable(QWidget* target);
    ~WinMovable() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_target;
    QPoint m_pressPoint;
    bool m_dragging = false;
};

#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QWidget>

// Lets the user drag a frameless window with the left mouse button. It filters
// the target's mouse events without consuming any of them.
//
// Lifetime: keep it (as a member or on the stack) as long as the target
// window is open.
class WinMovable : public QObject
{
    Q_OBJECT
public:
    explicit WinMovable(QWidget* target);
    ~WinMovable() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_target;
    QPoint m_pressPoint;
    bool m_dragging = false;
};

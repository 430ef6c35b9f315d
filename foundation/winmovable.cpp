#include "foundation/winmovable.h"

#include <QMouseEvent>
#include <QWidget>

WinMovable::WinMovable(QWidget* target)
    : QObject(nullptr)
    , m_target(target)
{
    if (m_target)
        m_target->installEventFilter(this);
}

WinMovable::~WinMovable()
{
    if (m_target)
        m_target->removeEventFilter(this);
}

bool WinMovable::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* me = static_cast<QMouseEvent*>(event);
        m_pressPoint = me->position().toPoint();
        m_dragging = me->button() == Qt::LeftButton;
        break;
    }
    case QEvent::MouseButtonRelease:
        m_dragging = false;
        break;
    case QEvent::MouseMove: {
        // A press at exactly (0, 0) never starts a drag: that point doubles as
        // "no press seen yet".
        if (m_dragging && !m_pressPoint.isNull() && m_target) {
            auto* me = static_cast<QMouseEvent*>(event);
            const QPoint delta = me->position().toPoint() - m_pressPoint;
            m_target->move(m_target->geometry().topLeft() + delta);
        }
        break;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

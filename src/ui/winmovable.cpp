#include "ui/winmovable.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

namespace {

// Wayland ignores move() of top-level windows; the compositor has to run the drag itself.
bool compositorMovesWindows()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

}  // namespace

WinMovable::WinMovable(QWidget* widget) : m_widget(widget)
{
    if (m_widget)
        m_widget->installEventFilter(this);
}

WinMovable::~WinMovable() = default;

bool WinMovable::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_widget)
        return QObject::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        m_pressPoint = mouse->pos();
        m_dragging = mouse->button() == Qt::LeftButton;
        if (m_dragging && compositorMovesWindows() && m_widget->windowHandle()) {
            m_widget->windowHandle()->startSystemMove();
            m_dragging = false;
        }
        break;
    }
    case QEvent::MouseMove:
        if (m_dragging) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            // pos() and move() share one frame of reference, with or without a window frame.
            m_widget->move(m_widget->pos() + mouse->pos() - m_pressPoint);
        }
        break;
    case QEvent::MouseButtonRelease:
        m_dragging = false;
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

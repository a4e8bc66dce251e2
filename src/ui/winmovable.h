#pragma once
// Lets the user drag a frameless window with the left mouse button. The owner keeps it next to the
// widget (a member or a local) so that both go together; it only watches and never consumes events.
#include <QObject>
#include <QPoint>

class QWidget;

class WinMovable : public QObject {
    Q_OBJECT
public:
    explicit WinMovable(QWidget* widget);
    ~WinMovable() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* m_widget;  // not owned
    QPoint m_pressPoint;
    bool m_dragging = false;
};

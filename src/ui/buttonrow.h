#pragma once
// The foot of the small fixed-size dialogs: "layoutWidget" at a fixed place, holding the layout
// "horizontalLayout" (no margins) with the button "btnOK", a stretch and the button "btnClose".
#include <QRect>

class QHBoxLayout;
class QPushButton;
class QString;
class QWidget;

struct ButtonRow {
    QWidget* widget;
    QHBoxLayout* layout;
    QPushButton* ok;
    QPushButton* cancel;
};

// Children of dialog; the caller connects the buttons.
ButtonRow addButtonRow(QWidget* dialog, const QRect& geometry, const QString& okText, const QString& cancelText);

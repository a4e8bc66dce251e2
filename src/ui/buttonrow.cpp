#include "ui/buttonrow.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QSpacerItem>

ButtonRow addButtonRow(QWidget* dialog, const QRect& geometry, const QString& okText, const QString& cancelText)
{
    ButtonRow row{new QWidget(dialog), nullptr, nullptr, nullptr};
    row.widget->setObjectName(QStringLiteral("layoutWidget"));
    row.widget->setGeometry(geometry);
    row.layout = new QHBoxLayout(row.widget);
    row.layout->setObjectName(QStringLiteral("horizontalLayout"));
    row.layout->setContentsMargins(0, 0, 0, 0);
    row.ok = new QPushButton(okText, row.widget);
    row.ok->setObjectName(QStringLiteral("btnOK"));
    row.layout->addWidget(row.ok);
    row.layout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    row.cancel = new QPushButton(cancelText, row.widget);
    row.cancel->setObjectName(QStringLiteral("btnClose"));
    row.layout->addWidget(row.cancel);
    return row;
}

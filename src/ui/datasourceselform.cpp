#include "ui/datasourceselform.h"

#include "ui/buttonrow.h"
#include "ui/interaction.h"
#include "ui/messagebox.h"

#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

DataSourceSelForm::DataSourceSelForm(QWidget* parent) : QDialog(parent), m_mover(this)
{
    buildForm();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    connect(btnOK, &QPushButton::pressed, this, &DataSourceSelForm::onBtnOkPressed);
    connect(btnClose, &QPushButton::pressed, this, &QDialog::reject);
}

DataSourceSelForm::~DataSourceSelForm() = default;

void DataSourceSelForm::buildForm()
{
    setObjectName(QStringLiteral("DataSourceSelForm"));
    setFixedSize(421, 152);
    setWindowTitle(tr("Dialog"));

    lbSelDevice = new QLabel(tr("IDS_TITLE_SELECT_ONE_DEVICE_TO_TRANSFER"), this);
    lbSelDevice->setObjectName(QStringLiteral("lbSelDevice"));
    lbSelDevice->setGeometry(10, 20, 401, 16);
    lbSelDevice->setTextFormat(Qt::PlainText);  // callers may name devices here

    cbDevice = new QComboBox(this);
    cbDevice->setObjectName(QStringLiteral("cbDevice"));
    cbDevice->setGeometry(10, 50, 401, 22);
    cbDevice->setEditable(false);

    const ButtonRow buttons = addButtonRow(this, {100, 100, 211, 25}, tr("确定"), tr("取消"));
    layoutWidget = buttons.widget;
    btnOK = buttons.ok;
    btnClose = buttons.cancel;
}

void DataSourceSelForm::fill(const QString& label, const QList<DataSourceEntry>& entries)
{
    lbSelDevice->setText(label);
    cbDevice->clear();
    for (const DataSourceEntry& entry : entries)
        cbDevice->addItem(QIcon(entry.iconPath), entry.name, QVariant::fromValue<qint64>(entry.id));
    cbDevice->setCurrentIndex(entries.size() == 1 ? 0 : -1);
}

qintptr DataSourceSelForm::chosenId() const
{
    return cbDevice->currentIndex() < 0 ? 0 : qintptr(cbDevice->currentData().toLongLong());
}

qintptr DataSourceSelForm::setDataSources(const QString& label, const QList<DataSourceEntry>& entries)
{
    fill(label, entries);
    return execDialog(*this) == QDialog::Accepted ? chosenId() : 0;
}

void DataSourceSelForm::onBtnOkPressed()
{
    if (cbDevice->currentIndex() < 0) {
        showWarning(tr("IDS_PLEASE_SELECT_ONE_DATASOURCE"));
        return;
    }
    accept();
}

#include "ui/countryselform.h"

#include "core/errors.h"
#include "msgdb/country.h"
#include "ui/messagebox.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

CountrySelForm::CountrySelForm(QWidget* parent) : QDialog(parent), m_mover(this)
{
    buildForm();
    connect(txtKW, &QLineEdit::textChanged, this, &CountrySelForm::kwinput);
    connect(btnOK, &QPushButton::pressed, this, &CountrySelForm::accept);
    connect(btnCancel, &QPushButton::pressed, this, &CountrySelForm::reject);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    loadCountries();
    // Without countries the dialog could not be left otherwise: it has no frame to close.
    btnCancel->setVisible(entries.isEmpty());
}

CountrySelForm::~CountrySelForm() = default;

void CountrySelForm::buildForm()
{
    setObjectName(QStringLiteral("CountrySelForm"));
    resize(326, 398);
    setWindowTitle(tr("Dialog"));
    auto* verticalLayout_3 = new QVBoxLayout(this);
    verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));
    verticalLayout_3->setSpacing(10);
    const QMargins margins = verticalLayout_3->contentsMargins();
    verticalLayout_3->setContentsMargins(margins.left(), 15, margins.right(), 15);

    lbTitle = new QLabel(tr("IDS_SEL_YOUR_PHONE_COUNTRY"), this);
    lbTitle->setObjectName(QStringLiteral("lbTitle"));
    verticalLayout_3->addWidget(lbTitle);

    auto* widget = new QWidget(this);
    widget->setObjectName(QStringLiteral("widget"));
    auto* verticalLayout_2 = new QVBoxLayout(widget);
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    txtKW = new QLineEdit(widget);
    txtKW->setObjectName(QStringLiteral("txtKW"));
    verticalLayout_2->addWidget(txtKW);
    ltCountries = new QListWidget(widget);
    ltCountries->setObjectName(QStringLiteral("ltCountries"));
    verticalLayout_2->addWidget(ltCountries);
    verticalLayout_3->addWidget(widget);

    auto* widget_2 = new QWidget(this);
    widget_2->setObjectName(QStringLiteral("widget_2"));
    auto* horizontalLayout = new QHBoxLayout(widget_2);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->addSpacerItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    btnOK = new QPushButton(tr("OK"), widget_2);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    horizontalLayout->addWidget(btnOK);
    btnCancel = new QPushButton(tr("Cancel"), widget_2);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    horizontalLayout->addWidget(btnCancel);
    verticalLayout_3->addWidget(widget_2);
}

void CountrySelForm::loadCountries()
{
    try {
        CountryLibDb library{QString()};
        library.open();
        // substr(mmc, 0, 4): the first three characters, the first of a country's codes.
        Sqlite3Cursor rows =
            library.queryThrow(Sqlite3Sql("select pnum, n, substr(mmc,0,4) as mmc from countries order by n asc"));
        while (rows.moveNext()) {
            const QString label = QStringLiteral("%1 (+%2)").arg(rows.getText(QStringLiteral("n")),
                                                                  rows.getText(QStringLiteral("pnum")));
            entries.append({rows.getText(QStringLiteral("mmc")), label});
        }
    } catch (const std::exception& error) {
        entries.clear();
        showError(errorRichText(error));
    }
    for (const CountryListEntry& entry : entries)
        addItem(entry);
}

void CountrySelForm::addItem(const CountryListEntry& entry)
{
    auto* item = new QListWidgetItem(entry.label, ltCountries);
    item->setData(Qt::UserRole, entry.mcc);
}

void CountrySelForm::kwinput(const QString& kw)
{
    ltCountries->clear();
    for (const CountryListEntry& entry : entries) {
        if (entry.label.contains(kw, Qt::CaseInsensitive))
            addItem(entry);
    }
}

void CountrySelForm::accept()
{
    const QListWidgetItem* item = ltCountries->currentItem();
    if (!item) {
        showWarning(tr("IDS_CANT_CONTINUE_WITHOUT_SEL_ONE_COUNTRY"));
        return;
    }
    if (!askQuestion(tr("IDS_CONFIRM_SEL_COUNTRY_%1").arg(htmlEscape(item->text()))))
        return;
    m_selectedMcc = item->data(Qt::UserRole).toString();
    QDialog::accept();
}

void CountrySelForm::reject()
{
    if (entries.isEmpty())
        QDialog::reject();
}

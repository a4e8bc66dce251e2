#pragma once
// The small dialog in which the user picks the country of a connected phone that reports no mobile
// country code, or one the country library does not know. The list comes from the country library and
// is filtered by typing. It ends only with a confirmed country, except when the library could not be
// read: then there is nothing to choose, and Escape or Cancel close it as not accepted.
#include "ui/winmovable.h"

#include <QDialog>
#include <QList>
#include <QString>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

class CountrySelForm : public QDialog {
    Q_OBJECT
public:
    explicit CountrySelForm(QWidget* parent = nullptr);
    ~CountrySelForm() override;

    // The chosen mobile country code (the first one of the country's); "" until one is confirmed.
    const QString& selectedMcc() const { return m_selectedMcc; }

public slots:
    // Lists the countries whose label contains kw in any letter case; "" lists them all.
    void kwinput(const QString& kw);
    // Asks to confirm the current country and closes on Yes; without one it warns and stays open.
    void accept() override;
    // Ignored while there are countries to choose from.
    void reject() override;

private:
    struct CountryListEntry {
        QString mcc;
        QString label;
    };

    void buildForm();
    void loadCountries();
    void addItem(const CountryListEntry& entry);

    QString m_selectedMcc;
    WinMovable m_mover;
    QList<CountryListEntry> entries;  // in the library's order, by name
    QLabel* lbTitle = nullptr;        // children of the dialog
    QLineEdit* txtKW = nullptr;
    QListWidget* ltCountries = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
};

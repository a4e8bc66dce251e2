#pragma once
// The small dialog in which the user picks one data source (a device) from a list and the caller gets
// back its own identifier of that source.
#include "ui/winmovable.h"

#include <QDialog>
#include <QList>
#include <QString>

class QComboBox;
class QLabel;
class QPushButton;

struct DataSourceEntry {
    QString iconPath;  // resource path of the entry's icon
    QString name;      // the text shown
    qintptr id = 0;    // the caller's identifier, handed back unchanged; wide enough for a pointer
};

class DataSourceSelForm : public QDialog {
    Q_OBJECT
public:
    explicit DataSourceSelForm(QWidget* parent = nullptr);
    ~DataSourceSelForm() override;

    // Shows label and lists the entries; a single entry is preselected, of several none is.
    void fill(const QString& label, const QList<DataSourceEntry>& entries);
    // The id of the chosen entry; 0 when none is chosen.
    qintptr chosenId() const;
    // fill(), then runs the dialog through the interaction seam: the chosen id, or 0 when cancelled.
    qintptr setDataSources(const QString& label, const QList<DataSourceEntry>& entries);

public slots:
    void onBtnOkPressed();

private:
    void buildForm();

    WinMovable m_mover;
    QLabel* lbSelDevice = nullptr;  // children of the dialog
    QComboBox* cbDevice = nullptr;
    QWidget* layoutWidget = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnClose = nullptr;
};

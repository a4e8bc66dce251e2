#pragma once
// The small dialog in which the user picks the local database that is to receive messages, or types
// the name of a new one. The name becomes a folder below the local-database folder, so the dialog
// only accepts names that are usable as one folder name.
#include "ui/winmovable.h"

#include <QDialog>
#include <QString>
#include <QStringList>

class QComboBox;
class QLabel;
class QPushButton;

class LocalDbSelForm : public QDialog {
    Q_OBJECT
public:
    enum class NameCheck { Ok, Empty, Invalid };

    // names: the existing local databases, listed after one empty row; defaultName, when not empty,
    // is put into the edit field while no row is chosen.
    LocalDbSelForm(const QStringList& names, const QString& defaultName, QWidget* parent = nullptr);
    ~LocalDbSelForm() override;

    // Runs the dialog through the interaction seam; the chosen name (untrimmed), or "" when cancelled.
    QString selectDatabase();

    // Empty: nothing but white space. Invalid: one of \ / : * ? " < > |, a control character or an
    // unpaired surrogate, "." or "..", or more than 200 bytes of UTF-8.
    static NameCheck checkName(const QString& name);

public slots:
    void onBtnOkPress();

private:
    void buildForm();

    WinMovable m_mover;
    QString m_name;
    QLabel* label = nullptr;  // children of the dialog
    QComboBox* cbLocalDbNames = nullptr;
    QWidget* layoutWidget = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnClose = nullptr;
};

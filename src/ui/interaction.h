#pragma once
// Every conversation with the user that waits for an answer goes through one replaceable object: message
// boxes, file and folder choosers and the exec() of small dialogs. The default shows real widgets; tests
// install a scripted recorder so that nothing modal ever opens. GUI thread only.
#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <memory>

class QDialog;
class QWidget;

class Interaction {
public:
    virtual ~Interaction() = default;

    // A modal box of one of the four kinds (Information, Warning, Question, Critical) with the given
    // buttons; returns the QMessageBox::StandardButton that closed it.
    virtual int messageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons) = 0;

    // File and folder choosers; an empty result (or list) means the user cancelled.
    virtual QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, QFileDialog::Options options) = 0;
    virtual QStringList getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                         const QString& filter, QFileDialog::Options options) = 0;
    // selectedFilter, when given, receives the filter the user left selected.
    virtual QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                    const QString& filter, QString* selectedFilter, QFileDialog::Options options) = 0;
    virtual QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                                         QFileDialog::Options options) = 0;

    // Runs a prepared modal dialog and returns its result code (QDialog::Accepted or Rejected, or the
    // value it passed to done()). A recorder may fill the dialog's widgets before answering.
    virtual int execDialog(QDialog& dialog) = 0;
};

// The installed object; the widget-showing one unless a test replaced it.
Interaction& interaction();

// Installs replacement; nullptr restores the default.
void setInteraction(std::unique_ptr<Interaction> replacement);

// Shorthands that callers use instead of the QFileDialog statics.
inline QString chooseOpenFileName(QWidget* parent, const QString& caption, const QString& dir = QString(),
                                  const QString& filter = QString(), QFileDialog::Options options = {})
{
    return interaction().getOpenFileName(parent, caption, dir, filter, options);
}

inline QStringList chooseOpenFileNames(QWidget* parent, const QString& caption, const QString& dir = QString(),
                                       const QString& filter = QString(), QFileDialog::Options options = {})
{
    return interaction().getOpenFileNames(parent, caption, dir, filter, options);
}

inline QString chooseSaveFileName(QWidget* parent, const QString& caption, const QString& dir = QString(),
                                  const QString& filter = QString(), QString* selectedFilter = nullptr,
                                  QFileDialog::Options options = {})
{
    return interaction().getSaveFileName(parent, caption, dir, filter, selectedFilter, options);
}

inline QString chooseExistingDirectory(QWidget* parent, const QString& caption, const QString& dir = QString(),
                                       QFileDialog::Options options = QFileDialog::ShowDirsOnly)
{
    return interaction().getExistingDirectory(parent, caption, dir, options);
}

inline int execDialog(QDialog& dialog)
{
    return interaction().execDialog(dialog);
}

#include "ui/interaction.h"

#include "ui/messagebox.h"

#include <QDialog>

namespace {

class WidgetInteraction : public Interaction {
public:
    int messageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons) override
    {
        return execStyledMessageBox(icon, text, buttons);
    }

    QString getOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            QFileDialog::Options options) override
    {
        return QFileDialog::getOpenFileName(parent, caption, dir, filter, nullptr, options);
    }

    QStringList getOpenFileNames(QWidget* parent, const QString& caption, const QString& dir,
                                 const QString& filter, QFileDialog::Options options) override
    {
        return QFileDialog::getOpenFileNames(parent, caption, dir, filter, nullptr, options);
    }

    QString getSaveFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter,
                            QString* selectedFilter, QFileDialog::Options options) override
    {
        return QFileDialog::getSaveFileName(parent, caption, dir, filter, selectedFilter, options);
    }

    QString getExistingDirectory(QWidget* parent, const QString& caption, const QString& dir,
                                 QFileDialog::Options options) override
    {
        return QFileDialog::getExistingDirectory(parent, caption, dir, options);
    }

    int execDialog(QDialog& dialog) override { return dialog.exec(); }
};

std::unique_ptr<Interaction>& installed()
{
    static std::unique_ptr<Interaction> current = std::make_unique<WidgetInteraction>();
    return current;
}

}  // namespace

Interaction& interaction()
{
    return *installed();
}

void setInteraction(std::unique_ptr<Interaction> replacement)
{
    installed() = replacement ? std::move(replacement) : std::make_unique<WidgetInteraction>();
}

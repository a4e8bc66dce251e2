#include "ui/messagebox.h"

#include "core/errorreport.h"
#include "core/product.h"
#include "platform/webhost.h"
#include "ui/interaction.h"
#include "ui/winmovable.h"

#include <QCoreApplication>
#include <QFile>

namespace {

QString& cachedStyleSheet()
{
    static QString text;
    return text;
}

}  // namespace

QString loadStyleSheet()
{
    QString& cached = cachedStyleSheet();
    if (!cached.isEmpty())
        return cached;
    QFile file(QStringLiteral(":/style.css"));
    if (!file.open(QIODevice::ReadOnly))
        return cached;
    QByteArray bytes = file.readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    cached = QString::fromLatin1(bytes);
    return cached;
}

int execStyledMessageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, productTitle(), text, QMessageBox::NoButton, nullptr,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    WinMovable mover(&box);
    box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box.setStyleSheet(loadStyleSheet());
    // A fixed order, whatever order the enum values would give.
    for (const QMessageBox::StandardButton button : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok,
                                                     QMessageBox::Cancel}) {
        if (buttons.testFlag(button))
            box.addButton(button);
    }
    return box.exec();
}

int showMessageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons)
{
    return interaction().messageBox(icon, text, buttons);
}

void showInfo(const QString& text)
{
    showMessageBox(QMessageBox::Information, text, QMessageBox::Ok);
}

int showWarning(const QString& text)
{
    return showMessageBox(QMessageBox::Warning, text, QMessageBox::Ok);
}

bool askQuestion(const QString& text)
{
    return showMessageBox(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

QString errorBoxText(const QString& text)
{
    const QString box = QCoreApplication::translate("QObject", "An Error Occurred. <br/><br/>%1<br/><br/>").arg(text);
    const QString address = supportAddress();
    if (address.isEmpty())
        return box;
    return box + QCoreApplication::translate("QObject", " Or you can contact %1 for help.").arg(htmlEscape(address));
}

void showError(const QString& text)
{
    showMessageBox(QMessageBox::Critical, errorBoxText(text), QMessageBox::Ok);
    sendErrorReport(text);
}

void showPlainError(const QString& text)
{
    showMessageBox(QMessageBox::Critical, text, QMessageBox::Ok);
    sendErrorReport(text);
}

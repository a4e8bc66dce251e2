#pragma once
// The program's message boxes and its one look: every box is modal, frameless, styled by ":/style.css",
// titled with the product name and draggable. Texts are rich text: callers HTML-escape every part that
// comes from data or from the system (file and device names, SQL errors) with htmlEscape() first.
// GUI thread only; jobs reach the user through the progress dialog.
#include "core/htmltext.h"
#include "core/product.h"

#include <QMessageBox>
#include <QString>

// The text of ":/style.css", read once; an empty text when the resource is missing (tried again later).
QString loadStyleSheet();

// Through the installed interaction: returns the QMessageBox::StandardButton that closed the box.
int showMessageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons);
void showInfo(const QString& text);
int showWarning(const QString& text);
// True only when the user answered Yes (No and Escape give false).
bool askQuestion(const QString& text);
// The error box around text, then an error report with text itself once the box is closed.
void showError(const QString& text);
// As showError, without the surrounding template.
void showPlainError(const QString& text);

// The rich text that showError puts in the box for text.
QString errorBoxText(const QString& text);

// Shows the styled box itself, bypassing the interaction seam; only the default interaction calls it.
int execStyledMessageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons);

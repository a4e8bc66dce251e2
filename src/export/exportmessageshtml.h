#pragma once
// The HTML export of one conversation: one XHTML page of speech bubbles as the conversation view shows
// them, linking copies of its attachments, thumbnails and card images in the folder "files" beside it.
// The export job fills "files" with the bubble style sheet and images and "emoji" with the emoji
// images before the first page; pages refer to everything by relative paths, so the export folder can
// be moved whole.
//
// Files that cannot be read degrade (an attachment to the link "#", a thumbnail to the photo
// placeholder, a contact card to its "[VCARD]" link); files that cannot be written are errors.
#include "export/bubblemarkup.h"
#include "export/textexport.h"

#include <QDir>
#include <QString>
#include <QStringList>

class ExportMessagesHtml : public TextFileExport, private BubbleLinks {
public:
    // The page fileName in outDir; copies go to outDir/files, made when missing.
    ExportMessagesHtml(const QDir& outDir, const QString& fileName);

    // Every file the page creates in "files" is appended to created, so a failed run can take it back.
    void setCreatedFiles(QStringList* created) { m_created = created; }
    // The photo placeholder copied into "files" when "files" has none; the program's by default.
    void setPlaceholderSource(const QString& path) { m_placeholderSource = path; }

    void exportMessage(_MsgMessage* message) override;

    // Copies source into "files" under its own name, with "(n)" when the name is taken; returns the
    // copy's name, or "" when source cannot be read. Throws when the copy cannot be written.
    QString copyToFilesDir(const QString& source);

protected:
    void writeHeader() override;
    void writeFooter() override;

private:
    QString fileLink(const QString& localPath) override;
    QString imageSource(const QString& imagePath) override;
    QString placeholderSource() override;
    void copyPlaceholder();
    void noteCreated(const QString& path);

    QDir m_filesDir;
    qint64 m_lastDateTime = 0;  // Unix seconds of the last date line on this page
    QStringList* m_created = nullptr;
    QString m_placeholderSource;
    bool m_placeholderCopied = false;
};

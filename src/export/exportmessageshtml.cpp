#include "export/exportmessageshtml.h"

#include "core/assetdir.h"
#include "core/fileutil.h"
#include "core/product.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <algorithm>

namespace {

const QString kFilesFolder = QStringLiteral("files");
const QString kPlaceholderName = QStringLiteral("empty_photo.jpg");
constexpr int kMaxCopyNameBytes = 200;

// A relative link to a file in "files": percent-encoded ("#", "%", "?" and spaces stay part of the
// name), then escaped for the attribute.
QString filesHref(const QString& name)
{
    return kFilesFolder + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(name)).toHtmlEscaped();
}

// The name of a copy: the file's own, unless it holds control characters or leaves no room for "(n)".
QString copyName(const QString& source)
{
    const QString name = QFileInfo(source).fileName();
    const bool hasControl =
        std::any_of(name.begin(), name.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
    return hasControl || name.toUtf8().size() > kMaxCopyNameBytes ? sanitizeFileName(name) : name;
}

}  // namespace

ExportMessagesHtml::ExportMessagesHtml(const QDir& outDir, const QString& fileName)
    : TextFileExport(outDir.absoluteFilePath(fileName)), m_filesDir(outDir.absoluteFilePath(kFilesFolder))
{
    // A folder that cannot be made shows up as the first copy that cannot be written.
    QDir().mkpath(m_filesDir.path());
}

void ExportMessagesHtml::writeHeader()
{
    write(QStringLiteral(
              "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
              "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
              "<html xmlns=\"http://www.w3.org/1999/xhtml\">\n"
              "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\n"
              "<title>") +
          productTitle().toHtmlEscaped() +
          QStringLiteral("</title>\n"
                         "<link href=\"files/style.css\" type=\"text/css\" rel=\"stylesheet\"/></head><body>\n"));
}

void ExportMessagesHtml::writeFooter()
{
    write(QStringLiteral("</body></html>"));
}

void ExportMessagesHtml::exportMessage(_MsgMessage* message)
{
    write(messageContentHtml(*message, m_lastDateTime, *this) + QLatin1Char('\n'));
}

QString ExportMessagesHtml::copyToFilesDir(const QString& source)
{
    const QString destination = uniqueFilePath(m_filesDir.absoluteFilePath(copyName(source)));
    if (!copyToNewFile(source, destination))
        return QString();
    noteCreated(destination);
    return QFileInfo(destination).fileName();
}

QString ExportMessagesHtml::fileLink(const QString& localPath)
{
    const QString name = !localPath.isEmpty() && QFileInfo(localPath).isFile() ? copyToFilesDir(localPath) : QString();
    return name.isEmpty() ? QStringLiteral("#") : filesHref(name);
}

QString ExportMessagesHtml::imageSource(const QString& imagePath)
{
    const QString name = copyToFilesDir(imagePath);
    return name.isEmpty() ? QString() : filesHref(name);
}

QString ExportMessagesHtml::placeholderSource()
{
    if (!m_placeholderCopied) {
        copyPlaceholder();
        m_placeholderCopied = true;
    }
    return filesHref(kPlaceholderName);
}

// Once per export folder: never a second copy beside the first.
void ExportMessagesHtml::copyPlaceholder()
{
    const QString copy = m_filesDir.absoluteFilePath(kPlaceholderName);
    const QFileInfo existing(copy);
    if (existing.exists() || existing.isSymLink())
        return;
    const QString source =
        m_placeholderSource.isEmpty() ? assetPath(QStringLiteral("bubble/") + kPlaceholderName) : m_placeholderSource;
    if (copyToNewFile(source, copy))
        noteCreated(copy);
}

void ExportMessagesHtml::noteCreated(const QString& path)
{
    if (m_created)
        m_created->append(path);
}

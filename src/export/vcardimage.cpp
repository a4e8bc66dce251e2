#include "export/vcardimage.h"

#include "core/datadir.h"
#include "core/fileutil.h"

#include <QBuffer>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QLocale>
#include <QPainter>
#include <QSaveFile>

namespace {

constexpr int kCardWidth = 200;
constexpr int kCardHeight = 90;
constexpr int kMargin = 5;
constexpr int kSpacing = 1;
constexpr int kPhotoSide = 47;
constexpr int kTextLeft = kMargin + kSpacing + kPhotoSide;
constexpr int kTextWidth = kCardWidth - 2 * kMargin - kPhotoSide;
constexpr int kMaxPhones = 4;
constexpr int kMaxPhotoSide = 4096;
constexpr qint64 kMaxVCardBytes = 16 * 1024 * 1024;

const QColor kBackground(219, 226, 237);
const QColor kFrame(185, 185, 187);

QImage contactIcon()
{
    return QImage(QStringLiteral(":/res/contact.png"));
}

// The photo, else the contact icon, else a plain head-and-shoulders outline when the icon is missing.
QImage cardPortrait(const QByteArray& photo)
{
    QImage image = decodeCardPhoto(photo, kPhotoSide);
    if (!image.isNull())
        return image;
    image = contactIcon();
    if (!image.isNull())
        return image.scaled(kPhotoSide, kPhotoSide, Qt::KeepAspectRatio, Qt::FastTransformation);
    image = QImage(kPhotoSide, kPhotoSide, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(140, 150, 165));
    painter.drawEllipse(QRect(14, 6, 19, 19));
    painter.drawEllipse(QRect(6, 28, 35, 30));
    return image;
}

QString cacheKey(const QString& path, const QFileInfo& info)
{
    return QStringLiteral("%1\n%2\n%3")
        .arg(path, QString::number(info.size()), QString::number(info.lastModified().toMSecsSinceEpoch()));
}

bool saveJpeg(const QImage& image, const QString& target)
{
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QImageWriter writer(&file, "JPEG");
    return writer.write(image) && file.commit() && makeFilePrivate(target);
}

}  // namespace

CardFields cardFields(const QList<VCard>& cards)
{
    CardFields fields;
    if (cards.isEmpty())
        return fields;
    for (const VCardProperty& property : cards.first()) {
        const QString name = property.name.toUpper();
        if (name == QLatin1String("PHOTO"))
            fields.photo = property.value;
        else if (name == QLatin1String("FN"))
            fields.name = decodeVCardValue(property);
        else if (name == QLatin1String("BDAY"))
            fields.birthday = decodeVCardValue(property);
        else if (name == QLatin1String("ADR"))
            fields.address = decodeVCardValue(property);
        else if (name == QLatin1String("TEL"))
            fields.phones.append(decodeVCardValue(property));
        else if (name == QLatin1String("EMAIL"))
            fields.email = decodeVCardValue(property);
        else if (name == QLatin1String("TITLE"))
            fields.title = decodeVCardValue(property);
        else if (name == QLatin1String("ORG"))
            fields.organisation = decodeVCardValue(property);
    }
    return fields;
}

QString cardTitleLine(const CardFields& fields)
{
    QString line = fields.title;
    if (!fields.organisation.isEmpty())
        line += QLatin1Char(' ') + fields.organisation;
    return line.trimmed();
}

QString cardBirthdayText(const QString& birthday)
{
    const QDateTime date = QDateTime::fromString(birthday, Qt::ISODate);
    if (!date.isValid())
        return QString();
    return QLocale::system().toString(date.date(), QLocale::ShortFormat);
}

QImage decodeCardPhoto(const QByteArray& bytes, int size)
{
    if (bytes.isEmpty())
        return QImage();
    for (const char* format : {"JPEG", "PNG"}) {
        QBuffer buffer;
        buffer.setData(bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, format);
        reader.setAutoDetectImageFormat(false);
        if (!reader.canRead())
            continue;
        const QSize declared = reader.size();
        if (declared.isEmpty() || declared.width() > kMaxPhotoSide || declared.height() > kMaxPhotoSide) {
            qWarning() << "card photo: image size" << declared << "refused";
            continue;
        }
        reader.setScaledSize(declared.scaled(size, size, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
        const QImage image = reader.read();
        if (!image.isNull())
            return image;
    }
    return QImage();
}

int drawCardField(QPainter& painter, QFont font, int x, int y, int width, const QString& label,
                  const QString& value, bool singleLine)
{
    font.setWeight(QFont::Bold);
    font.setItalic(true);
    painter.setFont(font);
    const QRect labelBox = QFontMetrics(font).boundingRect(QRect(x, y, width, 0), Qt::TextSingleLine, label);
    painter.drawText(labelBox, Qt::TextSingleLine, label);
    if (value.isEmpty())
        return labelBox.height();

    font.setWeight(QFont::Normal);
    font.setItalic(false);
    painter.setFont(font);
    const int left = labelBox.right() + 3;
    const int right = x + width - 2;  // wrapped values end at the column edge too
    if (singleLine) {
        painter.drawText(QRect(QPoint(left, labelBox.top()), QPoint(right, labelBox.bottom())), Qt::TextSingleLine,
                         value);
        return labelBox.height();
    }
    const QRect valueBox =
        QFontMetrics(font).boundingRect(QRect(left, y, qMax(1, right - left + 1), 0), Qt::TextWordWrap, value);
    painter.drawText(valueBox, Qt::TextWordWrap, value);
    return valueBox.height();
}

QImage drawCardImage(const CardFields& fields)
{
    QImage image(kCardWidth, kCardHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(kBackground);
    QPainter painter(&image);
    painter.setPen(QPen(QBrush(kFrame), 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawRect(QRect(QPoint(0, 0), QPoint(kCardWidth - 2, kCardHeight - 2)));
    painter.drawImage(QPoint(kMargin, kMargin), cardPortrait(fields.photo));

    painter.setPen(QColor(0, 0, 0, 255));
    QFont font = QGuiApplication::font();
    int y = kMargin;
    const auto field = [&](const QString& label, const QString& value, bool singleLine) {
        y += drawCardField(painter, font, kTextLeft, y, kTextWidth, label, value, singleLine) + kSpacing;
    };
    font.setPixelSize(11 + 11 / 7);
    field(fields.name, QString(), true);
    font.setPixelSize(11);
    const QString titleLine = cardTitleLine(fields);
    if (!titleLine.isEmpty())
        field(titleLine, QString(), true);
    if (!fields.birthday.isEmpty())
        field(QStringLiteral("Birthday:"), cardBirthdayText(fields.birthday), false);
    for (const QString& phone : fields.phones.mid(0, kMaxPhones))
        field(QStringLiteral("Phone:"), phone, true);
    if (!fields.email.isEmpty())
        field(QStringLiteral("E-Mail:"), fields.email, true);
    if (!fields.address.isEmpty())
        field(QStringLiteral("Address:"), fields.address, false);
    painter.end();
    return image;
}

QString cardImageCacheDir()
{
    const QString path = dataFolderPath(DataFolder::CardImages);
    if (!makePrivatePath(path))
        qWarning() << "card image: cannot create" << path;
    return path;
}

QString renderVCardImage(const QString& vcardPath)
{
    const QFileInfo info(vcardPath);
    if (vcardPath.isEmpty() || !info.isFile() || info.size() > kMaxVCardBytes)
        return QString();
    const QString target = QDir(cardImageCacheDir()).filePath(md5Hex(cacheKey(vcardPath, info)) + ".jpg");
    if (QFileInfo::exists(target))
        return target;

    QFile file(vcardPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QList<VCard> cards = parseVCards(file.read(kMaxVCardBytes));
    if (cards.isEmpty())
        return QString();
    if (!saveJpeg(drawCardImage(cardFields(cards)), target)) {
        qWarning() << "card image: cannot write" << target;
        return QString();
    }
    return target;
}

#include "export/vcardimage.h"

#include "fixtures/temp_home.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QLocale>
#include <QThread>

#include <gtest/gtest.h>

namespace {

QList<VCard> cardsOf(const QByteArray& body)
{
    return parseVCards("BEGIN:VCARD\r\n" + body + "END:VCARD\r\n");
}

QByteArray encodedImage(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A valid PNG header that declares width x height, for size-limit checks without the pixels.
QByteArray pngDeclaring(quint32 width, quint32 height)
{
    QByteArray png = encodedImage(QImage(1, 1, QImage::Format_RGB32), "PNG");
    auto put = [&](int offset, quint32 v) {
        for (int i = 0; i < 4; ++i)
            png[offset + i] = char((v >> (24 - 8 * i)) & 0xFF);
    };
    put(16, width);  // IHDR: width and height follow the chunk type at offset 12
    put(20, height);
    put(29, crc32(png.mid(12, 17)));  // the chunk's CRC over type and data
    return png;
}

}  // namespace

TEST(CardFields, TakesTheFirstCardsFields)
{
    const CardFields f = cardFields(cardsOf("FN:Ann\r\nFN:Ann Lee\r\nTEL:1\r\nTEL:2\r\nTEL:3\r\nTEL:4\r\nTEL:5\r\ntel:6\r\n"
                                 "ORG:Acme\r\nADR:;;Main St;Town\r\nemail:a@b.c\r\nBDAY:1980-02-29\r\n"
                                 "PHOTO;ENCODING=b:QUJD\r\n"));
    EXPECT_EQ(f.name, "Ann Lee");
    EXPECT_EQ(f.phones, (QStringList{"1", "2", "3", "4", "5", "6"}));
    EXPECT_EQ(f.address, ";;Main St;Town");
    EXPECT_EQ(f.email, "a@b.c");
    EXPECT_EQ(f.photo, "ABC");
    EXPECT_EQ(cardTitleLine(f), "Acme");  // no leading space without a title
    CardFields titled = f;
    titled.title = "Boss";
    EXPECT_EQ(cardTitleLine(titled), "Boss Acme");
    EXPECT_TRUE(cardFields({}).name.isEmpty());
}

TEST(CardFields, BirthdayIsShownOnlyForIsoDates)
{
    EXPECT_EQ(cardBirthdayText("1980-02-29"), QLocale::system().toString(QDate(1980, 2, 29), QLocale::ShortFormat));
    EXPECT_EQ(cardBirthdayText("29.02.1980"), "");
    EXPECT_EQ(cardBirthdayText("1981-02-29"), "");
}

TEST(CardPhoto, DecodesJpegAndPngScaledAndRefusesHugeImages)
{
    QImage source(200, 100, QImage::Format_RGB32);
    source.fill(Qt::red);
    const QImage jpeg = decodeCardPhoto(encodedImage(source, "JPEG"), 47);
    EXPECT_EQ(jpeg.size(), QSize(47, 23));
    EXPECT_EQ(decodeCardPhoto(encodedImage(source, "PNG"), 47).size(), QSize(47, 23));
    EXPECT_TRUE(decodeCardPhoto("not an image", 47).isNull());
    EXPECT_TRUE(decodeCardPhoto(QByteArray(), 47).isNull());
    const QByteArray huge = pngDeclaring(30000, 30000);
    QBuffer hugeBuffer;
    hugeBuffer.setData(huge);
    ASSERT_EQ(QImageReader(&hugeBuffer, "PNG").size(), QSize(30000, 30000));
    EXPECT_TRUE(decodeCardPhoto(huge, 47).isNull());
}

TEST(CardImage, DrawsPhotoOrPlaceholderAndText)
{
    CardFields fields;
    fields.name = "Ann Lee";
    const QImage plain = drawCardImage(fields);
    ASSERT_EQ(plain.size(), QSize(200, 90));
    EXPECT_EQ(plain.pixelColor(150, 85), QColor(219, 226, 237));  // background
    EXPECT_EQ(plain.pixelColor(0, 40), QColor(185, 185, 187));    // frame
    bool portrait = false;  // the contact icon (or its stand-in) in the photo square
    for (int x = 5; x < 52 && !portrait; ++x)
        for (int y = 5; y < 52 && !portrait; ++y)
            portrait = plain.pixelColor(x, y) != QColor(219, 226, 237);
    EXPECT_TRUE(portrait);

    QImage photo(47, 47, QImage::Format_RGB32);
    photo.fill(QColor(0, 200, 0));
    fields.photo = encodedImage(photo, "PNG");
    EXPECT_EQ(drawCardImage(fields).pixelColor(28, 28), QColor(0, 200, 0));

    // The name is drawn in the text column.
    bool inked = false;
    for (int x = 53; x < 190 && !inked; ++x)
        for (int y = 5; y < 20 && !inked; ++y)
            inked = plain.pixelColor(x, y).lightness() < 100;
    EXPECT_TRUE(inked);
}

class RenderVCardImageTest : public TempHomeTest {
protected:
    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = homePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
};

TEST_F(RenderVCardImageTest, WritesOneJpegPerCardIntoThePrivateCache)
{
    const QString vcf = writeFile("ann.vcf", "BEGIN:VCARD\r\nFN:Ann\r\nTEL:1\r\nEND:VCARD\r\n");
    const QString image = renderVCardImage(vcf);
    ASSERT_FALSE(image.isEmpty());
    EXPECT_EQ(QFileInfo(image).absolutePath(), QFileInfo(cardImageCacheDir()).absoluteFilePath());
    EXPECT_EQ(QFileInfo(cardImageCacheDir()).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    QImageReader reader(image);
    EXPECT_EQ(reader.format(), "jpeg");
    EXPECT_EQ(reader.size(), QSize(200, 90));

    const QDateTime drawn = QFileInfo(image).lastModified();
    QThread::msleep(20);
    EXPECT_EQ(renderVCardImage(vcf), image);  // reused, not drawn again
    EXPECT_EQ(QFileInfo(image).lastModified(), drawn);
}

TEST_F(RenderVCardImageTest, GivesNothingWithoutACard)
{
    EXPECT_EQ(renderVCardImage(writeFile("none.vcf", "FN:Ann\r\nTEL:1\r\n")), "");
    EXPECT_EQ(renderVCardImage(homePath("missing.vcf")), "");
    EXPECT_EQ(renderVCardImage(QString()), "");
    EXPECT_EQ(renderVCardImage(homePath()), "");  // a folder
}

#include "msgdb/msgutil.h"

#include "core/datadir.h"
#include "core/emoji.h"
#include "core/fileutil.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QStringList>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <vector>

namespace {

// --- Summaries -----------------------------------------------------------------------------------

QString nameOrYou(const _MsgHandle* handle)
{
    return handle ? handle->displayName(false) : QStringLiteral("You");
}

QString systemEventSentence(const _MsgMessage& m)
{
    const QString date = appleTimeText(m.date);
    switch (m.item_type) {
    case 1:
        return QStringLiteral("%1 Added %2 to the conversation.\n%3")
            .arg(nameOrYou(m.handle), nameOrYou(m.otherHandle), date);
    case 2:
        return QStringLiteral("%1 named the conversation \"%2\".\n%3").arg(nameOrYou(m.handle), m.group_title, date);
    case 3:
        return QStringLiteral("%1 left the conversation.\n%2").arg(nameOrYou(m.handle), date);
    case 4:
        return QStringLiteral("%1 %2 sharing location with %3.\n%4")
            .arg(nameOrYou(m.handle),
                 m.share_status == 0 ? QStringLiteral("started") : QStringLiteral("stopped"),
                 nameOrYou(m.otherHandle), date);
    default:
        return QStringLiteral("System Information.\n%1").arg(date);
    }
}

QString attachmentTag(const QString& mimeType)
{
    const auto startsWith = [&](const char* prefix) {
        return mimeType.startsWith(QLatin1String(prefix), Qt::CaseInsensitive);
    };
    const auto equals = [&](const char* other) {
        return mimeType.compare(QLatin1String(other), Qt::CaseInsensitive) == 0;
    };
    if (startsWith("image/"))
        return QStringLiteral(" [IMAGE]");
    if (startsWith("video/"))
        return QStringLiteral(" [VIDEO]");
    if (startsWith("audio/"))
        return QStringLiteral(" [AUDIO]");
    if (equals("text/x-vCard") || equals("text/vcard"))
        return QStringLiteral(" [VCARD]");
    return QStringLiteral(" [ATTA]");
}

// --- Hashes --------------------------------------------------------------------------------------

QByteArray littleEndian32(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// The last component of a device path such as "~/Library/SMS/Attachments/0a/10/GUID/IMG_0001.JPG".
QString lastPathComponent(const QString& devicePath)
{
    return devicePath.mid(devicePath.lastIndexOf(QLatin1Char('/')) + 1);
}

QStringList sortedAttachmentNames(const _MsgMessage& m)
{
    QStringList names;
    for (const _MsgAttachment* attachment : m.attachments) {
        if (attachment && !attachment->filename.isEmpty())
            names.append(lastPathComponent(attachment->filename).toLower());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// XOR of the digest's four 32-bit little-endian words.
quint32 foldDigest(const QByteArray& digest)
{
    quint32 folded = 0;
    for (int offset = 0; offset + 4 <= digest.size(); offset += 4)
        folded ^= qFromLittleEndian<quint32>(digest.constData() + offset);
    return folded;
}

// The absolute value in decimal; INT_MIN has no positive counterpart and keeps its sign.
QString absoluteDecimal(qint32 value)
{
    return QString::number(value == std::numeric_limits<qint32>::min() ? qint64(value) : std::abs(qint64(value)));
}

// --- Attributed body -----------------------------------------------------------------------------

// A typedstream archive of an NSMutableAttributedString "\uFFFC" whose attributes name the file
// transfer GUID and message part 0. The byte before the GUID is its length (36).
const char kAttributedBodyHead[] =
    "040B73747265616D747970656481E803840140848484194E534D757461626C6541747472696275746564537472696E67"
    "008484124E5341747472696275746564537472696E67008484084E534F626A6563740085928484840F4E534D75746162"
    "6C65537472696E67018484084E53537472696E67019584012B03EFBFBC86840269490101928484840C4E5344696374"
    "696F6E61727900958401690292849898225F5F6B494D46696C655472616E73666572475549444174747269627574654E"
    "616D65869284989824";
const char kAttributedBodyTail[] =
    "86928498981D5F5F6B494D4D657373616765506172744174747269627574654E616D658692848484084E534E756D6265"
    "72008484074E5356616C7565009584012A849B9B00868686";
constexpr int kGuidBytes = 36;

// --- Ordering ------------------------------------------------------------------------------------

constexpr quint64 kNearSortKeys = 20;
constexpr quint64 kNearDateSeconds = 120;

// |a - b| without overflow: recycled messages carry negative keys, so keys may span the whole range.
quint64 distance(qint64 a, qint64 b)
{
    return a > b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
}

// --- Thumbnails ----------------------------------------------------------------------------------

constexpr int kThumbnailSide = 120;
// JPEG decodes at up to 1/8 scale, so large photos stay cheap; PNG decodes in full before scaling.
constexpr qint64 kMaxJpegPixels = 16384LL * 16384LL;
constexpr qint64 kMaxPngPixels = 50'000'000LL;

struct ImageFormat {
    const char* name;
    qint64 maxPixels;
};
constexpr std::array<ImageFormat, 2> kThumbnailFormats = {{{"jpeg", kMaxJpegPixels}, {"png", kMaxPngPixels}}};

QString thumbnailKey(const QString& localPath)
{
    const QFileInfo info(localPath);
    const qint64 size = info.exists() ? info.size() : -1;
    const qint64 modified = info.exists() ? info.lastModified().toMSecsSinceEpoch() : -1;
    return QStringLiteral("%1\n%2\n%3").arg(localPath, QString::number(size), QString::number(modified));
}

QSize thumbnailSize(const QSize& source)
{
    const QSize scaled = source.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio);
    return scaled.expandedTo(QSize(1, 1));
}

// Reads source in format at thumbnail size. A null image when the file is not of that format, or too
// large to decode safely.
QImage readScaled(const QString& source, const ImageFormat& format)
{
    QImageReader reader(source, format.name);
    reader.setAutoDetectImageFormat(false);
    if (!reader.canRead())
        return {};
    const QSize size = reader.size();
    if (size.isEmpty() || qint64(size.width()) * size.height() > format.maxPixels) {
        qWarning() << "thumbnail: image size" << size << "refused:" << source;
        return {};
    }
    reader.setScaledSize(thumbnailSize(size));
    return reader.read();
}

// Written to a temporary name and renamed into place, so a reader never sees half a file.
bool saveImage(const QImage& image, const QString& target, const char* format)
{
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QImageWriter writer(&file, format);
    return writer.write(image) && file.commit() && makeFilePrivate(target);
}

}  // namespace

QString messageSummary(const _MsgMessage* message)
{
    if (!message)
        return QString();
    if (message->item_type != 0)
        return systemEventSentence(*message);
    QString summary = message->visibleText();
    for (const _MsgAttachment* attachment : message->sortedAttachments())
        summary += attachmentTag(attachment->mime_type);
    return summary.trimmed();
}

QString messagePlainText(const _MsgMessage* message)
{
    QString text = messageSummary(message);
    return replaceEmoji(text, emojiPlaceholder);
}

QString messageLogicHash(const _MsgMessage* message)
{
    if (!message)
        return QString();
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (message->item_type != 0) {
        md5.addData(message->guid.toUtf8());
        return QString::fromLatin1(md5.result().toHex());
    }
    if (message->handle)
        md5.addData(message->handle->id.toUtf8());
    md5.addData(littleEndian32(message->date));
    const char fromMe = char(message->is_from_me & 0xFF);
    md5.addData(&fromMe, 1);
    md5.addData(message->visibleText().toUtf8());
    for (const QString& name : sortedAttachmentNames(*message))
        md5.addData(name.toUtf8());
    return QString::fromLatin1(md5.result().toHex());
}

QString makeChatRoomName(const QString& key)
{
    const QByteArray keyBytes = key.toUtf8();
    QString digits;
    for (qint32 counter = 0; digits.size() <= 17; ++counter) {
        QCryptographicHash md5(QCryptographicHash::Md5);
        md5.addData(littleEndian32(counter));
        md5.addData(keyBytes);
        digits += absoluteDecimal(qint32(foldDigest(md5.result())));
    }
    return QStringLiteral("chat") + digits.left(18);
}

QString newGuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString guidFromMd5(const QByteArray& data)
{
    const QString hex =
        QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex()).toUpper();
    return QStringList{hex.mid(0, 8), hex.mid(8, 4), hex.mid(12, 4), hex.mid(16, 4), hex.mid(20, 12)}.join(
        QLatin1Char('-'));
}

QDateTime appleTimeToDateTime(int seconds)
{
    return QDateTime::fromSecsSinceEpoch(qint64(seconds) + kAppleEpochOffset);
}

bool appleLocalTime(int seconds, std::tm& local)
{
    const std::time_t unixSeconds = std::time_t(qint64(seconds) + kAppleEpochOffset);
    return localtime_r(&unixSeconds, &local) != nullptr;
}

QString appleTimeText(int seconds)
{
    // The C locale keeps month names and AM/PM English and stable in every export. localtime_r
    // rather than QDateTime: the same local time at a fraction of the cost, and an export may show
    // the time of every message.
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (!appleLocalTime(seconds, local))
        return QString();
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char text[48];
    const int length = std::snprintf(text, sizeof text, "%02d %s %04d %d:%02d %s", local.tm_mday,
                                     kMonths[local.tm_mon], local.tm_year + 1900, hour, local.tm_min,
                                     local.tm_hour < 12 ? "AM" : "PM");
    return QString::fromLatin1(text, length);
}

QByteArray makeAttributedBody(const QString& attachmentGuid)
{
    const QByteArray guid = attachmentGuid.toUtf8();
    if (guid.size() != kGuidBytes) {
        qWarning() << "makeAttributedBody: a GUID of" << guid.size() << "bytes cannot be archived";
        return {};
    }
    return QByteArray::fromHex(kAttributedBodyHead) + guid + QByteArray::fromHex(kAttributedBodyTail);
}

namespace {

// The two fields the message order looks at.
struct MessageOrderKey {
    int date;
    qint64 sortKey;
};

bool orderKeyLessThan(const MessageOrderKey& a, const MessageOrderKey& b)
{
    const quint64 keyDistance = distance(a.sortKey, b.sortKey);
    const quint64 dateDistance = distance(a.date, b.date);
    if (keyDistance > kNearSortKeys || dateDistance > kNearDateSeconds)
        return a.date < b.date;
    return a.sortKey < b.sortKey;
}

}  // namespace

bool messageLessThan(const _MsgMessage* a, const _MsgMessage* b)
{
    return orderKeyLessThan({a->date, a->sortKey}, {b->date, b->sortKey});
}

bool messageNotLessThan(const _MsgMessage* a, const _MsgMessage* b)
{
    return messageLessThan(b, a);
}

void sortMessages(MsgMessageList& messages, bool newestFirst)
{
    // The keys are copied out first: a large history is compared many times over, and reaching into
    // the records for every comparison would miss the cache nearly each time. The comparisons are the
    // same as on the records, so the order is too.
    struct Keyed {
        MessageOrderKey key;
        _MsgMessage* message;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(std::size_t(messages.size()));
    for (_MsgMessage* message : qAsConst(messages))
        keyed.push_back({{message->date, message->sortKey}, message});
    const auto less = [newestFirst](const Keyed& a, const Keyed& b) {
        return newestFirst ? orderKeyLessThan(b.key, a.key) : orderKeyLessThan(a.key, b.key);
    };
    // stable_sort stays in bounds and ends whatever the comparator answers; std::sort does not.
    std::stable_sort(keyed.begin(), keyed.end(), less);
    for (int i = 0; i < messages.size(); ++i)
        messages[i] = keyed[std::size_t(i)].message;
}

QString thumbnailCacheDir()
{
    const QString path = dataFolderPath(DataFolder::Thumbnails);
    if (QFileInfo(path).isDir())
        return path;  // asked for every picture of a page: a look is far cheaper than a mkdir
    if (!makePrivatePath(path))
        qWarning() << "thumbnail: cannot create" << path;
    return path;
}

QString attachmentThumbnail(const _MsgAttachment* attachment)
{
    const QString localPath = attachment ? attachment->localPath.path() : QString();
    const QString path =
        QDir(thumbnailCacheDir()).filePath(md5Hex(thumbnailKey(localPath)) + QStringLiteral(".thumb"));
    if (QFileInfo::exists(path) || localPath.isEmpty())
        return path;
    for (const ImageFormat& format : kThumbnailFormats) {
        const QImage image = readScaled(localPath, format);
        if (image.isNull())
            continue;
        if (!saveImage(image, path, format.name))
            qWarning() << "thumbnail: cannot write" << path;
        break;
    }
    return path;
}

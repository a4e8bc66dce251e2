#include "msgdb/msgutil.h"

#include "core/datadir.h"
#include "fixtures/temp_home.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace {

// Records of one test, owned here and linked like a reader links them.
struct Records {
    std::vector<std::unique_ptr<_MsgHandle>> handles;
    std::vector<std::unique_ptr<_MsgAttachment>> attachments;

    _MsgHandle* handle(qint64 rowid, const QString& id, const QString& contactName = QString())
    {
        handles.push_back(std::make_unique<_MsgHandle>());
        _MsgHandle* h = handles.back().get();
        h->rowid = rowid;
        h->id = id;
        h->contactName = contactName;
        return h;
    }

    _MsgAttachment* attachment(qint64 rowid, const QString& mimeType, const QString& filename = QString())
    {
        attachments.push_back(std::make_unique<_MsgAttachment>());
        _MsgAttachment* a = attachments.back().get();
        a->rowid = rowid;
        a->mime_type = mimeType;
        a->filename = filename;
        return a;
    }
};

// --- Names ---------------------------------------------------------------------------------------

TEST(MessageNames, HandleAndConversationNames)
{
    Records r;
    const _MsgHandle* ann = r.handle(7, QStringLiteral("+15551234"), QStringLiteral("Ann"));
    EXPECT_EQ(ann->displayName(true), QStringLiteral("Ann (+15551234)"));
    EXPECT_EQ(ann->displayName(false), QStringLiteral("Ann"));
    const _MsgHandle* bare = r.handle(3, QStringLiteral("+15551234"));
    EXPECT_EQ(bare->displayName(true), QStringLiteral("+15551234"));
    EXPECT_EQ(bare->displayName(false), QStringLiteral("+15551234"));

    _MsgChat chat;
    EXPECT_EQ(chat.displayName(true), QStringLiteral("Unknown"));
    EXPECT_FALSE(chat.isGroup());
    // Keys in the opposite order of the row ids, and a null entry: names still follow the row ids.
    chat.handles.insert(QStringLiteral("a"), r.handle(20, QStringLiteral("bob@example.com"), QStringLiteral("Bob")));
    chat.handles.insert(QStringLiteral("b"), r.handle(10, QStringLiteral("+1555"), QStringLiteral("Ann")));
    chat.handles.insert(QStringLiteral("c"), nullptr);
    chat.handles.insert(QStringLiteral("d"), r.handle(15, QStringLiteral("+1666")));
    EXPECT_TRUE(chat.isGroup());
    EXPECT_EQ(chat.displayName(false), QStringLiteral("Ann, +1666, Bob"));
    EXPECT_EQ(chat.displayName(true), QStringLiteral("Ann (+1555), +1666, Bob (bob@example.com)"));
    chat.display_name = QStringLiteral("Trip");
    EXPECT_EQ(chat.displayName(true), QStringLiteral("Trip"));
}

TEST(MessageNames, ChatLabelNamesTheSenderOfGroupMessages)
{
    Records r;
    _MsgMessage message;
    EXPECT_EQ(message.chatLabel(), QStringLiteral("unknown"));

    _MsgChat chat;
    _MsgHandle* ann = r.handle(1, QStringLiteral("+1555"), QStringLiteral("Ann"));
    chat.handles.insert(1, ann);
    message.chat = &chat;
    message.handle = ann;
    EXPECT_EQ(message.chatLabel(), QStringLiteral("Ann (+1555)"));

    _MsgHandle* bob = r.handle(2, QStringLiteral("+1666"));
    chat.handles.insert(2, bob);
    chat.display_name = QStringLiteral("Trip");
    EXPECT_EQ(message.chatLabel(), QStringLiteral("Trip (Ann)"));
    message.handle = bob;
    EXPECT_EQ(message.chatLabel(), QStringLiteral("Trip (+1666)"));
    message.handle = nullptr;
    EXPECT_EQ(message.chatLabel(), QStringLiteral("Trip"));
}

TEST(MessageNames, HandleItemsSortCheckedFirstThenById)
{
    const auto item = [](bool flag, const char* id) {
        HandleItem i;
        i.fromRecycle = flag;
        i.handle.id = QString::fromUtf8(id);
        return i;
    };
    QList<HandleItem> items = {item(false, "b"), item(true, "z"), item(false, "B"), item(true, "a"),
                               item(false, "a")};
    std::stable_sort(items.begin(), items.end(), handleItemLessThan);
    QStringList order;
    for (const HandleItem& i : items)
        order << QStringLiteral("%1%2").arg(i.fromRecycle ? "+" : "-", i.handle.id);
    EXPECT_EQ(order, (QStringList{"+a", "+z", "-B", "-a", "-b"}));
    EXPECT_FALSE(compareHandleItems(items[0], items[0]));
}

// --- Summaries -----------------------------------------------------------------------------------

// 2001-01-01 21:05:00 UTC; ctest runs the tests with TZ=UTC.
constexpr int kNineOFivePm = 21 * 3600 + 5 * 60;
const QString kDateText = QStringLiteral("01 Jan 2001 9:05 PM");

TEST(MessageSummary, TextAndAttachmentTagsInRowidOrder)
{
    Records r;
    _MsgMessage message;
    message.text = QStringLiteral("  Look ") + QChar(0xFFFC) + QChar(0xFFFC) + QChar(0xFFFC);
    EXPECT_EQ(message.visibleText(), QStringLiteral("  Look "));
    message.attachments.insert(QStringLiteral("k1"), r.attachment(30, QStringLiteral("text/vcard")));
    message.attachments.insert(QStringLiteral("k2"), r.attachment(10, QStringLiteral("IMAGE/PNG")));
    message.attachments.insert(QStringLiteral("k3"), r.attachment(20, QStringLiteral("video/quicktime")));
    message.attachments.insert(QStringLiteral("k4"), r.attachment(40, QStringLiteral("audio/amr")));
    message.attachments.insert(QStringLiteral("k5"), r.attachment(50, QStringLiteral("application/pdf")));
    message.attachments.insert(QStringLiteral("k6"), r.attachment(60, QStringLiteral("TEXT/X-VCARD")));
    message.attachments.insert(QStringLiteral("k7"), nullptr);
    EXPECT_EQ(messageSummary(&message), QStringLiteral("Look  [IMAGE] [VIDEO] [VCARD] [AUDIO] [ATTA] [VCARD]"));

    QList<qint64> rowids;
    for (const _MsgAttachment* a : message.sortedAttachments())
        rowids << a->rowid;
    EXPECT_EQ(rowids, (QList<qint64>{10, 20, 30, 40, 50, 60}));

    _MsgMessage onlyImage;
    onlyImage.text = QString(QChar(0xFFFC));
    onlyImage.attachments.insert(1, r.attachment(1, QStringLiteral("IMAGE/PNG")));
    EXPECT_EQ(messageSummary(&onlyImage), QStringLiteral("[IMAGE]"));
    EXPECT_EQ(messageSummary(nullptr), QString());
}

TEST(MessageSummary, SystemEventSentencesWithEnglishDates)
{
    Records r;
    _MsgMessage event;
    event.date = kNineOFivePm;
    event.item_type = 2;
    event.group_title = QStringLiteral("Trip");
    EXPECT_EQ(messageSummary(&event), QStringLiteral("You named the conversation \"Trip\".\n") + kDateText);

    event.item_type = 1;
    event.handle = r.handle(1, QStringLiteral("+1555"), QStringLiteral("Ann"));
    event.otherHandle = r.handle(2, QStringLiteral("+1666"));
    EXPECT_EQ(messageSummary(&event), QStringLiteral("Ann Added +1666 to the conversation.\n") + kDateText);

    event.item_type = 3;
    EXPECT_EQ(messageSummary(&event), QStringLiteral("Ann left the conversation.\n") + kDateText);

    event.item_type = 4;
    EXPECT_EQ(messageSummary(&event), QStringLiteral("Ann started sharing location with +1666.\n") + kDateText);
    event.share_status = 1;
    event.otherHandle = nullptr;
    EXPECT_EQ(messageSummary(&event), QStringLiteral("Ann stopped sharing location with You.\n") + kDateText);

    event.item_type = 7;
    event.date = 5 * 30 * 86400 + 9 * 3600;  // 31 May 2001, a morning: month names stay English
    EXPECT_EQ(messageSummary(&event), QStringLiteral("System Information.\n31 May 2001 9:00 AM"));
}

TEST(MessageSummary, PlainTextReplacesEmoji)
{
    _MsgMessage message;
    message.text = QString(QChar(0xE415)) + QStringLiteral(" hi ") + QChar(0xD83D) + QChar(0xDE04);
    EXPECT_EQ(messagePlainText(&message), QStringLiteral("[EMOJI] hi [EMOJI]"));
}

// --- Hashes and identifiers (stored in databases: values must never change) -------------------

TEST(MessageLogicHash, GoldenValueIndependentOfAttachmentOrder)
{
    Records r;
    _MsgHandle* sender = r.handle(1, QStringLiteral("+15551234567"));
    _MsgAttachment* photo = r.attachment(5, QStringLiteral("image/jpeg"),
                                         QStringLiteral("~/Library/SMS/Attachments/0a/10/G1/IMG_0001.JPG"));
    _MsgAttachment* clip = r.attachment(9, QStringLiteral("video/quicktime"), QStringLiteral("CLIP.MOV"));
    _MsgAttachment* unnamed = r.attachment(7, QStringLiteral("image/png"));

    _MsgMessage first;
    first.handle = sender;
    first.date = 400000000;
    first.is_from_me = 1;
    first.text = QStringLiteral("Hi ") + QChar(0xFFFC) + QStringLiteral("there");
    first.attachments.insert(5, photo);
    first.attachments.insert(9, clip);
    first.attachments.insert(7, unnamed);

    _MsgMessage second = first;
    second.attachments.clear();
    second.attachments.insert(QStringLiteral("z"), clip);
    second.attachments.insert(QStringLiteral("y"), unnamed);
    second.attachments.insert(QStringLiteral("x"), photo);
    second.is_from_me = 257;  // only the low byte counts

    const QString golden = QStringLiteral("36c7f215dd1ff8d9596f29a5410f5d4f");
    EXPECT_EQ(messageLogicHash(&first), golden);
    EXPECT_EQ(messageLogicHash(&second), golden);

    _MsgMessage noSender;
    noSender.date = -5;
    noSender.text = QString::fromUtf8("é😀");
    EXPECT_EQ(messageLogicHash(&noSender), QStringLiteral("e89616f7e170b5bf07d4cff9ca730d4f"));
}

TEST(MessageLogicHash, SystemEventsHashTheirGuidOnly)
{
    Records r;
    _MsgMessage event;
    event.item_type = 3;
    event.guid = QStringLiteral("ABC-GUID");
    const QString golden = QStringLiteral("e3dc0f752f5528bd6533680f4312e2c2");
    EXPECT_EQ(messageLogicHash(&event), golden);
    event.handle = r.handle(1, QStringLiteral("+1555"));
    event.date = 12345;
    event.text = QStringLiteral("ignored");
    EXPECT_EQ(messageLogicHash(&event), golden);
}

TEST(Identifiers, ChatRoomNamesAreStable)
{
    EXPECT_EQ(makeChatRoomName(QStringLiteral("+15551234567")), QStringLiteral("chat115910240099698241"));
    EXPECT_EQ(makeChatRoomName(QStringLiteral("Ann, Bob")), QStringLiteral("chat954741589139709244"));
    EXPECT_EQ(makeChatRoomName(QString()), QStringLiteral("chat922209552194357126"));
    for (int i = 0; i < 200; ++i) {
        const QString name = makeChatRoomName(QString::number(i));
        EXPECT_EQ(name.size(), 22);
        EXPECT_EQ(name, makeChatRoomName(QString::number(i)));
    }
}

TEST(Identifiers, GuidsAreUpperCaseEightFourFourFourTwelve)
{
    EXPECT_EQ(guidFromMd5(QByteArray()), QStringLiteral("D41D8CD9-8F00-B204-E980-0998ECF8427E"));
    EXPECT_EQ(guidFromMd5(QByteArray("hello")), QStringLiteral("5D41402A-BC4B-2A76-B971-9D911017C592"));

    const QRegularExpression shape(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    QSet<QString> seen;
    for (int i = 0; i < 50; ++i) {
        const QString guid = newGuid();
        EXPECT_TRUE(shape.match(guid).hasMatch()) << guid.toStdString();
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 50);
}

TEST(Identifiers, AttributedBodyEmbedsTheGuid)
{
    const QString guid = QStringLiteral("D41D8CD9-8F00-B204-E980-0998ECF8427E");
    const QByteArray body = makeAttributedBody(guid);
    ASSERT_EQ(body.size(), 308);
    EXPECT_TRUE(body.startsWith(QByteArray::fromHex("040B73747265616D7479706564")));  // "\x04\x0Bstreamtyped"
    EXPECT_EQ(quint8(body.at(199)), 0x24);
    EXPECT_EQ(body.mid(200, 36), guid.toUtf8());
    EXPECT_TRUE(body.endsWith(QByteArray::fromHex("868686")));
    EXPECT_EQ(QCryptographicHash::hash(body, QCryptographicHash::Md5).toHex(),
              QByteArray("e2d190f3b7e81fcd1af6a82293b73111"));

    // The length byte is fixed: any other GUID length would make a corrupt archive.
    EXPECT_TRUE(makeAttributedBody(guid.left(35)).isEmpty());
    EXPECT_TRUE(makeAttributedBody(guid + QStringLiteral("0")).isEmpty());
    EXPECT_TRUE(makeAttributedBody(QString(35, QLatin1Char('A')) + QChar(0xE9)).isEmpty());  // 37 bytes
}

TEST(Identifiers, AppleTimeCountsFrom2001)
{
    EXPECT_EQ(appleTimeToDateTime(0).toUTC(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(appleTimeToDateTime(-1).toUTC(), QDateTime(QDate(2000, 12, 31), QTime(23, 59, 59), Qt::UTC));
    EXPECT_EQ(appleTimeToDateTime(2147483647).toUTC(), QDateTime(QDate(2069, 1, 19), QTime(3, 14, 7), Qt::UTC));
    // Midnight and noon are 12 on the twelve-hour clock.
    EXPECT_EQ(appleTimeText(0), QStringLiteral("01 Jan 2001 12:00 AM"));
    EXPECT_EQ(appleTimeText(12 * 3600 + 5 * 60), QStringLiteral("01 Jan 2001 12:05 PM"));
}

// --- Ordering ------------------------------------------------------------------------------------

_MsgMessage messageAt(qint64 sortKey, int date)
{
    _MsgMessage m;
    m.sortKey = sortKey;
    m.date = date;
    return m;
}

TEST(MessageOrder, NearbyMessagesKeepDatabaseOrderUnlessDatesDiffer)
{
    _MsgMessage a = messageAt(9, 1000);
    _MsgMessage b = messageAt(5, 1100);
    EXPECT_TRUE(messageLessThan(&b, &a));  // keys close, dates close: by key
    EXPECT_FALSE(messageLessThan(&a, &b));
    b.date = 1200;
    EXPECT_TRUE(messageLessThan(&a, &b));  // dates more than two minutes apart: by date
    EXPECT_FALSE(messageLessThan(&b, &a));

    _MsgMessage far = messageAt(100, 1000);
    _MsgMessage near = messageAt(5, 1000);
    EXPECT_FALSE(messageLessThan(&far, &near));
    EXPECT_FALSE(messageLessThan(&near, &far));

    // Keys at the ends of the range: no overflow, far apart, so by date.
    _MsgMessage low = messageAt(std::numeric_limits<qint64>::min() + 1, 2);
    _MsgMessage high = messageAt(std::numeric_limits<qint64>::max(), 1);
    EXPECT_TRUE(messageLessThan(&high, &low));
}

TEST(MessageOrder, CyclicMessagesSortWithoutHarm)
{
    // a < b < c < a: keys 0, 15, 30 with dates 100, 0, 50.
    _MsgMessage a = messageAt(0, 100);
    _MsgMessage b = messageAt(15, 0);
    _MsgMessage c = messageAt(30, 50);
    ASSERT_TRUE(messageLessThan(&a, &b));
    ASSERT_TRUE(messageLessThan(&b, &c));
    ASSERT_TRUE(messageLessThan(&c, &a));

    // Many such messages: the sort must end, stay in bounds and keep every message.
    std::mt19937 random(42);
    std::vector<_MsgMessage> messages;
    for (int i = 0; i < 3000; ++i)
        messages.push_back(messageAt(int(random() % 200), int(random() % 400)));
    MsgMessageList list;
    for (_MsgMessage& m : messages)
        list << &m;
    list << &a << &b << &c;
    const QSet<_MsgMessage*> before(list.begin(), list.end());
    sortMessages(list);
    EXPECT_EQ(QSet<_MsgMessage*>(list.begin(), list.end()), before);
    EXPECT_EQ(list.size(), 3003);
    sortMessages(list, true);
    EXPECT_EQ(QSet<_MsgMessage*>(list.begin(), list.end()), before);
}

TEST(MessageOrder, NewestFirstKeepsEquivalentMessagesInOrder)
{
    _MsgMessage older = messageAt(1, 100);
    _MsgMessage twinA = messageAt(50, 500);
    _MsgMessage twinB = messageAt(90, 500);  // keys far apart, same date: equivalent
    _MsgMessage newer = messageAt(2, 900);
    MsgMessageList list = {&older, &twinA, &newer, &twinB};
    sortMessages(list, true);
    EXPECT_EQ(list, (MsgMessageList{&newer, &twinA, &twinB, &older}));
    EXPECT_FALSE(messageNotLessThan(&twinA, &twinB));
    EXPECT_FALSE(messageNotLessThan(&twinB, &twinA));
}

// --- Thumbnails ----------------------------------------------------------------------------------

class ThumbnailTest : public TempHomeTest {
protected:
    QString imageFile(const QString& name, const QSize& size, const char* format)
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        const QString path = homePath(name);
        EXPECT_TRUE(image.save(path, format));
        return path;
    }

    static _MsgAttachment at(const QString& localPath)
    {
        _MsgAttachment a;
        a.localPath = localPath;
        return a;
    }
};

TEST_F(ThumbnailTest, ScalesTheLongerSideTo120InTheFormatThatReadIt)
{
    const _MsgAttachment jpeg = at(imageFile(QStringLiteral("wide.jpg"), QSize(600, 300), "JPEG"));
    const QString jpegThumb = attachmentThumbnail(&jpeg);
    ASSERT_TRUE(QFileInfo::exists(jpegThumb));
    EXPECT_TRUE(jpegThumb.endsWith(QStringLiteral(".thumb")));
    EXPECT_EQ(QImageReader::imageFormat(jpegThumb), QByteArray("jpeg"));
    EXPECT_EQ(QImage(jpegThumb).size(), QSize(120, 60));

    // A PNG under a misleading name, and a small one that is enlarged.
    const _MsgAttachment png = at(imageFile(QStringLiteral("tall.jpg"), QSize(10, 40), "PNG"));
    const QString pngThumb = attachmentThumbnail(&png);
    EXPECT_EQ(QImageReader::imageFormat(pngThumb), QByteArray("png"));
    EXPECT_EQ(QImage(pngThumb).size(), QSize(30, 120));
}

TEST_F(ThumbnailTest, LivesInAPrivateFolderAndFollowsFileChanges)
{
    const QString source = imageFile(QStringLiteral("photo.jpg"), QSize(200, 200), "JPEG");
    const _MsgAttachment attachment = at(source);
    const QString thumb = attachmentThumbnail(&attachment);
    EXPECT_EQ(QFileInfo(thumb).absolutePath(), QDir(dataDir().filePath(QStringLiteral("thumbs"))).absolutePath());
    EXPECT_EQ(QFileInfo(QFileInfo(thumb).absolutePath()).permissions() & 0x0777, QFileDevice::Permissions(0x0700));

    // Made once, then reused as it is.
    QFile marker(thumb);
    ASSERT_TRUE(marker.open(QIODevice::Append));
    marker.write("!");
    marker.close();
    const qint64 markedSize = QFileInfo(thumb).size();
    EXPECT_EQ(attachmentThumbnail(&attachment), thumb);
    EXPECT_EQ(QFileInfo(thumb).size(), markedSize);

    // Another file at the same path gets its own thumbnail.
    imageFile(QStringLiteral("photo.jpg"), QSize(300, 100), "JPEG");
    const QString changed = attachmentThumbnail(&attachment);
    EXPECT_NE(changed, thumb);
    EXPECT_EQ(QImage(changed).size(), QSize(120, 40));
}

TEST_F(ThumbnailTest, UnreadableOrHugeImagesGiveAPathWithoutFile)
{
    const QString text = homePath(QStringLiteral("notes.jpg"));
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not an image");
    file.close();
    const _MsgAttachment notImage = at(text);
    const QString path = attachmentThumbnail(&notImage);
    EXPECT_TRUE(path.endsWith(QStringLiteral(".thumb")));
    EXPECT_FALSE(QFileInfo::exists(path));

    const _MsgAttachment missing = at(homePath(QStringLiteral("gone.png")));
    EXPECT_FALSE(QFileInfo::exists(attachmentThumbnail(&missing)));
    EXPECT_FALSE(attachmentThumbnail(nullptr).isEmpty());
    // "%2" is part of a name, not a placeholder for the size (-1 when missing).
    const _MsgAttachment percent = at(homePath(QStringLiteral("x%2"))), minusOne = at(homePath(QStringLiteral("x-1")));
    EXPECT_NE(attachmentThumbnail(&percent), attachmentThumbnail(&minusOne));

    // A PNG header claiming 100000 x 100000 pixels is refused before anything is decoded.
    const QString bomb = homePath(QStringLiteral("bomb.png"));
    QFile bombFile(bomb);
    ASSERT_TRUE(bombFile.open(QIODevice::WriteOnly));
    bombFile.write(QByteArray::fromHex("89504e470d0a1a0a0000000d49484452000186a0000186a00806000000a8520bc8"
                                       "0000000049454e44ae426082"));
    bombFile.close();
    const _MsgAttachment huge = at(bomb);
    EXPECT_FALSE(QFileInfo::exists(attachmentThumbnail(&huge)));
}

}  // namespace

// Exact bytes of the text and CSV exports, quoting, and write errors reported as errors.
#include "export/sample_records.h"
#include "export/textexport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "msgdb/msgutil.h"

#include <csignal>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <sys/resource.h>

using exporttest::readFile;
using exporttest::SampleRecords;

namespace {

constexpr int kDate = 400000000;  // 2013-09-04 15:06:40 UTC

// One-to-one with Ann: a quoted, multi-line text; an emoji with CR LF; her leaving; a picture.
struct Conversation {
    SampleRecords records;
    Conversation()
    {
        _MsgHandle* ann = records.handle(1, QStringLiteral("+15551234"), QStringLiteral("Ann"));
        _MsgChat* chat = records.chat(1, QStringLiteral("+15551234"), {ann});
        records.message(1, chat, ann, kDate, QStringLiteral("Hi, \"you\"\nthere"));
        records.message(2, chat, ann, kDate + 60, QString::fromUtf8("Smile \xF0\x9F\x98\x80\r\nok"), true);
        records.message(3, chat, ann, kDate + 120, QString())->item_type = 3;
        _MsgMessage* picture = records.message(4, chat, ann, kDate + 180, QString(QChar(0xFFFC)));
        records.attachment(picture, 1, QStringLiteral("~/Library/SMS/Attachments/a/IMG_1.JPG"), QString());
    }
};

template <typename Exporter>
QByteArray exportToBytes(const MsgMessageList& messages)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out"));
    Exporter exporter(path);
    exporter.begin();
    for (_MsgMessage* message : messages)
        exporter.exportMessage(message);
    exporter.end();
    return readFile(path);
}

QByteArray padded(const char* text, int width)
{
    QByteArray bytes(text);
    return bytes + QByteArray(qMax(0, width - bytes.size()), ' ');
}

}  // namespace

TEST(TextExport, WritesHeaderAndOneLinePerMessage)
{
    Conversation c;
    const QByteArray header = padded("Date", 30) + padded("Flag", 6) + padded("Name", 40) + "Message\n";
    ASSERT_EQ(header.size(), 84);
    const QByteArray expected = header +                                                              //
        padded("4 Sep 2013 15:06:40", 30) + padded("From", 6) + padded("Ann", 40) + "Hi, \"you\" there\n" +
        padded("4 Sep 2013 15:07:40", 30) + padded("To", 6) + padded("Ann", 40) + "Smile [EMOJI] ok\n" +
        padded("4 Sep 2013 15:08:40", 30) + padded("", 6) + padded("Ann", 40) +
        "Ann left the conversation. 04 Sep 2013 3:08 PM\n" +                                              //
        padded("4 Sep 2013 15:09:40", 30) + padded("From", 6) + padded("Ann", 40) + "[IMAGE]\n";
    EXPECT_EQ(exportToBytes<ExportMessagesTxt>(c.records.messages()), expected);
}

TEST(TextExport, LongNamePushesTheTextRightAndMissingChatIsUnknown)
{
    SampleRecords records;
    _MsgChat* chat = records.chat(1, QStringLiteral("x"), {});
    chat->display_name = QString(45, QLatin1Char('N'));
    records.message(1, chat, nullptr, kDate, QStringLiteral("a"));
    records.message(2, nullptr, nullptr, kDate, QStringLiteral("b"));
    const QList<QByteArray> lines = exportToBytes<ExportMessagesTxt>(records.messages()).split('\n');
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[1].endsWith(QByteArray(45, 'N') + "a"));
    EXPECT_TRUE(lines[2].endsWith(padded("Unknown", 40) + "b"));
}

TEST(CsvExport, WritesHeaderQuotingAndParties)
{
    Conversation c;
    const QByteArray expected = "date,send,person,number,content\n"
                                "2013-09-04 15:06:40,0,Ann,+15551234,\"Hi, \"\"you\"\"\nthere\"\n"
                                "2013-09-04 15:07:40,1,Ann,+15551234,\"Smile [EMOJI]\r\nok\"\n"
                                "2013-09-04 15:08:40,0,Ann,+15551234,\"Ann left the conversation.\n"
                                "04 Sep 2013 3:08 PM\"\n"
                                "2013-09-04 15:09:40,0,Ann,+15551234,[IMAGE]\n";
    EXPECT_EQ(exportToBytes<ExportMessagesCsv>(c.records.messages()), expected);
}

TEST(CsvExport, GroupUsesIdentifierAndNoChatLeavesPartiesEmpty)
{
    SampleRecords records;
    _MsgHandle* a = records.handle(1, QStringLiteral("+1"));
    _MsgHandle* b = records.handle(2, QStringLiteral("+2"));
    _MsgChat* group = records.chat(1, QStringLiteral("chat123"), {a, b});
    records.message(1, group, a, kDate, QStringLiteral("g"));
    records.message(2, nullptr, nullptr, kDate, QStringLiteral("n"));
    records.message(3, records.chat(2, QStringLiteral("empty"), {}), nullptr, kDate, QStringLiteral("e"));
    EXPECT_EQ(exportToBytes<ExportMessagesCsv>(records.messages()),
              QByteArray("date,send,person,number,content\n"
                         "2013-09-04 15:06:40,0,chat123,chat123,g\n"
                         "2013-09-04 15:06:40,0,,,n\n"
                         "2013-09-04 15:06:40,0,,,e\n"));
}

// Lines are encoded straight into the output buffer: byte for byte what QString::toUtf8 makes of
// one- to four-byte characters and of unpaired surrogates.
TEST(CsvExport, EncodesAsToUtf8Does)
{
    const QChar high(0xD840), low(0xDC00);  // U+20000 when paired
    const QString texts[] = {
        QString::fromUtf8("a\xC3\xA9\xE2\x82\xAC\xF0\xA0\x80\x80z"), QString(high) + QLatin1Char('x'),
        QStringLiteral("x") + high, QString(low) + QLatin1Char('x'), QString(high) + high + low,
        QStringLiteral("x") + low + high};
    SampleRecords records;
    QByteArray expected = "date,send,person,number,content\n";
    for (const QString& text : texts) {
        records.message(records.messages().size() + 1, nullptr, nullptr, kDate, text);
        expected += (QStringLiteral("2013-09-04 15:06:40,0,,,") + text + QLatin1Char('\n')).toUtf8();
    }
    EXPECT_EQ(exportToBytes<ExportMessagesCsv>(records.messages()), expected);
}

// The text export prints local times without a local QDateTime; around daylight-saving changes it
// must print what one would.
TEST(TextExport, DatesMatchLocalDateTimesAcrossZoneChanges)
{
    const QByteArray oldTz = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const ShortDateTimeFormat dates;
    // 2013-03-31 and 2013-10-27, when the clocks moved, each hour by hour.
    for (const int day : {386380800, 404524800}) {
        for (int seconds = day - 7200; seconds <= day + 14400; seconds += 1799)
            EXPECT_EQ(dates.text(seconds),
                      QLocale::system().toString(appleTimeToDateTime(seconds), QLocale::ShortFormat))
                << seconds;
    }
    qputenv("TZ", oldTz);
    tzset();
}

// Dates written without QLocale must be QLocale's text in every locale, whatever its format, names,
// digits and clock.
TEST(TextExport, ShortDatesAreTheLocalesOwnText)
{
    // Other digits (ar_EG, fa_IR), AM/PM first (ko_KR, zh_TW), quoted text (bg_BG), hours and years
    // padded or not.
    const char* const locales[] = {"C",     "en_US", "de_DE", "fr_FR", "ja_JP", "ar_EG", "fa_IR",
                                   "ko_KR", "zh_TW", "bg_BG", "hi_IN", "sq_AL", "th_TH"};
    for (const char* name : locales) {
        const QLocale locale(QString::fromLatin1(name));
        const ShortDateTimeFormat dates(locale);
        EXPECT_TRUE(dates.writesItself()) << name;
        for (qint64 seconds = std::numeric_limits<int>::min(); seconds <= std::numeric_limits<int>::max();
             seconds += 86400LL * 97 + 3607 * 5) {
            ASSERT_EQ(dates.text(int(seconds)),
                      locale.toString(appleTimeToDateTime(int(seconds)), QLocale::ShortFormat))
                << name << " " << locale.dateTimeFormat(QLocale::ShortFormat).toStdString();
        }
    }
}

TEST(CsvExport, DatesAsStrftimeWritesThem)
{
    for (const int seconds : {std::numeric_limits<int>::min(), -1, 0, kDate, std::numeric_limits<int>::max()}) {
        std::tm local{};
        ASSERT_TRUE(appleLocalTime(seconds, local));
        char text[32];
        const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
        EXPECT_EQ(csvDateText(seconds), QString::fromLatin1(text, int(length))) << seconds;
    }
}

TEST(CsvExport, EscapeQuotesOnlyWhatNeedsIt)
{
    EXPECT_EQ(csvEscape(QStringLiteral("a\"b")), QStringLiteral("\"a\"\"b\""));
    EXPECT_EQ(csvEscape(QStringLiteral("a,b")), QStringLiteral("\"a,b\""));
    EXPECT_EQ(csvEscape(QStringLiteral("\r")), QStringLiteral("\"\r\""));  // a bare CR breaks rows too
    EXPECT_EQ(csvEscape(QStringLiteral("plain")), QStringLiteral("plain"));
    EXPECT_EQ(csvEscape(QString()), QString());
}

TEST(TextFileExport, TargetIsReplacedOnlyByEnd)
{
    QTemporaryDir dir;
    const QString path = exporttest::writeFile(dir.filePath(QStringLiteral("out.csv")), "old");
    SampleRecords records;
    records.message(1, nullptr, nullptr, kDate, QStringLiteral("x"));
    {
        ExportMessagesCsv abandoned(path);
        abandoned.begin();
        abandoned.exportMessage(records.messages().first());
    }  // destroyed without end(): a cancel
    EXPECT_EQ(readFile(path), QByteArray("old"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("out.csv")});
}

TEST(TextFileExport, UnwritableTargetFailsToBegin)
{
    QTemporaryDir dir;
    // A folder that cannot exist (its parent is a file) is unwritable even for root.
    const QString blocker = exporttest::writeFile(dir.filePath(QStringLiteral("file")), "x");
    ExportMessagesTxt inside(blocker + QStringLiteral("/out.txt"));
    EXPECT_THROW(inside.begin(), std::runtime_error);
    // A folder in the target's place is never replaced.
    QDir(dir.path()).mkdir(QStringLiteral("folder"));
    ExportMessagesTxt onFolder(dir.filePath(QStringLiteral("folder")));
    EXPECT_THROW(onFolder.begin(), std::runtime_error);
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
}

// A file-size limit stands in for a full disk: writes past it fail with EFBIG.
TEST(TextFileExport, FullDiskIsAnErrorAndLeavesNoFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.csv"));
    SampleRecords records;
    for (int i = 1; i <= 2000; ++i)
        records.message(i, nullptr, nullptr, kDate, QString(100, QLatin1Char('x')));

    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = old;
    tiny.rlim_cur = 16 * 1024;
    setrlimit(RLIMIT_FSIZE, &tiny);
    bool threw = false;
    try {
        ExportMessagesCsv exporter(path);
        exporter.begin();
        for (_MsgMessage* message : records.messages())
            exporter.exportMessage(message);
        exporter.end();
    } catch (const std::runtime_error&) {
        threw = true;
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

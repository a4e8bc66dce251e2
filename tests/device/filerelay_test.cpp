// Service messages with a peer the test plays by hand, and the file-relay job with the simulated device.
#include "core/datadir.h"
#include "device/filerelay.h"
#include "device/iosloadfilerelaythread.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"
#include "devicesim/simcontrol.h"
#include "msgdb/attachmentpath.h"
#include "fixtures/message_history.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/sqlite_file.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <future>

namespace {

using FramingTest = devicesim::SimulatorTest;  // CFType needs the loaded libraries

TEST_F(FramingTest, MessagesArriveWholeAndShortOverlongOrGonePeersFailWithTheirTexts)
{
    const auto xml = [](const CFType& value) { return QString::fromUtf8(value.toPlistData(kCFPropertyListXMLFormat_v1_0)); };
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    CFType big = CFType::dictionary();
    big.setValue(CFType(QStringLiteral("Data")), CFType(QByteArray(3 << 20, 'x')));  // more than one send takes
    for (bool binary : {false, true}) {
        auto received = std::async(std::launch::async, [&] { return mobiledevice_recmsg(ends[1], CFType(), 5000); });
        mobiledevice_sendmsg(ends[0], big, binary, 5000);
        EXPECT_EQ(xml(received.get()), xml(big));
    }
    mobiledevice_sendmsg(ends[0], CFType(), false, 5000);  // nothing a property list holds: nothing sent
    EXPECT_EQ(Socket::waitReady(ends[1], 1, true), 0);

    const CFType request(QString(2000, QLatin1Char('r')));
    const QString cut = QLatin1Char('\n') + xml(request).left(800);
    const std::pair<QByteArray, QString> cases[] = {  // what the peer sends before it goes; what that gives
        {QByteArray("\0\0\0\0", 4), QString()},         // a null message
        {QByteArray("\0\0", 2), "mobiledevice_recmsg(msg-length) error, received length: 2." + cut},
        {QByteArray("\0\0\0\x10" "abc", 7), "mobiledevice_recmsg(msg) error, received length: 3." + cut},
        {QByteArray("\x04\0\0\x01" "abc", 7), "mobiledevice_recmsg(msg) error, received length: 0." + cut},  // > 64 MiB
        {QByteArray("\xff\xff\xff\xff" "abc", 7), "mobiledevice_recmsg(msg) error, received length: 0." + cut}};
    for (const auto& [sent, outcome] : cases) {
        Socket::close(ends[0]), Socket::close(ends[1]);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ASSERT_EQ(::write(ends[1], sent.constData(), size_t(sent.size())), sent.size());
        Socket::close(std::exchange(ends[1], -1));
        try {
            EXPECT_TRUE(mobiledevice_recmsg(ends[0], request, 5000).isNull() && outcome.isEmpty());
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(QString::fromUtf8(error.what()), outcome);
        }
        // A peer that has gone: an error, not the signal that would end the process.
        EXPECT_THROW(mobiledevice_sendmsg(ends[0], request, false, 5000), std::runtime_error);
    }
    Socket::close(ends[0]);
}

// The bytes of an SQLite file made by script (by default a phone's empty message database).
QByteArray sqliteBytes(const QString& script = fixtures::ios6DeviceSchema())
{
    const QString path = dataDir().absoluteFilePath(QStringLiteral("made.db"));
    fixtures::createSqliteFile(path, script);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class FileRelayTest : public devicesim::SimulatorTest {
protected:
    // Serves entries (pausing pauseMs per 64 KiB) and runs the job to its end, reporting into sink.
    // A cut of n sends the archive's first n bytes only.
    void load(const QList<fixtures::ArchiveEntry>& entries, int cancelAfterUpdates = -1, int pauseMs = 0, int cut = -1)
    {
        device.udid = QStringLiteral("0123456789abcdef");
        device.amDevice = devicesim::plug(device.udid);
        devicesim::setFileRelay(device.udid, QStringLiteral("acknowledged"), fixtures::makeArchive(entries).left(cut < 0 ? INT_MAX : cut), pauseMs);
        sink = std::make_unique<fixtures::RecordingProgressSink>(cancelAfterUpdates);
        IOSLoadFileRelayThread job(&device, sink.get());
        job.setSilenceTimeoutMs(silenceMs);
        job.start();
        job.wait();
    }
    QString cached(const char* relative) { return device.cacheDir().absoluteFilePath(QLatin1String(relative)); }
    QByteArray smsDb()
    {
        QFile file(cached("file-relay/var/mobile/Library/SMS/sms.db"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    IOSDevice device;
    std::unique_ptr<fixtures::RecordingProgressSink> sink;
    int silenceMs = 60000;
};

TEST_F(FileRelayTest, UnpacksOnlyFoldersAndFilesInsideItsTreeAndReplacesTheWholeTree)
{
    const QString outside = dataDir().absoluteFilePath(QStringLiteral("outside"));
    const QString longName = QString(70, QChar(0x6587)) + ".jpg";  // 214 bytes, kept where the reader looks
    QList<fixtures::ArchiveEntry> entries = {{"../outside", S_IFREG, "x"}, {outside, S_IFREG, "x"}, {"./var/../../outside", S_IFREG, "x"},
                                             {"./var/link", S_IFLNK, "/etc/passwd"}, {"./var/dev", S_IFCHR, {}}};
    const QByteArray first = sqliteBytes();
    entries += fixtures::deviceDbEntries(first);
    const fixtures::ArchiveEntry smsDbEntry = entries.takeLast();
    entries += {{"./var/mobile/Library/SMS/Attachments/", S_IFDIR, {}},
                {"./var/mobile/Library/SMS/Attachments/a<b/", S_IFDIR, {}},
                {"./var/mobile/Library/SMS/Attachments/a<b/" + longName, S_IFREG, "long"}, smsDbEntry,
                {"./var/mobile/Library/SMS/Parts/04/01/33-2.jpg/", S_IFDIR, {}},  // where the reader writes a part
                {"./var/mobile/Library/SMS/Parts/04/01/33-2.jpg/child.jpg", S_IFREG, "x"}};
    load(entries);
    ASSERT_EQ(sink->successes(), QStringList{QString()}) << sink->errors().join('\n').toStdString();
    EXPECT_EQ(sink->updates().back().text, QStringLiteral("Extracted: %1KB / %1KB").arg(FileRelay::kilobytes(first.size())));
    const CFType request = MobileDevice::copyValues(device.amDevice, {"Request"}, "com.apple.mobile.file_relay").value(0);
    EXPECT_TRUE(request.toString().contains(QLatin1String("<key>Sources</key>\n\t<array>\n\t\t<string>UserDatabases</string>")));
    EXPECT_EQ(smsDb(), first);
    QFile attachment(attachmentLocalPath(QDir(cached("file-relay")), "~/Library/SMS/Attachments/a<b/" + longName));
    EXPECT_TRUE(attachment.open(QIODevice::ReadOnly) && attachment.readAll() == "long");
    for (const QString& absent : {outside, cached("outside"), cached("file-relay/var/link"), cached("file-relay/var/dev"),
                                  cached("file-relay.cpio"), cached("file-relay/var/mobile/Library/SMS/Parts/04/01/33-2.jpg")})
        EXPECT_FALSE(QFileInfo(absent).exists() || QFileInfo(absent).isSymLink()) << absent.toStdString();

    QFile stale(cached("file-relay/var/mobile/Library/SMS/sms.db-wal"));  // no journal outlives its database
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    const QByteArray newer = sqliteBytes(fixtures::ios6DeviceSchema() + QStringLiteral(";pragma user_version=2;"));
    load(fixtures::deviceDbEntries(newer));
    EXPECT_EQ(smsDb(), newer);
    EXPECT_FALSE(stale.exists());

    QByteArray noise(3 << 20, Qt::Uninitialized);  // incompressible, sent slowly: the stream goes on
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    for (const int cut : {1 << 20, 200, 3, 0}) {  // in a file's data, in a header, before the first one, nothing
        load(fixtures::deviceDbEntries(noise), -1, 0, cut);
        EXPECT_TRUE(sink->successes().isEmpty() && sink->errors().size() == 1) << cut;
        EXPECT_EQ(smsDb(), newer);
    }
    load(fixtures::deviceDbEntries(noise), 2, 20);  // cancelled after the status and the first block
    EXPECT_EQ(sink->finalReports(), 0);
    EXPECT_EQ(sink->updates().size(), 2u);
    EXPECT_EQ(smsDb(), newer);  // the previous tree stays whole
    EXPECT_TRUE(QFileInfo::exists(cached("file-relay.cpio")));
    EXPECT_FALSE(QFileInfo::exists(cached("file-relay.new")));

    // Silent after the first 64 KiB, which leave the block part-filled: given up after one silence (two
    // would take 4 s; the rest of the margin is for a loaded or sanitized run).
    silenceMs = 2000;
    QElapsedTimer waited;
    waited.start();
    load(fixtures::deviceDbEntries(noise), -1, 6000);
    EXPECT_LT(waited.elapsed(), 3500);
    EXPECT_EQ(sink->errors().size(), 1);
}

// Whole archives whose database the reading refuses: random bytes, empty, no message tables, a folder, none.
TEST_F(FileRelayTest, AMessageDatabaseTheReadingRefusesKeepsTheLastGoodTree)
{
    const QByteArray good = sqliteBytes();
    load(fixtures::deviceDbEntries(good));
    QList<fixtures::ArchiveEntry> folder = fixtures::deviceDbEntries({});
    folder.last().type = S_IFDIR;
    const QString notADb = QStringLiteral("This file is not a message database.");
    const QString cannotOpen = "cannot open " + cached("file-relay.new/file-relay/var/mobile/Library/SMS/sms.db");
    const QPair<QList<fixtures::ArchiveEntry>, QString> cases[] = {
        {fixtures::deviceDbEntries(QByteArray(4096, '\xa7')), notADb}, {fixtures::deviceDbEntries({}), notADb},
        {fixtures::deviceDbEntries(sqliteBytes("create table t(x)")), notADb}, {folder, cannotOpen}, {folder.mid(0, 4), cannotOpen}};
    for (const auto& [entries, error] : cases) {
        load(entries);
        EXPECT_TRUE(sink->successes().isEmpty() && sink->errors().value(0).startsWith(error)) << sink->errors().value(0).toStdString();
        EXPECT_EQ(smsDb(), good);
    }
}

}  // namespace

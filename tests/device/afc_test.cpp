// The AFC client: replies played by hand, then files and folders on the simulated device.
#include "device/afcclient.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"
#include "devicesim/simcontrol.h"

#include <QRandomGenerator>
#include <QtEndian>
#include <gtest/gtest.h>

#include <sys/socket.h>

namespace {

QByteArray le64(quint64 value)
{
    QByteArray bytes(8, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// A reply whose header announces entire bytes (by default its true size).
QByteArray reply(quint64 operation, const QByteArray& payload, quint64 entire = 0)
{
    return "CFA6LPAA" + le64(entire ? entire : 40 + payload.size()) + le64(40) + le64(1) + le64(operation) + payload;
}

TEST(AfcPacket, RepliesAreReadByTheirAnnouncedLengthWithinTheCap)
{
    const struct {
        QByteArray sent;  // then the peer goes quiet, without closing
        bool withStatus;
        QByteArray payload;
        QString error;
        int read = 0;  // through a file read of this many bytes, into 8 bytes "........"
    } cases[] = {
        {reply(Afc::Data, "abc"), false, "abc", {}},
        {reply(Afc::Data, "", 12) + "xy", false, "", {}},  // 40 or less: no payload
        {reply(Afc::Status, le64(0)), false, le64(0), {}},
        {reply(Afc::Status, le64(2)), true, le64(2), {}},
        {reply(Afc::Status, le64(2)), false, {}, "read AFC failed, received AFC_OP_STATUS, param1=2."},
        {reply(Afc::Status, "\1\0\0"), true, {}, "read AFC failed, AFC_OP_STATUS without a status code."},
        {reply(5, le64(7)), false, {}, "read AFC failed, Unknown operation code received 5, param1=7."},
        {reply(Afc::Data, "", 0x7fffffff), false, {}, "read AFC failed, announced length 2147483647 is too long."},
        {reply(Afc::Data, "stopped", 60), false, {}, "read AFC file block data failed."},
        {"CFA6LPAA", false, {}, "read AFC header failed."},
        {reply(Afc::Data, "0123456789"), false, "0123....", {}, 4},  // more than asked: dropped
        {reply(Afc::Status, le64(0)), false, "........", {}, 4},  // a status carries no data
    };
    for (const auto& c : cases) {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ASSERT_EQ(::write(ends[1], c.sent.constData(), size_t(c.sent.size())), c.sent.size());
        if (!c.error.contains(QLatin1String("too long")))
            ::shutdown(ends[1], SHUT_WR);  // a short packet ends; an over-long one must not be waited for
        AfcPacketHeader header;
        quint32 status = 99;
        QByteArray buffer(8, '.');
        try {
            if (c.read) {
                EXPECT_EQ(AfcRequest::fileRead(ends[0], 1, buffer.data(), c.read), 8 - c.payload.count('.'));
            }
            EXPECT_EQ(c.read ? buffer : AfcPacket::receive(ends[0], header, c.withStatus ? &status : nullptr), c.payload);
            EXPECT_EQ(status, c.withStatus ? 2u : 99u);
            EXPECT_TRUE(c.error.isEmpty());
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(QString::fromUtf8(error.what()), c.error);
        }
        Socket::close(ends[0]), Socket::close(ends[1]);
    }
}

using AfcTest = devicesim::SimulatorTest;

TEST_F(AfcTest, FilesAndFoldersRoundTripInTheMediaAreaAndInAnApplicationsContainer)
{
    const QString udid = QStringLiteral("afc-1");
    void* device = devicesim::plug(udid);
    const QVariantMap files{{"/Documents", "S_IFDIR"}, {"/Documents/link", "S_IFLNK"}, {"/Documents/..\\x", QByteArray("x")}};
    devicesim::setDomain(udid, "com.apple.afc", {{"Files", files}});
    devicesim::setDomain(udid, "com.apple.mobile.house_arrest", {{"com.example.app", QVariantMap{{"Files", files}}}});
    QByteArray content(70000, Qt::Uninitialized);
    QRandomGenerator(3).fillRange(reinterpret_cast<quint32*>(content.data()), content.size() / 4);
    for (const QString& application : {QString(), QStringLiteral("com.example.app")}) {
        SCOPED_TRACE(application.toStdString());
        AfcClient client(device);
        client.connect(application);
        EXPECT_TRUE(client.makeDir("/Documents/new"));
        EXPECT_FALSE(client.makeDir("/missing/new"));
        AfcFile file;
        ASSERT_TRUE(client.openWrite("/Documents/a.bin", file));
        EXPECT_EQ(file.write(content.constData(), content.size()), 70000);
        ASSERT_TRUE(client.openRead("/Documents/a.bin", file));
        QByteArray back(100000, '\0');
        EXPECT_EQ(file.read(back.data(), back.size()), 70000);  // the file ends first
        EXPECT_EQ(back.left(70000), content);
        QStringList listed;
        for (const AfcFileInfo& entry : client.entries("/Documents"))  // neither the link nor "..\x"
            listed << entry.path + ' ' + QString::number(entry.size) + ' ' + entry.mtime.toString(Qt::ISODate);
        listed.sort();
        EXPECT_EQ(listed.join('|').toStdString(), "/Documents/a.bin 70000 2001-09-09T01:46:40Z|/Documents/new 0 2001-09-09T01:46:40Z");
        EXPECT_TRUE(client.rename("/Documents/a.bin", "/Documents/b.bin"));
        EXPECT_FALSE(client.fileInfo("/Documents/a.bin").exists());
        EXPECT_TRUE(client.fileInfo("/Documents/b.bin").isFile());
        EXPECT_TRUE(client.removePath("/Documents/b.bin"));
        EXPECT_FALSE(client.removePath("/Documents/b.bin"));
        client.close();
        EXPECT_EQ(file.read(back.data(), 1), -1);  // its connection is gone
        const CFType domain = MobileDevice::copyValues(device, {application}, application.isEmpty() ? "com.apple.afc"
                                                                                                  : "com.apple.mobile.house_arrest").value(0);
        QStringList requests;
        for (CFIndex i = 0; i < domain.value("Requests").size(); ++i)
            requests << domain.value("Requests").valueAt(i).toString();
        EXPECT_EQ(requests.join(' ').toStdString(), "16:32768 16:32768 16:4464 15:65536 15:34464 15:30000");
    }
    AfcClient unknown(device);
    EXPECT_FALSE(unknown.makeDir("/Documents/x"));  // not connected: refused at once, no wait on the socket
    try {
        unknown.connect("com.unknown.app");
        ADD_FAILURE() << "an unknown application was vended";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()), "can not find com.unknown.app.");
    }
}

}  // namespace

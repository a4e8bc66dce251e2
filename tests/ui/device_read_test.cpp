// Reading a plugged device into the tree, with the simulated device library.
#include "command_test_support.h"

#include "devicesim/simcontrol.h"
#include "flows/deviceflows.h"
#include "msgdb/country.h"
#include "msgdb/messagedbfolder.h"
#include "fixtures/sample_backups.h"
#include "ui/countryselform.h"
#include "ui/progressform.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

using namespace command_tests;
using fixtures::DeviceLayout;

// Plugs the device and lets window read it; the device's last node, or null.
_IOSDeviceItemNode* plug(MainWindow& window, const char* udid, const char* version, const char* country,
                         DeviceLayout layout = DeviceLayout::IOS6, const char* status = "Acknowledged", int pauseMs = 0)
{
    devicesim::plugDeviceWithMessages(udid, version, country, layout, status, pauseMs);
    QCoreApplication::processEvents();  // the arrival, then the selection it asked for
    QCoreApplication::processEvents();
    const auto& nodes = window.mainModel()->deviceRoot()->children;
    const bool added = !nodes.empty() && nodes.back()->name == QString(udid).toUpper();
    return added ? static_cast<_IOSDeviceItemNode*>(nodes.back().get()) : nullptr;
}

TEST_F(CommandTest, APluggedDeviceIsReadInItsCountryOrRefusedWithTheReason)
{
    ASSERT_TRUE(devicesim::loadSimulator());
    MainWindow window;
    window.setStartupFinished(true);
    const auto escape = [](QDialog& d) { d.setResult(-1), d.reject(); return d.result(); };
    const struct {
        const char* udid;
        const char* version;
        DeviceLayout layout;
        const char* country;
        int chooser;  // its result: 1 the first country chosen, -1 Escape (ignored), 0 not shown
        const char* lastBox;
    } cases[] = {{"known", "7.1.2", DeviceLayout::IOS6, "310", 0, "passcode"},
                 {"none", "5.1.1", DeviceLayout::IOS5, "", -1, "Failed to load country code"},
                 {"unknown", "", DeviceLayout::IOS6, "999", 1, "Confirm to select Afghanistan (+93)?"}};
    for (const auto& c : cases) {
        if (c.chooser > 0) {
            script.answerBox(QMessageBox::Ok);
            script.answerBox(QMessageBox::Yes);
            script.answerDialog([](QDialog& d) { d.findChild<QListWidget*>("ltCountries")->setCurrentRow(0), d.accept(); return d.result(); });
        } else if (c.chooser < 0) {
            script.answerDialog(escape);
        }
        script.clear();
        _IOSDeviceItemNode* node = plug(window, c.udid, c.version, c.country, c.layout);
        ASSERT_NE(node, nullptr) << c.udid;
        EXPECT_EQ(currentNode(window), node);
        EXPECT_EQ(node->db.dynamicCast<AbsIOSMessageDb>()->iosVersion(), c.layout == DeviceLayout::IOS5 ? 5 : 6);
        EXPECT_EQ(node->device.countryCode, QLatin1String(c.chooser > 0 ? "412" : c.country));
        EXPECT_EQ(script.boxes().size(), c.chooser ? 2u : 1u);
        EXPECT_TRUE(script.boxes().front().text.contains("passcode") && script.boxes().back().text.contains(c.lastBox));
        EXPECT_EQ(script.dialogs().empty() ? 0 : script.dialogs().front().result, c.chooser);
        _MsgStore copied;
        openMessageDbFolder(node->device.cacheDir())->messages(copied, 0);
        EXPECT_EQ(node->children.size(), size_t(copied.chatSessions().size()));
        EXPECT_EQ(window.smsModel()->messages().size(), copied.messageList().size());
    }
    // Plugged again: the first node's connection is closed before the device's files are replaced.
    auto* first = static_cast<_IOSDeviceItemNode*>(window.mainModel()->deviceRoot()->children.front().get());
    ASSERT_TRUE(first->db->isOpen());
    EXPECT_NE(plug(window, "known", "7.1.2", "310"), nullptr);
    EXPECT_FALSE(first->db->isOpen());

    // Unplugged while it is read (its removal handled while the user picks its country): no node after it.
    void* const gone = devicesim::addDevice("gone");
    script.answerDialog([&](QDialog& d) {
        QMetaObject::invokeMethod(&window, "iosDeviceDisconnected", Q_ARG(void*, gone));
        return d.reject(), d.result();
    });
    EXPECT_EQ(plug(window, "gone", "7.1.2", "999"), nullptr);

    // Plugged again while its file relay is read: read again once that read is over, never beside it.
    bool replugged = false;
    int mostForms = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!replugged && devicesim::takeCallLog().contains("AMDeviceStartService"))  // once its file relay sends
            replugged = devicesim::unplug("replug") && devicesim::plug("replug");
        if (replugged)
            mostForms = std::max(mostForms, int(window.findChildren<ProgressForm*>().size()));
    });
    devicesim::takeCallLog();
    watch.start(10);
    script.clear();
    EXPECT_NE(plug(window, "replug", "7.1.2", "310", DeviceLayout::IOS6, "Acknowledged", 300), nullptr);
    EXPECT_EQ(mostForms, 1);
    EXPECT_EQ(script.boxes().size(), 2u) << qPrintable(script.boxes().back().text);  // the passcode note of each read
    watch.stop();

    // No node, and the reason, for a device that cannot be read.
    qputenv("TALLOWMERE_BACKUP_TOOL", homePath(QStringLiteral("no-tool")).toUtf8());
    const char* const refused[][4] = {{"ten", "10.3", "Acknowledged", "This iPhone has iOS 10.3. Messages cannot"},  // before any backup
                                    {"cloud", "8.0", "Acknowledged", "Please turn off iCloud backup on your iPhone"},
                                    {"encrypted", "4.3.5", "Acknowledged", "can not start AppleMobileBackup process."},
                                    {"denied", "7.1.2", "Denied", "invalid feedback.<br/>&lt;?xml"},
                                    {"../evil", "7.1.2", "Acknowledged", "Invalid device identifier: ../evil"}};
    for (const auto& [udid, version, status, says] : refused) {
        devicesim::addDevice(udid);
        devicesim::setDomain(udid, "com.apple.mobile.backup", {{"CloudBackupEnabled", *udid == 'c'}, {"WillEncrypt", true}});
        script.clear();
        EXPECT_EQ(plug(window, udid, version, "310", DeviceLayout::IOS6, status), nullptr);
        ASSERT_EQ(script.boxes().size(), 2u) << udid;
        EXPECT_TRUE(script.boxes().back().text.contains(says)) << script.boxes().back().text.toStdString();
        EXPECT_TRUE(*udid != 't' || !(QFileInfo::exists(dataFolderPath(DataFolder::TempBackups))
                                      || QFileInfo::exists(dataFolderPath(DataFolder::DeviceCache) + "/ten")));
    }

    // Lost while its identity is read (gone at once, gone after its name, its session dropped after the
    // country): one message, no prompt, no other road, no folder.
    for (const auto& [readsFirst, country] : {std::pair(0, ""), {2, ""}, {3, "310"}}) {
        devicesim::failAfter("AMDeviceReadValue", readsFirst, -8);
        script.clear();
        EXPECT_EQ(plug(window, "lost", "12.4", country), nullptr);
        devicesim::fail("AMDeviceReadValue", 0);
        ASSERT_EQ(script.boxes().size(), 2u) << readsFirst;
        EXPECT_TRUE(script.boxes().back().text.contains(deviceDisconnectedText())) << qPrintable(script.boxes().back().text);
        EXPECT_TRUE(script.dialogs().empty());
        EXPECT_FALSE(QFileInfo::exists(dataFolderPath(DataFolder::DeviceCache) + "/lost"));
    }
    EXPECT_FALSE(QFileInfo::exists(dataDir().absoluteFilePath(QStringLiteral("evil"))));

    // A country library that cannot be read: the chooser, with nothing to choose from, can be left.
    QFile library(CountryLibDb::dataFilePath());
    ASSERT_TRUE(library.open(QIODevice::WriteOnly) && library.write("junk") == 4);
    library.close();
    script.answerDialog(escape);
    EXPECT_EQ(plug(window, "nolibrary", "7.1.2", ""), nullptr);
    EXPECT_EQ(script.dialogs().at(0).result, int(QDialog::Rejected));
}

// The backup route and the way back to a device, with the fake backup tool in place of idevicebackup2.
class DeviceBackupTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        makeVirtualDevice(QStringLiteral("virtual"));  // a folder: never offered to be written to
        ASSERT_TRUE(devicesim::loadSimulator());       // before the window subscribes
        window = std::make_unique<MainWindow>();
        window->setStartupFinished(true);
    }
    std::unique_ptr<MainWindow> window;
};

TEST_F(DeviceBackupTest, AnIOS8DeviceIsReadFromItsBackupOrLeavesNoneBehind)
{
    const char* const cases[][3] = {{"plain", "", nullptr}, {"locked", "encrypted", nullptr},
                                    {"said", "error", "Error Code -4 &lt;MBErrorDomain&gt;<br/><br/>Note: You can restart"},
                                    {"gone", "exit255", "No device found with udid gone.<br/>error: exit code 255"},
                                    {"crashed", "crash", "error: the backup tool crashed"},
                                    {"partial", "state=new", "the backup did not finish"},
                                    {"newer", "ios10", "made by iOS 10 or later"}};
    for (const auto& [udid, orders, says] : cases) {
        script.clear();
        script.answerDialog([](QDialog& dialog) {  // the backup's password, when it has one
            dialog.findChild<QLineEdit*>(QStringLiteral("txtPasscode"))->setText(QStringLiteral("secret"));
            return QMetaObject::invokeMethod(&dialog, "btnOKPressed"), dialog.result();
        });
        devicesim::useFakeBackupTool(orders, homePath("record"));
        _IOSDeviceItemNode* node = plug(*window, udid, "8.4", "310");
        EXPECT_EQ(script.boxes().size(), says ? 2u : 1u) << udid;  // after the passcode note
        EXPECT_TRUE(!says || script.boxes().back().text.contains(says)) << qPrintable(script.boxes().back().text);
        EXPECT_EQ(script.dialogs().size(), QByteArray(orders) == "encrypted" ? 1u : 0u);
        EXPECT_EQ(QDir(dataFolderPath(DataFolder::TempBackups)).exists(udid), !says || QByteArray(orders) == "ios10");
        ASSERT_EQ(node != nullptr, !says) << udid;
        EXPECT_EQ(window->smsModel()->messages().size(), fixtures::SampleBackupOptions().history.messages);  // the newest node
    }
}

TEST_F(DeviceBackupTest, MessagesGoToAConnectedDeviceThroughItsBackupOnceTheUserAgreed)
{
    devicesim::useFakeBackupTool(QString(), homePath("record"));
    _IOSDeviceItemNode* node = plug(*window, "write8", "8.4", "310");
    ASSERT_NE(node, nullptr);
    for (const auto& [type, answers] : {std::pair("iPad3,1", std::vector{QMessageBox::Yes, QMessageBox::Yes}),
                                        {"iPhone5,2", {QMessageBox::No}}}) {  // the iPad question, then Find My iPhone
        node->device.productType = QLatin1String(type);
        select(*window, node);
        script.answerDialog(QDialog::Accepted);  // the one connected device, preselected
        for (QMessageBox::StandardButton answer : answers)
            script.answerBox(answer);
        QFile::remove(homePath("record"));
        invoke(*window, "miI2IAll");
        QFile record(homePath("record"));
        EXPECT_EQ(record.open(QIODevice::ReadOnly) && record.readAll().contains("-u\nwrite8\n--restore\n--target\nwrite8\n--root\n"
                  + dataFolderPath(DataFolder::TempBackups).toUtf8() + "\n--source\nwrite8\nexisting=yes"), answers.size() == 2);
    }
    EXPECT_EQ(script.boxTexts(QMessageBox::Question).size(), 3);
    EXPECT_EQ(script.boxTexts(QMessageBox::Information).join(' ').count("Successfully recovered"), 1);
}

}  // namespace

// Reading a plugged device into the tree, with the simulated device library.
#include "command_test_support.h"

#include "device/iosmobilebackupthread.h"
#include "devicesim/simcontrol.h"
#include "msgdb/country.h"
#include "msgdb/messagedbfolder.h"
#include "fixtures/sample_backups.h"
#include "ui/countryselform.h"
#include "ui/progressform.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

using namespace command_tests;
using fixtures::DeviceLayout;

// Plugs the device and lets window read it; the device's last node, or null.
_IOSDeviceItemNode* plug(MainWindow& window, const char* udid, const char* version, const char* country,
                         DeviceLayout layout = DeviceLayout::IOS6, const char* status = "Acknowledged")
{
    devicesim::plugDeviceWithMessages(udid, version, country, layout, status);
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

    // No node, and the reason, for a device that cannot be read.
    qputenv("TALLOWMERE_BACKUP_TOOL", homePath(QStringLiteral("no-tool")).toUtf8());
    const char* const refused[][4] = {{"cloud", "8.0", "Acknowledged", "Please turn off iCloud backup on your iPhone"},
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

// The backup route, with the fake backup tool in place of idevicebackup2.
class DeviceBackupTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        ASSERT_TRUE(devicesim::loadSimulator());  // before the window subscribes
        windowHolder = std::make_unique<MainWindow>();
        windowHolder->setStartupFinished(true);
    }
    static QString backupOf(const char* udid) { return dataFolderPath(DataFolder::TempBackups) + '/' + udid; }
    void useTool(const devicesim::FakeBackupTool& tool) { devicesim::useFakeBackupTool(tool, homePath("record.txt")); }

    std::unique_ptr<MainWindow> windowHolder;
    MainWindow& window() { return *windowHolder; }
};

TEST_F(DeviceBackupTest, AnIOS8DeviceIsReadFromItsBackupPlainOrEncryptedWithItsPassword)
{
    for (const bool encrypted : {false, true}) {
        const char* udid = encrypted ? "locked8" : "plain8";
        useTool({"ok", "8.4", encrypted});
        script.clear();
        if (encrypted) {
            script.answerDialog([](QDialog& dialog) {
                dialog.findChild<QLineEdit*>(QStringLiteral("txtPasscode"))->setText(QStringLiteral("secret"));
                QMetaObject::invokeMethod(&dialog, "btnOKPressed");
                return dialog.result();
            });
        }
        _IOSDeviceItemNode* node = plug(window(), udid, "8.4", "310");
        ASSERT_NE(node, nullptr) << udid;
        EXPECT_EQ(script.boxes().size(), 1u);  // the passcode note alone
        EXPECT_EQ(script.dialogs().size(), encrypted ? 1u : 0u);
        _MsgStore copied;
        openMessageDbFolder(node->device.cacheDir())->messages(copied, 0);
        EXPECT_EQ(copied.messageList().size(), fixtures::SampleBackupOptions().history.messages);
        EXPECT_EQ(node->children.size(), size_t(copied.chatSessions().size()));
        EXPECT_TRUE(isReusableBackup(QDir(backupOf(udid)), "8.4"));  // kept for the next, shorter backup
    }
}

TEST_F(DeviceBackupTest, AFailedOrCancelledBackupAddsNoNodeAndLeavesNoBackup)
{
    const std::pair<devicesim::FakeBackupTool, const char*> cases[] = {
        {{"error"}, "Error Code -4 &lt;MBErrorDomain&gt;"},
        {{"exit255"}, "No device found with udid failed8.<br/>error: exit code 255"},
        {{"crash"}, "error: the backup tool crashed"},
        {{"ok", "10.2", false, "finished", "ios10"}, "made by iOS 10 or later"},
        {{"hang"}, nullptr}};  // cancelled once it has begun
    for (const auto& [tool, says] : cases) {
        useTool(tool);
        script.clear();
        QTimer cancel;
        QObject::connect(&cancel, &QTimer::timeout, [&] {
            if (!QFileInfo::exists(backupOf("failed8") + "/Status.plist"))
                return;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* form = qobject_cast<ProgressForm*>(widget))
                    form->cancel();
            }
        });
        if (!says)
            cancel.start(50);
        EXPECT_EQ(plug(window(), "failed8", "8.4", "310"), nullptr) << tool.mode;
        ASSERT_EQ(script.boxes().size(), says ? 2u : 1u) << tool.mode;
        EXPECT_TRUE(!says || script.boxes().back().text.contains(says)) << qPrintable(script.boxes().back().text);
        EXPECT_EQ(QFileInfo::exists(backupOf("failed8")), *tool.layout != 0) << tool.mode;
    }
}

TEST_F(DeviceBackupTest, MessagesGoToAConnectedDeviceThroughItsBackupOnceTheUserAgreed)
{
    windowHolder.reset();
    makeVirtualDevice(QStringLiteral("virtual"));  // a folder: never offered, or nothing would be preselected
    windowHolder = std::make_unique<MainWindow>();
    window().setStartupFinished(true);
    useTool({});
    _IOSDeviceItemNode* node = plug(window(), "write8", "8.4", "310");
    ASSERT_NE(node, nullptr);
    const struct {
        const char* productType;
        std::vector<QMessageBox::StandardButton> answers;
        bool restored;
    } cases[] = {{"iPad3,1", {QMessageBox::No}, false},
                 {"iPad3,1", {QMessageBox::Yes, QMessageBox::Yes}, true},
                 {"iPhone5,2", {QMessageBox::Yes}, true},
                 {"iPhone5,2", {QMessageBox::No}, false}};
    for (const auto& c : cases) {
        node->device.productType = QLatin1String(c.productType);
        select(window(), node);
        script.clear();
        script.answerDialog(QDialog::Accepted);  // the only connected device, preselected
        for (QMessageBox::StandardButton answer : c.answers)
            script.answerBox(answer);
        QFile::remove(homePath("record.txt"));
        invoke(window(), "miI2IAll");
        ASSERT_EQ(script.dialogs().size(), 1u);
        EXPECT_EQ(script.boxTexts(QMessageBox::Question).size(), int(c.answers.size()));
        QFile record(homePath("record.txt"));
        const QString tool = record.open(QIODevice::ReadOnly) ? QString::fromUtf8(record.readAll()) : QString();
        EXPECT_EQ(tool.contains("--restore"), c.restored) << c.productType;
        EXPECT_EQ(script.boxTexts(QMessageBox::Information).join(' ').contains("Successfully recovered"), c.restored);
    }
    EXPECT_EQ(script.boxTexts(QMessageBox::Question).back().count("<p>"), 5);  // three notes and the link
}

}  // namespace

#include "app/startup.h"

#include "app/loghandler.h"
#include "core/datadir.h"
#include "device/devicelibraries.h"
#include "export/updatelocaldbthread.h"
#include "platform/allocator.h"
#include "platform/sqlite3db.h"
#include "platform/webhost.h"
#include "ui/interaction.h"
#include "ui/jobrunner.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/progressform.h"

#include <QApplication>
#include <QDir>
#include <QTimer>
#include <QTranslator>

#include <csignal>
#include <memory>

namespace {

constexpr int kExpectedSqliteVersion = 5;
constexpr int kKeptLogFiles = 10;

// Answers every box with its most cautious button and logs it; nothing is shown.
class AutoAnswerInteraction : public Interaction {
public:
    int messageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons) override
    {
        qWarning("message box (%d): %s", static_cast<int>(icon), qUtf8Printable(text));
        for (const QMessageBox::StandardButton button : {QMessageBox::Ok, QMessageBox::Cancel, QMessageBox::No}) {
            if (buttons.testFlag(button))
                return button;
        }
        return QMessageBox::NoButton;
    }
    QString getOpenFileName(QWidget*, const QString&, const QString&, const QString&,
                            QFileDialog::Options) override
    {
        return {};
    }
    QStringList getOpenFileNames(QWidget*, const QString&, const QString&, const QString&,
                                 QFileDialog::Options) override
    {
        return {};
    }
    QString getSaveFileName(QWidget*, const QString&, const QString&, const QString&, QString*,
                            QFileDialog::Options) override
    {
        return {};
    }
    QString getExistingDirectory(QWidget*, const QString&, const QString&, QFileDialog::Options) override
    {
        return {};
    }
    int execDialog(QDialog&) override { return QDialog::Rejected; }
};

std::optional<int> intFromEnvironment(const char* name)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

// The warning shown when the device libraries cannot be loaded, with the help link when there is a
// web host to link to.
QString devicesMissingText()
{
    const QUrl help = webHostUrl(QStringLiteral("tutorial/how-to-connect-ios-device-to-varnelquist-successfully.html"));
    if (help.isEmpty())
        return QObject::tr("IDS_NONE_INSTALL_ITUNES_NO_LINK");
    return QObject::tr("IDS_NONE_INSTALL_ITUNES").arg(htmlEscape(help.toString(QUrl::FullyEncoded)));
}

// What failed to load, and what brings it back: the libraries libtmmd.so needs come from Debian, the two
// of ours with the program.
QString devicesMissingDetail()
{
    return QStringLiteral("<br/><br/>%1<br/><br/>Install the Debian packages libimobiledevice6, libusbmuxd6 and "
                          "usbmuxd (tools/install-deps.sh run), and build the program again if libtmmd.so or "
                          "libtmcf.so is missing beside it.")
        .arg(htmlEscape(DeviceLibraries::lastFailure()));
}

// Converts old local databases under a progress dialog that cannot be cancelled; true when that
// succeeded and the program must end so that it starts again on the converted databases.
bool upgradeOldLocalDatabases()
{
    if (oldLocalDatabaseFolders().isEmpty())
        return false;
    ProgressForm form{QString()};
    form.setCancelEnabled(false);
    UpdateLocalDbThread job(&form);
    return runJob(form, job);
}

}  // namespace

StartupOptions StartupOptions::fromEnvironment()
{
    StartupOptions options;
    options.sqliteVersion = intFromEnvironment("TALLOWMERE_TEST_SQLITE_VERSION");
    options.autoQuitMs = intFromEnvironment("TALLOWMERE_TEST_AUTOQUIT_MS");
    return options;
}

int runApplication(int& argc, char** argv, const StartupOptions& options)
{
    tuneAllocator();  // before the first thread
    // A device that goes away mid-write must fail that write, not end the process. The device library
    // holds SIGPIPE back around its own writes; this covers any other write to a closed socket.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallowmere"));
    if (options.autoQuitMs)
        setInteraction(std::make_unique<AutoAnswerInteraction>());

    QTranslator translator;
    if (translator.load(QStringLiteral(":/en.qm")))
        QApplication::installTranslator(&translator);

    if (options.sqliteVersion.value_or(sqlite_qt_version()) != kExpectedSqliteVersion) {
        showError(QStringLiteral("invalid libsqlite_qt."));
        return 1;
    }

    installLogHandler(dataFolderPath(DataFolder::Logs), kKeptLogFiles);
    QString deviceError;
    DeviceLibraries::load(deviceError);

    int result = 0;
    {
        MainWindow window;
        window.show();
        if (!DeviceLibraries::isLoaded())
            showWarning(devicesMissingText() + devicesMissingDetail());

        if (upgradeOldLocalDatabases()) {
            QMetaObject::invokeMethod(&window, "close", Qt::QueuedConnection);
        } else {
            window.setStartupFinished(true);
            if (options.autoQuitMs) {
                qInfo("closing after %d ms", *options.autoQuitMs);
                QTimer::singleShot(*options.autoQuitMs, &window, &QWidget::close);
            }
        }
        result = QApplication::exec();
    }
    uninstallLogHandler();
    return result;
}

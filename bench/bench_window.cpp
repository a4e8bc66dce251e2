// The jobs as the user waits for them: each command driven through the main window, with the real
// progress dialog (offscreen) and an interaction seam that answers its questions, timed from the
// command to its success box; beside the same work without the dialog (the job run straight, no
// sink), and beside the raw floor where there is one, in one run. The three roads take turns at going
// first, each after a sync. Counters: window_s, direct_s, floor_s (per iteration), window_vs_direct,
// window_vs_floor, command_s, the whole command (what it does after the success box included), and
// window_faults, direct_faults and floor_faults, the process's minor page faults per iteration of each
// road: memory a road's threads touch afresh instead of reusing.
//
//   BM_WindowExport/0: CSV, /1: text (LC_ALL=C.UTF-8, as bench_export's text floor wants), of a local
//                      database of BENCH_MESSAGES (100,000) messages.
//   BM_WindowImport:   an iTunes backup of as many messages with a file for every attachment: cached,
//                      read and copied into a new local database; the floor is the cache, read and
//                      copy floors one after another.
//   BM_WindowDelete:   every message of a local database of as many messages, with a file for every
//                      attachment, selected in the list and deleted. No floor. Also end_wait_s, how
//                      long the bar stood at its end before the success box, and cancel_off_s, how
//                      long before it the cancel button went (the commit).
//   BM_WindowOpen:     the first click on a local database of as many messages, which reads it on the
//                      GUI thread. No roads: highlight_s (the click painted), read_end_s (the read and
//                      its display done), stall_s (the longest time the event loop did not come
//                      round), wait_cursor (the share of clicks painted under the wait cursor), rows
//                      (the messages listed).
//   The import also reports longest_stall_s: the longest the GUI thread went without turning its event
//   loop during the command (the window frozen), the worst of its runs; BM_WindowImportCancel reports
//   it for an import cancelled at 40% of the copy, from the Cancel to the command's end.
//
// HOME and XDG_DATA_HOME point into a temporary folder: the run never sees the user's data folder.
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "core/datadir.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "export/backupsmsthread.h"
#include "export/deletemmsthread.h"
#include "export/exportmessagesthread.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "msgdb/msgutil.h"
#include "platform/allocator.h"
#include "ui/interaction.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"
#include "ui/progressform.h"

#include "exportfloors.h"
#include "fixtures/backup_builder.h"
#include "fixtures/message_history.h"
#include "floors.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

using floors::Clock;
using floors::seconds;

bool g_failed = false;
std::vector<long> g_roadFaults;  // of the last timeRoads, per road

long minorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

void fail(benchmark::State& state, const std::string& why)
{
    std::fprintf(stderr, "%s\n", why.c_str());
    g_failed = true;
    state.SkipWithError(why.c_str());
}

// Answers the window's questions from a script and notes when the first information box (the
// command's success) came. Errors and warnings are kept to fail the run.
class BenchInteraction : public Interaction {
public:
    using DialogScript = std::function<int(QDialog&)>;

    QString savePath;
    QString saveFilter;
    std::deque<DialogScript> dialogs;
    std::optional<Clock::time_point> succeededAt;
    QString successText;
    QStringList complaints;

    int messageBox(QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons) override
    {
        if (icon == QMessageBox::Information && !succeededAt) {
            succeededAt = Clock::now();
            successText = text;
        }
        if (icon == QMessageBox::Critical || icon == QMessageBox::Warning)
            complaints << text;
        return buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
    }
    QString getOpenFileName(QWidget*, const QString&, const QString&, const QString&, QFileDialog::Options) override
    {
        return {};
    }
    QStringList getOpenFileNames(QWidget*, const QString&, const QString&, const QString&,
                                 QFileDialog::Options) override
    {
        return {};
    }
    QString getSaveFileName(QWidget*, const QString&, const QString&, const QString&, QString* selectedFilter,
                            QFileDialog::Options) override
    {
        if (selectedFilter)
            *selectedFilter = saveFilter;
        return savePath;
    }
    QString getExistingDirectory(QWidget*, const QString&, const QString&, QFileDialog::Options) override
    {
        return {};
    }
    int execDialog(QDialog& dialog) override
    {
        if (dialogs.empty())
            return QDialog::Rejected;
        const DialogScript script = std::move(dialogs.front());
        dialogs.pop_front();
        return script(dialog);
    }
};

BenchInteraction* g_interaction = nullptr;  // owned by the seam

// How long a command took to its success box, and in all.
struct CommandTime {
    double toSuccess = -1;  // < 0: no success box came
    double whole = 0;
};

CommandTime runCommand(MainWindow& window, const char* slot)
{
    g_interaction->succeededAt.reset();
    g_interaction->complaints.clear();
    const auto start = Clock::now();
    QMetaObject::invokeMethod(&window, slot);
    const auto end = Clock::now();
    QCoreApplication::processEvents();
    CommandTime time;
    time.whole = seconds(end - start);
    if (g_interaction->succeededAt)
        time.toSuccess = seconds(*g_interaction->succeededAt - start);
    return time;
}

AbsTreeItemModel::_ItemNode* localDbNode(MainWindow& window, const QString& name)
{
    for (const auto& child : window.mainModel()->localDbRoot()->children) {
        if (child->name == name)
            return child.get();
    }
    return nullptr;
}

void selectNode(MainWindow& window, AbsTreeItemModel::_ItemNode* node)
{
    window.form().treeViewDS->setCurrentIndex(window.mainModel()->indexOfNode(node));
    QCoreApplication::processEvents();
}

// A local database of benchMessages() generated messages in folder (250 to a conversation).
void makeLocalDb(const QString& folder, bool attachments)
{
    {
        IOS6MessageDb db(QDir(folder), QString(), true);
        db.open();
        db.close();
    }
    const int messages = floors::benchMessages();
    fixtures::fillSampleHistory(fixtures::ios6DbPathIn(folder), {messages, qMax(1, messages / 250), 7, false, attachments});
}

// Per iteration the roads in turn (a different one first each time), each after a sync; each road
// returns its own seconds. Returns the sums.
std::vector<double> timeRoads(benchmark::State& state, const std::vector<std::function<double()>>& roads)
{
    static int calls = 0;
    std::vector<double> totals(roads.size(), 0.0);
    g_roadFaults.assign(roads.size(), 0);
    for (auto _ : state) {
        const int first = calls++;
        for (size_t k = 0; k < roads.size(); ++k) {
            const size_t road = (size_t(first) + k) % roads.size();
            ::sync();
            const long faultsBefore = minorFaults();
            const double elapsed = roads[road]();
            g_roadFaults[road] += minorFaults() - faultsBefore;
            if (elapsed < 0)
                return {};
            totals[road] += elapsed;
            if (road == 0)
                state.SetIterationTime(elapsed);
        }
    }
    return totals;
}

// Counters from the sums of window, direct and (when given) floor.
void reportRoads(benchmark::State& state, const std::vector<double>& totals, double commandTotal, double items)
{
    const double n = double(std::max<qint64>(1, state.iterations()));
    state.counters["window_s"] = totals[0] / n;
    state.counters["direct_s"] = totals[1] / n;
    state.counters["window_vs_direct"] = totals[0] / totals[1];
    if (totals.size() > 2) {
        state.counters["floor_s"] = totals[2] / n;
        state.counters["window_vs_floor"] = totals[0] / totals[2];
        state.counters["floor_faults"] = double(g_roadFaults[2]) / n;
    }
    state.counters["command_s"] = commandTotal / n;
    state.counters["window_faults"] = double(g_roadFaults[0]) / n;
    state.counters["direct_faults"] = double(g_roadFaults[1]) / n;
    state.counters["window_per_s"] = items * n / totals[0];
}

// --- exports -------------------------------------------------------------------------------------

const QString kExportDb = QStringLiteral("bench-export");

// Argument: the format, CSV or text.
void BM_WindowExport(benchmark::State& state)
{
    const bool csv = state.range(0) == ExportMessagesThread::Csv;
    if (!csv && QLocale::system().dateTimeFormat(QLocale::ShortFormat) != QLatin1String("d MMM yyyy HH:mm:ss")) {
        state.SkipWithError("the text floor writes the C locale's dates: run with LC_ALL=C.UTF-8");
        return;
    }
    const QString folder = localDatabasesDir().absoluteFilePath(kExportDb);
    if (!QFileInfo::exists(folder))
        makeLocalDb(folder, false);
    const QString dbPath = fixtures::ios6DbPathIn(folder);
    const QString suffix = csv ? QStringLiteral(".csv") : QStringLiteral(".txt");
    MainWindow window;
    selectNode(window, localDbNode(window, kExportDb));

    QTemporaryDir out;
    const QString windowFile = out.filePath(QStringLiteral("window") + suffix);
    const QString directFile = out.filePath(QStringLiteral("direct") + suffix);
    const QString floorFile = out.filePath(QStringLiteral("floor") + suffix);
    // The direct road keeps its records as the database node does, and reads them again as the
    // command does for a whole database.
    IOS6MessageDb directDb(QDir(folder), QString(), false);
    _MsgStore directStore;
    directDb.messages(directStore, 0);
    qint64 messages = 0;
    double commandTotal = 0;
    const std::vector<double> totals = timeRoads(
        state, {[&] {
                    QFile::remove(windowFile);
                    g_interaction->savePath = windowFile;
                    g_interaction->saveFilter = csv ? QStringLiteral("CSV Files(*.csv)") : QStringLiteral("Text Files(*.txt)");
                    const CommandTime time = runCommand(window, "miExport");
                    commandTotal += time.whole;
                    return time.toSuccess;
                },
                [&] {
                    QFile::remove(directFile);
                    const auto start = Clock::now();
                    directDb.messages(directStore, 0);
                    ExportMessagesThread job(directStore.messageList(), directFile, int(state.range(0)), nullptr);
                    job.run();
                    return seconds(Clock::now() - start);
                },
                [&] {
                    QFile::remove(floorFile);
                    const auto start = Clock::now();
                    messages = csv ? exportfloors::csvRaw(dbPath, floorFile) : exportfloors::txtRaw(dbPath, floorFile);
                    return seconds(Clock::now() - start);
                }});
    if (totals.empty() || !g_interaction->complaints.isEmpty()) {
        fail(state, "the window's export did not succeed: " + g_interaction->complaints.join('\n').toStdString());
        return;
    }
    const QByteArray floorBytes = exportfloors::fileBytes(floorFile);
    for (const QString& file : {windowFile, directFile}) {
        const std::string why = exportfloors::firstDifference(exportfloors::fileBytes(file), floorBytes);
        if (!why.empty()) {
            fail(state, why);
            return;
        }
    }
    reportRoads(state, totals, commandTotal, double(messages));
}

// --- import of a backup --------------------------------------------------------------------------

// The progress dialog open now whose status is status; null when there is none.
ProgressForm* progressFormShowing(const QString& status)
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* form = qobject_cast<ProgressForm*>(widget);
        if (form && form->isVisible() && form->findChild<QLabel*>(QStringLiteral("lbStatus"))->text() == status)
            return form;
    }
    return nullptr;
}

// The status of the progress dialog open now; empty when there is none.
QString dialogShowing()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* form = qobject_cast<ProgressForm*>(widget); form && form->isVisible())
            return form->findChild<QLabel*>(QStringLiteral("lbStatus"))->text();
    }
    return {};
}

// The longest gap between turns of the GUI thread's event loop while it lives: a timer that should
// fire every few milliseconds notes how late it comes. It fires in every loop the command runs (the
// dialogs' too); onTick runs at each turn it sees.
class StallMeter {
public:
    explicit StallMeter(std::function<void()> onTick = {}) : m_onTick(std::move(onTick))
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start();
    }
    // The longest gap since start (or since the last restart).
    double longest() const { return m_longest; }
    void restart()
    {
        m_last = Clock::now();
        m_longest = 0;
    }
    void stop()
    {
        tick();
        m_timer.stop();
    }

private:
    void tick()
    {
        const auto now = Clock::now();
        const double gap = seconds(now - m_last);
        // Where the long ones fall, to find what froze the window.
        if (gap > 0.2)
            std::fprintf(stderr, "stall of %.2f s ending %.2f s into the command, under \"%s\"\n", gap,
                         seconds(now - m_start), qPrintable(dialogShowing()));
        m_longest = std::max(m_longest, gap);
        m_last = now;
        if (m_onTick)
            m_onTick();
    }

    std::function<void()> m_onTick;
    QTimer m_timer;
    const Clock::time_point m_start = Clock::now();
    Clock::time_point m_last = m_start;
    double m_longest = 0;
};


// A generated history packed into a backup (outside the backup folder the chooser lists), with a file
// of 1 to 16 KB for every attachment row; the files the cache copies, for the floor.
struct HistoryBackup {
    QTemporaryDir dir;
    QString backupDir = dir.filePath(QStringLiteral("backup"));
    std::vector<floors::BackupFile> files;

    HistoryBackup()
    {
        const QString dbPath = fixtures::ios6DbPathIn(dir.filePath(QStringLiteral("source")));
        fixtures::createIos6DeviceDb(dbPath);
        const int messages = floors::benchMessages();
        fixtures::fillSampleHistory(dbPath, {messages, qMax(1, messages / 250), 20130917, false, true});
        fixtures::BackupBuilder builder;
        const QString home = QStringLiteral("HomeDomain");
        QFile db(dbPath);
        if (!db.open(QIODevice::ReadOnly))
            throw std::runtime_error("no generated database");
        builder.addFile(home, QStringLiteral("Library/SMS/sms.db"), db.readAll());
        floors::RawDb raw(dbPath, SQLITE_OPEN_READONLY);
        floors::Stmt names(raw.db, "select filename from attachment order by rowid");
        const QRegularExpression devicePrefix(QStringLiteral("^(~|/var/mobile)/"));
        for (int k = 0; sqlite3_step(names.s) == SQLITE_ROW; ++k) {
            const QString name = QString::fromStdString(floors::columnText(names.s, 0)).replace(devicePrefix, QString());
            builder.addFile(home, name, QByteArray(1024 + (k * 7919) % (15 * 1024), char('a' + k % 26)));
        }
        builder.write(backupDir);

        BackupManifest manifest{QDir(backupDir)};
        manifest.loadManifestPlist();
        manifest.loadMbdb();
        const BackupFileNode* sms = manifest.root.childNamed(QStringLiteral("Library"))->childNamed(QStringLiteral("SMS"));
        addFiles(manifest, *sms, QStringLiteral("var/mobile/Library/SMS"));
    }

    void addFiles(const BackupManifest& manifest, const BackupFileNode& node, const QString& relative)
    {
        if (!node.record.isFolder()) {
            floors::BackupFile file;
            file.stored = manifest.backupDir.absoluteFilePath(node.record.fileId());
            file.relative = relative;
            file.protectionClass = node.record.protectionClass;
            file.size = qint64(node.record.size);
            file.mtime = node.record.mtime;
            files.push_back(file);
            return;
        }
        for (const std::unique_ptr<BackupFileNode>& child : node.children)
            addFiles(manifest, *child, relative + QLatin1Char('/') + child->name);
    }
};

// One backup for both import benchmarks: at a million messages it takes minutes to make.
const HistoryBackup& historyBackup()
{
    static const HistoryBackup backup;
    return backup;
}

// Caches, reads and copies into a new local database in target, as the command's jobs do.
void importDirect(const QString& backupDir, const QString& target)
{
    BackupManifest manifest{QDir(backupDir)};
    manifest.loadManifestPlist();
    manifest.loadMbdb();
    const QString cache = target + QStringLiteral("/cache");
    const auto rest = std::make_shared<FileHandoff>();
    ITunesCacheSMSThread caching(&manifest, QDir(cache), nullptr);
    caching.handOverTo(rest);
    caching.run();
    _MsgStore store;
    IOS6MessageDb(QDir(cache), QString(), false).messages(store, 0);
    BackupSMSThread job(store.messageList(), QDir(target + QStringLiteral("/local")), QString(), nullptr);
    job.awaitCache(rest);
    job.run();
}

// The import's two questions answered: the backup chosen, and the local database named.
void answerImportDialogs(const QString& backupDir, const QString& name)
{
    g_interaction->dialogs.push_back([backupDir](QDialog& dialog) {
        auto& chooser = static_cast<LoadItunesBackupDlg&>(dialog);
        chooser.addBackupFolder(backupDir);
        chooser.btnLoadClicked();
        return chooser.result();
    });
    g_interaction->dialogs.push_back([name](QDialog& dialog) {
        dialog.findChild<QComboBox*>(QStringLiteral("cbLocalDbNames"))->setEditText(name);
        QMetaObject::invokeMethod(&dialog, "onBtnOkPress");
        return dialog.result();
    });
}

void BM_WindowImport(benchmark::State& state)
{
    const HistoryBackup& backup = historyBackup();
    QTemporaryDir work;
    // The floor copies the records ours reads, in the order the copy job writes them.
    const QString floorSource = work.filePath(QStringLiteral("floor-source"));
    importDirect(backup.backupDir, floorSource);
    _MsgStore floorStore;
    IOS6MessageDb(QDir(floorSource + QStringLiteral("/cache")), QString(), false).messages(floorStore, 0);
    MsgMessageList floorMessages = floorStore.messageList();
    sortMessages(floorMessages);

    int windowRuns = 0;
    int directRuns = 0;
    int floorRuns = 0;
    double commandTotal = 0;
    double longestStall = 0;
    QStringList windowDbs;
    const std::vector<double> totals = timeRoads(
        state, {[&] {
                    const QString name = QStringLiteral("bench-import-%1").arg(++windowRuns);
                    windowDbs << name;
                    MainWindow window;
                    answerImportDialogs(backup.backupDir, name);
                    StallMeter stalls;
                    const CommandTime time = runCommand(window, "miImportItunes");
                    stalls.stop();
                    longestStall = std::max(longestStall, stalls.longest());
                    commandTotal += time.whole;
                    // Nothing cached for the next run: every road starts cold, and the removal is
                    // written back before the next road, as the other roads' files are never removed.
                    removeDirRecursive(dataFolderPath(DataFolder::BackupCache));
                    removeDirRecursive(dataFolderPath(DataFolder::ManifestCache));
                    return time.toSuccess;
                },
                [&] {
                    const QString target = work.filePath(QStringLiteral("direct-%1").arg(++directRuns));
                    const auto start = Clock::now();
                    importDirect(backup.backupDir, target);
                    return seconds(Clock::now() - start);
                },
                [&] {
                    const QString target = work.filePath(QStringLiteral("floor-%1").arg(++floorRuns));
                    const auto start = Clock::now();
                    const QString cache = target + QStringLiteral("/cache");
                    floors::cacheRaw(backup.files, {}, cache);
                    floors::readRaw(fixtures::ios6DbPathIn(cache));
                    floors::localDbRaw(floorMessages, fileRelayDir(QDir(cache)).absolutePath(),
                                       target + QStringLiteral("/local"));
                    return seconds(Clock::now() - start);
                }});
    if (totals.empty() || !g_interaction->complaints.isEmpty()) {
        fail(state, "the window's import did not succeed: " + g_interaction->complaints.join('\n').toStdString());
        return;
    }
    const std::string why = floors::localDbDifference(localDatabasesDir().absoluteFilePath(windowDbs.last()),
                                                      work.filePath(QStringLiteral("floor-%1/local").arg(floorRuns)));
    for (const QString& name : windowDbs)
        removeDirRecursive(localDatabasesDir().absoluteFilePath(name));
    if (!why.empty()) {
        fail(state, why);
        return;
    }
    reportRoads(state, totals, commandTotal, double(floorMessages.size()));
    state.counters["longest_stall_s"] = longestStall;
}

// The import cancelled once the copy into the new local database has reached 40%: the longest the
// window stalls from the Cancel to the end of the command (the manual time), and what is left of the
// database (nothing may be).
void BM_WindowImportCancel(benchmark::State& state)
{
    const HistoryBackup& backup = historyBackup();
    const QString name = QStringLiteral("bench-import-cancelled");
    double longestStall = 0;
    for (auto _ : state) {
        MainWindow window;
        answerImportDialogs(backup.backupDir, name);
        const QString copying = QCoreApplication::translate("BackupSMSThread", "IDS_BACKING_UP_SMS");
        bool cancelled = false;
        StallMeter* meter = nullptr;
        StallMeter stalls([&] {
            ProgressForm* form = cancelled ? nullptr : progressFormShowing(copying);
            if (form && form->findChild<QProgressBar*>(QStringLiteral("progressBar"))->value() >= 40) {
                cancelled = true;
                meter->restart();
                form->cancel();
            }
        });
        meter = &stalls;
        runCommand(window, "miImportItunes");
        stalls.stop();
        removeDirRecursive(dataFolderPath(DataFolder::BackupCache));
        removeDirRecursive(dataFolderPath(DataFolder::ManifestCache));
        if (!cancelled || QFileInfo::exists(localDatabasesDir().absoluteFilePath(name))) {
            fail(state, cancelled ? "the cancelled import left its database" : "the copy never reached 40%");
            return;
        }
        state.SetIterationTime(stalls.longest());
        longestStall = std::max(longestStall, stalls.longest());
    }
    state.counters["longest_stall_s"] = longestStall;
}

// --- deleting every message of a local database --------------------------------------------------

bool copyFolder(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    for (const QFileInfo& entry : QDir(from).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString target = QDir(to).filePath(entry.fileName());
        if (entry.isDir() ? !copyFolder(entry.filePath(), target) : !QFile::copy(entry.filePath(), target))
            return false;
    }
    return true;
}

// A file of 1 to 16 KB for every attachment row of the local database in folder; their number.
int writeAttachmentFiles(const QString& folder)
{
    floors::RawDb raw(fixtures::ios6DbPathIn(folder), SQLITE_OPEN_READONLY);
    floors::Stmt names(raw.db, "select filename from attachment order by rowid");
    const QDir relay = fileRelayDir(QDir(folder));
    int k = 0;
    for (; sqlite3_step(names.s) == SQLITE_ROW; ++k) {
        const QString path = attachmentLocalPath(relay, QString::fromStdString(floors::columnText(names.s, 0)));
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot write an attachment file");
        file.write(QByteArray(1024 + (k * 7919) % (15 * 1024), char('a' + k % 26)));
    }
    return k;
}

// Watches the progress dialog of the running command from its own event loop: when the bar first
// stood at its end, and when the cancel button went.
class ProgressWatch : public QObject {
public:
    std::optional<Clock::time_point> atEnd;
    std::optional<Clock::time_point> cancelOff;

    ProgressWatch()
    {
        connect(&m_timer, &QTimer::timeout, this, &ProgressWatch::look);
        m_timer.start(1);
    }

private:
    void look()
    {
        auto* form = qobject_cast<ProgressForm*>(QApplication::activeModalWidget());
        if (!form)
            return;
        const auto now = Clock::now();
        if (!atEnd && form->findChild<QProgressBar*>()->value() == 100)
            atEnd = now;
        if (!cancelOff && !form->findChild<QPushButton*>()->isEnabled())
            cancelOff = now;
    }

    QTimer m_timer;
};

void BM_WindowDelete(benchmark::State& state)
{
    QTemporaryDir work;
    const QString templateDb = work.filePath(QStringLiteral("template"));
    makeLocalDb(templateDb, true);
    const int files = writeAttachmentFiles(templateDb);
    double endWait = 0;
    double cancelOff = 0;
    const QString name = QStringLiteral("bench-delete");
    const QString windowDb = localDatabasesDir().absoluteFilePath(name);
    const QString directDb = work.filePath(QStringLiteral("direct"));
    qint64 messages = 0;
    double commandTotal = 0;
    const std::vector<double> totals = timeRoads(
        state, {[&] {
                    removeDirRecursive(windowDb);
                    copyFolder(templateDb, windowDb);
                    MainWindow window;
                    selectNode(window, localDbNode(window, name));
                    window.form().treeViewSMS->selectAll();
                    QCoreApplication::processEvents();
                    const ProgressWatch watch;
                    const CommandTime time = runCommand(window, "miDelSel");
                    commandTotal += time.whole;
                    if (watch.atEnd && g_interaction->succeededAt)
                        endWait += seconds(*g_interaction->succeededAt - *watch.atEnd);
                    if (watch.cancelOff && g_interaction->succeededAt)
                        cancelOff += seconds(*g_interaction->succeededAt - *watch.cancelOff);
                    return time.toSuccess;
                },
                [&] {
                    removeDirRecursive(directDb);
                    copyFolder(templateDb, directDb);
                    _MsgStore store;
                    IOS6MessageDb(QDir(directDb), QString(), false).messages(store, 0);
                    MsgMessageList list = store.messageList();
                    sortMessages(list);  // the order of the list the window selects from
                    messages = list.size();
                    const auto start = Clock::now();
                    DeleteMMSThread(QDir(directDb), list, nullptr).run();
                    return seconds(Clock::now() - start);
                }});
    removeDirRecursive(windowDb);
    if (totals.empty() || !g_interaction->complaints.isEmpty()
        || !g_interaction->successText.contains(QString::number(messages))) {
        fail(state, "the window's delete did not succeed: " + g_interaction->complaints.join('\n').toStdString());
        return;
    }
    reportRoads(state, totals, commandTotal, double(messages));
    const double n = double(std::max<qint64>(1, state.iterations()));
    state.counters["end_wait_s"] = endWait / n;
    state.counters["cancel_off_s"] = cancelOff / n;
    state.counters["files"] = files;
}

// --- opening a local database --------------------------------------------------------------------

// Notes when the tree first paints node selected, and whether the wait cursor was up then.
class HighlightWatch : public QObject {
public:
    std::optional<Clock::time_point> shownAt;
    bool waitCursor = false;

    HighlightWatch(QTreeView* tree, const QModelIndex& node) : m_tree(tree), m_node(node)
    {
        tree->viewport()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !shownAt && m_tree->selectionModel()->isSelected(m_node)) {
            shownAt = Clock::now();
            const QCursor* cursor = QApplication::overrideCursor();
            waitCursor = cursor && cursor->shape() == Qt::WaitCursor;
        }
        return false;
    }

private:
    QTreeView* m_tree;
    QPersistentModelIndex m_node;
};

// The longest time the event loop did not come round, from a timer that asks every millisecond.
class StallClock : public QObject {
public:
    double longest = 0;

    StallClock()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const auto now = Clock::now();
            longest = std::max(longest, seconds(now - m_last));
            m_last = now;
        });
        m_timer.start(1);
    }

private:
    QTimer m_timer;
    Clock::time_point m_last = Clock::now();
};

void clickOn(QWidget* widget, const QPoint& at)
{
    QMouseEvent press(QEvent::MouseButtonPress, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

void runEventLoopFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

void BM_WindowOpen(benchmark::State& state)
{
    const QString name = QStringLiteral("bench-open");
    const QString folder = localDatabasesDir().absoluteFilePath(name);
    if (!QFileInfo::exists(folder))
        makeLocalDb(folder, true);
    double highlight = 0;
    double readEnd = 0;
    double stall = 0;
    int waitCursor = 0;
    int rows = 0;
    for (auto _ : state) {
        MainWindow window;
        window.show();
        runEventLoopFor(200);  // shown and idle
        QTreeView* tree = window.form().treeViewDS;
        const QModelIndex index = window.mainModel()->indexOfNode(localDbNode(window, name));
        const HighlightWatch watch(tree, index);
        Clock::time_point clicked;
        Clock::time_point read;
        QEventLoop loop;
        QTimer::singleShot(0, &window, [&] {
            clicked = Clock::now();
            clickOn(tree->viewport(), tree->visualRect(index).center());
            read = Clock::now();
            // What the window does after the read: the list and the conversation view shown.
            QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        });
        ::sync();
        {
            const StallClock stalls;
            loop.exec();
            stall += stalls.longest;
        }
        rows = window.smsModel()->rowCount();
        if (!watch.shownAt || rows == 0) {
            fail(state, "the click on the database did not show its messages");
            return;
        }
        state.SetIterationTime(seconds(read - clicked));
        highlight += seconds(*watch.shownAt - clicked);
        readEnd += seconds(read - clicked);
        waitCursor += watch.waitCursor ? 1 : 0;
    }
    const double n = double(std::max<qint64>(1, state.iterations()));
    state.counters["highlight_s"] = highlight / n;
    state.counters["read_end_s"] = readEnd / n;
    state.counters["stall_s"] = stall / n;
    state.counters["wait_cursor"] = waitCursor / n;
    state.counters["rows"] = rows;
}

}  // namespace

BENCHMARK(BM_WindowExport)
    ->Arg(ExportMessagesThread::Csv)
    ->Arg(ExportMessagesThread::Text)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowImport)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowImportCancel)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowDelete)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowOpen)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    tuneAllocator();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral(".local/share"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral(".config"))));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath(QStringLiteral(".cache"))));
    qputenv("TALLOWMERE_WEB_HOST", "");  // no update check
    QApplication app(argc, argv);
    auto interaction = std::make_unique<BenchInteraction>();
    g_interaction = interaction.get();
    setInteraction(std::move(interaction));
    const int status = floors::runBenchmarks(argc, argv);
    setInteraction(nullptr);
    return status != 0 || g_failed ? 1 : 0;
}

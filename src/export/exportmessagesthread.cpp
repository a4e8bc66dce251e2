#include "export/exportmessagesthread.h"

#include "core/assetdir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "export/exportmessagesdb.h"
#include "export/exportmessageshtml.h"
#include "export/exportmessagespdf.h"
#include "export/textexport.h"
#include "msgdb/msgutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

const char kUnsupportedFormat[] = "not support export format.";

QString chatKey(const _MsgChat* chat)
{
    return chat ? chat->chat_identifier.toLower() : QString();
}

// One message with the sort keys of its conversation, computed once for the whole sort.
struct Keyed {
    _MsgMessage* message;
    QString key;   // lower-case identifier
    int last;      // newest date of every conversation sharing the key
    bool hasChat;
};

bool keyedLessThan(const Keyed& a, const Keyed& b)
{
    if (a.hasChat != b.hasChat)
        return a.hasChat;  // messages without a conversation go last
    if (a.key == b.key)
        return messageLessThan(a.message, b.message);
    if (a.last != b.last)
        return a.last < b.last;
    return a.key < b.key;
}

Keyed keyed(_MsgMessage* message)
{
    const _MsgChat* chat = message->chat;
    return {message, chatKey(chat), chat ? chat->last : 0, chat != nullptr};
}

// The folder holding the asset name: beside the program, else in the installed share folder.
}  // namespace

bool exportChatLessThan(const _MsgMessage* a, const _MsgMessage* b)
{
    return keyedLessThan(keyed(const_cast<_MsgMessage*>(a)), keyed(const_cast<_MsgMessage*>(b)));
}

ExportMessagesThread::ExportMessagesThread(const MsgMessageList& messages, const QString& target, int format,
                                           ProgressSink* progress, QObject* parent)
    : QThread(parent), m_messages(messages), m_target(target), m_format(format), m_progress(progress)
{
}

ExportMessagesThread::~ExportMessagesThread() = default;

void ExportMessagesThread::run()
{
    runGuarded(
        m_progress,
        [this] {
            ProgressSink::postUpdateProgress(m_progress, tr("IDS_EXPORTING_MESSAGES_TO_FILE"), -1, QString());
            if (m_format < Text || m_format > LocalDb)
                throw std::runtime_error(kUnsupportedFormat);
            prepareTarget();
            sortMessages();
            exportAll();
            ProgressSink::postSucceed(m_progress, tr("IDS_SUC_EXPORT_%1_MMS").arg(m_messages.size()));
        },
        [this] {
            m_exporter.reset();
            removeCreated();
        });
}

void ExportMessagesThread::prepareTarget()
{
    if (!isPageFormat())
        return;
    const QFileInfo target(m_target);
    if (target.exists() || target.isSymLink()) {
        if (!target.isDir())
            throwUtf8(QStringLiteral("Cannot create the folder %1: a file has that name.").arg(m_target));
        return;
    }
    if (!QDir().mkpath(m_target))
        throwUtf8(QStringLiteral("Cannot create the folder %1.").arg(m_target));
    m_targetCreated = true;
}

void ExportMessagesThread::sortMessages()
{
    if (!isPageFormat()) {
        ::sortMessages(m_messages);
        return;
    }
    // Conversations whose identifiers differ only in case are one conversation: they sort by the
    // newest date of them all, so their messages form one run and go into one file.
    std::vector<Keyed> items;
    items.reserve(size_t(m_messages.size()));
    TextHash<int> sessionLast;
    for (_MsgMessage* message : qAsConst(m_messages)) {
        items.push_back(keyed(message));
        int& last = sessionLast[items.back().key];
        last = std::max(last, items.back().last);
    }
    for (Keyed& item : items)
        item.last = sessionLast.value(item.key);
    std::stable_sort(items.begin(), items.end(), keyedLessThan);
    for (int i = 0; i < m_messages.size(); ++i)
        m_messages[i] = items[size_t(i)].message;
}

void ExportMessagesThread::exportAll()
{
    const int n = m_messages.size();
    int i = 0;
    ProgressThrottle throttle(n);
    for (_MsgMessage* message : qAsConst(m_messages)) {
        if (ProgressSink::isCancelled(m_progress))
            throw -1;
        ++i;
        // The counter text is only built when someone shows it.
        if (m_progress && throttle.due(i))
            ProgressSink::postUpdateProgress(m_progress, QString(), throttle.percent(),
                                             tr("Messages: %1/%2").arg(i).arg(n));
        exporterFor(*message).exportMessage(message);
    }
    if (m_exporter)
        m_exporter->end();
}

MessageExporter& ExportMessagesThread::exporterFor(const _MsgMessage& message)
{
    if (isPageFormat()) {
        if (!m_pageOpen || chatKey(message.chat) != m_currentChatKey)
            openPageExporter(message);
        return *m_exporter;
    }
    if (!m_exporter) {
        switch (m_format) {
        case Text:
            m_exporter = std::make_unique<ExportMessagesTxt>(m_target);
            break;
        case Csv:
            m_exporter = std::make_unique<ExportMessagesCsv>(m_target);
            break;
        default:
            m_exporter = std::make_unique<ExportMessagesDb>(QDir(m_target), QString());
            break;
        }
        m_exporter->begin();
    }
    return *m_exporter;
}

void ExportMessagesThread::openPageExporter(const _MsgMessage& message)
{
    if (m_format == Html && !m_pageOpen)
        prepareHtmlFolder();
    if (m_exporter) {
        m_exporter->end();
        m_exporter.reset();
    }
    m_currentChatKey = chatKey(message.chat);
    m_pageOpen = true;
    const QString path = pageFilePath(message.chat);
    // Recorded before the exporter makes it: a failure half-way must not leave it behind.
    if (!m_targetCreated)
        m_createdFiles.append(path);
    m_exporter = makePageExporter(path);
    if (!m_exporter)
        throw std::runtime_error(kUnsupportedFormat);
    m_exporter->begin();
}

std::unique_ptr<MessageExporter> ExportMessagesThread::makePageExporter(const QString& path)
{
    if (m_format == Html) {
        auto page = std::make_unique<ExportMessagesHtml>(QDir(m_target), QFileInfo(path).fileName());
        if (!m_targetCreated)
            page->setCreatedFiles(&m_createdFiles);
        return page;
    }
    if (m_pageFactory)
        return m_pageFactory(m_format, m_target, QFileInfo(path).fileName());
    return std::make_unique<ExportMessagesPdf>(path);
}

QString ExportMessagesThread::pageFilePath(const _MsgChat* chat)
{
    const QString suffix = m_format == Pdf ? QStringLiteral(".pdf") : QStringLiteral(".html");
    QString name = QStringLiteral("unknown-chat");
    if (chat)
        name = sanitizeFileName(chat->isGroup() ? chat->chat_identifier : chat->displayName(true));
    // Two conversations with the same name, and files already in a folder the user chose, each keep
    // their own file. Every number below the one remembered for a name was taken when it was tried, so
    // many conversations of one name try each number once.
    const QDir folder(m_target);
    const auto taken = [this](const QString& path) {
        return m_usedPaths.contains(path) || QFileInfo::exists(path) || QFileInfo(path).isSymLink();
    };
    int& next = m_nextNumber[name];
    QString path = folder.absoluteFilePath(name + suffix);
    if (next > 0 || taken(path)) {
        next = std::max(next, 1);
        do
            path = folder.absoluteFilePath(QStringLiteral("%1(%2)%3").arg(name, QString::number(next++), suffix));
        while (taken(path));
    }
    m_usedPaths.insert(path);
    return path;
}

void ExportMessagesThread::prepareHtmlFolder()
{
    const QString root = m_assetRoot.isEmpty() ? assetRoot() : m_assetRoot;
    const QDir target(m_target);
    makeFolder(target.filePath(QStringLiteral("files")));
    copyAssetFiles(QDir(root).filePath(QStringLiteral("bubble")), target.filePath(QStringLiteral("files")));
    const QString emoji = QDir(root).filePath(QStringLiteral("emoji"));
    if (QFileInfo(emoji).isDir()) {
        makeFolder(target.filePath(QStringLiteral("emoji")));
        copyAssetFiles(emoji, target.filePath(QStringLiteral("emoji")));
    }
}

void ExportMessagesThread::copyAssetFiles(const QString& assetFolder, const QString& destination)
{
    const QDir source(assetFolder);
    for (const QFileInfo& file : source.entryInfoList(QDir::Files | QDir::NoDotAndDotDot)) {
        const QString copy = QDir(destination).filePath(file.fileName());
        if (QFileInfo::exists(copy))
            continue;  // kept as it is, never overwritten
        if (!copyToNewFile(file.absoluteFilePath(), copy))
            throwUtf8(QStringLiteral("Cannot copy %1 to %2.").arg(file.absoluteFilePath(), copy));
        if (!m_targetCreated)
            m_createdFiles.append(copy);
    }
}

void ExportMessagesThread::makeFolder(const QString& path)
{
    if (QFileInfo(path).isDir())
        return;
    if (!QDir().mkpath(path))
        throwUtf8(QStringLiteral("Cannot create the folder %1.").arg(path));
    if (!m_targetCreated)
        m_createdFolders.append(path);
}

void ExportMessagesThread::removeCreated()
{
    if (m_targetCreated) {
        removeDirRecursive(m_target);
        return;
    }
    for (const QString& file : qAsConst(m_createdFiles))
        QFile::remove(file);
    for (auto folder = m_createdFolders.crbegin(); folder != m_createdFolders.crend(); ++folder)
        QDir().rmdir(*folder);
}

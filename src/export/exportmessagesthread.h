#pragma once
// The export job: puts the chosen messages in order and feeds them to the exporter of one format,
// reporting into a progress sink.
//
//   format 0  text (".txt" and ".doc")  the file target
//          1  CSV                       the file target
//          2  PDF                       one file per conversation in the folder target
//          3  HTML                      one page per conversation in the folder target, with "files/"
//                                       (bubble styles) and "emoji/"
//          4  local database            the database below the folder target
//
// On a cancel or an error the job removes only what this run created: the temporary file of a text
// or CSV export, the folder target when the run made it, else the files it wrote into it. A local
// database is never deleted: its transaction rolls back.
#include "core/progresssink.h"
#include "export/absformatexport.h"
#include "platform/seededhash.h"

#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>

// The order of the per-conversation formats: conversations one after another, from the one whose
// newest message is oldest, equal times by identifier without regard to case, messages without a
// conversation last; inside a conversation, messageLessThan. Sort with std::stable_sort.
bool exportChatLessThan(const _MsgMessage* a, const _MsgMessage* b);

class ExportMessagesThread : public QThread {
    Q_OBJECT
public:
    enum Format { Text = 0, Csv = 1, Pdf = 2, Html = 3, LocalDb = 4 };

    // Makes the exporter of one conversation file (PDF) at folder/fileName.
    using PageExporterFactory =
        std::function<std::unique_ptr<MessageExporter>(int format, const QString& folder, const QString& fileName)>;

    ExportMessagesThread(const MsgMessageList& messages, const QString& target, int format, ProgressSink* progress,
                         QObject* parent = nullptr);
    ~ExportMessagesThread() override;

    // Replaces the PDF page exporter (tests); without one, PDF pages are ExportMessagesPdf.
    void setPageExporterFactory(PageExporterFactory factory) { m_pageFactory = std::move(factory); }
    // The folder holding "bubble" and "emoji" that an HTML export copies; beside the program by default.
    void setAssetRoot(const QString& folder) { m_assetRoot = folder; }

    // The job; public so that tests can run it on their own thread.
    void run() override;

private:
    bool isPageFormat() const { return m_format == Pdf || m_format == Html; }
    void sortMessages();
    void prepareTarget();
    void exportAll();
    MessageExporter& exporterFor(const _MsgMessage& message);
    void openPageExporter(const _MsgMessage& message);
    std::unique_ptr<MessageExporter> makePageExporter(const QString& path);
    QString pageFilePath(const _MsgChat* chat);
    void prepareHtmlFolder();
    void copyAssetFiles(const QString& assetName, const QString& destination);
    void makeFolder(const QString& path);
    void removeCreated();

    MsgMessageList m_messages;
    QString m_target;
    int m_format;
    ProgressSink* m_progress;  // not owned
    PageExporterFactory m_pageFactory;
    QString m_assetRoot;

    std::unique_ptr<MessageExporter> m_exporter;
    QString m_currentChatKey;  // lower-case identifier of the open page; "" for no conversation
    bool m_pageOpen = false;
    TextSet m_usedPaths;  // page files of this run
    TextHash<int> m_nextNumber;  // page name -> the first n whose "name(n)" may still be free
    bool m_targetCreated = false;
    QStringList m_createdFiles;    // inside a folder target that existed before
    QStringList m_createdFolders;  // likewise, removed when empty
};

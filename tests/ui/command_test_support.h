#pragma once
// Shared by the command tests: a temporary home with local databases and virtual devices made the
// way the program makes them, the scripted interaction, a recording shell, and tree helpers.
#include "core/datadir.h"
#include "fixtures/message_history.h"
#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "msgdb/ios6messagedb.h"
#include "platform/shell.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"
#include "ui/progressform.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTranslator>
#include <QUrl>

namespace command_tests {

using Node = AbsTreeItemModel::_ItemNode;

class RecordingShell : public ShellHook {
public:
    RecordingShell(QStringList* urls, QStringList* paths) : m_urls(urls), m_paths(paths) {}
    bool openUrl(const QUrl& url) override
    {
        m_urls->append(url.toString());
        return true;
    }
    bool openLocalPath(const QString& path) override
    {
        m_paths->append(path);
        return true;
    }

private:
    QStringList* m_urls;
    QStringList* m_paths;
};

// The English catalogue, so the tests read what the user reads.
class EnglishTexts {
public:
    EnglishTexts()
    {
        m_loaded = m_translator.load(QStringLiteral(":/en.qm"));
        QCoreApplication::installTranslator(&m_translator);
    }
    ~EnglishTexts() { QCoreApplication::removeTranslator(&m_translator); }
    bool loaded() const { return m_loaded; }

private:
    QTranslator m_translator;
    bool m_loaded = false;
};

// The progress dialogs shown, each by its status as it closed: every long step of a command runs under one.
class ProgressDialogs : public QObject {
public:
    ProgressDialogs() { qApp->installEventFilter(this); }
    QStringList statuses;

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (auto* form = event->type() == QEvent::Hide ? qobject_cast<ProgressForm*>(object) : nullptr)
            statuses << form->findChild<QLabel*>(QStringLiteral("lbStatus"))->text();
        return false;
    }
};

class CommandTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        ASSERT_TRUE(english.loaded());
        setShellHook(std::make_unique<RecordingShell>(&openedUrls, &openedPaths));
    }
    void TearDown() override
    {
        setShellHook(nullptr);
        TempHomeTest::TearDown();
    }

    static QString localDbFolder(const QString& name) { return localDatabasesDir().absoluteFilePath(name); }
    static QString localDbFile(const QString& name) { return fixtures::ios6DbPathIn(localDbFolder(name)); }

    // A local database holding a generated history (none for messages 0).
    static void makeLocalDb(const QString& name, int messages = 60, unsigned seed = 7)
    {
        IOS6MessageDb db(QDir(localDbFolder(name)), QString(), true);
        db.open();
        db.close();
        if (messages > 0)
            fixtures::fillSampleHistory(localDbFile(name), {messages, 5, seed, false});
    }
    static QString makeVirtualDevice(const QString& name, int messages = 80)
    {
        const QString folder = dataDir().absoluteFilePath(QStringLiteral("virtual_ios/") + name);
        fixtures::createIos6DeviceDb(fixtures::ios6DbPathIn(folder));
        fixtures::fillSampleHistory(fixtures::ios6DbPathIn(folder), {messages, 6, 11, false});
        return folder;
    }

    // The messages a reader brings back from the database in folder.
    static int storedMessages(const QString& folder)
    {
        IOS6MessageDb db{QDir(folder), QString(), false};
        _MsgStore store;
        db.messages(store, 0);
        return store.messageList().size();
    }

    static Node* childNamed(Node* parent, const QString& name)
    {
        for (const auto& child : parent->children) {
            if (child->name == name)
                return child.get();
        }
        return nullptr;
    }
    static void select(MainWindow& window, Node* node)
    {
        window.form().treeViewDS->setCurrentIndex(window.mainModel()->indexOfNode(node));
        QCoreApplication::processEvents();
    }
    static Node* currentNode(const MainWindow& window)
    {
        return AbsTreeItemModel::nodeOf(window.form().treeViewDS->currentIndex());
    }
    // Selects rows of the message list, as a user's clicks would.
    static void selectRows(MainWindow& window, const QList<int>& rows)
    {
        QItemSelectionModel* selection = window.form().treeViewSMS->selectionModel();
        for (int row : rows)
            selection->select(window.smsModel()->rowIndex(row), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    static void invoke(MainWindow& window, const char* slot)
    {
        QMetaObject::invokeMethod(&window, slot);
        QCoreApplication::processEvents();
    }

    EnglishTexts english;
    fixtures::ScriptedInteraction script;
    QStringList openedUrls;
    QStringList openedPaths;
};

}  // namespace command_tests

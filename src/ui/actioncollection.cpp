#include "ui/actioncollection.h"

#include "platform/webhost.h"
#include "ui/itemmodelmain.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

#include <cstring>

namespace {

using F = ActionCollection::Family;
using Command = ActionCollection::Command;
using Node = AbsTreeItemModel::_ItemNode;
constexpr ScopeRequest kRule = ScopeRequest::ByRule;
constexpr ScopeRequest kSel = ScopeRequest::Selection;
constexpr ScopeRequest kChat = ScopeRequest::Chat;
constexpr ScopeRequest kAll = ScopeRequest::All;
constexpr unsigned kBoth = ActionCollection::OnDevice | ActionCollection::OnLocalDb;
constexpr unsigned kDevice = ActionCollection::OnDevice;
constexpr unsigned kLocal = ActionCollection::OnLocalDb;
constexpr unsigned kBar = ActionCollection::FileMenu | ActionCollection::ToolBar;

unsigned offerOf(const Node* node)
{
    switch (node ? node->type : 0) {
    case kNodeIOSDevice:
        return ActionCollection::OnDevice;
    case kNodeLocalDb:
        return ActionCollection::OnLocalDb;
    case kNodeRootLocalDb:
        return ActionCollection::OnLocalRoot;
    default:
        return 0;
    }
}

// A separator in places.
Command separator(unsigned places)
{
    return {nullptr, F::Exit, kRule, places, nullptr, nullptr, ActionCollection::Anywhere};
}

}  // namespace

const QList<Command>& ActionCollection::commands()
{
    static const QList<Command> table = {
        // The File menu and the tool bar.
        {"miBackup", F::Backup, kRule, kBar,
         QT_TRANSLATE_NOOP("QObject", "Backup Messages to Local Database"), ":/res/backup.png", kDevice},
        separator(kBar),
        {"miExtractMedia", F::ExtractMedia, kRule, kBar,
         QT_TRANSLATE_NOOP("QObject", "Extract MMS attachment"), ":/res/extract_media.png", kBoth},
        {"miExport", F::Export, kRule, kBar,
         QT_TRANSLATE_NOOP("QObject", "Export Messages to File"), ":/res/export.png", kBoth},
        {"miPrint", F::Print, kRule, kBar, QT_TRANSLATE_NOOP("QObject", "Print Messages"), ":/res/print.png", kBoth},
        {"miDel", F::Delete, kRule, kBar, QT_TRANSLATE_NOOP("QObject", "Delete Messages"), ":/res/delete.png", kLocal},
        separator(FileMenu),
        {"miImportItunes", F::ImportItunes, kAll, FileMenu,
         QT_TRANSLATE_NOOP("QObject", "Import Messages from iTunes Backup to Local Database"),
         ":/res/import_itunes.png", Anywhere},
        {"miOpenDbFolder", F::OpenDbFolder, kAll, FileMenu,
         QT_TRANSLATE_NOOP("QObject", "Open Database Folder"), ":/res/open_db_folder.png", Anywhere},
        {"close", F::Exit, kAll, FileMenu, QT_TRANSLATE_NOOP("QObject", "Exit"), ":/res/exit.png", Anywhere},
        // The Tools and Help menus: the web pages need the maker's web host.
        {"miCheckUpdate", F::CheckUpdate, kAll, ToolsMenu,
         QT_TRANSLATE_NOOP("QObject", "Check for Update"), nullptr, NeedsWebHost},
        {"miClearCache", F::ClearCache, kAll, ToolsMenu,
         QT_TRANSLATE_NOOP("QObject", "Clear Cache files"), nullptr, Anywhere},
        {"miHelp", F::Help, kAll, HelpMenu, QT_TRANSLATE_NOOP("QObject", "Help"), ":/res/help.png", NeedsWebHost},
        {"miFeedback", F::Feedback, kAll, HelpMenu,
         QT_TRANSLATE_NOOP("QObject", "Feedback and Support"), nullptr, NeedsWebHost},
        {"miAbout", F::About, kAll, HelpMenu, QT_TRANSLATE_NOOP("QObject", "About"), nullptr, Anywhere},
        // The tree's menu on the local databases' root and on database nodes.
        {"miOpenDbFolder", F::OpenDbFolder, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Open Database Folder"), ":/res/open_db_folder.png", OnLocalRoot},
        {"miImportItunes", F::ImportItunes, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Import Messages from iTunes Backup to Local Database"),
         ":/res/import_itunes.png", OnLocalRoot},
        {"miImportToLocalDb", F::ImportToLocalDb, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Import Messages from iTunes Backup to this Local Database"),
         ":/res/import_itunes.png", kLocal},
        {"miBackupAll", F::Backup, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Backup Messages to Local Database"), ":/res/backup.png", kDevice},
        {"miExtractMediaAll", F::ExtractMedia, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Extract MMS attachment"), ":/res/extract_media.png", kBoth},
        {"miExportAll", F::Export, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Export Messages to File"), ":/res/export.png", kBoth},
        {"miPrintAll", F::Print, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Print Messages"), ":/res/print.png", kBoth},
        {"miDelAll", F::Delete, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Delete this Database"), ":/res/delete.png", kLocal},
        {"miViewCache", F::ViewCache, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "View Cache Files"), nullptr, kDevice},
        {"miUnmoutDevice", F::UnmountDevice, kAll, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Disconnect Device"), ":/res/unmount.png", kDevice},
        // The tree's menu on conversations.
        {"miBackupChat", F::Backup, kChat, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Backup Messages with this contact to Local Database"),
         ":/res/backup.png", kDevice},
        {"miExtractMediaChat", F::ExtractMedia, kChat, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Extract attachment from MMS with this contact"),
         ":/res/extract_media.png", kBoth},
        {"miExportChat", F::Export, kChat, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Export Messages with this contact to File"), ":/res/export.png", kBoth},
        {"miPrintChat", F::Print, kChat, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Print Messages with this contact"), ":/res/print.png", kBoth},
        {"miDelChat", F::Delete, kChat, TreeMenu,
         QT_TRANSLATE_NOOP("QObject", "Delete Messages with this contact"), ":/res/delete.png", kLocal},
        // The message list's menu.
        {"miBackupSel", F::Backup, kSel, ListMenu,
         QT_TRANSLATE_NOOP("QObject", "Backup selected Messages to Local Database"), ":/res/backup.png", kDevice},
        {"miExtractMediaSel", F::ExtractMedia, kSel, ListMenu,
         QT_TRANSLATE_NOOP("QObject", "Extract attachment from selected Messages"), ":/res/extract_media.png", kBoth},
        {"miExportSel", F::Export, kSel, ListMenu,
         QT_TRANSLATE_NOOP("QObject", "Export selected Messages to File"), ":/res/export.png", kBoth},
        {"miPrintSel", F::Print, kSel, ListMenu,
         QT_TRANSLATE_NOOP("QObject", "Print selected Messages"), ":/res/print.png", kBoth},
        {"miDelSel", F::Delete, kSel, ListMenu,
         QT_TRANSLATE_NOOP("QObject", "Delete selected Messages"), ":/res/delete.png", kLocal},
        // Reached only by name: writing into iTunes backups and onto devices, and the home page.
        {"miI2I", F::RestoreToDevice, kRule, Nowhere, nullptr, nullptr, Anywhere},
        {"miI2ISel", F::RestoreToDevice, kSel, Nowhere, nullptr, nullptr, Anywhere},
        {"miI2IChat", F::RestoreToDevice, kChat, Nowhere, nullptr, nullptr, Anywhere},
        {"miI2IAll", F::RestoreToDevice, kAll, Nowhere, nullptr, nullptr, Anywhere},
        {"miDb2I", F::RestoreToDevice, kRule, Nowhere, nullptr, nullptr, Anywhere},
        {"miDb2ISel", F::RestoreToDevice, kSel, Nowhere, nullptr, nullptr, Anywhere},
        {"miDb2IChat", F::RestoreToDevice, kChat, Nowhere, nullptr, nullptr, Anywhere},
        {"miDb2IAll", F::RestoreToDevice, kAll, Nowhere, nullptr, nullptr, Anywhere},
        {"miExport2ITunesBK", F::ExportToBackup, kRule, Nowhere, nullptr, nullptr, Anywhere},
        {"miExport2ITunesBKSel", F::ExportToBackup, kSel, Nowhere, nullptr, nullptr, Anywhere},
        {"miExport2ITunesBKChat", F::ExportToBackup, kChat, Nowhere, nullptr, nullptr, Anywhere},
        {"miExport2ITunesBKAll", F::ExportToBackup, kAll, Nowhere, nullptr, nullptr, Anywhere},
        {"miHome", F::Home, kAll, Nowhere, nullptr, nullptr, Anywhere},
    };
    return table;
}

QList<const Command*> ActionCollection::treeMenu(const Node* node)
{
    const bool chat = node && node->type == kNodeChatSession;
    const unsigned offer = chat ? offerOf(node->parent) & kBoth : offerOf(node);
    QList<const Command*> entries;
    for (const Command& command : commands()) {
        if ((command.places & TreeMenu) && (command.offers & offer) && (command.scope == kChat) == chat)
            entries.append(&command);
    }
    return entries;
}

QList<const Command*> ActionCollection::listMenu(const Node* node)
{
    const unsigned offer = offerOf(ItemModelMain::databaseNodeOf(const_cast<Node*>(node)));
    QList<const Command*> entries;
    for (const Command& command : commands()) {
        if ((command.places & ListMenu) && (command.offers & offer))
            entries.append(&command);
    }
    return entries;
}

ActionCollection::ActionCollection(QWidget* window, std::map<Family, Handler> handlers)
    : m_window(window), m_handlers(std::move(handlers))
{
}

QAction* ActionCollection::makeAction(const Command& command, QWidget* parent) const
{
    auto* action = new QAction(QCoreApplication::translate("QObject", command.text), parent);
    if (command.icon)
        action->setIcon(QIcon(QLatin1String(command.icon)));
    QObject::connect(action, &QAction::triggered, m_window, [this, &command] { run(command); });
    return action;
}

void ActionCollection::buildMenus(QMenuBar* menuBar, QToolBar* toolBar)
{
    const std::pair<Place, const char*> menus[] = {{FileMenu, "File"}, {ToolsMenu, "Tools"}, {HelpMenu, "Help"}};
    for (const auto& [place, title] : menus) {
        QMenu* menu = menuBar->addMenu(QLatin1String(title));
        for (const Command& command : commands()) {
            if (!(command.places & place))
                continue;
            if (!command.slot) {
                menu->addSeparator();
                continue;
            }
            QAction* action = makeAction(command, menu);
            menu->addAction(action);
            if (command.offers & NeedsWebHost)
                action->setEnabled(webHostEnabled());
            if (command.offers & kBoth)
                m_followers.append({&command, action});
            if (command.places & ToolBar)
                m_shared.append(action);
        }
    }
    int shared = 0;
    for (const Command& command : commands()) {
        if (!(command.places & ToolBar))
            continue;
        if (command.slot)
            toolBar->addAction(m_shared.at(shared++));
        else
            toolBar->addSeparator();
    }
    updateEnabled(nullptr);
}

void ActionCollection::updateEnabled(const Node* current)
{
    const unsigned offer = offerOf(ItemModelMain::databaseNodeOf(const_cast<Node*>(current)));
    for (const auto& [command, action] : m_followers)
        action->setEnabled(command->offers & offer);
}

void ActionCollection::popUp(const QList<const Command*>& commands) const
{
    if (commands.isEmpty())
        return;
    QMenu menu;
    for (const Command* command : commands)
        menu.addAction(makeAction(*command, &menu));
    menu.exec(QCursor::pos());
}

void ActionCollection::run(const char* slot) const
{
    for (const Command& command : commands()) {
        if (command.slot && std::strcmp(command.slot, slot) == 0)
            return run(command);
    }
    qWarning("no command runs the slot %s", slot);
}

void ActionCollection::run(const Command& command) const
{
    const auto handler = m_handlers.find(command.family);
    if (handler != m_handlers.end())
        handler->second(command.scope);
}

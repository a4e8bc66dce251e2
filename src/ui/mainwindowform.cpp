#include "ui/mainwindowform.h"

#include "ui/mytreeview.h"

#include <QBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QSpacerItem>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QWebSettings>
#include <QtWebKitWidgets/QWebView>

namespace {

template <typename Layout>
Layout* tightLayout(QWidget* owner, const char* name)
{
    auto* layout = new Layout(owner);
    layout->setObjectName(QLatin1String(name));
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

QWidget* namedWidget(QWidget* parent, const char* name)
{
    auto* widget = new QWidget(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A row of a line edit and a search button above a list.
void addSearchRow(QWidget* pane, QBoxLayout* paneLayout, const char* rowName, const char* layoutName,
                  QLineEdit*& edit, const char* editName, QToolButton*& button, const char* buttonName)
{
    QWidget* row = namedWidget(pane, rowName);
    auto* rowLayout = tightLayout<QHBoxLayout>(row, layoutName);
    edit = new QLineEdit(row);
    edit->setObjectName(QLatin1String(editName));
    button = new QToolButton(row);
    button->setObjectName(QLatin1String(buttonName));
    button->setText(QStringLiteral("..."));
    button->setIcon(QIcon(QStringLiteral(":/res/search.png")));
    rowLayout->addWidget(edit);
    rowLayout->addWidget(button);
    paneLayout->addWidget(row);
}

QWidget* buildSourcePane(MainWindowForm& form, QWidget* parent)
{
    QWidget* pane = namedWidget(parent, "widget_5");
    pane->setFocusPolicy(Qt::WheelFocus);
    auto* layout = tightLayout<QVBoxLayout>(pane, "verticalLayout_3");
    addSearchRow(pane, layout, "widget_4", "horizontalLayout_2", form.txtHandleKeyword, "txtHandleKeyword",
                 form.btnSearchHandle, "btnSearchHandle");
    form.treeViewDS = new MyTreeView(pane);
    form.treeViewDS->setObjectName(QStringLiteral("treeViewDS"));
    form.treeViewDS->setFrameShape(QFrame::StyledPanel);
    form.treeViewDS->setFrameShadow(QFrame::Sunken);
    form.treeViewDS->setLineWidth(1);
    form.treeViewDS->setHeaderHidden(true);
    layout->addWidget(form.treeViewDS);
    return pane;
}

QWidget* buildMessagePane(MainWindowForm& form, QWidget* parent)
{
    QWidget* pane = namedWidget(parent, "widget");
    pane->setFocusPolicy(Qt::WheelFocus);
    auto* layout = tightLayout<QVBoxLayout>(pane, "verticalLayout");
    addSearchRow(pane, layout, "widget_3", "horizontalLayout", form.txtSMSKeyword, "txtSMSKeyword",
                 form.btnSearchSMS, "btnSearchSMS");
    MyTreeView* list = new MyTreeView(pane);
    list->setObjectName(QStringLiteral("treeViewSMS"));
    list->setDropIndicatorShown(false);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setIndentation(5);
    list->setItemsExpandable(false);
    list->setRootIsDecorated(false);
    list->setSortingEnabled(true);
    form.treeViewSMS = list;
    layout->addWidget(list);
    form.lbSMSCount = new QLabel(QStringLiteral("Messages: 0"), pane);
    form.lbSMSCount->setObjectName(QStringLiteral("lbSMSCount"));
    form.lbSMSCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form.lbSMSCount->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    layout->addWidget(form.lbSMSCount);
    return pane;
}

QWidget* buildBubblePane(MainWindowForm& form, QWidget* parent)
{
    QWidget* pane = namedWidget(parent, "widget_2");
    pane->setFocusPolicy(Qt::WheelFocus);
    auto* layout = tightLayout<QVBoxLayout>(pane, "verticalLayout_2");
    form.lbConversation = namedWidget(pane, "lbConversation");
    form.lbConversation->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* titleLayout = tightLayout<QHBoxLayout>(form.lbConversation, "horizontalLayout_4");
    titleLayout->setContentsMargins(10, 0, 10, 0);
    titleLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    form.lbChatName = new QLabel(form.lbConversation);
    form.lbChatName->setObjectName(QStringLiteral("lbChatName"));
    form.lbChatName->setMaximumHeight(30);
    form.lbChatName->setScaledContents(true);
    form.lbChatName->setWordWrap(false);
    titleLayout->addWidget(form.lbChatName);
    titleLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    layout->addWidget(form.lbConversation);

    form.webViewSMS = new QWebView(pane);
    form.webViewSMS->setObjectName(QStringLiteral("webViewSMS"));
    form.webViewSMS->setContextMenuPolicy(Qt::NoContextMenu);
    form.webViewSMS->setAcceptDrops(false);
    // The page is rendered from message data with a local base URL: no script, no plugins.
    QWebSettings* settings = form.webViewSMS->settings();
    settings->setAttribute(QWebSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebSettings::PluginsEnabled, false);
    form.webViewSMS->setUrl(QUrl(QStringLiteral("about:blank")));
    layout->addWidget(form.webViewSMS);
    return pane;
}

}  // namespace

void MainWindowForm::setupUi(QMainWindow* window)
{
    window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(1000, 680);
    window->setWindowTitle(QStringLiteral("MainWindow"));

    centralWidget = namedWidget(window, "centralWidget");
    auto* central = tightLayout<QVBoxLayout>(centralWidget, "verticalLayout_4");
    splitter = new QSplitter(Qt::Horizontal, centralWidget);
    splitter->setObjectName(QStringLiteral("splitter"));
    splitter->setHandleWidth(1);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(buildSourcePane(*this, splitter));
    splitter->addWidget(buildMessagePane(*this, splitter));
    splitter->addWidget(buildBubblePane(*this, splitter));
    central->addWidget(splitter);
    window->setCentralWidget(centralWidget);

    menuBar = new QMenuBar(window);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    window->setMenuBar(menuBar);

    mainToolBar = new QToolBar(window);
    mainToolBar->setObjectName(QStringLiteral("mainToolBar"));
    mainToolBar->setMovable(false);
    mainToolBar->setFloatable(false);
    mainToolBar->setIconSize(QSize(52, 52));
    window->addToolBar(Qt::TopToolBarArea, mainToolBar);

    statusBar = new QStatusBar(window);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    window->setStatusBar(statusBar);
}

#pragma once
// The widgets of the main window, built in code, with the object names the style sheet and the
// commands find them by.
class MyTreeView;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenuBar;
class QSplitter;
class QStatusBar;
class QToolBar;
class QToolButton;
class QWebView;
class QWidget;

struct MainWindowForm {
    QWidget* centralWidget = nullptr;
    QSplitter* splitter = nullptr;
    QLineEdit* txtHandleKeyword = nullptr;
    QToolButton* btnSearchHandle = nullptr;
    MyTreeView* treeViewDS = nullptr;
    QLineEdit* txtSMSKeyword = nullptr;
    QToolButton* btnSearchSMS = nullptr;
    MyTreeView* treeViewSMS = nullptr;
    QLabel* lbSMSCount = nullptr;
    QWidget* lbConversation = nullptr;
    QLabel* lbChatName = nullptr;
    QWebView* webViewSMS = nullptr;
    QMenuBar* menuBar = nullptr;
    QToolBar* mainToolBar = nullptr;
    QStatusBar* statusBar = nullptr;

    // Creates the widgets as children of window.
    void setupUi(QMainWindow* window);
};

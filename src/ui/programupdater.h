#pragma once
// The daily update check and the status-bar link: sends the requests, keeps the state files (the time
// of the last check and the last link) and asks about a new version. The decisions are UpdateCheck's.
#include <QObject>

class QLabel;
class QNetworkReply;
class QStatusBar;
class QWidget;

class ProgramUpdater : public QObject {
    Q_OBJECT
public:
    // Puts the link label into statusBar, showing the stored link. window is closed when the user goes
    // to download a new version.
    ProgramUpdater(QWidget* window, QStatusBar* statusBar);

    // Sends the version and link requests unless today's check is done or there is no web host.
    void startDailyCheck();
    // Opens the update page, or says that there is none.
    void openUpdatePage();

public slots:
    void onCheckVersionReadyRead(QNetworkReply* reply);
    void onGetAdvLinkRead(QNetworkReply* reply);

private:
    QWidget* m_window;
    QLabel* m_statusLabel;  // a child of the status bar
};

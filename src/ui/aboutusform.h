#pragma once
// The About dialog: the program's picture, name and version, a one-line notice with the current year,
// and a link to the maker's home page when a web host is configured.
#include "ui/winmovable.h"

#include <QDialog>

class QGraphicsView;
class QLabel;
class QPushButton;

class AboutUsForm : public QDialog {
    Q_OBJECT
public:
    explicit AboutUsForm(QWidget* parent = nullptr);
    ~AboutUsForm() override;

private:
    void buildForm();
    void showPicture();
    void showHomePageLink();

    WinMovable m_mover;
    QGraphicsView* picApp = nullptr;  // children of the dialog
    QLabel* lbTitle = nullptr;
    QLabel* lbProduct = nullptr;
    QLabel* lbNotice = nullptr;
    QLabel* lbHomePage = nullptr;
    QPushButton* btnOK = nullptr;
};

#include "ui/messagebox.h"

#include "fixtures/loopback_http.h"
#include "fixtures/scripted_interaction.h"
#include "ui/interaction.h"
#include "ui/winmovable.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

void sendMouse(QWidget& widget, QEvent::Type type, Qt::MouseButton button, QPoint pos)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, pos, widget.mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : button, held,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

TEST(WinMovable, DragsWithLeftButtonOnly)
{
    QWidget window;
    window.setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    window.setGeometry(100, 100, 200, 100);
    WinMovable mover(&window);
    window.show();
    const QPoint start = window.pos();

    sendMouse(window, QEvent::MouseButtonPress, Qt::RightButton, QPoint(10, 10));
    sendMouse(window, QEvent::MouseMove, Qt::RightButton, QPoint(40, 30));
    EXPECT_EQ(window.pos(), start);
    sendMouse(window, QEvent::MouseButtonRelease, Qt::RightButton, QPoint(40, 30));

    sendMouse(window, QEvent::MouseButtonPress, Qt::LeftButton, QPoint(10, 10));
    sendMouse(window, QEvent::MouseMove, Qt::LeftButton, QPoint(40, 30));
    EXPECT_EQ(window.pos(), start + QPoint(30, 20));
    sendMouse(window, QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(40, 30));

    const QPoint afterDrag = window.pos();
    sendMouse(window, QEvent::MouseMove, Qt::NoButton, QPoint(80, 80));
    EXPECT_EQ(window.pos(), afterDrag);
}

TEST(StyleSheet, IsLoadedFromResources)
{
    const QString css = loadStyleSheet();
    EXPECT_TRUE(css.contains(QStringLiteral("QMessageBox")));
    EXPECT_TRUE(css.contains(QStringLiteral("#ProgressForm")));
    EXPECT_EQ(loadStyleSheet(), css);
    EXPECT_FALSE(QPixmap(QStringLiteral(":/sub_bg.png")).isNull());
    EXPECT_FALSE(QPixmap(QStringLiteral(":/main_bg.png")).isNull());
}

TEST(MessageBoxes, KindsAndAnswersGoThroughTheInteraction)
{
    const testing_http::ScopedWebHost noHost{QString()};
    fixtures::ScriptedInteraction script;
    script.answerBox(QMessageBox::Yes);
    script.answerBox(QMessageBox::No);

    EXPECT_TRUE(askQuestion(QStringLiteral("Delete?")));
    EXPECT_FALSE(askQuestion(QStringLiteral("Really?")));
    EXPECT_FALSE(askQuestion(QStringLiteral("Unscripted?")));  // the cautious answer is No
    showInfo(QStringLiteral("Done"));
    EXPECT_EQ(showWarning(QStringLiteral("Careful")), int(QMessageBox::Ok));
    showPlainError(QStringLiteral("plain"));

    ASSERT_EQ(script.boxes().size(), 6u);
    EXPECT_EQ(script.boxes()[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(script.boxes()[3].icon, QMessageBox::Information);
    EXPECT_EQ(script.boxes()[4].icon, QMessageBox::Warning);
    EXPECT_EQ(script.boxTexts(QMessageBox::Critical), QStringList{QStringLiteral("plain")});
}

TEST(InteractionRecorder, AnswersChoosersAndDialogsFromItsScript)
{
    fixtures::ScriptedInteraction script;
    script.answerPath(QStringLiteral("/tmp/a.db"));
    script.answerDialog([](QDialog& dialog) {
        dialog.setWindowTitle(QStringLiteral("filled"));
        return int(QDialog::Accepted);
    });

    EXPECT_EQ(chooseOpenFileName(nullptr, QStringLiteral("Open")), QStringLiteral("/tmp/a.db"));
    EXPECT_TRUE(chooseExistingDirectory(nullptr, QStringLiteral("Folder")).isEmpty());
    QDialog dialog;
    dialog.setObjectName(QStringLiteral("PasscodeDlg"));
    EXPECT_EQ(execDialog(dialog), int(QDialog::Accepted));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("filled"));
    EXPECT_EQ(execDialog(dialog), int(QDialog::Rejected));

    ASSERT_EQ(script.choosers().size(), 2u);
    EXPECT_EQ(script.choosers()[1].kind, fixtures::ScriptedInteraction::ChooserKind::Directory);
    ASSERT_EQ(script.dialogs().size(), 2u);
    EXPECT_EQ(script.dialogs()[0].objectName, QStringLiteral("PasscodeDlg"));
}

// The real box, closed by a timer so the test never blocks.
TEST(StyledMessageBox, IsFramelessTitledAndOffersTheAskedButtons)
{
    QStringList buttonTexts;
    QString title;
    bool frameless = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        frameless = box->windowFlags().testFlag(Qt::FramelessWindowHint);
        for (QAbstractButton* button : box->buttons())
            buttonTexts.append(QString::number(box->standardButton(button)));
        QTest::keyClick(box, Qt::Key_Escape);
    });
    const int answer = execStyledMessageBox(QMessageBox::Question, QStringLiteral("Keep <b>it</b>?"),
                                            QMessageBox::Cancel | QMessageBox::Ok | QMessageBox::No
                                                | QMessageBox::Yes);
    EXPECT_EQ(answer, int(QMessageBox::Cancel));
    EXPECT_EQ(title, QStringLiteral("Tallowmere"));
    EXPECT_TRUE(frameless);
    EXPECT_EQ(buttonTexts.size(), 4);

    // Escape on a Yes/No question answers No.
    QTimer::singleShot(0, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
    EXPECT_EQ(execStyledMessageBox(QMessageBox::Question, QStringLiteral("Sure?"),
                                   QMessageBox::Yes | QMessageBox::No),
              int(QMessageBox::No));
}

}  // namespace

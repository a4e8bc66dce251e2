// The local-database chooser: what names it accepts, and how it answers.
#include "fixtures/scripted_interaction.h"
#include "ui/localdbselform.h"

#include <QComboBox>
#include <gtest/gtest.h>

namespace {

using Check = LocalDbSelForm::NameCheck;

TEST(LocalDbNameRules, RefusesNamesThatCannotBeOneFolderOfOurs)
{
    const struct {
        QString name;
        Check expected;
    } cases[] = {
        {QStringLiteral("Work"), Check::Ok},
        {QStringLiteral(" a "), Check::Ok},  // kept as typed
        {QStringLiteral("..."), Check::Ok},
        {QStringLiteral("Anna's iPhone_Backup"), Check::Ok},
        {QString(), Check::Empty},
        {QStringLiteral(" \t "), Check::Empty},
        {QStringLiteral("a/b"), Check::Invalid},
        {QStringLiteral("a\\b"), Check::Invalid},
        {QStringLiteral("a|b"), Check::Invalid},
        {QStringLiteral("what?"), Check::Invalid},
        {QStringLiteral("."), Check::Invalid},
        {QStringLiteral(".."), Check::Invalid},
        {QStringLiteral("tab\there"), Check::Invalid},
        {QStringLiteral("line\nbreak"), Check::Invalid},
        {QString(QChar(0x7f)) + QStringLiteral("x"), Check::Invalid},
        {QStringLiteral("x") + QChar(0xD800), Check::Invalid},
        {QString(200, QLatin1Char('a')), Check::Ok},
        {QString(201, QLatin1Char('a')), Check::Invalid},
        {QString(100, QChar(0xE9)), Check::Ok},       // 200 bytes of UTF-8
        {QString(101, QChar(0xE9)), Check::Invalid},  // 202 bytes
    };
    for (const auto& c : cases)
        EXPECT_EQ(LocalDbSelForm::checkName(c.name), c.expected) << c.name.toStdString();
}

class LocalDbSelFormTest : public ::testing::Test {
protected:
    // Types text into the field, presses OK, and answers with the dialog's result.
    void answerWith(const QString& text)
    {
        script.answerDialog([text](QDialog& dialog) {
            dialog.findChild<QComboBox*>(QStringLiteral("cbLocalDbNames"))->setEditText(text);
            QMetaObject::invokeMethod(&dialog, "onBtnOkPress");
            return dialog.result();
        });
    }
    fixtures::ScriptedInteraction script;
};

TEST_F(LocalDbSelFormTest, ListsTheDatabasesAfterAnEmptyRowAndPresetsTheDefaultWithoutARow)
{
    LocalDbSelForm form({QStringLiteral("one"), QStringLiteral("two")}, QStringLiteral("Phone_Backup"));
    const auto* combo = form.findChild<QComboBox*>(QStringLiteral("cbLocalDbNames"));
    ASSERT_NE(combo, nullptr);
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->itemText(0), QString());
    EXPECT_EQ(combo->itemText(2), QStringLiteral("two"));
    EXPECT_EQ(combo->currentIndex(), -1);
    EXPECT_EQ(combo->currentText(), QStringLiteral("Phone_Backup"));
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(form.size(), QSize(423, 156));
}

TEST_F(LocalDbSelFormTest, AcceptsAValidNameAsTypedAndWarnsAndStaysOpenOtherwise)
{
    answerWith(QStringLiteral(" a "));
    EXPECT_EQ(LocalDbSelForm({}, QString()).selectDatabase(), QStringLiteral(" a "));
    EXPECT_TRUE(script.boxes().empty());

    answerWith(QStringLiteral("   "));
    EXPECT_EQ(LocalDbSelForm({}, QString()).selectDatabase(), QString());
    answerWith(QStringLiteral("a/b"));
    EXPECT_EQ(LocalDbSelForm({}, QString()).selectDatabase(), QString());
    answerWith(QStringLiteral(".."));
    EXPECT_EQ(LocalDbSelForm({}, QString()).selectDatabase(), QString());
    ASSERT_EQ(script.boxes().size(), 3u);
    EXPECT_EQ(script.boxes()[0].text, QStringLiteral("IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME"));
    EXPECT_EQ(script.boxes()[1].text, QStringLiteral("IDS_INVALID_LOCALDB_NAME"));
    EXPECT_EQ(script.boxes()[2].text, QStringLiteral("IDS_INVALID_LOCALDB_NAME"));
    for (const auto& box : script.boxes())
        EXPECT_EQ(box.icon, QMessageBox::Warning);
}

TEST_F(LocalDbSelFormTest, TheEmptyRowWarnsAndCancelReturnsNothing)
{
    script.answerDialog([](QDialog& dialog) {
        dialog.findChild<QComboBox*>(QStringLiteral("cbLocalDbNames"))->setCurrentIndex(0);
        QMetaObject::invokeMethod(&dialog, "onBtnOkPress");
        return dialog.result();
    });
    EXPECT_EQ(LocalDbSelForm({QStringLiteral("one")}, QStringLiteral("x")).selectDatabase(), QString());
    EXPECT_EQ(script.boxTexts(QMessageBox::Warning),
              QStringList{QStringLiteral("IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME")});

    script.answerDialog([](QDialog& dialog) {
        dialog.reject();  // Escape and Cancel
        return dialog.result();
    });
    EXPECT_EQ(LocalDbSelForm({QStringLiteral("one")}, QStringLiteral("one")).selectDatabase(), QString());
}

}  // namespace

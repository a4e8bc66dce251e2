#include "ui/localdbselform.h"

#include "ui/buttonrow.h"
#include "ui/interaction.h"
#include "ui/messagebox.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

namespace {

constexpr int kMaxNameBytes = 200;

bool isRefusedCharacter(QChar c)
{
    static const QString forbidden = QStringLiteral("\\/:*?\"<>|");
    return forbidden.contains(c) || c.category() == QChar::Other_Control;
}

bool hasUnpairedSurrogate(const QString& name)
{
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return true;
    }
    return false;
}

}  // namespace

LocalDbSelForm::LocalDbSelForm(const QStringList& names, const QString& defaultName, QWidget* parent)
    : QDialog(parent), m_mover(this)
{
    buildForm();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    connect(btnOK, &QPushButton::pressed, this, &LocalDbSelForm::onBtnOkPress);
    cbLocalDbNames->addItem(QString());
    cbLocalDbNames->addItems(names);
    cbLocalDbNames->setCurrentIndex(-1);
    if (!defaultName.isEmpty())
        cbLocalDbNames->setEditText(defaultName);
}

LocalDbSelForm::~LocalDbSelForm() = default;

void LocalDbSelForm::buildForm()
{
    setObjectName(QStringLiteral("LocalDbSelForm"));
    setFixedSize(423, 156);
    setWindowTitle(tr("选择要备份到哪个数据库"));

    label = new QLabel(tr("选择或输入新的数据库名称:"), this);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(10, 20, 400, 15);

    cbLocalDbNames = new QComboBox(this);
    cbLocalDbNames->setObjectName(QStringLiteral("cbLocalDbNames"));
    cbLocalDbNames->setGeometry(10, 40, 400, 21);
    cbLocalDbNames->setEditable(true);
    // Typed names stay in the edit field: they are not added to the list.
    cbLocalDbNames->setInsertPolicy(QComboBox::NoInsert);
    cbLocalDbNames->setToolTip(tr("选择现有的数据库会将短信息附加到里面,输入新的名字会创建新的本地数据库."));

    const ButtonRow buttons = addButtonRow(this, {100, 120, 210, 24}, tr("确定"), tr("取消"));
    buttons.layout->setSpacing(6);
    layoutWidget = buttons.widget;
    btnOK = buttons.ok;
    btnClose = buttons.cancel;

    connect(btnClose, &QPushButton::pressed, this, &QDialog::reject);
}

LocalDbSelForm::NameCheck LocalDbSelForm::checkName(const QString& name)
{
    if (name.trimmed().isEmpty())
        return NameCheck::Empty;
    // "." and ".." would make the local-database folder itself, or the data folder, the database:
    // deleting that database would then delete every database or all the program's data.
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return NameCheck::Invalid;
    if (std::any_of(name.cbegin(), name.cend(), isRefusedCharacter) || hasUnpairedSurrogate(name))
        return NameCheck::Invalid;
    if (name.toUtf8().size() > kMaxNameBytes)
        return NameCheck::Invalid;
    return NameCheck::Ok;
}

void LocalDbSelForm::onBtnOkPress()
{
    m_name = cbLocalDbNames->currentText();  // untrimmed: the name is used as typed
    switch (checkName(m_name)) {
    case NameCheck::Empty:
        showWarning(tr("IDS_PLEASE_SELECT_DATABASE_OR_INPUT_NEW_NAME"));
        return;
    case NameCheck::Invalid:
        showWarning(tr("IDS_INVALID_LOCALDB_NAME"));
        return;
    case NameCheck::Ok:
        accept();
        return;
    }
}

QString LocalDbSelForm::selectDatabase()
{
    const int result = execDialog(*this);
    return result == QDialog::Accepted && !m_name.isEmpty() ? m_name : QString();
}

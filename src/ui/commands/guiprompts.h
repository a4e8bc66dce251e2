#pragma once
// The sequences' prompts answered with the window's dialogs, message boxes and progress dialog.
#include "flows/flowprompts.h"

class CommandContext;

class GuiPrompts : public FlowPrompts {
public:
    explicit GuiPrompts(CommandContext& context) : m_context(context) {}

    QSharedPointer<BackupManifest> chooseBackup() override;
    bool unlock(BackupManifest& manifest) override;
    QString chooseLocalDb(const QStringList& names, const QString& defaultName) override;
    std::optional<QString> chooseCountry() override;
    bool confirm(const QString& text) override;
    void inform(const QString& text) override;
    void warn(const QString& text) override;
    void error(const QString& text) override;
    std::unique_ptr<ProgressSink> progress() override;
    bool runJob(ProgressSink& progress, QThread& job) override;

private:
    CommandContext& m_context;
};

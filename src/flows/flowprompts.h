#pragma once
// Everything a sequence needs of the user: choices, confirmations, messages and the display a job runs
// under. The window answers with its dialogs; a test answers from a script. Texts are rich text, with
// the parts taken from data HTML-escaped by the sequence.
#include "core/progresssink.h"

#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <exception>
#include <memory>
#include <optional>

class BackupManifest;
class QThread;

class FlowPrompts {
public:
    virtual ~FlowPrompts() = default;

    // The backup the user chose, its "Manifest.plist" read; null when none was chosen.
    virtual QSharedPointer<BackupManifest> chooseBackup() = 0;
    // Asks for the password of the encrypted backup until it unlocks; false when the user gave up.
    virtual bool unlock(BackupManifest& manifest) = 0;
    // The local database chosen among names or newly named, defaultName proposed; empty when none.
    virtual QString chooseLocalDb(const QStringList& names, const QString& defaultName) = 0;
    // The mobile country code the user chose; nullopt when the choice was cancelled.
    virtual std::optional<QString> chooseCountry() = 0;
    // True only when the user answered yes.
    virtual bool confirm(const QString& text) = 0;
    virtual void inform(const QString& text) = 0;
    virtual void warn(const QString& text) = 0;
    virtual void error(const QString& text) = 0;

    // A display for one job's progress; it outlives the job made for it.
    virtual std::unique_ptr<ProgressSink> progress() = 0;
    // Runs job, made with progress, to its end: true only when it succeeded and was not cancelled.
    virtual bool runJob(ProgressSink& progress, QThread& job) = 0;
};

// Logs error and shows its text, HTML-escaped.
void showFlowError(FlowPrompts& prompts, const std::exception& error);

#pragma once
// Opening web links and local files with the desktop's default handlers, behind a hook that tests
// replace with a recorder. Call from the GUI thread only.
#include <memory>

class QString;
class QUrl;

class ShellHook {
public:
    virtual ~ShellHook() = default;
    // Both return whether the desktop accepted the request.
    virtual bool openUrl(const QUrl& url) = 0;
    virtual bool openLocalPath(const QString& path) = 0;
};

// The installed hook; the QDesktopServices one unless a test replaced it.
ShellHook& shellHook();

// Installs hook; nullptr restores the default.
void setShellHook(std::unique_ptr<ShellHook> hook);

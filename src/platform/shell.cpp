#include "platform/shell.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace {

class DesktopShellHook : public ShellHook {
public:
    bool openUrl(const QUrl& url) override { return QDesktopServices::openUrl(url); }
    bool openLocalPath(const QString& path) override
    {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    }
};

std::unique_ptr<ShellHook>& installedHook()
{
    static std::unique_ptr<ShellHook> hook = std::make_unique<DesktopShellHook>();
    return hook;
}

}  // namespace

ShellHook& shellHook()
{
    return *installedHook();
}

void setShellHook(std::unique_ptr<ShellHook> hook)
{
    installedHook() = hook ? std::move(hook) : std::make_unique<DesktopShellHook>();
}

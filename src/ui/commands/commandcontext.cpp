#include "ui/commands/commandcontext.h"

#include "ui/messagebox.h"

#include <QCoreApplication>

void showCommandNotReady(const char* name)
{
    qInfo("command %s is not available yet", name);
    showInfo(QCoreApplication::translate("MainWindow", "IDS_COMMAND_NOT_READY"));
}

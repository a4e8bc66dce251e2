#include "platform/sqlite_db.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tallowmere"));

    if (sqlite_qt_version() != 5) {
        QMessageBox::critical(nullptr, QStringLiteral("Tallowmere"), QStringLiteral("invalid libsqlite_qt."));
        return 1;
    }

    QMessageBox box(QMessageBox::Information, QStringLiteral("Tallowmere"),
                    QStringLiteral("Tallowmere is being built: the message browser is not there yet."));
    box.show();
    return app.exec();
}

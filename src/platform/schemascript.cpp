#include "platform/schemascript.h"

#include <QFile>

#include <sqlite3.h>

#include <stdexcept>

void createDatabaseFromScript(Sqlite3DB& db, const QString& path, QByteArray script, const QString& errorPrefix)
{
    db.openThrow(path, 6);
    const int nul = script.indexOf('\0');
    if (nul >= 0)
        script.truncate(nul);
    char* error = nullptr;
    // One transaction for the whole script: each statement on its own would sync the file and its
    // journal again.
    if (sqlite3_exec(db.handle(), "BEGIN", nullptr, nullptr, &error) == SQLITE_OK
        && sqlite3_exec(db.handle(), script.constData(), nullptr, nullptr, &error) == SQLITE_OK
        && sqlite3_exec(db.handle(), "COMMIT", nullptr, nullptr, &error) == SQLITE_OK)
        return;
    const QString message = QString::fromUtf8(error ? error : sqlite3_errmsg(db.handle()));
    sqlite3_free(error);
    db.close();
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-journal"));
    throw std::runtime_error((errorPrefix + message).toUtf8().toStdString());
}

QByteArray readScriptResource(const QString& resource, const QString& errorPrefix)
{
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error((errorPrefix + file.errorString()).toUtf8().toStdString());
    return file.readAll();
}

#pragma once
// The address-book cache "ct-phone.db" of one message source: the persons of the source's copied
// iPhone address book with their phone numbers in international form, so a message handle finds its
// contact by an exact text match.

#include "msgdb/absdb.h"

#include <QByteArray>
#include <QDir>
#include <QString>

// One address-book person as a lookup returns it; all empty when nothing matched.
struct ContactEntry {
    QString first;
    QString middle;
    QString last;
    QByteArray photo;  // thumbnail image bytes
};

class IOSContactsMemDb : public AbsDb {
public:
    // dir is the source's cache folder; mcc picks the country that normalises the numbers.
    IOSContactsMemDb(const QDir& dir, QString mcc);
    ~IOSContactsMemDb() override = default;

    // Rebuilds the cache when its stamped time differs from the address book's, then opens it
    // read-only. A failed rebuild throws and leaves the previous cache as it was.
    void open() override;

    // The contact of a number in international form ("+34612345678") or a lower-cased address.
    ContactEntry findByNumber(const QString& number);

    // "first middle last" with blank parts left out.
    static QString contactDisplayName(const ContactEntry& entry);
    // Modification time in Unix seconds; 0 when the file cannot be examined.
    static qint64 fileModifiedTime(const QString& path);

    QString cachePath() const;
    QString addressBookPath() const;
    QString addressBookWalPath() const;
    QString imagesPath() const;

private:
    qint64 sourceTime() const;
    void rebuild(const QString& tempPath);

    QDir m_dir;
    QString m_mcc;
};

#include "backup/backupkeybag.h"

#include "backup/backupcrypto.h"

#include <QtEndian>

#include <openssl/crypto.h>

namespace {

const QString uuidTag = QStringLiteral("UUID");
const QString wrapTag = QStringLiteral("WRAP");
const QString classTag = QStringLiteral("CLAS");
const QString wrappedKeyTag = QStringLiteral("WPKY");
const QString classKeyTag = QStringLiteral("KEY");
const QString saltTag = QStringLiteral("SALT");
const QString iterationsTag = QStringLiteral("ITER");

constexpr int kTagBytes = 4;
constexpr int kLengthBytes = 4;
constexpr int kDerivedKeyBytes = 32;

bool isClassTag(const QString& tag)
{
    return tag == classTag || tag == wrapTag || tag == wrappedKeyTag || tag == QLatin1String("KTYP")
           || tag == QLatin1String("PBKY");
}

struct Item {
    QString tag;
    QByteArray value;
};

// Reads the item at offset and moves offset past it; false when the item runs past the end.
bool readItem(const QByteArray& data, int& offset, Item& item)
{
    const int rest = data.size() - offset;
    if (rest < kTagBytes + kLengthBytes)
        return false;
    const char* at = data.constData() + offset;
    const quint32 length = qFromBigEndian<quint32>(at + kTagBytes);
    if (length > quint32(rest - kTagBytes - kLengthBytes))
        return false;
    item.tag = QString::fromLatin1(at, kTagBytes);
    item.value = data.mid(offset + kTagBytes + kLengthBytes, int(length));
    offset += kTagBytes + kLengthBytes + int(length);
    return true;
}

class KeyBagParser {
public:
    void add(const Item& item)
    {
        if (item.tag == uuidTag && !m_keyBag.attributes.contains(uuidTag)) {
            m_keyBag.attributes.insert(uuidTag, item.value);
        } else if (item.tag == wrapTag && !m_keyBag.attributes.contains(wrapTag)) {
            m_keyBag.attributes.insert(wrapTag, item.value);
        } else if (item.tag != uuidTag) {
            (isClassTag(item.tag) ? m_current : m_keyBag.attributes).insert(item.tag, item.value);
        } else {
            // A later UUID opens the next class; the one before is already stored.
            m_current.clear();
            m_current.insert(uuidTag, item.value);
        }
        // Storing after every item means a class is complete however the blob ends, and a repeated
        // CLAS number replaces the earlier class.
        if (m_current.contains(classTag))
            m_keyBag.classes.insert(BackupKeyBag::intValue(m_current, classTag), m_current);
    }

    BackupKeyBag result() const { return m_keyBag; }

private:
    BackupKeyBag m_keyBag;
    KeyBagItems m_current;
};

// Clears a key from memory before the array is released.
void wipe(QByteArray& key)
{
    if (!key.isEmpty())
        OPENSSL_cleanse(key.data(), size_t(key.size()));
}

}  // namespace

BackupKeyBag BackupKeyBag::parse(const QByteArray& data)
{
    KeyBagParser parser;
    Item item;
    for (int offset = 0; offset < data.size() && readItem(data, offset, item);)
        parser.add(item);
    return parser.result();
}

qint32 BackupKeyBag::intValue(const KeyBagItems& items, const QString& tag)
{
    const QByteArray value = items.value(tag);
    return value.size() < 4 ? 0 : qFromBigEndian<qint32>(value.constData());
}

bool BackupKeyBag::unlock(BackupKeyBag& keyBag, const QByteArray& utf8Password)
{
    const int iterations = intValue(keyBag.attributes, iterationsTag);
    if (iterations < minIterations || iterations > maxIterations)
        return false;
    QByteArray passwordKey =
        pbkdf2HmacSha1(utf8Password, keyBag.attributes.value(saltTag), iterations, kDerivedKeyBytes);
    if (passwordKey.isEmpty())
        return false;

    // Work on a copy so that a failed attempt leaves no class key behind.
    BackupKeyBag unlocked = keyBag;
    bool anyUnwrapped = false;
    bool failed = false;
    for (auto it = unlocked.classes.begin(); it != unlocked.classes.end() && !failed; ++it) {
        KeyBagItems& items = it.value();
        const QByteArray wrapped = items.value(wrappedKeyTag);
        // A WPKY of another length would give a class key that is not 256 bits; such a class
        // simply stays locked.
        if ((intValue(items, wrapTag) & wrapPasscodeBit) == 0 || wrapped.size() != wrappedKeyBytes)
            continue;
        const QByteArray classKey = aesKeyUnwrap(passwordKey, wrapped);
        failed = classKey.isEmpty();  // a wrong password fails the check of the first class
        if (!failed) {
            items.insert(classKeyTag, classKey);
            anyUnwrapped = true;
        }
    }
    wipe(passwordKey);
    // A keybag with nothing to unwrap proves nothing about the password.
    if (failed || !anyUnwrapped)
        return false;
    keyBag = unlocked;
    return true;
}

QByteArray BackupKeyBag::unwrapFileKey(const BackupKeyBag& keyBag, int protectionClass, const QByteArray& wrapped40)
{
    if (wrapped40.size() != wrappedKeyBytes)
        return QByteArray();
    const QByteArray classKey = keyBag.classes.value(protectionClass).value(classKeyTag);
    return classKey.isEmpty() ? QByteArray() : aesKeyUnwrap(classKey, wrapped40);
}

bool BackupKeyBag::hasClassKeys() const
{
    for (const KeyBagItems& items : classes)
        if (items.contains(classKeyTag))
            return true;
    return false;
}

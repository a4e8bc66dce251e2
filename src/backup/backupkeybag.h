#pragma once
// The keybag of an encrypted backup ("BackupKeyBag" in Manifest.plist): the keys of the data
// protection classes, each wrapped with a key derived from the backup password.
//
// The blob is a run of items: a 4-byte ASCII tag, a 32-bit big-endian length and that many bytes.
// The first UUID and WRAP describe the keybag itself; every later UUID opens a class whose CLAS,
// WRAP, WPKY, KTYP and PBKY items follow it. Other tags describe the keybag (SALT, ITER, ...).
#include <QByteArray>
#include <QMap>
#include <QString>

using KeyBagItems = QMap<QString, QByteArray>;

struct BackupKeyBag {
    // PBKDF2 iteration counts outside this range are refused: zero or less is corrupt, and a huge
    // count would freeze the password dialog for minutes.
    static constexpr int minIterations = 1;
    static constexpr int maxIterations = 10000000;
    static constexpr int wrappedKeyBytes = 40;  // a 32-byte key after RFC 3394 wrapping
    static constexpr int wrapPasscodeBit = 2;   // WRAP bit: the class key is wrapped by the password

    KeyBagItems attributes;          // keybag-wide items
    QMap<int, KeyBagItems> classes;  // by CLAS number; "KEY" holds the class key once unlocked

    // Parses a blob from outside. An item cut short, or a length beyond the end of the blob, stops
    // the parse: the complete items before it are kept, nothing of the broken one.
    static BackupKeyBag parse(const QByteArray& data);

    // The first 4 bytes of the tag's value as a big-endian signed number; 0 when the tag is absent
    // or its value is shorter than 4 bytes.
    static qint32 intValue(const KeyBagItems& items, const QString& tag);

    // Derives the password key (PBKDF2-HMAC-SHA1 over SALT and ITER) and unwraps the 40-byte WPKY
    // of every class whose WRAP has wrapPasscodeBit, storing each 32-byte result under "KEY". True
    // only when at least one class key was unwrapped and none failed; keyBag is changed only then.
    static bool unlock(BackupKeyBag& keyBag, const QByteArray& utf8Password);

    // The 32-byte per-file key: wrapped40 unwrapped with the class key of protectionClass. Empty
    // when the class is missing or has no key, wrapped40 is not 40 bytes, or the check fails.
    static QByteArray unwrapFileKey(const BackupKeyBag& keyBag, int protectionClass, const QByteArray& wrapped40);

    // True when some class holds an unwrapped key, i.e. a successful unlock has happened.
    bool hasClassKeys() const;
};

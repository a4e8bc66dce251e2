// The keybag of an encrypted backup: parse, unlock with the sample password, unwrap a file key.
// The harness caps the PBKDF2 iteration count so that one input stays far below the time limit;
// the count check itself still sees the value from the input first.
#include "backup/backupkeybag.h"
#include "fuzz_support.h"

#include <QtEndian>

namespace {

constexpr qint32 kMaxFuzzIterations = 1000;

// A file key as a record would carry it: the last 40 bytes of the input, so mutations reach it.
QByteArray wrappedFileKey(const QByteArray& input)
{
    return input.right(BackupKeyBag::wrappedKeyBytes);
}

void capIterations(BackupKeyBag& keyBag)
{
    const QString tag = QStringLiteral("ITER");
    const qint32 iterations = BackupKeyBag::intValue(keyBag.attributes, tag);
    if (iterations <= kMaxFuzzIterations)
        return;
    QByteArray capped(4, '\0');
    qToBigEndian<qint32>(kMaxFuzzIterations, capped.data());
    keyBag.attributes.insert(tag, capped);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    BackupKeyBag keyBag = BackupKeyBag::parse(input);
    for (const KeyBagItems& items : keyBag.classes)
        (void)BackupKeyBag::intValue(items, QStringLiteral("WRAP"));
    capIterations(keyBag);
    // The sample backups' password, so that seeds unlock and the unwrapping behind it is reached.
    if (!BackupKeyBag::unlock(keyBag, QByteArrayLiteral("secret")))
        return 0;
    (void)keyBag.hasClassKeys();
    const QByteArray wrapped = wrappedFileKey(input);
    for (auto it = keyBag.classes.cbegin(); it != keyBag.classes.cend(); ++it)
        (void)BackupKeyBag::unwrapFileKey(keyBag, it.key(), wrapped);
    return 0;
}

#include "backup/backupcrypto.h"
#include "backup/backupkeybag.h"

#include "fixtures/backup_builder.h"

#include <gtest/gtest.h>

namespace {

using fixtures::BackupEncryption;
using fixtures::bigEndian32;
using fixtures::keyBagItem;

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// RFC 3394 section 4.6: 256 bits of key data wrapped with a 256-bit key-encryption key.
const QByteArray rfcKek = hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
const QByteArray rfcKeyData = hex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
const QByteArray rfcWrapped =
    hex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");

TEST(KeyWrap, MatchesTheRfc3394VectorBothWays)
{
    EXPECT_EQ(aesKeyWrap(rfcKek, rfcKeyData), rfcWrapped);
    EXPECT_EQ(aesKeyUnwrap(rfcKek, rfcWrapped), rfcKeyData);
}

TEST(KeyWrap, UnwrapRefusesAlteredAndMisshapenInput)
{
    for (int i = 0; i < rfcWrapped.size(); i += 13) {
        QByteArray altered = rfcWrapped;
        altered[i] = char(altered[i] ^ 0x01);
        EXPECT_TRUE(aesKeyUnwrap(rfcKek, altered).isEmpty()) << "byte " << i;
    }
    EXPECT_TRUE(aesKeyUnwrap(rfcKek, rfcWrapped.left(39)).isEmpty());
    EXPECT_TRUE(aesKeyUnwrap(rfcKek, rfcWrapped.left(16)).isEmpty());
    EXPECT_TRUE(aesKeyUnwrap(rfcKek, QByteArray()).isEmpty());
    EXPECT_TRUE(aesKeyUnwrap(rfcKek.left(16), rfcWrapped).isEmpty());
    EXPECT_TRUE(aesKeyUnwrap(QByteArray(), rfcWrapped).isEmpty());
}

TEST(Pbkdf2, MatchesRfc6070AndTheSampleKey)
{
    EXPECT_EQ(pbkdf2HmacSha1("password", "salt", 1, 20), hex("0c60c80f961f0e71f3a9b524af6012062fe037a6"));
    EXPECT_EQ(pbkdf2HmacSha1("password", "salt", 2, 20), hex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"));
    EXPECT_EQ(pbkdf2HmacSha1("password", "salt", 4096, 20), hex("4b007901b765489abead49d926f721d065a429c1"));
    EXPECT_EQ(pbkdf2HmacSha1("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25),
              hex("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"));
    EXPECT_EQ(BackupEncryption().passwordKey(),
              hex("47a7dabb55ce58d67b7abafb81af3cc26341a6424a153408ead412aecd6d0dc3"));
    EXPECT_TRUE(pbkdf2HmacSha1("password", "salt", 0, 32).isEmpty());
}

TEST(CbcDecryptor, CarriesTheChainAcrossPiecesAndRefusesPartialBlocks)
{
    const QByteArray key(32, '\x07');
    const QByteArray plain = QByteArray("sixty-four bytes of text, split into pieces of different sizes..");
    ASSERT_EQ(plain.size(), 64);
    QByteArray data = fixtures::encryptFileContent(key, plain).left(64);

    AesCbcDecryptor decryptor(key);
    EXPECT_FALSE(decryptor.decryptInPlace(data.data(), 15));
    EXPECT_TRUE(decryptor.decryptInPlace(data.data(), 16));
    EXPECT_TRUE(decryptor.decryptInPlace(data.data() + 16, 48));
    EXPECT_EQ(data, plain);

    EXPECT_THROW(AesCbcDecryptor(key.left(16)), std::invalid_argument);
}

// A keybag as devices write it, with two classes.
QByteArray deviceOrderKeyBag()
{
    return keyBagItem("VERS", bigEndian32(3)) + keyBagItem("TYPE", bigEndian32(1))
           + keyBagItem("UUID", QByteArray(16, 'u')) + keyBagItem("HMCK", QByteArray(40, '\0'))
           + keyBagItem("WRAP", bigEndian32(0)) + keyBagItem("SALT", "salt") + keyBagItem("ITER", bigEndian32(10))
           + keyBagItem("UUID", "one") + keyBagItem("CLAS", bigEndian32(1)) + keyBagItem("WRAP", bigEndian32(3))
           + keyBagItem("KTYP", bigEndian32(0)) + keyBagItem("WPKY", QByteArray(40, '1'))
           + keyBagItem("UUID", "two") + keyBagItem("CLAS", bigEndian32(2)) + keyBagItem("WRAP", bigEndian32(2))
           + keyBagItem("KTYP", bigEndian32(1)) + keyBagItem("WPKY", QByteArray(40, '2'));
}

TEST(KeyBagParse, SplitsKeybagItemsFromClassItemsInDeviceOrder)
{
    const BackupKeyBag keyBag = BackupKeyBag::parse(deviceOrderKeyBag() + keyBagItem("DPSL", "later"));

    EXPECT_EQ(keyBag.attributes.keys(),
              QStringList({"DPSL", "HMCK", "ITER", "SALT", "TYPE", "UUID", "VERS", "WRAP"}));
    EXPECT_EQ(keyBag.attributes.value("UUID"), QByteArray(16, 'u'));
    EXPECT_EQ(BackupKeyBag::intValue(keyBag.attributes, "WRAP"), 0);
    EXPECT_EQ(BackupKeyBag::intValue(keyBag.attributes, "ITER"), 10);
    ASSERT_EQ(keyBag.classes.keys(), QList<int>({1, 2}));
    const KeyBagItems& second = keyBag.classes.value(2);
    EXPECT_EQ(second.keys(), QStringList({"CLAS", "KTYP", "UUID", "WPKY", "WRAP"}));
    EXPECT_EQ(second.value("UUID"), QByteArray("two"));
    EXPECT_EQ(second.value("WPKY"), QByteArray(40, '2'));
    EXPECT_EQ(BackupKeyBag::intValue(keyBag.classes.value(1), "WRAP"), 3);
}

TEST(KeyBagParse, LaterClassWithTheSameNumberReplacesTheEarlier)
{
    const QByteArray blob = keyBagItem("UUID", "bag") + keyBagItem("UUID", "first") + keyBagItem("CLAS", bigEndian32(3))
                            + keyBagItem("KTYP", bigEndian32(1)) + keyBagItem("UUID", "second")
                            + keyBagItem("CLAS", bigEndian32(3));
    const BackupKeyBag keyBag = BackupKeyBag::parse(blob);
    ASSERT_EQ(keyBag.classes.size(), 1);
    EXPECT_EQ(keyBag.classes.value(3).value("UUID"), QByteArray("second"));
    EXPECT_FALSE(keyBag.classes.value(3).contains("KTYP"));
}

TEST(KeyBagParse, StopsAtAnItemCutShortAndKeepsTheWholeOnesBefore)
{
    const QByteArray whole = keyBagItem("SALT", "salt") + keyBagItem("UUID", "bag") + keyBagItem("UUID", "c")
                             + keyBagItem("CLAS", bigEndian32(1));
    const QByteArray wpky = keyBagItem("WPKY", QByteArray(40, 'k'));
    for (int cut = 1; cut < wpky.size(); ++cut) {
        const BackupKeyBag keyBag = BackupKeyBag::parse(whole + wpky.left(cut));
        EXPECT_EQ(keyBag.attributes.keys(), QStringList({"SALT", "UUID"})) << "cut " << cut;
        ASSERT_EQ(keyBag.classes.keys(), QList<int>({1})) << "cut " << cut;
        EXPECT_FALSE(keyBag.classes.value(1).contains("WPKY")) << "cut " << cut;
    }
    // A length far beyond the blob, including one that is negative as a signed number.
    const BackupKeyBag huge = BackupKeyBag::parse(QByteArray("SALT\xff\xff\xff\xf0xyz", 11));
    EXPECT_TRUE(huge.attributes.isEmpty());
    EXPECT_TRUE(BackupKeyBag::parse(QByteArray()).attributes.isEmpty());
}

TEST(KeyBagParse, ShortIntegersReadAsZero)
{
    KeyBagItems items;
    items.insert("ITER", QByteArray("\x01\x02\x03", 3));
    items.insert("CLAS", QByteArray("\xff\xff\xff\xfe\x00", 5));
    EXPECT_EQ(BackupKeyBag::intValue(items, "ITER"), 0);
    EXPECT_EQ(BackupKeyBag::intValue(items, "CLAS"), -2);
    EXPECT_EQ(BackupKeyBag::intValue(items, "WRAP"), 0);
    EXPECT_FALSE(items.contains("WRAP"));
}

// A keybag of the sample secrets, with extra class items appended.
BackupKeyBag sampleKeyBag(const BackupEncryption& encryption = BackupEncryption(), const QByteArray& extra = {})
{
    return BackupKeyBag::parse(encryption.keyBag() + extra);
}

TEST(KeyBagUnlock, RightPasswordUnwrapsEveryClassKeyAndWrongOneChangesNothing)
{
    const BackupEncryption encryption;
    BackupKeyBag keyBag = sampleKeyBag(encryption);
    const BackupKeyBag parsed = keyBag;

    EXPECT_FALSE(BackupKeyBag::unlock(keyBag, "wrong"));
    EXPECT_FALSE(keyBag.hasClassKeys());
    EXPECT_EQ(keyBag.classes, parsed.classes);

    ASSERT_TRUE(BackupKeyBag::unlock(keyBag, encryption.password));
    for (int protectionClass = 1; protectionClass <= 4; ++protectionClass)
        EXPECT_EQ(keyBag.classes.value(protectionClass).value("KEY"), encryption.classKeys.value(protectionClass));
}

TEST(KeyBagUnlock, OnlyClassesWrappedByThePasswordAreUnwrapped)
{
    const BackupEncryption encryption;
    const QByteArray passwordKey = encryption.passwordKey();
    const QByteArray classKey(32, 'c');
    auto extraClass = [&](int number, quint32 wrap, const QByteArray& wpky) {
        return keyBagItem("UUID", "x") + keyBagItem("CLAS", bigEndian32(quint32(number)))
               + keyBagItem("WRAP", bigEndian32(wrap)) + keyBagItem("WPKY", wpky);
    };
    BackupKeyBag keyBag = sampleKeyBag(encryption, extraClass(6, 1, aesKeyWrap(passwordKey, classKey))
                                                       + extraClass(7, 3, aesKeyWrap(passwordKey, classKey))
                                                       + extraClass(8, 2, aesKeyWrap(passwordKey, classKey.left(24))));
    ASSERT_TRUE(BackupKeyBag::unlock(keyBag, encryption.password));
    EXPECT_FALSE(keyBag.classes.value(6).contains("KEY"));
    EXPECT_EQ(keyBag.classes.value(7).value("KEY"), classKey);
    EXPECT_FALSE(keyBag.classes.value(8).contains("KEY"));  // a 32-byte WPKY gives no 256-bit key
}

TEST(KeyBagUnlock, KeybagWithNothingToUnwrapAcceptsNoPassword)
{
    BackupKeyBag empty;
    EXPECT_FALSE(BackupKeyBag::unlock(empty, "anything"));

    BackupEncryption encryption;
    const QByteArray onlyWrap1 = keyBagItem("SALT", encryption.salt) + keyBagItem("ITER", bigEndian32(10))
                                 + keyBagItem("UUID", "bag") + keyBagItem("UUID", "c")
                                 + keyBagItem("CLAS", bigEndian32(1)) + keyBagItem("WRAP", bigEndian32(1))
                                 + keyBagItem("WPKY", aesKeyWrap(encryption.passwordKey(), QByteArray(32, 'k')));
    BackupKeyBag keyBag = BackupKeyBag::parse(onlyWrap1);
    EXPECT_FALSE(BackupKeyBag::unlock(keyBag, encryption.password));
}

TEST(KeyBagUnlock, IterationCountOutsideItsRangeFails)
{
    for (const quint32 iterations : {0u, 0xFFFFFFFFu, 10000001u}) {
        BackupEncryption encryption;
        encryption.iterations = iterations;
        // The class keys are wrapped with a key made with 10 iterations; the count alone must fail.
        const QByteArray valid = BackupEncryption().keyBag();
        BackupKeyBag keyBag = BackupKeyBag::parse(valid + keyBagItem("ITER", bigEndian32(iterations)));
        EXPECT_FALSE(BackupKeyBag::unlock(keyBag, encryption.password)) << iterations;
    }
}

TEST(KeyBagUnlock, DeviceIterationCount)
{
    BackupEncryption encryption;
    encryption.iterations = 10000;
    BackupKeyBag keyBag = sampleKeyBag(encryption);
    EXPECT_TRUE(BackupKeyBag::unlock(keyBag, encryption.password));
}

TEST(KeyBagUnlock, FileKeyUnwrapsOnlyWithItsClassKeyAndLength)
{
    const BackupEncryption encryption;
    BackupKeyBag keyBag = sampleKeyBag(encryption);
    const QByteArray fileKey(32, 'f');
    const QByteArray wrapped = fixtures::storedFileKey(2, encryption.classKeys.value(2), fileKey).mid(4);
    EXPECT_TRUE(BackupKeyBag::unwrapFileKey(keyBag, 2, wrapped).isEmpty());  // still locked

    ASSERT_TRUE(BackupKeyBag::unlock(keyBag, encryption.password));
    EXPECT_EQ(BackupKeyBag::unwrapFileKey(keyBag, 2, wrapped), fileKey);
    EXPECT_TRUE(BackupKeyBag::unwrapFileKey(keyBag, 3, wrapped).isEmpty());
    EXPECT_TRUE(BackupKeyBag::unwrapFileKey(keyBag, 9, wrapped).isEmpty());
    EXPECT_TRUE(BackupKeyBag::unwrapFileKey(keyBag, 2, wrapped.left(32)).isEmpty());
    EXPECT_TRUE(BackupKeyBag::unwrapFileKey(keyBag, 2, wrapped + QByteArray(8, '\0')).isEmpty());
}

}  // namespace

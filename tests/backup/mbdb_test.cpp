#include "backup/mbdb.h"

#include "fixtures/temp_home.h"

#include <QBuffer>
#include <QFile>
#include <QSet>
#include <QtEndian>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// Big-endian encoders for building manifests byte by byte, independent of the code under test.
QByteArray be16(quint16 value)
{
    char bytes[2];
    qToBigEndian(value, bytes);
    return QByteArray(bytes, 2);
}
QByteArray be32(quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    return QByteArray(bytes, 4);
}
QByteArray str(const QByteArray& bytes)
{
    return be16(quint16(bytes.size())) + bytes;
}
const QByteArray absent = QByteArray::fromHex("ffff");
const QByteArray header = QByteArray("mbdb\x05\x00", 6);

// Two records in written order: the folder Library/SMS (all optional strings absent) and the file
// Library/SMS/sms.db (empty link target, a hash, a 64-bit size and a property with a NUL).
QByteArray goldenFolder()
{
    return str("HomeDomain") + str("Library/SMS") + absent + absent + absent + be16(040700) + be32(0) + be32(7) +
           be32(501) + be32(501) + be32(0x50000000) + be32(0x50000001) + be32(0x50000002) + be32(0) + be32(0) +
           QByteArray(1, '\x04') + QByteArray(1, '\x00');
}
QByteArray goldenFile()
{
    return str("HomeDomain") + str("Library/SMS/sms.db") + be16(0) + str(QByteArray(20, '\x11')) + absent +
           be16(0100644) + be32(1) + be32(8) + be32(501) + be32(502) + be32(0x51000000) + be32(0x51000001) +
           be32(0x51000002) + be32(1) + be32(2) + QByteArray(1, '\x03') + QByteArray(1, '\x01') +
           str("com.apple.attr") + str(QByteArray("v\0z", 3));
}
QByteArray golden()
{
    return header + goldenFolder() + goldenFile();
}

MbdbRecord record(const QString& domain, const QString& path)
{
    MbdbRecord result;
    result.domain = MbdbString::fromUtf8(domain);
    result.path = MbdbString::fromUtf8(path);
    return result;
}

TEST(Mbdb, GoldenBytesParseFieldByFieldAndWriteBackExactly)
{
    const MbdbRecordSet records = parseMbdb(golden());
    ASSERT_EQ(records.size(), 2);

    const MbdbRecord folder = records.value(mbdbFileId(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS")));
    EXPECT_EQ(folder.path.toString(), QStringLiteral("Library/SMS"));
    EXPECT_EQ(folder.linkTarget.length, 0xFFFF);
    EXPECT_FALSE(folder.dataHash.isPresent());
    EXPECT_EQ(folder.dataHash.toString(), QString());
    EXPECT_EQ(folder.mode, 040700);
    EXPECT_EQ(folder.inodeLow, 7u);
    EXPECT_EQ(folder.ctime, 0x50000002u);
    EXPECT_EQ(folder.protectionClass, 4);
    EXPECT_TRUE(folder.isFolder());

    const MbdbRecord file = records.value(QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    EXPECT_EQ(file.linkTarget.length, 0);
    EXPECT_FALSE(file.linkTarget.isPresent());
    EXPECT_EQ(file.dataHash.bytes, QByteArray(20, '\x11'));
    EXPECT_EQ(file.encryptionKey.length, 0xFFFF);
    EXPECT_EQ(file.inodeHigh, 1u);
    EXPECT_EQ(file.gid, 502u);
    EXPECT_EQ(file.atime, 0x51000001u);
    EXPECT_EQ(file.size, (quint64(1) << 32) + 2);
    EXPECT_EQ(file.protectionClass, 3);
    ASSERT_EQ(file.properties.size(), 1);
    EXPECT_EQ(file.properties.at(0).first.toString(), QStringLiteral("com.apple.attr"));
    EXPECT_EQ(file.properties.at(0).second.toString(), QStringLiteral("v"));  // up to the NUL
    EXPECT_EQ(file.properties.at(0).second.bytes.size(), 3);

    EXPECT_EQ(serializeMbdb({file, folder}), golden());
}

TEST(Mbdb, WriteThenReadGivesTheSameRecords)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Manifest.mbdb"));
    const MbdbRecordSet original = parseMbdb(golden());
    MbdbRecord extra = record(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Attachments"));
    extra.encryptionKey.setBytes(QByteArray(44, '\x7f'));
    MbdbRecordSet expected = original;
    expected.insert(extra.fileId(), extra);

    writeMbdb(expected.values(), path);
    EXPECT_EQ(readMbdb(path), expected);
}

TEST(Mbdb, WrittenRecordsAreOrderedByDomainThenPath)
{
    const MbdbRecord attachments = record(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Attachments"));
    const MbdbRecord smsDb = record(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"));
    const MbdbRecord sms = record(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS"));
    EXPECT_TRUE(mbdbRecordLessThan(sms, smsDb));
    EXPECT_TRUE(mbdbRecordLessThan(smsDb, attachments));
    EXPECT_FALSE(mbdbRecordLessThan(sms, sms));

    const QByteArray data = serializeMbdb({attachments, smsDb, sms});
    const int smsAt = data.indexOf("Library/SMS");
    EXPECT_LT(smsAt, data.indexOf("Library/SMS/sms.db"));
    EXPECT_LT(data.indexOf("Library/SMS/sms.db"), data.indexOf("MediaDomain"));
}

TEST(Mbdb, HeaderIsSkippedUnseenAndDuplicatesKeepTheLaterRecord)
{
    EXPECT_TRUE(parseMbdb(header).isEmpty());
    EXPECT_EQ(parseMbdb(QByteArray("XXXXXX") + goldenFolder()).size(), 1);

    QByteArray later = goldenFolder();
    later[later.size() - 2] = '\x02';  // protection class of the second copy
    const MbdbRecordSet records = parseMbdb(header + goldenFolder() + later);
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.begin()->protectionClass, 2);
}

TEST(Mbdb, TwoHundredPropertiesAreReadAndTheNextRecordFollows)
{
    QByteArray withProperties = goldenFolder();
    withProperties.chop(1);
    withProperties += QByteArray(1, char(200));
    for (int i = 0; i < 200; ++i)
        withProperties += str("name" + QByteArray::number(i)) + (i % 2 ? absent : str("value"));
    const MbdbRecordSet records = parseMbdb(header + withProperties + goldenFile());
    ASSERT_EQ(records.size(), 2);
    const MbdbRecord folder = records.value(mbdbFileId(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS")));
    ASSERT_EQ(folder.properties.size(), 200);
    EXPECT_EQ(folder.properties.at(199).first.toString(), QStringLiteral("name199"));
    EXPECT_EQ(serializeMbdb(records.values()), header + withProperties + goldenFile());
}

// Every prefix of a valid manifest either ends on a record boundary or fails with a clear error:
// never a crash, a partial result or an allocation driven by a bogus length.
TEST(Mbdb, EveryTruncationFailsCleanlyExceptAtRecordBoundaries)
{
    const QByteArray data = golden();
    const int firstEnd = header.size() + goldenFolder().size();
    for (int size = 0; size <= data.size(); ++size) {
        const QByteArray prefix = data.left(size);
        if (size == header.size() || size == firstEnd || size == data.size()) {
            EXPECT_NO_THROW(parseMbdb(prefix)) << size;
            continue;
        }
        try {
            parseMbdb(prefix);
            ADD_FAILURE() << "no error for " << size << " bytes";
        } catch (const std::runtime_error& error) {
            const std::string text = error.what();
            EXPECT_NE(text.find("corrupt Manifest.mbdb"), std::string::npos) << text;
            EXPECT_NE(text.find("offset"), std::string::npos) << text;
        }
    }
}

TEST(Mbdb, ReadFailuresAreReportedAsErrors)
{
    QTemporaryDir dir;
    EXPECT_THROW(readMbdb(dir.filePath(QStringLiteral("missing"))), std::runtime_error);
    const QString path = dir.filePath(QStringLiteral("Manifest.mbdb"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(header + str("HomeDomain") + be16(40) + "short");
    file.close();
    EXPECT_THROW(readMbdb(path), std::runtime_error);
}

TEST(Mbdb, WriterRefusesWhatTheLengthFieldsCannotHold)
{
    MbdbString text;
    EXPECT_NO_THROW(text.setBytes(QByteArray(65534, 'a')));
    EXPECT_EQ(text.length, 65534);
    EXPECT_THROW(text.setBytes(QByteArray(65535, 'a')), std::runtime_error);
    EXPECT_EQ(text.length, 65534);  // unchanged by the refused value

    MbdbRecord tooManyProperties = record(QStringLiteral("HomeDomain"), QStringLiteral("a"));
    for (int i = 0; i < 256; ++i)
        tooManyProperties.properties.append({MbdbString::fromUtf8(QStringLiteral("n")), MbdbString()});
    EXPECT_THROW(serializeMbdb({tooManyProperties}), std::runtime_error);
    tooManyProperties.properties.removeLast();
    EXPECT_NO_THROW(serializeMbdb({tooManyProperties}));

    MbdbRecord mismatched = record(QStringLiteral("HomeDomain"), QStringLiteral("b"));
    mismatched.path.bytes = QByteArray(70000, 'b');
    EXPECT_THROW(serializeMbdb({mismatched}), std::runtime_error);

    // A refused record leaves the existing manifest as it was.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Manifest.mbdb"));
    writeMbdb({record(QStringLiteral("HomeDomain"), QStringLiteral("kept"))}, path);
    EXPECT_THROW(writeMbdb({mismatched}, path), std::runtime_error);
    EXPECT_EQ(readMbdb(path).size(), 1);
}

TEST(Mbdb, PrimitivesThrowOnShortReadsAndWrites)
{
    QByteArray data = QByteArray::fromHex("0102030405");
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    EXPECT_EQ(mbdbReadU32(buffer), 0x01020304u);
    EXPECT_THROW(mbdbReadU16(buffer), std::runtime_error);

    QBuffer readOnly(&data);
    readOnly.open(QIODevice::ReadOnly);
    EXPECT_THROW(mbdbWriteU32(readOnly, 1), std::runtime_error);
}

TEST(Mbdb, FileIdAndDigest)
{
    EXPECT_EQ(mbdbFileId(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")),
              QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    EXPECT_EQ(record(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")).fileId(),
              QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("abc");
    file.close();
    EXPECT_EQ(mbdbFileDigest(path).toHex(), QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_TRUE(mbdbFileDigest(dir.filePath(QStringLiteral("missing"))).isEmpty());
}

TEST(Mbdb, FolderIsDecidedByModeTypeBits)
{
    MbdbRecord entry;
    entry.mode = 0100644;  // an empty regular file stays a file
    EXPECT_TRUE(entry.isEmptyEntry());
    EXPECT_FALSE(entry.isFolder());
    entry.mode = 040755;
    entry.size = 12;
    EXPECT_TRUE(entry.isFolder());
    entry.mode = 0120755;
    entry.size = 0;
    entry.linkTarget = MbdbString::fromUtf8(QStringLiteral("target"));
    EXPECT_FALSE(entry.isFolder());
    entry.mode = 0;  // no type bits: size 0 and no link target
    EXPECT_FALSE(entry.isFolder());
    entry.linkTarget = MbdbString();
    EXPECT_TRUE(entry.isFolder());
}

class AddMbdbFileTest : public TempHomeTest {
protected:
    QString localFile(const QByteArray& content)
    {
        const QString path = homePath(QStringLiteral("local.jpg"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }
    MbdbRecordSet setWith(const QList<MbdbRecord>& records)
    {
        MbdbRecordSet set;
        for (const MbdbRecord& entry : records)
            set.insert(entry.fileId(), entry);
        return set;
    }
    const QString media = QStringLiteral("MediaDomain");
};

TEST_F(AddMbdbFileTest, AddsMissingFoldersDeepestFirstThenTheFile)
{
    MbdbRecord sms = record(media, QStringLiteral("Library/SMS"));
    sms.inodeLow = 10;
    MbdbRecord other = record(QStringLiteral("HomeDomain"), QStringLiteral("x"));
    other.inodeLow = 0xFFFFFFF0;  // negative as a signed number, so not the largest
    MbdbRecordSet records = setWith({sms, other});

    const QString local = localFile("photo");
    addMbdbFile(records, local, media, QStringLiteral("Library/SMS/Attachments/ab/01/IMG_0001.JPG"));
    ASSERT_EQ(records.size(), 6);
    const auto at = [&](const char* path) { return records.value(mbdbFileId(media, QString::fromUtf8(path))); };
    EXPECT_EQ(at("Library/SMS/Attachments/ab/01").inodeLow, 11u);
    EXPECT_EQ(at("Library/SMS/Attachments/ab").inodeLow, 12u);
    EXPECT_EQ(at("Library/SMS/Attachments").inodeLow, 13u);
    EXPECT_EQ(at("Library/SMS").inodeLow, 10u);

    const MbdbRecord folder = at("Library/SMS/Attachments");
    EXPECT_EQ(folder.mode, 040700);
    EXPECT_EQ(folder.uid, 501u);
    EXPECT_EQ(folder.protectionClass, 4);
    EXPECT_FALSE(folder.dataHash.isPresent());
    EXPECT_GT(folder.mtime, 0u);

    const MbdbRecord file = at("Library/SMS/Attachments/ab/01/IMG_0001.JPG");
    EXPECT_EQ(file.inodeLow, 14u);
    EXPECT_EQ(file.mode, 0100644);
    EXPECT_EQ(file.size, 5u);
    EXPECT_EQ(file.dataHash.bytes, mbdbFileDigest(local));
    EXPECT_EQ(file.dataHash.length, 20);
    EXPECT_EQ(file.domain.toString(), media);
}

TEST_F(AddMbdbFileTest, CountingPastTheLargestSignedInodeWraps)
{
    MbdbRecord top = record(media, QStringLiteral("a"));
    top.inodeLow = 0x7FFFFFFF;
    MbdbRecordSet records = setWith({top});
    addMbdbFile(records, localFile("x"), media, QStringLiteral("a/b"));
    EXPECT_EQ(records.value(mbdbFileId(media, QStringLiteral("a/b"))).inodeLow, 0x80000000u);
}

TEST_F(AddMbdbFileTest, ExistingRecordRefreshesOnlyHashAndTimes)
{
    MbdbRecord existing = record(media, QStringLiteral("Library/SMS/sms.db"));
    existing.size = 999;
    existing.inodeLow = 3;
    existing.mode = 0100600;
    existing.protectionClass = 2;
    existing.encryptionKey.setBytes("key");
    MbdbRecordSet records = setWith({record(media, QStringLiteral("Library/SMS")), existing});

    addMbdbFile(records, localFile("new content"), media, QStringLiteral("Library/SMS/sms.db"));
    ASSERT_EQ(records.size(), 2);
    const MbdbRecord updated = records.value(existing.fileId());
    EXPECT_EQ(updated.size, 999u);
    EXPECT_EQ(updated.mode, 0100600);
    EXPECT_EQ(updated.protectionClass, 2);
    EXPECT_EQ(updated.encryptionKey.bytes, QByteArray("key"));
    EXPECT_EQ(updated.dataHash.bytes.size(), 20);
    EXPECT_GT(updated.mtime, 0u);
    EXPECT_EQ(updated.atime, updated.mtime);
}

}  // namespace

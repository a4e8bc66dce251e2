#include "core/plistnode.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

const char kSampleXml[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Device Name</key><string>Ann’s phone</string>
  <key>Size</key><integer>123456789012</integer>
  <key>Encrypted</key><true/>
  <key>Ratio</key><real>0.25</real>
  <key>Keybag</key><data>AAEC/w==</data>
  <key>Date</key><date>2013-05-06T07:08:09Z</date>
  <key>Apps</key><array><string>one</string><string>two</string></array>
</dict>
</plist>
)";

QDateTime utc(int year, int month, int day, int h, int m, int s, int ms = 0)
{
    return QDateTime(QDate(year, month, day), QTime(h, m, s, ms), Qt::UTC);
}

PlistNode sample()
{
    return PlistNode::fromData(QByteArray(kSampleXml));
}

void expectSampleValues(const PlistNode& root)
{
    ASSERT_TRUE(root.isDict());
    EXPECT_EQ(root.dictSize(), 7);
    EXPECT_EQ(root.value(QStringLiteral("Device Name")).toString(), QString::fromUtf8("Ann’s phone"));
    EXPECT_EQ(root.value(QStringLiteral("Size")).toUInt64(), 123456789012ULL);
    EXPECT_TRUE(root.value(QStringLiteral("Encrypted")).toBool());
    EXPECT_DOUBLE_EQ(root.value(QStringLiteral("Ratio")).toDouble(), 0.25);
    EXPECT_EQ(root.value(QStringLiteral("Keybag")).toByteArray(), QByteArray("\x00\x01\x02\xff", 4));
    EXPECT_EQ(root.value(QStringLiteral("Date")).toDateTime(), utc(2013, 5, 6, 7, 8, 9));
    const PlistNode apps = root.value(QStringLiteral("Apps"));
    ASSERT_EQ(apps.count(), 2);
    EXPECT_EQ(apps.at(1).toString(), QStringLiteral("two"));
}

TEST(PlistNode, ParsesXmlAndRoundTripsThroughBothWriters)
{
    const PlistNode root = sample();
    expectSampleValues(root);

    const QByteArray binary = root.toBinary();
    ASSERT_TRUE(binary.startsWith("bplist00"));
    expectSampleValues(PlistNode::fromData(binary));

    const QString xml = root.toXml();
    EXPECT_TRUE(xml.contains(QStringLiteral("<key>Keybag</key>")));
    expectSampleValues(PlistNode::fromData(xml.toUtf8()));
}

TEST(PlistNode, RefusesBrokenInputWithNullValues)
{
    EXPECT_TRUE(PlistNode::fromData(QByteArray()).isNull());
    EXPECT_TRUE(PlistNode::fromData(QByteArray("bplist00")).isNull());
    EXPECT_TRUE(PlistNode::fromData(QByteArray("bplist00garbage-that-is-no-trailer")).isNull());
    EXPECT_TRUE(PlistNode::fromData(QByteArray("<plist><dict><key>a</key>")).isNull());
    QByteArray truncated = sample().toBinary();
    truncated.chop(10);
    EXPECT_TRUE(PlistNode::fromData(truncated).isNull());
    EXPECT_TRUE(PlistNode().isNull());
    EXPECT_EQ(PlistNode().toXml(), QString());
    EXPECT_TRUE(PlistNode().toBinary().isEmpty());
}

TEST(PlistNode, ListsWhoseTextHoldsANulAreRefused)
{
    // {"a\0b": "x\0y", "k&<": 1} as a binary list: libplist would abort on reading such text, or
    // read past the copies it makes of it.
    const QByteArray binary = QByteArray::fromHex(
        "62706c6973743030d20102030453610062536b263c537800791001080d111519000000000000010100000000000000050000"
        "000000000000000000000000001b");
    EXPECT_TRUE(PlistNode::fromData(binary).isNull());
    QByteArray clean = binary;
    clean[15] = 'c';  // "acb": the same list without the NUL in the key...
    clean[23] = 'z';  // ...and in the value
    const PlistNode dict = PlistNode::fromData(clean);
    ASSERT_TRUE(dict.isDict());
    EXPECT_EQ(dict.toMap().keys(), (QStringList{QStringLiteral("acb"), QStringLiteral("k&<")}));
    EXPECT_EQ(dict.value(QStringLiteral("acb")).toString(), QStringLiteral("xzy"));

    const QByteArray xml = "<plist version=\"1.0\"><dict><key>a%1b</key><string>x</string></dict></plist>";
    EXPECT_FALSE(PlistNode::fromData(QByteArray(xml).replace("%1", "&#38;")).isNull());
    for (const QByteArray& nul : {QByteArray("&#0;"), QByteArray("&#x00;"), QByteArray("&#X0;"), QByteArray(1, '\0')})
        EXPECT_TRUE(PlistNode::fromData(QByteArray(xml).replace("%1", nul)).isNull()) << nul.toHex().constData();
}

TEST(PlistNode, TextWithANulIsRefusedWhereverTheOffsetTablePoints)
{
    // {key: "x"} whose key is a UTF-16 string of 9 units read from inside the header: the marker is
    // the "i" of "bplist00" and the units run on over the dict and its value. The sixth unit is U+0000.
    const QByteArray withNul = QByteArray::fromHex(
        "62706c6973743030" "d10102" "5178" "00" "0000" "004100410041" "08030b"
        "000000000000" "0101" "0000000000000003" "0000000000000000" "0000000000000016");
    EXPECT_TRUE(PlistNode::fromData(withNul).isNull());

    QByteArray clean = withNul;
    clean[15] = 'B';  // the same list with U+0042 in place of the NUL, which libplist reads
    const PlistNode dict = PlistNode::fromData(clean);
    ASSERT_TRUE(dict.isDict());
    ASSERT_EQ(dict.dictSize(), 1);
    EXPECT_EQ(dict.toMap().first().toString(), QStringLiteral("x"));
}

TEST(PlistNode, WrongTypesAndMissingEntriesGiveDefaults)
{
    const PlistNode root = sample();
    EXPECT_TRUE(root.value(QStringLiteral("missing")).isNull());
    const PlistNode apps = root.value(QStringLiteral("Apps"));
    EXPECT_TRUE(apps.value(QStringLiteral("one")).isNull());
    EXPECT_TRUE(apps.at(-1).isNull());
    EXPECT_TRUE(apps.at(2).isNull());
    EXPECT_TRUE(root.at(0).isNull());

    const PlistNode name = root.value(QStringLiteral("Device Name"));
    EXPECT_EQ(name.toUInt64(), 0u);
    EXPECT_TRUE(name.toByteArray().isNull());
    EXPECT_FALSE(name.toDateTime().isValid());
    EXPECT_TRUE(name.toMap().isEmpty());
}

TEST(PlistNode, DatesKeepMillisecondsOnReadAndWholeSecondsOnWrite)
{
    const PlistNode halfSecond(plist_new_date(0, 500000), true);
    EXPECT_EQ(halfSecond.toDateTime(), utc(2001, 1, 1, 0, 0, 0, 500));
    EXPECT_EQ(PlistNode::fromData(halfSecond.toBinary()).toDateTime(), utc(2001, 1, 1, 0, 0, 0, 500));

    EXPECT_EQ(PlistNode::fromDateTime(utc(2020, 2, 29, 12, 0, 1, 750)).toDateTime(), utc(2020, 2, 29, 12, 0, 1));
    // Before the reference the whole second at or before the value is kept.
    EXPECT_EQ(PlistNode::fromDateTime(utc(2000, 12, 31, 23, 59, 59, 500)).toDateTime(),
              utc(2000, 12, 31, 23, 59, 59));
    EXPECT_EQ(PlistNode::fromDateTime(utc(1969, 7, 20, 20, 17, 40)).toDateTime(), utc(1969, 7, 20, 20, 17, 40));
    EXPECT_TRUE(PlistNode::fromDateTime(QDateTime()).isNull());
    // Far outside the 32-bit range the value is clamped rather than wrapped.
    EXPECT_GT(PlistNode::fromDateTime(utc(2200, 1, 1, 0, 0, 0)).toDateTime(), utc(2060, 1, 1, 0, 0, 0));
}

TEST(PlistNode, BuildsEveryTypeAndKeys)
{
    PlistNode dict = PlistNode::newDict();
    EXPECT_TRUE(dict.setValue(QStringLiteral("b"), PlistNode::fromBool(true)));
    EXPECT_TRUE(dict.setValue(QStringLiteral("u"), PlistNode::fromUInt64(~0ULL)));
    EXPECT_TRUE(dict.setValue(QStringLiteral("r"), PlistNode::fromDouble(-1.5)));
    EXPECT_TRUE(dict.setValue(QStringLiteral("d"), PlistNode::fromByteArray(QByteArray("\0z", 2))));
    EXPECT_TRUE(dict.setValue(QString::fromUtf8("ключ"), PlistNode::fromString(QString::fromUtf8("значение"))));
    PlistNode array = PlistNode::newArray();
    EXPECT_TRUE(array.append(PlistNode::fromString(QStringLiteral("x"))));
    EXPECT_TRUE(dict.setValue(QStringLiteral("a"), array));

    const PlistNode back = PlistNode::fromData(dict.toBinary());
    EXPECT_TRUE(back.value(QStringLiteral("b")).toBool());
    EXPECT_EQ(back.value(QStringLiteral("u")).toUInt64(), ~0ULL);
    EXPECT_EQ(back.value(QStringLiteral("r")).toDouble(), -1.5);
    EXPECT_EQ(back.value(QStringLiteral("d")).toByteArray(), QByteArray("\0z", 2));
    EXPECT_EQ(back.value(QString::fromUtf8("ключ")).toString(), QString::fromUtf8("значение"));
    EXPECT_EQ(back.value(QStringLiteral("a")).at(0).toString(), QStringLiteral("x"));

    const PlistNode key = PlistNode::fromKey(QStringLiteral("name"));
    EXPECT_TRUE(key.isKey());
    EXPECT_FALSE(key.isString());
    EXPECT_EQ(key.toKey(), QStringLiteral("name"));

    // Refused: wrong container type, null items.
    EXPECT_FALSE(array.setValue(QStringLiteral("k"), PlistNode::fromBool(false)));
    EXPECT_FALSE(dict.append(PlistNode::fromBool(false)));
    EXPECT_FALSE(dict.setValue(QStringLiteral("k"), PlistNode()));
    EXPECT_FALSE(array.append(PlistNode()));
}

TEST(PlistNode, SetValueReplacesAnEntryInPlace)
{
    PlistNode root = sample();
    const PlistNode oldName = root.value(QStringLiteral("Device Name"));
    ASSERT_TRUE(root.setValue(QStringLiteral("Device Name"), PlistNode::fromString(QStringLiteral("Bob"))));
    EXPECT_EQ(root.dictSize(), 7);
    EXPECT_EQ(root.value(QStringLiteral("Device Name")).toString(), QStringLiteral("Bob"));
    // The replaced node is gone; the view into it turned null instead of dangling.
    EXPECT_TRUE(oldName.isNull());
    EXPECT_EQ(oldName.toString(), QString());

    // Setting an entry to a view of itself copies it before the old node goes.
    ASSERT_TRUE(root.setValue(QStringLiteral("Apps"), root.value(QStringLiteral("Apps"))));
    EXPECT_EQ(root.value(QStringLiteral("Apps")).at(0).toString(), QStringLiteral("one"));
}

TEST(PlistNode, ToMapGivesOwningCopies)
{
    QMap<QString, PlistNode> map;
    {
        const PlistNode root = sample();
        map = root.toMap();
    }
    ASSERT_EQ(map.size(), 7);
    EXPECT_TRUE(map.value(QStringLiteral("Encrypted")).isOwning());
    EXPECT_EQ(map.value(QStringLiteral("Apps")).at(0).toString(), QStringLiteral("one"));
}

// The checks below matter most under the sanitizer build: any double free or use after free fails.
TEST(PlistNodeOwnership, ViewsKeepTheirTreeAlive)
{
    PlistNode apps;
    PlistNode first;
    {
        const PlistNode root = sample();
        apps = root.value(QStringLiteral("Apps"));
        first = apps.at(0);
    }
    EXPECT_FALSE(apps.isOwning());
    EXPECT_EQ(apps.count(), 2);
    EXPECT_EQ(first.toString(), QStringLiteral("one"));
}

TEST(PlistNodeOwnership, FreeActsOnlyOnOwners)
{
    PlistNode root = sample();
    PlistNode apps = root.value(QStringLiteral("Apps"));
    const PlistNode copy = root;

    apps.free();  // a view: nothing happens
    EXPECT_EQ(root.value(QStringLiteral("Apps")).count(), 2);
    EXPECT_EQ(apps.count(), 2);

    root.free();
    EXPECT_TRUE(root.isNull());
    EXPECT_TRUE(copy.isNull());
    EXPECT_TRUE(apps.isNull());
    EXPECT_EQ(apps.at(0).toString(), QString());
    root.free();  // twice is harmless
}

TEST(PlistNodeOwnership, InsertingMovesOwnedRootsAndCopiesEverythingElse)
{
    PlistNode target = PlistNode::newArray();
    PlistNode item = PlistNode::fromString(QStringLiteral("moved"));
    ASSERT_TRUE(target.append(item));
    EXPECT_FALSE(item.isOwning());
    ASSERT_TRUE(target.append(item));  // already inside: inserted again as a copy
    EXPECT_EQ(target.count(), 2);
    EXPECT_NE(target.at(0).node(), target.at(1).node());

    {
        const PlistNode other = sample();
        ASSERT_TRUE(target.append(other.value(QStringLiteral("Apps"))));  // a view of another tree
        PlistNode dict = PlistNode::newDict();
        ASSERT_TRUE(dict.setValue(QStringLiteral("name"), other.value(QStringLiteral("Device Name"))));
        ASSERT_TRUE(target.append(dict));
    }
    EXPECT_EQ(target.at(2).at(1).toString(), QStringLiteral("two"));
    EXPECT_EQ(target.at(3).value(QStringLiteral("name")).toString(), QString::fromUtf8("Ann’s phone"));

    // An item that moved in keeps the container alive like any view.
    target = PlistNode();
    EXPECT_EQ(item.toString(), QStringLiteral("moved"));
}

TEST(PlistNodeOwnership, ViewsOfAMovedTreeFollowItsNewOwner)
{
    PlistNode outer = PlistNode::newDict();
    PlistNode inner = PlistNode::fromData(QByteArray(kSampleXml));
    PlistNode apps = inner.value(QStringLiteral("Apps"));
    ASSERT_TRUE(outer.setValue(QStringLiteral("inner"), inner));
    inner = PlistNode();

    // Replacing the entry frees the moved tree; the old view must not dangle.
    ASSERT_TRUE(outer.setValue(QStringLiteral("inner"), PlistNode::fromBool(true)));
    EXPECT_TRUE(apps.isNull());
    outer = PlistNode();
    EXPECT_EQ(apps.count(), 0);
}

TEST(PlistNodeOwnership, AContainerInsertedIntoItselfIsCopied)
{
    PlistNode array = PlistNode::newArray();
    ASSERT_TRUE(array.append(PlistNode::fromUInt64(1)));
    ASSERT_TRUE(array.append(array));
    ASSERT_EQ(array.count(), 2);
    EXPECT_EQ(array.at(1).count(), 1);
    EXPECT_TRUE(array.isOwning());

    PlistNode root = sample();
    PlistNode apps = root.value(QStringLiteral("Apps"));
    ASSERT_TRUE(apps.append(root));  // the root under its own child: a copy
    EXPECT_EQ(apps.count(), 3);
    EXPECT_EQ(apps.at(2).value(QStringLiteral("Apps")).count(), 2);
}

TEST(PlistNodeOwnership, NonOwningWrappersLeaveTheNodeAlone)
{
    plist_t raw = plist_new_string("kept");
    {
        const PlistNode wrapper(raw, false);
        EXPECT_EQ(wrapper.toString(), QStringLiteral("kept"));
        PlistNode(raw, false).free();
    }
    const PlistNode owner(raw, true);
    EXPECT_EQ(owner.toString(), QStringLiteral("kept"));
}

}  // namespace

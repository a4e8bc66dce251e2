// CFType over libtmcf.so, loaded the way the program loads it; every test ends with as many
// CoreFoundation objects alive as it started with.
#include "core/plistnode.h"
#include "device/cftype.h"
#include "device/devicelibraries.h"
#include "devicesim/simcontrol.h"

#include <QTimeZone>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

namespace {

using devicesim::liveObjects;

template <class F>
F* cf(const char* name)
{
    return DeviceLibraries::coreFoundationFunction<F>(name);
}

class CFTypeTest : public devicesim::SimulatorTest {};

TEST_F(CFTypeTest, NumbersConvertOnlyWithoutLoss)
{
    constexpr int kNo = -99;  // the default: the conversion lost something
    const struct {
        CFType value;
        int asInt;
        qint64 asInt64;
        double asDouble;
    } cases[] = {
        {CFType(3.5), kNo, kNo, 3.5},
        {CFType(3.0), 3, 3, 3.0},
        {CFType(std::ldexp(1.0, 40)), kNo, qint64(1) << 40, std::ldexp(1.0, 40)},
        {CFType(qint64(1) << 40), kNo, qint64(1) << 40, std::ldexp(1.0, 40)},
        {CFType((qint64(1) << 53) + 1), kNo, (qint64(1) << 53) + 1, kNo},
        {CFType(std::nan("")), kNo, kNo, std::nan("")},
        {CFType(qint8(-5)), -5, -5, -5.0},
        {CFType(qint16(-300)), -300, -300, -300.0},
        {CFType(0.1f), kNo, kNo, double(0.1f)},
        {CFType(CFIndexValue{-7}), -7, -7, -7.0},
        {CFType(true), kNo, kNo, kNo},  // a boolean is not a number
        {CFType(QStringLiteral("12")), kNo, kNo, kNo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.toText().toStdString());
        EXPECT_EQ(c.value.toInt(kNo), c.asInt);
        EXPECT_EQ(c.value.toInt64(kNo), c.asInt64);
        const double asDouble = c.value.toDouble(kNo);
        EXPECT_TRUE(asDouble == c.asDouble || (std::isnan(asDouble) && std::isnan(c.asDouble))) << asDouble;
    }
    float narrow = 0;
    EXPECT_FALSE(cf<decltype(CFNumberGetValue)>("CFNumberGetValue")(static_cast<CFNumberRef>(CFType(1e300).ref()),
                                                                     kCFNumberFloat32Type, &narrow));
    EXPECT_EQ(CFType(qint64(1234567890123)).toText(), QStringLiteral("1234567890123"));
    EXPECT_EQ(CFType(2.5).toText(), QStringLiteral("2.5"));
}

TEST_F(CFTypeTest, BooleansAndWrongKindsGiveTheirFallbacks)
{
    EXPECT_TRUE(CFType(true).toBool(false));
    EXPECT_FALSE(CFType(false).toBool(true));
    EXPECT_EQ(CFType(true).toText(), QStringLiteral("1"));
    EXPECT_EQ(CFType(false).toText(), QStringLiteral("0"));
    EXPECT_TRUE(CFType(qint32(0)).toBool(true));  // a number is not a boolean
    for (const CFType& other : {CFType(), CFType(qint32(5)), CFType::array()}) {
        EXPECT_EQ(other.toString(), QString());
        EXPECT_EQ(other.toByteArray(), QByteArray());
        EXPECT_FALSE(other.toDateTime().isValid());
        EXPECT_EQ(other.count(), 0);
        EXPECT_TRUE(other.value(QStringLiteral("k")).isNull());
        EXPECT_EQ(other.value(QStringLiteral("k")).typeId(), cf<decltype(CFNullGetTypeID)>("CFNullGetTypeID")());
    }
    EXPECT_TRUE(CFType().toPlist(kCFPropertyListXMLFormat_v1_0).isNull());
    EXPECT_TRUE(CFType::array().valueAt(0).isNull());
    EXPECT_FALSE(CFType().isString() || CFType().isNumber() || CFType().isDictionary());
}

TEST_F(CFTypeTest, StringsCountUtf16UnitsAndNeverSplitAPair)
{
    const QString text = QStringLiteral("a\U0001F600\u00e9");
    const CFType string(text);
    EXPECT_EQ(string.stringLength(), 4);
    EXPECT_EQ(string.toString(), text);
    EXPECT_EQ(CFType(QString()).toString(), QString());

    auto* getBytes = cf<decltype(CFStringGetBytes)>("CFStringGetBytes");
    const auto ref = static_cast<CFStringRef>(string.ref());
    UInt8 buffer[8] = {};
    CFIndex used = 0;
    EXPECT_EQ(getBytes(ref, {0, 4}, kCFStringEncodingUTF8, '?', false, buffer, 3, &used), 1);  // "a", not half 😀
    EXPECT_EQ(used, 1);
    EXPECT_EQ(getBytes(ref, {1, 4}, kCFStringEncodingUTF8, '?', false, nullptr, 0, &used), 0);  // past the end

    const CFType lone(QString(QChar(0xD800)) + QLatin1Char('x'));
    EXPECT_EQ(lone.toString(), QStringLiteral("?x"));
    const UInt8 invalid[] = {0xC0, 0x80};  // an overlong NUL
    EXPECT_EQ(cf<decltype(CFStringCreateWithBytes)>("CFStringCreateWithBytes")(nullptr, invalid, 2,
                                                                               kCFStringEncodingUTF8, false),
              nullptr);
}

TEST_F(CFTypeTest, DictionariesFindKeysByValueAndKeepOneEntryPerKey)
{
    CFType dictionary = CFType::dictionary();
    const CFType key(QStringLiteral("UniqueDeviceID"));
    dictionary.setValue(key, CFType(QStringLiteral("first")));
    const long withFirst = liveObjects();
    dictionary.setValue(key, CFType(QStringLiteral("second")));
    EXPECT_EQ(liveObjects(), withFirst);  // the first value was released
    EXPECT_EQ(dictionary.count(), 1);
    EXPECT_EQ(dictionary.value(QStringLiteral("UniqueDeviceID")).toString(), QStringLiteral("second"));

    dictionary.setValue(CFType(qint32(2)), CFType(true));
    EXPECT_TRUE(dictionary.value(CFType(2.0)).toBool());  // numbers equal by value
    const QList<CFType> keys = dictionary.keys();
    ASSERT_EQ(keys.size(), 2);
    EXPECT_EQ(keys[0].toString(), QStringLiteral("UniqueDeviceID"));

    // A borrowed value outlives the last wrapper of its dictionary.
    const CFType borrowed = CFType(dictionary).value(key);
    dictionary = CFType();
    EXPECT_EQ(borrowed.toString(), QStringLiteral("second"));
}

// A phone chooses its keys: ones built of "Aa" and "BB" (one value under Qt's unseeded hash) are as fast as plain.
TEST_F(CFTypeTest, CollidingDictionaryKeysParseAboutAsFastAsPlainOnes)
{
    const auto timeToParse = [](bool colliding) {
        QByteArray xml("<plist><dict>");
        for (int i = 0; i < 1 << 14; ++i) {
            QByteArray key = QByteArray::number(i).rightJustified(28, '0');
            for (int block = 0; colliding && block < 14; ++block)
                key.replace(2 * block, 2, i >> block & 1 ? "BB" : "Aa");
            xml += "<key>" + key + "</key><true/>";
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(CFType::fromPlistData(xml + "</dict></plist>").count(), 1 << 14);
        return (std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_LT(timeToParse(true), 5 * timeToParse(false));
}

TEST_F(CFTypeTest, ArraysCloneIndependentlyAndRefuseCycles)
{
    CFType array = CFType::array();
    array.append(CFType(qint32(1))).append(CFType(QStringLiteral("two")));
    const CFType copy = array.clone();
    array.append(array);  // would never be freed
    array.append(CFType(qint32(3)));
    EXPECT_EQ(array.size(), 3);
    EXPECT_EQ(array.valueAt(2).toInt(), 3);
    EXPECT_TRUE(array.valueAt(3).isNull());
    EXPECT_EQ(copy.size(), 2);
    EXPECT_EQ(copy.valueAt(1).toString(), QStringLiteral("two"));
}

// One value of every kind, nested.
CFType sampleValues()
{
    CFType inner = CFType::array();
    inner.append(CFType(qint64(-1))).append(CFType(false));
    CFType values = CFType::dictionary();
    values.setValue(CFType(QStringLiteral("name")), CFType(QStringLiteral("Zoë's \U0001F4F1 <&>")))
        .setValue(CFType(QStringLiteral("big")), CFType(qint64(1) << 62))
        .setValue(CFType(QStringLiteral("real")), CFType(-2.25))
        .setValue(CFType(QStringLiteral("yes")), CFType(true))
        .setValue(CFType(QStringLiteral("data")), CFType(QByteArray("\0\x01\xff", 3)))
        .setValue(CFType(QStringLiteral("date")), CFType(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58), Qt::UTC)))
        .setValue(CFType(QStringLiteral("list")), inner);
    return values;
}

void expectSampleValues(const CFType& values)
{
    ASSERT_TRUE(values.isDictionary());
    EXPECT_EQ(values.count(), 7);
    EXPECT_EQ(values.value(QStringLiteral("name")).toString(), QStringLiteral("Zoë's \U0001F4F1 <&>"));
    EXPECT_EQ(values.value(QStringLiteral("big")).toInt64(), qint64(1) << 62);
    EXPECT_EQ(values.value(QStringLiteral("real")).toDouble(), -2.25);
    EXPECT_TRUE(values.value(QStringLiteral("yes")).toBool());
    EXPECT_EQ(values.value(QStringLiteral("data")).toByteArray(), QByteArray("\0\x01\xff", 3));
    EXPECT_EQ(values.value(QStringLiteral("date")).toDateTime(),
              QDateTime(QDate(1999, 12, 31), QTime(23, 59, 58), Qt::UTC));
    const CFType list = values.value(QStringLiteral("list"));
    EXPECT_EQ(list.valueAt(0).toInt(), -1);
    EXPECT_TRUE(list.valueAt(1).isBoolean());
}

TEST_F(CFTypeTest, EveryKindSurvivesXmlAndBinaryPropertyLists)
{
    const CFType values = sampleValues();
    for (const CFPropertyListFormat format : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        SCOPED_TRACE(format);
        const QByteArray bytes = values.toPlistData(format);
        expectSampleValues(CFType::fromPlistData(bytes));
        // libplist reads what we write, and we read what it writes.
        const PlistNode read = PlistNode::fromData(bytes);
        EXPECT_EQ(read.value(QStringLiteral("name")).toString(), QStringLiteral("Zoë's \U0001F4F1 <&>"));
        const QByteArray written = format == kCFPropertyListXMLFormat_v1_0 ? read.toXml().toUtf8() : read.toBinary();
        expectSampleValues(CFType::fromPlistData(written));
    }
    expectSampleValues(values.clone());
    CFType withZone = CFType::dictionary();
    const CFType zone(cf<decltype(CFTimeZoneCreateWithTimeIntervalFromGMT)>("CFTimeZoneCreateWithTimeIntervalFromGMT")(
                          nullptr, 3600),
                      true);
    withZone.setValue(CFType(QStringLiteral("zone")), zone);
    EXPECT_TRUE(withZone.toPlistData(kCFPropertyListBinaryFormat_v1_0).isEmpty());  // no property-list kind
}

TEST_F(CFTypeTest, JunkIsNoPropertyList)
{
    for (const QByteArray& junk :
         {QByteArray(), QByteArray("junk"), QByteArray("bplist00\x01\x02", 10),
          QByteArray("<plist><dict><key>a</key></plist>"), QByteArray("<plist><string>a&#0;b</string></plist>")})
        EXPECT_TRUE(CFType::fromPlistData(junk).isNull()) << junk.toStdString();
    EXPECT_TRUE(CFType::fromPlistFile(QStringLiteral("/nonexistent/Info.plist")).isNull());
}

TEST_F(CFTypeTest, DatesKeepTheirInstantAcross2001AndTimeZones)
{
    const QDateTime beforeReference(QDate(2000, 12, 31), QTime(23, 59, 59), Qt::UTC);
    const CFType before(beforeReference);
    EXPECT_EQ(cf<decltype(CFDateGetAbsoluteTime)>("CFDateGetAbsoluteTime")(static_cast<CFDateRef>(before.ref())), -1.0);
    EXPECT_EQ(before.toDateTime(), beforeReference);
    EXPECT_EQ(before.toDateTime().timeSpec(), Qt::UTC);

    // A date-time given in another zone is the same instant.
    const QDateTime tokyo(QDate(2001, 1, 1), QTime(9, 0), QTimeZone("Asia/Tokyo"));
    EXPECT_EQ(CFType(tokyo).toDateTime(), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));

    const CFType summer(QDateTime(QDate(2013, 7, 1), QTime(12, 0, 30), Qt::UTC));
    const struct {
        QDateTime converted;
        QTime fields;
        int offset;
    } zones[] = {
        {summer.toDateTime(-5400), QTime(10, 30, 30), -5400},
        {summer.toDateTime(QStringLiteral("America/New_York")), QTime(8, 0, 30), -4 * 3600},
        {summer.toDateTime(QStringLiteral("Australia/Sydney")), QTime(22, 0, 30), 10 * 3600},
        {summer.toDateTime(QString()), QTime(12, 0, 30), 0},
    };
    for (const auto& zone : zones) {
        EXPECT_EQ(zone.converted.time(), zone.fields);
        EXPECT_EQ(zone.converted.offsetFromUtc(), zone.offset);
        EXPECT_EQ(zone.converted, summer.toDateTime());
    }
    EXPECT_FALSE(summer.toDateTime(QStringLiteral("Nowhere/Nothing")).isValid());

    const CFGregorianDate half = cf<decltype(CFAbsoluteTimeGetGregorianDate)>("CFAbsoluteTimeGetGregorianDate")(-0.5, nullptr);
    EXPECT_EQ(half.year, 2000);
    EXPECT_EQ(half.hour, 23);
    EXPECT_EQ(half.second, 59.5);
}

TEST_F(CFTypeTest, NullAndWrongArgumentsAreAnsweredNotCrashedOn)
{
    const CFType number(qint32(1));
    const CFType string(QStringLiteral("s"));
    cf<decltype(CFRelease)>("CFRelease")(nullptr);
    EXPECT_EQ(cf<decltype(CFStringGetLength)>("CFStringGetLength")(static_cast<CFStringRef>(number.ref())), 0);
    EXPECT_EQ(cf<decltype(CFArrayGetValueAtIndex)>("CFArrayGetValueAtIndex")(static_cast<CFArrayRef>(string.ref()), 0),
              nullptr);
    cf<decltype(CFDictionarySetValue)>("CFDictionarySetValue")(nullptr, string.ref(), number.ref());
    cf<decltype(CFDataGetBytes)>("CFDataGetBytes")(static_cast<CFDataRef>(CFType(QByteArray("ab")).ref()), {1, 5}, nullptr);
    EXPECT_EQ(cf<decltype(CFNumberCreate)>("CFNumberCreate")(nullptr, 99, &number), nullptr);
    EXPECT_EQ(cf<decltype(CFDictionaryCreateMutable)>("CFDictionaryCreateMutable")(nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(cf<decltype(CFPropertyListCreateWithData)>("CFPropertyListCreateWithData")(
                  nullptr, static_cast<CFDataRef>(string.ref()), 0, nullptr, nullptr),
              nullptr);
}

}  // namespace

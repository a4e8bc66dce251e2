#include "devicesim/simcontrol.h"

#include "core/plistnode.h"
#include "device/devicelibraries.h"
#include "device/mobiledevice.h"
#include "devicelibs/sim/tmsim.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdlib>
#include <memory>

namespace devicesim {

namespace {

template <class F>
F* control(const char* name)
{
    auto* function = DeviceLibraries::mobileDeviceFunction<F>(name);
    if (!function)
        ADD_FAILURE() << "the simulator has no " << name;
    return function;
}

PlistNode plistOf(const QVariant& value)
{
    switch (value.userType()) {
    case QMetaType::Bool: return PlistNode::fromBool(value.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong: return PlistNode::fromUInt64(quint64(value.toLongLong()));
    case QMetaType::Double: return PlistNode::fromDouble(value.toDouble());
    case QMetaType::QByteArray: return PlistNode::fromByteArray(value.toByteArray());
    case QMetaType::QVariantList: {
        PlistNode array = PlistNode::newArray();
        for (const QVariant& item : value.toList())
            array.append(plistOf(item));
        return array;
    }
    case QMetaType::QVariantMap: {
        PlistNode dictionary = PlistNode::newDict();
        const QVariantMap values = value.toMap();
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            dictionary.setValue(it.key(), plistOf(it.value()));
        return dictionary;
    }
    default: return PlistNode::fromString(value.toString());
    }
}

}  // namespace

QString simulatorPath()
{
    return QStringLiteral(TM_DEVICESIM_LIB);
}

bool loadSimulator()
{
    qputenv("TALLOWMERE_MOBILEDEVICE_LIB", simulatorPath().toUtf8());
    QString error;
    if (!DeviceLibraries::load(error)) {
        qWarning("%s", qUtf8Printable(error));
        return false;
    }
    control<decltype(TMSim_Reset)>("TMSim_Reset")();
    return true;
}

void setDomain(const QString& udid, const QString& domain, const QVariantMap& values)
{
    const QByteArray xml = plistOf(values).toXml().toUtf8();
    const QByteArray domainName = domain.toUtf8();
    EXPECT_TRUE(control<decltype(TMSim_SetDomain)>("TMSim_SetDomain")(
        udid.toUtf8().constData(), domain.isEmpty() ? nullptr : domainName.constData(), xml.constData(),
        uint32_t(xml.size())));
}

void setPaired(const QString& udid, bool paired)
{
    control<decltype(TMSim_SetPaired)>("TMSim_SetPaired")(udid.toUtf8().constData(), paired);
}

void fail(const char* function, int code)
{
    control<decltype(TMSim_Fail)>("TMSim_Fail")(function, code);
}

void failAfter(const char* function, int successes, int code)
{
    control<decltype(TMSim_FailAfter)>("TMSim_FailAfter")(function, successes, code);
}

void* addDevice(const QString& udid)
{
    return control<decltype(TMSim_AddDevice)>("TMSim_AddDevice")(udid.toUtf8().constData());
}

void* plug(const QString& udid)
{
    return control<decltype(TMSim_Plug)>("TMSim_Plug")(udid.toUtf8().constData());
}

bool unplug(const QString& udid)
{
    return control<decltype(TMSim_Unplug)>("TMSim_Unplug")(udid.toUtf8().constData());
}

void setFileRelay(const QString& udid, const QString& status, const QByteArray& archive, int pauseMs)
{
    setDomain(udid, QStringLiteral("com.apple.mobile.file_relay"),
              {{QStringLiteral("Status"), status}, {QStringLiteral("Archive"), archive}, {QStringLiteral("PauseMs"), pauseMs}});
}

void* plugDeviceWithMessages(const QString& udid, const QString& version, const QString& country,
                             fixtures::DeviceLayout layout, const QString& status, int pauseMs)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("sms.db"));
    fixtures::createDeviceDb(path, layout);
    fixtures::fillSampleHistory(path, {40, 6, 11, false, false});
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    addDevice(udid);
    setDomain(udid, QString(), {{QStringLiteral("UniqueDeviceID"), udid}, {QStringLiteral("DeviceName"), udid.toUpper()},
                                {QStringLiteral("ProductVersion"), version}, {QStringLiteral("MobileSubscriberCountryCode"), country}});
    setFileRelay(udid, status, fixtures::makeArchive(fixtures::deviceDbEntries(file.readAll())), pauseMs);
    return plug(udid);
}

QList<CFType> peerReceived(void* device, const QString& service, QStringList* formats)
{
    QElapsedTimer waited;
    waited.start();
    CFType domain;
    while (!(domain = MobileDevice::copyValues(device, {QString()}, service).value(0)).value("Done").toBool()
           && !waited.hasExpired(5000))
        QThread::msleep(5);
    EXPECT_TRUE(domain.value("Done").toBool()) << "the scripted peer of " << service.toStdString() << " did not finish";
    QList<CFType> messages;
    for (CFIndex i = 0; i < domain.value("Received").size(); ++i) {
        messages.append(domain.value("Received").valueAt(i));
        if (formats)
            formats->append(domain.value("Formats").valueAt(i).toString());
    }
    return messages;
}

void useFakeBackupTool(const QString& orders, const QString& recordFile)
{
    qputenv("TALLOWMERE_BACKUP_TOOL", TM_FAKE_BACKUP_TOOL);
    qputenv("TM_FAKE_BACKUP", orders.toUtf8());
    qputenv("TM_FAKE_BACKUP_RECORD", recordFile.toUtf8());
}

QStringList takeCallLog()
{
    const std::unique_ptr<char, decltype(&std::free)> log(control<decltype(TMSim_TakeCallLog)>("TMSim_TakeCallLog")(),
                                                          &std::free);
    return QString::fromUtf8(log.get()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

long liveObjects()
{
    auto* count = DeviceLibraries::coreFoundationFunction<long()>("TMCF_LiveObjectCount");
    return count ? count() : -1;
}

void SimulatorTest::SetUp()
{
    TempHomeTest::SetUp();
    ASSERT_TRUE(loadSimulator());
    m_liveAtStart = liveObjects();
}

void SimulatorTest::TearDown()
{
    EXPECT_EQ(liveObjects(), m_liveAtStart) << "CoreFoundation objects leaked or released twice";
    TempHomeTest::TearDown();
}

}  // namespace devicesim

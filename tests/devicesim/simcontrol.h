#pragma once
// The tests' side of the simulated MobileDevice library: loading it as the program's device library and
// driving it through its TMSim_* functions, reached by name through the loaded library.
#include "device/cftype.h"
#include "fixtures/device_archive.h"
#include "fixtures/message_history.h"
#include "fixtures/temp_home.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <gtest/gtest.h>

namespace devicesim {

// Points TALLOWMERE_MOBILEDEVICE_LIB at the simulator, loads the device libraries and resets the
// simulator; false (with the load's text logged) when that fails.
bool loadSimulator();
QString simulatorPath();

// Values of a domain ("" for the device's own): strings, booleans, integers, doubles and data.
void setDomain(const QString& udid, const QString& domain, const QVariantMap& values);
void setPaired(const QString& udid, bool paired);
// Every later call of function fails with code; 0 ends it.
void fail(const char* function, int code);
// The same once the next successes calls of function have succeeded.
void failAfter(const char* function, int successes, int code);
void* addDevice(const QString& udid);
void* plug(const QString& udid);
bool unplug(const QString& udid);
// The device's file relay answers status, then sends archive (see TMSim_SetDomain).
void setFileRelay(const QString& udid, const QString& status, const QByteArray& archive, int pauseMs = 0);

// Plugs a device that reports udid, version and country (none when empty), whose file relay answers
// status and sends a generated message database of layout, pausing pauseMs after each 64 KiB.
void* plugDeviceWithMessages(const QString& udid, const QString& version, const QString& country,
                             fixtures::DeviceLayout layout, const QString& status = QStringLiteral("Acknowledged"),
                             int pauseMs = 0);

// What the scripted peer of service (see TMSim_SetDomain) received, once the client has closed the
// socket and the peer has finished; the form of each ("binary" or "xml") goes to formats when given.
QList<CFType> peerReceived(void* device, const QString& service, QStringList* formats = nullptr);

// Makes the fake backup tool (fake_backup_tool.cpp) the program's backup tool, doing what orders say.
void useFakeBackupTool(const QString& orders, const QString& recordFile);

// The MobileDevice calls since the last take.
QStringList takeCallLog();
// Objects alive in the CoreFoundation stand-in.
long liveObjects();

// Loads a fresh simulator; after the test no CoreFoundation object may be left over (every Create and
// Copy result released once).
class SimulatorTest : public TempHomeTest {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    long m_liveAtStart = 0;
};

}  // namespace devicesim

// The DeviceLink exchange and the mobilebackup2 and mobilesync clients against scripted device peers.
#include "device/devicelink.h"
#include "device/mobilebackup2.h"
#include "device/mobiledevice.h"
#include "device/mobilesync.h"
#include "device/servicesocket.h"
#include "devicesim/simcontrol.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

const QString kBackup = QStringLiteral("com.apple.mobilebackup2");
const QString kSync = QStringLiteral("com.apple.mobilesync");
const QVariantList kReady{"DLMessageDeviceReady"};
const QVariantList kVersions{"DLMessageVersionExchange", 300, 0};
const QString kMarker = QStringLiteral("___EmptyParameterString___");

QVariant sends(const QVariant& message) { return QVariantMap{{"Send", message}}; }
QVariant expects(const QString& name) { return QVariantMap{{"Expect", name}}; }
QVariantList handshake(const QString& first)
{
    return {sends(kVersions), expects("DLMessageVersionExchange"), sends(kReady), expects(first)};
}
QVariant reply(QVariantMap values)
{
    values.insert(QStringLiteral("MessageName"), QStringLiteral("Response"));
    return QVariantList{"DLMessageProcessMessage", values};
}
QVariant changes(const QVariant& batch) { return QVariantList{"SDMessageProcessChanges", "Contacts", batch}; }

// A value as short text: dictionaries as {key=value ...} by sorted key, arrays as [a,b].
QString brief(const CFType& value)
{
    QStringList parts;
    if (value.isArray()) {
        for (CFIndex i = 0; i < value.size(); ++i)
            parts << brief(value.valueAt(i));
        return '[' + parts.join(',') + ']';
    }
    for (const CFType& key : value.keys())
        parts << key.toString() + '=' + brief(value.value(key));
    parts.sort();
    return value.isDictionary() ? '{' + parts.join(' ') + '}' : value.isNull() ? QStringLiteral("null") : value.toText();
}

using DeviceLinkTest = devicesim::SimulatorTest;

TEST_F(DeviceLinkTest, ClientsFollowTheScriptedPeerAndCheckWhatItAnswers)
{
    void* device = devicesim::plug(QStringLiteral("dl-1"));
    CFType dictionary = CFType::dictionary();
    dictionary.setValue(CFType(QStringLiteral("e")), CFType(QStringLiteral("1")));
    using Client = std::function<QString(int&)>;  // the result as text
    const Client shake = [](int& s) { return mobiledevice_link_sc_version_exchange(s), QString(); };
    const Client name = [](int& s) { CFType m; QString n; return mobiledevice_link_sc_recv_dlmessaeg(s, m, n, {}), n; };
    const Client payload = [](int& s) { return brief(mobiledevice_link_sc_recv_process_message(s, {})); };
    const Client hello = [](int& s) { return QString::number(mobiledevice_backup2_version_exchange(s, nullptr, 0)); };
    const auto start = [&](bool ping) {
        return Client([&, ping](int& s) {
            return mobiledevice_sync_start(device, {"Contacts", "dev", "comp"}, s, ping), QString();
        });
    };
    const Client records = [](int& s) {
        QStringList batches;
        for (const CFType& batch : mobiledevice_sync_get_all_records(s, "Contacts"))
            batches << brief(batch);
        return batches.join(' ');
    };
    const QString versionsOk = "xml:[DLMessageVersionExchange,DLVersionsOk]";
    const QString helloSent = "binary:[DLMessageProcessMessage,{MessageName=Hello SupportedProtocolVersions=[]}]";
    const QString syncSent = "xml:[SDMessageSyncDataClassWithDevice,Contacts,dev,comp,106]";
    const QVariant allSent = QVariantList{"SDMessageDeviceReadyToReceiveChanges"};
    const struct {
        QString service;
        QVariantList steps;
        Client client;
        QString result;    // or the beginning of the error text
        QString received;  // by the peer, as "form:message" lines
        bool connects = false;  // the client starts the service itself
    } cases[] = {
        {kSync, {sends(kReady)}, shake, "", ""},
        {kSync, {sends("no array"), expects("DLMessageVersionExchange"), sends(kReady)}, shake, "", versionsOk},
        {kSync, {sends(kVersions), expects("DLMessageVersionExchange"), sends(QVariantList{"DLMessageDisconnect"})}, shake,
         "invalid feedback after send DLMessageVersionExchange.\n<?xml", versionsOk},
        {kSync, {sends(QVariantList{"dlLower"})}, name, "dlLower", ""},
        {kSync, {sends(QVariantList{"SDMessage"})}, name, "Did not receive a DL* message as expected.", ""},
        {kSync, {sends(QVariantList{"DLMessageprocessMessage", QVariantMap()})}, payload,
         "Did not receive DLMessageProcessMessage as expected.", ""},
        {kSync, {sends(QVariantList{"DLMessageProcessMessage"})}, payload, "null", ""},  // no element 1
        {kSync, {expects("DLMessageProcessMessage"), sends(QVariantList{"DLMessageProcessMessage", QVariantMap{{"a", "1"}}})},
         [](int& s) {
             CFType sending = CFType::dictionary();
             sending.setValue(CFType(QStringLiteral("b")), CFType(QStringLiteral("2")));
             const CFType sent = mobiledevice_link_sc_send_process_message(s, sending);
             sending.setValue(CFType(QStringLiteral("b")), CFType(QStringLiteral("changed")));  // the copy stays
             CFType whole;
             const QString received = brief(mobiledevice_link_sc_recv_process_message(s, {}, &whole));
             return brief(sent) + received + brief(whole);
         },
         "[DLMessageProcessMessage,{b=2}]{a=1}[DLMessageProcessMessage,{a=1}]", "binary:[DLMessageProcessMessage,{b=2}]"},
        {kSync, {}, [](int& s) { return mobiledevice_link_sc_disconnect(s, {}), QString(); }, "",
         "binary:[DLMessageDisconnect," + kMarker + ']'},

        {kBackup,
         handshake("DLMessageProcessMessage")
             + QVariantList{sends(reply({{"ErrorCode", 0}, {"ProtocolVersion", 2.1}})), expects("DLMessageProcessMessage"),
                            sends(reply({}))},
         [&](int& s) {
             mobiledevice_backup2_connect(device, s);
             const double versions[] = {2.0, 2.1};
             const double agreed = mobiledevice_backup2_version_exchange(s, versions, 2);
             mobiledevice_backup2_enable_cloud_backup(s, "u", false);
             mobiledevice_backup2_request_backup(s, "u", true);
             mobiledevice_backup2_request_backup(s, "u", false);
             CFType options = CFType::dictionary();
             options.setValue(CFType(QStringLiteral("Password")), CFType(QStringLiteral("pw")));
             mobiledevice_backup2_send_request(s, "Unback", "", "src", options);
             mobiledevice_backup2_send_request(s, "Unback", "t", "", {});
             return brief(mobiledevice_backup2_send_status_response(s, 0, {}, {})) + ' ' + QString::number(agreed);
         },
         "[DLMessageStatusResponse,0," + kMarker + ',' + kMarker + "] 2.1",
         versionsOk + "\nbinary:[DLMessageProcessMessage,{MessageName=Hello SupportedProtocolVersions=[2,2.1]}]\n"
             "binary:[DLMessageProcessMessage,{CloudBackupState=0 MessageName=EnableCloudBackup "
             "Options={CloudBackupState=0} SourceIdentifier=u TargetIdentifier=u}]\n"
             "binary:[DLMessageProcessMessage,{MessageName=Backup Options={ForceFullBackup=1} SourceIdentifier=u "
             "TargetIdentifier=u}]\n"
             "binary:[DLMessageProcessMessage,{MessageName=Backup SourceIdentifier=u TargetIdentifier=u}]\n"
             "binary:[DLMessageProcessMessage,{MessageName=Unback Options={Password=pw} Password=pw "
             "SourceIdentifier=src TargetIdentifier=}]\n"
             "binary:[DLMessageProcessMessage,{MessageName=Unback TargetIdentifier=t}]\n"
             "binary:[DLMessageStatusResponse,0," + kMarker + ',' + kMarker + ']',
         true},
        {kBackup, {sends(reply({}))}, hello, "0", helloSent},
        {kBackup, {sends(reply({{"ErrorCode", 1}}))}, hello,
         "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_NO_COMMON_VERSION", helloSent},
        {kBackup, {sends(reply({{"ErrorCode", 5}}))}, hello,
         "mobiledevice_backup2_version_exchange: MOBILEBACKUP2_E_REPLY_NOT_OK", helloSent},

        {kSync, handshake("SDMessageSyncDataClassWithDevice") + QVariantList{sends(QVariantList{"SDMessageSyncDataClassWithComputer"})},
         start(true), "", versionsOk + '\n' + syncSent + "\nxml:[DLMessagePing,Preparing to get changes for device]", true},
        {kSync, {sends(kReady), expects("SDMessageSyncDataClassWithDevice"), sends(QVariantList{"SDMessageSyncDataClassWithComputer"})},
         start(false), "", syncSent, true},
        {kSync, {sends(allSent)}, records, "", "xml:[SDMessageGetAllRecordsFromDevice,Contacts]"},
        {kSync, {sends(changes(QVariantMap{{"a", 1}})), sends(changes(kMarker)), sends(changes(QVariantMap{{"b", 2}})),
                 sends(changes(QVariantMap{{"c", 3}})), sends(allSent)},
         records, "{a=1} {b=2} {c=3}",
         "xml:[SDMessageGetAllRecordsFromDevice,Contacts]" + QString("\nxml:[SDMessageAcknowledgeChangesFromDevice,Contacts]").repeated(4)},
        {kSync, {sends(QVariantList{"SDMessageRemapRecordIdentifiers", "Contacts", QVariantMap{{"x", "y"}}})},
         [&](int& s) { return brief(mobiledevice_sync_process_changes(s, dictionary, "Contacts", dictionary)); }, "{x=y}",
         "xml:[SDMessageProcessChanges,Contacts,{e=1},0,{e=1}]"},
        {kSync, {sends(QVariantList{"SDMessageDeviceWillClearAllRecords"})},
         [](int& s) { return mobiledevice_sync_clear_all_records(s, "Contacts"), QString(); }, "",
         "xml:[SDMessageClearAllRecordsOnDevice,Contacts," + kMarker + ']'},
        {kSync, {sends(QVariantList{"Anything"})}, [](int& s) { return mobiledevice_sync_finish(s, "Contacts"), QString(); },
         "", "xml:[SDMessageFinishSessionOnDevice,Contacts]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.received.toStdString());
        devicesim::setDomain(QStringLiteral("dl-1"), c.service, {{QStringLiteral("Script"), c.steps}});
        int socket = c.connects ? -1 : MobileDevice::startService(device, c.service);
        QString outcome;
        try {
            outcome = c.client(socket);
        } catch (const std::runtime_error& error) {
            outcome = QString::fromUtf8(error.what()).left(c.result.size());
        }
        EXPECT_EQ(outcome.toStdString(), c.result.toStdString());
        Socket::close(socket);
        QStringList formats, received;
        for (const CFType& message : devicesim::peerReceived(device, c.service, &formats))
            received << formats.value(received.size()) + ':' + brief(message);
        EXPECT_EQ(received.join('\n').toStdString(), c.received.toStdString());
    }
    EXPECT_EQ(mobiledevice_sync_set_tethered_disabled(device, "Contacts", true), 0);
    const CFType tethered = MobileDevice::copyValues(device, {"Contacts"}, "com.apple.mobile.tethered_sync").value(0);
    EXPECT_EQ(brief(tethered).toStdString(), "{DisableTethered=1}");
}

}  // namespace

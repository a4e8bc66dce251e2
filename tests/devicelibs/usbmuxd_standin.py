#!/usr/bin/python3
# Stand-in for usbmuxd and one phone's lockdownd, from their public protocols: usbmuxd plist messages (header:
# length, version 1, type 8, tag) on the Unix socket argv[1]; lockdownd's length-prefixed plists, TLS after
# StartSession; one TLS 1.2+ service that sends back each message. SIGUSR1: the phone vanishes. The phone's
# conditions follow the socket: "stale-record" (usbmuxd holds the record of a host the phone has forgotten),
# "trust-pending" (the first Pair waits for "Trust"), "gone-at-pair" (unplugged while asked to pair),
# "no-version" (no ProductVersion, TLS 1.0 as an older phone); usbmuxd's own: "records-unreadable" and
# "records-a-folder" (it can neither read nor save pair records: errno 13, 21), "close-listen" (Listen closed
# unanswered until SIGUSR2). The first session asked for MobileSubscriberCountryCode drops there, the phone
# staying attached.
import os, plistlib as pl, signal, socket, ssl, struct, subprocess, sys, threading
from contextlib import suppress
UDID, ID = "0123456789abcdef0123456789abcdef01234567", 7
os.chdir(os.path.dirname(sys.argv[1]))
for args in ("req -x509 -newkey rsa:2048 -nodes -keyout k -out c -subj /CN=x", "rsa -in k -RSAPublicKey_out -out p"):
    subprocess.run(["openssl"] + args.split(), check=True, capture_output=True)
values = {"ProductVersion": "12.4", "DeviceName": "Stand-in", "DevicePublicKey": open("p", "rb").read()}
records, phone, listeners, gone = {}, [], [], []
conditions, hosts = set(sys.argv[2:]), set()  # hosts: the HostIDs of the pairings the phone keeps
if "no-version" in conditions:
    del values["ProductVersion"]
record_errno = 13 if "records-unreadable" in conditions else 21 if "records-a-folder" in conditions else 0
attached = {"MessageType": "Attached", "DeviceID": ID, "Properties": {"ConnectionType": "USB", "DeviceID": ID, "SerialNumber": UDID}}

def tls(conn):  # TLS 1.2 or later, as newer phones ask
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if "no-version" in conditions:  # libimobiledevice holds a phone of unknown version to TLS 1.0
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    context.load_cert_chain("c", "k")
    phone.append(context.wrap_socket(conn, server_side=True))
    return phone[-1]

def read(conn, n):
    data = b""
    while len(data) < n:
        data += conn.recv(n - len(data)) or sys.exit()
    return data

def framed(conn, message):  # lockdownd's and the service's framing
    body = pl.dumps(message)
    conn.sendall(struct.pack(">I", len(body)) + body)

dropped = []

def session_drops(conn, request):  # once: the session ends unanswered, as a phone's lockdownd may
    if request.get("Key") != "MobileSubscriberCountryCode" or dropped:
        return False
    dropped.append(1)
    with suppress(OSError):
        conn.shutdown(socket.SHUT_RDWR)
    return True

def lockdown(conn):
    while request := pl.loads(read(conn, struct.unpack(">I", read(conn, 4))[0])):
        kind = request.get("Request")
        if session_drops(conn, request):
            return
        answer = {"Request": kind, "Type": "com.apple.mobile.lockdown", "SessionID": "S", "EnableSessionSSL": True,
                  "Port": 50001, "EnableServiceSSL": True}
        if kind == "GetValue":
            key = request.get("Key")
            answer.update({"Key": key, "Value": values[key]} if key in values else {"Error": "MissingValue"})
        if refusal := pairing(kind, request):
            answer["Error"] = refusal
        if refusal != "Gone":
            framed(conn, answer)
        conn = conn if refusal else tls(conn) if kind == "StartSession" else conn.unwrap() if kind == "StopSession" else conn

def pairing(kind, request):  # the phone's side of pairing: the Error it answers, if any ("Gone": no answer)
    if kind == "Pair" and "gone-at-pair" in conditions:
        return vanish() or "Gone"
    if kind == "Pair" and "trust-pending" in conditions:
        conditions.discard("trust-pending")  # "Trust" is tapped after this request
        return "PairingDialogResponsePending"
    host = request.get("PairRecord", {}).get("HostID") if kind in ("Pair", "ValidatePair") else request.get("HostID")
    if kind == "Pair":
        hosts.add(host)
    elif kind in ("ValidatePair", "StartSession") and host not in hosts:
        return "InvalidHostID"

def forgotten_record():  # what usbmuxd kept of a pairing before the phone was reset
    return pl.dumps({"HostID": "5E1F0000-0000-4000-8000-00000000F0E7", "SystemBUID": "B", "HostCertificate": b"",
                     "HostPrivateKey": b"", "DeviceCertificate": b"", "RootCertificate": b"", "RootPrivateKey": b""})

def client(conn):
    while True:
        length, _, _, tag = struct.unpack("<IIII", read(conn, 16))
        request = pl.loads(read(conn, length - 16))
        kind, answer = request["MessageType"], {"MessageType": "Result", "Number": 0}
        if kind == "ListDevices":
            answer = {"DeviceList": [] if gone else [attached]}
        elif kind == "ReadBUID":
            answer = {"BUID": "B"}
        elif kind == "Listen" and "close-listen" in conditions:
            return
        elif kind in ("ReadPairRecord", "SavePairRecord") and record_errno:
            answer["Number"] = record_errno
        elif kind == "ReadPairRecord":
            answer = {"PairRecordData": records[UDID]} if UDID in records else dict(answer, Number=2)
        elif kind == "SavePairRecord":
            records[UDID] = request["PairRecordData"]
        send(conn, answer, tag)
        if kind == "Listen":
            listeners.append(conn), send(conn, attached)
        elif kind == "Connect":
            phone.append(conn)
            if request["PortNumber"] == 0x7EF2:  # 62078 in network order
                return lockdown(conn)
            conn = tls(conn)
            while True:
                length = read(conn, 4)
                conn.sendall(length + read(conn, struct.unpack(">I", length)[0]))

def send(conn, message, tag=0):
    body = pl.dumps(message)
    conn.sendall(struct.pack("<IIII", 16 + len(body), 1, 8, tag) + body)

def vanish(*_):
    gone.append(1)
    for conn in phone:
        with suppress(OSError):
            conn.shutdown(socket.SHUT_RDWR)
    for conn in listeners:
        send(conn, {"MessageType": "Detached", "DeviceID": ID})

def serve(conn):
    with suppress(BaseException):
        client(conn)
    conn.close()

if "stale-record" in conditions:
    records[UDID] = forgotten_record()
server = socket.socket(socket.AF_UNIX)
server.bind(sys.argv[1])
server.listen()
signal.signal(signal.SIGUSR1, vanish)
signal.signal(signal.SIGUSR2, lambda *_: conditions.discard("close-listen"))
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()  # ends with the test
while True:
    threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()

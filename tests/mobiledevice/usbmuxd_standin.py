#!/usr/bin/python3
# A stand-in for usbmuxd and one phone's lockdownd, written from their public protocols, for the test that
# drives the real libtmmd.so: usbmuxd plist messages on a Unix socket (16-byte header: length, version 1,
# type 8, tag), lockdownd's length-prefixed plists with TLS after StartSession, and one service ("echo",
# TLS 1.2 or later only) that sends each message back. Usage: usbmuxd_standin.py SOCKET; the phone's key
# and certificate are made in the socket's folder. SIGUSR1 drops every connection of the phone and reports
# it detached.
import os, plistlib, signal, socket, ssl, struct, subprocess, sys, threading

UDID, DEVICE_ID, LOCKDOWN_PORT, ECHO_PORT = "0123456789abcdef0123456789abcdef01234567", 7, 62078, 50001
path = sys.argv[1]
keys = os.path.dirname(path)
for command in (["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                 "-subj", "/CN=stand-in", "-days", "2"], ["rsa", "-in", "key.pem", "-RSAPublicKey_out", "-out", "pub.pem"]):
    subprocess.run(["openssl"] + command, cwd=keys, check=True, capture_output=True)
pair_records, phone_sockets, listeners, gone = {}, [], [], []
values = {"ProductVersion": "12.4", "DeviceName": "Stand-in", "UniqueDeviceID": UDID,
          "DevicePublicKey": open(os.path.join(keys, "pub.pem"), "rb").read()}


def tls(minimum):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = minimum
    context.set_ciphers("DEFAULT:@SECLEVEL=0")
    context.load_cert_chain(os.path.join(keys, "cert.pem"), os.path.join(keys, "key.pem"))
    return context


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def mux_send(conn, tag, message):
    body = plistlib.dumps(message)
    conn.sendall(struct.pack("<IIII", 16 + len(body), 1, 8, tag) + body)


def lockdown(conn):
    def reply(message):
        body = plistlib.dumps(message)
        conn.sendall(struct.pack(">I", len(body)) + body)
    while True:
        request = plistlib.loads(read_exact(conn, struct.unpack(">I", read_exact(conn, 4))[0]))
        kind = request.get("Request")
        answer = {"Request": kind}
        if kind == "QueryType":
            answer["Type"] = "com.apple.mobile.lockdown"
        elif kind == "GetValue":
            if request.get("Key") in values:
                answer.update(Key=request["Key"], Value=values[request["Key"]])
            else:
                answer["Error"] = "MissingValue"
        elif kind == "StartSession":
            answer.update(SessionID="S1", EnableSessionSSL=True)
            reply(answer)
            conn = tls(ssl.TLSVersion.MINIMUM_SUPPORTED).wrap_socket(conn, server_side=True)
            phone_sockets.append(conn)
            continue
        elif kind == "StopSession":
            reply(answer)
            conn = conn.unwrap()
            continue
        elif kind == "StartService":
            answer.update(Service=request.get("Service"), Port=ECHO_PORT, EnableServiceSSL=True)
        elif kind not in ("Pair", "ValidatePair", "Goodbye"):
            answer["Error"] = "InvalidRequest"
        reply(answer)


def echo(conn):
    conn = tls(ssl.TLSVersion.TLSv1_2).wrap_socket(conn, server_side=True)
    phone_sockets.append(conn)
    while True:
        length = read_exact(conn, 4)
        conn.sendall(length + read_exact(conn, struct.unpack(">I", length)[0]))


def client(conn):
    try:
        while True:
            length, _, _, tag = struct.unpack("<IIII", read_exact(conn, 16))
            request = plistlib.loads(read_exact(conn, length - 16))
            kind, answer = request["MessageType"], {"MessageType": "Result", "Number": 0}
            attached = {"MessageType": "Attached", "DeviceID": DEVICE_ID, "Properties": {
                "ConnectionType": "USB", "DeviceID": DEVICE_ID, "SerialNumber": UDID, "LocationID": 0, "ProductID": 0x12a8}}
            if kind == "ListDevices":
                answer = {"DeviceList": [] if gone else [attached]}
            elif kind == "ReadBUID":
                answer = {"BUID": "00000000-1111-2222-3333-444444444444"}
            elif kind == "ReadPairRecord":
                record = pair_records.get(request["PairRecordID"])
                answer = {"PairRecordData": record} if record else {"MessageType": "Result", "Number": 2}
            elif kind == "SavePairRecord":
                pair_records[request["PairRecordID"]] = request["PairRecordData"]
            elif kind == "DeletePairRecord":
                pair_records.pop(request["PairRecordID"], None)
            mux_send(conn, tag, answer)
            if kind == "Listen":
                listeners.append(conn)
                mux_send(conn, 0, attached)
            elif kind == "Connect":
                port = ((request["PortNumber"] & 0xFF) << 8) | (request["PortNumber"] >> 8)
                phone_sockets.append(conn)
                return (lockdown if port == LOCKDOWN_PORT else echo)(conn)
    except (EOFError, OSError, ssl.SSLError, ValueError):
        conn.close()


def vanish(*_):
    gone.append(True)
    for conn in phone_sockets:
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    for conn in listeners:
        mux_send(conn, 0, {"MessageType": "Detached", "DeviceID": DEVICE_ID})


server = socket.socket(socket.AF_UNIX)
server.bind(path)
server.listen(16)
signal.signal(signal.SIGUSR1, vanish)
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()  # ends with the test
while True:
    threading.Thread(target=client, args=(server.accept()[0],), daemon=True).start()

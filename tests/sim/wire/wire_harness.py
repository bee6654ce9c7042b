"""`devicesim serve` for tests: a server on a farm of its own, stopped (and,
should that fail, killed) when the test ends, and a small client of the
multiplexer and lockdown protocols."""
import os
import plistlib
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import orvexctl_harness as harness  # noqa: E402

LOCKDOWN_PORT = 62078


class Server:
    """devicesim serve on a free port of its own farm."""

    def __init__(self, farm, *extra):
        self.farm = farm
        self.log = tempfile.NamedTemporaryFile(prefix="devicesim-serve-", suffix=".log", delete=False)
        self.process = subprocess.Popen(
            [harness.WINE_RUN, harness.DEVICESIM, "--farm", harness.windows_path(farm.folder), "serve"] + list(extra),
            env=farm.env, stdin=subprocess.PIPE, stdout=self.log, stderr=subprocess.STDOUT)
        # The server stops when its piped input closes: when the test stops
        # it, and when the test itself ends in any other way. (Under the
        # 64-bit loader this process is only Wine's starter: a signal to it
        # would not reach the server.)
        self.address = None
        deadline = time.time() + harness.TIMEOUT
        while time.time() < deadline and self.process.poll() is None:
            lines = self.output().splitlines()
            if lines and lines[0].startswith("127.0.0.1:") and len(lines) > 1:
                self.address = lines[0].strip()
                break
            time.sleep(0.1)
        if not self.address:
            output = self.output()
            self.kill()
            raise AssertionError("devicesim serve did not start:\n" + output)
        self.port = int(self.address.split(":")[1])
        self.env = dict(farm.env, USBMUXD_SOCKET_ADDRESS=self.address)

    def output(self):
        with open(self.log.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self):
        """Closes the server's input, which stops it; returns the exit code."""
        try:
            self.process.stdin.close()
            return self.process.wait(timeout=20)
        finally:
            self.kill()

    def kill(self):
        if self.process.stdin and not self.process.stdin.closed:
            self.process.stdin.close()
        if self.process.poll() is None:
            try:
                os.kill(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait(timeout=20)
        self.log.close()
        try:
            os.unlink(self.log.name)
        except OSError:
            pass

    def tool(self, *args, stdin=None):
        """A Debian device tool, run as it is, against this server."""
        return subprocess.run(list(args), env=self.env, input=stdin, capture_output=True, timeout=harness.TIMEOUT)

    def mux(self):
        return MuxClient(self.port)


class MuxClient:
    """One connection to the multiplexer."""

    def __init__(self, port, timeout=60):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.tag = 0

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def raw(self, data):
        self.sock.sendall(data)

    def exact(self, size):
        data = b""
        while len(data) < size:
            chunk = self.sock.recv(size - len(data))
            if not chunk:
                raise EOFError("connection closed after %d of %d bytes" % (len(data), size))
            data += chunk
        return data

    def closed(self):
        """Whether the server has closed the connection (waits for it)."""
        try:
            return self.sock.recv(1) == b""
        except (ConnectionResetError, ConnectionAbortedError):
            return True

    def request(self, message):
        self.tag += 1
        message = dict({"ClientVersionString": "wire test", "ProgName": "wire-test", "kLibUSBMuxVersion": 3},
                       **message)
        body = plistlib.dumps(message)
        self.raw(struct.pack("<IIII", 16 + len(body), 1, 8, self.tag) + body)
        return self.receive()

    def receive(self):
        length, version, kind, tag = struct.unpack("<IIII", self.exact(16))
        return plistlib.loads(self.exact(length - 16))

    def connect(self, device_id, port):
        swapped = ((port & 0xFF) << 8) | (port >> 8)
        return self.request({"MessageType": "Connect", "DeviceID": device_id, "PortNumber": swapped})["Number"]

    def device_id(self, udid, seconds=5):
        """The device's number; a device just plugged in is waited for (the server looks every 50 ms)."""
        deadline = time.time() + seconds
        while True:
            for entry in self.request({"MessageType": "ListDevices"})["DeviceList"]:
                if entry["Properties"]["SerialNumber"] == udid:
                    return entry["DeviceID"]
            if time.time() > deadline:
                raise AssertionError("%s is not listed" % udid)
            time.sleep(0.05)

    # Lockdown framing, once Connect has made the connection a pipe.
    def send_plist(self, value):
        body = plistlib.dumps(value)
        self.raw(struct.pack(">I", len(body)) + body)

    def lockdown(self, value):
        self.send_plist(value)
        (length,) = struct.unpack(">I", self.exact(4))
        return plistlib.loads(self.exact(length))


def lockdown_client(server, udid):
    client = server.mux()
    assert client.connect(client.device_id(udid), LOCKDOWN_PORT) == 0
    return client


def read_pair_record(server, udid):
    with server.mux() as client:
        reply = client.request({"MessageType": "ReadPairRecord", "PairRecordID": udid})
    return plistlib.loads(reply["PairRecordData"])


def start_tls(client, record, folder, version=None):
    """TLS on a client's connection as the host of `record` (TLS 1.0 allowed, as old devices need);
    `version` (an ssl.TLSVersion) pins the protocol version."""
    import ssl
    cert, key = os.path.join(folder, "host.pem"), os.path.join(folder, "host.key")
    with open(cert, "wb") as f:
        f.write(record["HostCertificate"])
    with open(key, "wb") as f:
        f.write(record["HostPrivateKey"])
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.0 is what old devices speak
        context.minimum_version = version or ssl.TLSVersion.TLSv1
        if version:
            context.maximum_version = version
    context.set_ciphers("DEFAULT:@SECLEVEL=0")
    context.load_cert_chain(cert, key)
    client.sock = context.wrap_socket(client.sock)
    return client.sock.version()


def session_client(server, udid, folder, version=None):
    """A lockdown connection with a session (and its TLS) started."""
    record = read_pair_record(server, udid)
    client = lockdown_client(server, udid)
    reply = client.lockdown({"Request": "StartSession", "HostID": record["HostID"],
                             "SystemBUID": record["SystemBUID"]})
    assert reply.get("EnableSessionSSL") is True, reply
    start_tls(client, record, folder, version)
    client.session = reply["SessionID"]
    client.record = record
    return client

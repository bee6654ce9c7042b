"""The farm on the wire, checked by Debian's device tools (idevice_id,
ideviceinfo, idevicename, idevicepair, inetcat) run as they are against
`devicesim serve`, and by a small client of our own where the tools do not
reach: listeners, pair records, faults and bad input."""
import json
import os
import select
import shutil
import tempfile
import plistlib
import socket
import struct
import subprocess
import time
import unittest

from wire_harness import LOCKDOWN_PORT, Server, harness, lockdown_client, read_pair_record, session_client, start_tls

IPHONE4S = harness.IPHONE4S
IPAD2 = harness.IPAD2
KEPT_DOMAINS = ("com.apple.disk_usage", "com.apple.mobile.battery", "com.apple.international")


def tool_ok(test, result):
    test.assertEqual(result.returncode, 0, "exit %d\n%s%s" % (result.returncode, result.stdout.decode(),
                                                              result.stderr.decode()))
    return result.stdout.decode("utf-8")


def wait_for(predicate, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def warm(server, udid):
    """Has the device make its key, which takes seconds under Wine when the
    server's spare keys are spent: longer than Debian's tools wait (5 s)."""
    with lockdown_client(server, udid) as c:
        c.lockdown({"Request": "GetValue", "Key": "DevicePublicKey"})


def next_event(listener, device, seconds=10):
    """The next event of a listener about `device` (a UDID or a DeviceID), within `seconds`."""
    deadline = time.time() + seconds
    while True:
        listener.sock.settimeout(max(deadline - time.time(), 0.001))
        event = listener.receive()
        if device in (event["DeviceID"], event.get("Properties", {}).get("SerialNumber")):
            return event


class WireFarm(unittest.TestCase):
    """One server over a farm of two devices: an attached iPhone, a detached iPad."""

    @classmethod
    def setUpClass(cls):
        cls.farm = harness.Farm()
        try:
            cls.phone = cls.farm.create(IPHONE4S)
            cls.pad = cls.farm.create(IPAD2, attach=False)
            cls.server = Server(cls.farm, "--idle", "3")
            warm(cls.server, cls.phone)
        except BaseException:
            cls.farm.close()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            output = cls.server.output()
            code = cls.server.stop()
            assert code == 0, "Ctrl-C should stop the server cleanly, exit %d\n%s" % (code, output)
        finally:
            cls.farm.close()

    def description(self, udid):
        return self.farm.description(udid)

    # ---- Debian's tools ---------------------------------------------------------------

    def test_idevice_id_lists_the_attached_devices_only(self):
        listed = tool_ok(self, self.server.tool("idevice_id", "-l")).split()
        self.assertIn(self.phone, listed)
        self.assertNotIn(self.pad, listed)

    def test_ideviceinfo_default_and_kept_domains_equal_the_farm(self):
        info = plistlib.loads(self.server.tool("ideviceinfo", "-u", self.phone, "-x").stdout)
        # Read after the tool: the device's own key is made on first need.
        self.assertEqual(info, self.description(self.phone)["Lockdown"])
        for domain in KEPT_DOMAINS:
            with self.subTest(domain=domain):
                result = self.server.tool("ideviceinfo", "-u", self.phone, "-q", domain, "-x")
                tool_ok(self, result)
                self.assertEqual(plistlib.loads(result.stdout), self.description(self.phone)["Domains"][domain])
        one = tool_ok(self, self.server.tool("ideviceinfo", "-u", self.phone, "-k", "ProductType")).strip()
        self.assertEqual(one, "iPhone4,1")

    def test_idevicename_reads_and_renames_and_the_stand_in_sees_it(self):
        name = tool_ok(self, self.server.tool("idevicename", "-u", self.phone)).strip()
        self.assertEqual(name, self.description(self.phone)["Lockdown"]["DeviceName"])
        try:
            tool_ok(self, self.server.tool("idevicename", "-u", self.phone, "线上 Phone"))
            self.assertEqual(self.description(self.phone)["Lockdown"]["DeviceName"], "线上 Phone")
            listed = json.loads(self.farm.ctl("-u", self.phone, "list", "--json").out)
            self.assertEqual([d["DeviceName"] for d in listed if d["UniqueDeviceID"] == self.phone], ["线上 Phone"])
        finally:
            self.server.tool("idevicename", "-u", self.phone, name)

    def test_inetcat_reaches_lockdown(self):
        body = plistlib.dumps({"Request": "QueryType", "Label": "inetcat"})
        process = subprocess.Popen(["inetcat", "-u", self.phone, str(LOCKDOWN_PORT)], env=self.server.env,
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            process.stdin.write(struct.pack(">I", len(body)) + body)
            process.stdin.flush()
            answer = b""
            deadline = time.time() + harness.TIMEOUT
            while time.time() < deadline and (len(answer) < 4 or len(answer) < 4 + struct.unpack(">I", answer[:4])[0]):
                if select.select([process.stdout], [], [], 1)[0]:
                    chunk = os.read(process.stdout.fileno(), 65536)
                    if not chunk:
                        break
                    answer += chunk
        finally:
            process.kill()
            process.communicate()
        self.assertEqual(plistlib.loads(answer[4:]), {"Request": "QueryType", "Type": "com.apple.mobile.lockdown"})

    # ---- the multiplexer --------------------------------------------------------------

    def test_listeners_see_arrivals_and_removals_within_half_a_second(self):
        with self.server.mux() as listener:
            self.assertEqual(listener.request({"MessageType": "Listen"})["Number"], 0)
            first = next_event(listener, self.phone)
            self.assertEqual(first["MessageType"], "Attached")
            self.farm.sim("attach", self.pad)
            arrived = next_event(listener, self.pad, 0.5)
            self.assertEqual(arrived["MessageType"], "Attached")
            self.assertEqual(arrived["Properties"]["ConnectionType"], "USB")
            self.farm.sim("detach", self.pad)
            gone = next_event(listener, arrived["DeviceID"], 0.5)
            self.assertEqual(gone, {"MessageType": "Detached", "DeviceID": arrived["DeviceID"]})

    def test_pair_records_and_the_system_identifier(self):
        with self.server.mux() as client:
            buid = client.request({"MessageType": "ReadBUID"})["BUID"]
            self.assertRegex(buid, r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
            missing = client.request({"MessageType": "ReadPairRecord", "PairRecordID": "no-such-device"})
            self.assertEqual(missing, {"MessageType": "Result", "Number": 2})
            saved = plistlib.dumps({"HostID": "X"}, fmt=plistlib.FMT_BINARY)
            for request in ({"MessageType": "SavePairRecord", "PairRecordID": self.pad, "PairRecordData": saved},
                            {"MessageType": "DeletePairRecord", "PairRecordID": self.pad}):
                self.assertEqual(client.request(request)["Number"], 0)
            self.assertNotIn("PairRecord", self.description(self.pad))
            self.assertEqual(client.request({"MessageType": "DeletePairRecord", "PairRecordID": self.pad})["Number"],
                             2)

    def test_a_device_paired_by_devicesim_gets_a_working_pair_record(self):
        udid = self.farm.create(IPHONE4S)
        try:
            self.farm.sim("pair", udid)
            with self.server.mux() as client:
                reply = client.request({"MessageType": "ReadPairRecord", "PairRecordID": udid})
                record = plistlib.loads(reply["PairRecordData"])
                buid = client.request({"MessageType": "ReadBUID"})["BUID"]
            self.assertEqual(record["SystemBUID"], buid)
            for name in ("DeviceCertificate", "HostCertificate", "HostPrivateKey", "RootCertificate",
                         "RootPrivateKey"):
                self.assertTrue(record[name].startswith(b"-----BEGIN "), name)
            self.assertEqual(self.description(udid)["TrustedHost"]["HostID"], record["HostID"])
            # The tools take it as it is: a session with TLS on the certificates made here.
            self.assertEqual(tool_ok(self, self.server.tool("ideviceinfo", "-u", udid, "-k", "DeviceName")).strip(),
                             self.description(udid)["Lockdown"]["DeviceName"])
        finally:
            self.farm.sim("remove", udid)

    def test_idevicepair_pair_validate_unpair(self):
        udid = self.farm.create(IPAD2)
        try:
            warm(self.server, udid)
            self.farm.sim("fault", "--device", udid, "pair", "on")
            self.assertNotEqual(self.server.tool("idevicepair", "-u", udid, "pair").returncode, 0)
            self.assertNotEqual(self.server.tool("idevicepair", "-u", udid, "validate").returncode, 0)
            self.assertFalse(self.description(udid)["Paired"])
            self.farm.sim("fault", "--device", udid, "pair", "off")
            self.assertIn("SUCCESS", tool_ok(self, self.server.tool("idevicepair", "-u", udid, "pair")))
            self.assertIn("SUCCESS", tool_ok(self, self.server.tool("idevicepair", "-u", udid, "validate")))
            d = self.description(udid)
            self.assertTrue(d["Paired"])
            self.assertEqual(d["TrustedHost"]["HostID"], d["PairRecord"]["HostID"])
            self.assertIn("SUCCESS", tool_ok(self, self.server.tool("idevicepair", "-u", udid, "unpair")))
            d = self.description(udid)
            self.assertFalse(d["Paired"])
            self.assertNotIn("TrustedHost", d)
            self.assertNotIn("PairRecord", d)
        finally:
            self.farm.sim("remove", udid)

    # ---- lockdown ---------------------------------------------------------------------

    def test_lockdown_without_a_session(self):
        with lockdown_client(self.server, self.phone) as c:
            lockdown = self.description(self.phone)["Lockdown"]
            self.assertEqual(c.lockdown({"Request": "GetValue", "Key": "ProductVersion"})["Value"],
                             lockdown["ProductVersion"])
            cases = [
                ({"Request": "GetValue", "Key": "SerialNumber"}, "MissingValue"),
                ({"Request": "GetValue", "Domain": "com.apple.mobile.battery"}, "SessionInactive"),
                ({"Request": "SetValue", "Key": "DeviceName", "Value": "x"}, "SessionInactive"),
                ({"Request": "StartService", "Service": "com.apple.afc"}, "SessionInactive"),
                ({"Request": "StartSession", "HostID": "NOT-A-HOST", "SystemBUID": "X"}, "InvalidHostID"),
                ({"Request": "ValidatePair", "PairRecord": {"HostID": "NOT-A-HOST"}}, "InvalidHostID"),
                ({"Request": "Pair", "PairRecord": {"HostID": "A"}}, "InvalidPairRecord"),
                ({"Request": "StopSession", "SessionID": "X"}, "SessionInactive"),
                ({"Request": "Reboot"}, "InvalidRequest"),
                ({"Label": "no request"}, "MissingRequest"),
            ]
            for request, error in cases:
                with self.subTest(request=request):
                    self.assertEqual(c.lockdown(request).get("Error"), error)

    def test_sessions_values_and_services(self):
        folder = tempfile.mkdtemp(prefix="wire-tls-")
        udid = self.farm.create(IPAD2)
        try:
            self.farm.sim("pair", udid)
            read_pair_record(self.server, udid)  # made here, before the tools ask for it
            for device, jailbroken in ((self.phone, True), (udid, False)):
                # The phone's pair record is the one ideviceinfo made and saved.
                tool_ok(self, self.server.tool("ideviceinfo", "-u", device, "-k", "ProductType"))
                with session_client(self.server, device, folder) as c:
                    self.assertEqual(c.lockdown({"Request": "StartSession", "HostID": c.record["HostID"]})["Error"],
                                     "SessionActive")
                    battery = c.lockdown({"Request": "GetValue", "Domain": "com.apple.mobile.battery"})["Value"]
                    self.assertEqual(battery, self.description(device)["Domains"]["com.apple.mobile.battery"])
                    offered = {"com.apple.afc": True, "com.apple.afc2": jailbroken, "com.apple.misagent": True,
                               "com.apple.mobile.installation_proxy": True,
                               "com.apple.mobile.diagnostics_relay": False}
                    for service, expected in offered.items():
                        with self.subTest(device=device, service=service):
                            reply = c.lockdown({"Request": "StartService", "Service": service})
                            self.assertEqual("Port" in reply, expected, reply)
                            if not expected:
                                self.assertEqual(reply["Error"], "InvalidService")
                                continue
                            self.assertNotIn("EnableServiceSSL", reply)
                            with self.server.mux() as pipe:
                                number = pipe.device_id(device)
                                self.assertEqual(pipe.connect(number, reply["Port"]), 0)
                            with self.server.mux() as again:
                                self.assertEqual(again.connect(number, reply["Port"]), 3, "a port serves once")
                    self.assertEqual(c.lockdown({"Request": "SetValue", "Key": "UniqueDeviceID", "Value": "x"})["Error"],
                                     "SetProhibited")
                    c.lockdown({"Request": "SetValue", "Domain": "com.apple.international", "Key": "Locale",
                                "Value": "de_DE"})
                    self.assertEqual(self.description(device)["Domains"]["com.apple.international"]["Locale"],
                                     "de_DE")
                    self.assertNotIn("Error", c.lockdown({"Request": "RemoveValue",
                                                          "Domain": "com.apple.international", "Key": "Locale"}))
                    self.assertEqual(c.lockdown({"Request": "RemoveValue", "Domain": "com.apple.international",
                                                 "Key": "Locale"})["Error"], "MissingValue")
                    self.assertEqual(c.lockdown({"Request": "StopSession", "SessionID": c.session}),
                                     {"Request": "StopSession"})
            # A service a device starts with TLS: the connection begins with the handshake.
            path = os.path.join(self.farm.folder, udid, "device.plist")
            with open(path, "rb") as f:
                d = plistlib.load(f)
            d["ServicesWithTLS"] = ["com.apple.misagent"]
            with open(path + ".new", "wb") as f:
                plistlib.dump(d, f)
            os.replace(path + ".new", path)
            with session_client(self.server, udid, folder) as c:
                reply = c.lockdown({"Request": "StartService", "Service": "com.apple.misagent"})
                self.assertIs(reply.get("EnableServiceSSL"), True, reply)
                with self.server.mux() as pipe:
                    self.assertEqual(pipe.connect(pipe.device_id(udid), reply["Port"]), 0)
                    self.assertIn(start_tls(pipe, c.record, folder), ("TLSv1", "TLSv1.1", "TLSv1.2"))
        finally:
            self.farm.sim("remove", udid)
            shutil.rmtree(folder, ignore_errors=True)

    def test_sessions_take_tls_1_0_to_1_2(self):
        import ssl
        folder = tempfile.mkdtemp(prefix="wire-tls-")
        udid = self.farm.create(IPHONE4S)
        try:
            self.farm.sim("pair", udid)
            for version, name in ((ssl.TLSVersion.TLSv1, "TLSv1"), (ssl.TLSVersion.TLSv1_1, "TLSv1.1"),
                                  (ssl.TLSVersion.TLSv1_2, "TLSv1.2")):
                with self.subTest(name), session_client(self.server, udid, folder, version) as c:
                    self.assertEqual(c.sock.version(), name)
                    self.assertEqual(c.lockdown({"Request": "GetValue", "Key": "SerialNumber"})["Value"],
                                     self.description(udid)["Lockdown"]["SerialNumber"])
                    # After StopSession the connection goes on in plain text.
                    c.lockdown({"Request": "StopSession", "SessionID": c.session})
                    c.sock = c.sock.unwrap()
                    self.assertEqual(c.lockdown({"Request": "QueryType"})["Type"], "com.apple.mobile.lockdown")
        finally:
            self.farm.sim("remove", udid)
            shutil.rmtree(folder, ignore_errors=True)

    # ---- faults -----------------------------------------------------------------------

    def test_the_link_faults_are_the_file_services_not_lockdowns(self):
        # The farm defines latency per file-service request and unplug-after
        # by file bytes moved (the file service's own tests in
        # afc_wire_test.cpp show both there); lockdown takes neither, as
        # with the stand-in library.
        udid = self.farm.create(IPHONE4S)
        try:
            self.farm.sim("fault", "--device", udid, "latency", "400")
            self.farm.sim("fault", "--device", udid, "unplug-after", "3000")
            wait_for(lambda: False, 0.3)  # the server looks at the farm every 50 ms
            with lockdown_client(self.server, udid) as c:
                started = time.time()
                for _ in range(40):
                    self.assertEqual(c.lockdown({"Request": "GetValue", "Key": "ProductVersion"})["Value"],
                                     "5.1.1")
                self.assertLess(time.time() - started, 0.4 * 40 / 2)
            d = self.description(udid)
            self.assertTrue(d["Attached"])
            self.assertEqual(d["Faults"]["UnplugAfter"], 3000)
        finally:
            self.farm.sim("remove", udid)

    # ---- bad input ----------------------------------------------------------------------

    def assert_still_served(self):
        with self.server.mux() as client:
            self.assertIn(self.phone, [d["Properties"]["SerialNumber"]
                                       for d in client.request({"MessageType": "ListDevices"})["DeviceList"]])

    def test_bad_multiplexer_messages(self):
        closing = {
            "length of 4 GiB": struct.pack("<IIII", 0xFFFFFFFF, 1, 8, 1),
            "length below the header": struct.pack("<IIII", 8, 1, 8, 1),
            "old binary protocol": struct.pack("<IIII", 16, 0, 3, 1),
        }
        for name, data in closing.items():
            with self.subTest(name), self.server.mux() as client:
                client.raw(data)
                if name == "old binary protocol":
                    self.assertEqual(client.receive()["Number"], 6)
                self.assertTrue(client.closed())
        answered = {
            "cut property list": b"<?xml version='1.0'?><plist><dict><key>MessageType</key>",
            "binary noise": bytes(range(256)) * 3,
            "not a dictionary": plistlib.dumps(["ListDevices"]),
            "unknown MessageType": plistlib.dumps({"MessageType": "Explode"}),
        }
        with self.server.mux() as client:
            for name, body in answered.items():
                with self.subTest(name):
                    client.raw(struct.pack("<IIII", 16 + len(body), 1, 8, 7) + body)
                    self.assertEqual(client.receive(), {"MessageType": "Result", "Number": 1})
            self.assertIn("DeviceList", client.request({"MessageType": "ListDevices"}))
        self.assert_still_served()

    def test_bad_lockdown_messages_close_the_connection(self):
        for name, data in {"zero length": struct.pack(">I", 0), "length of 4 GiB": b"\xff\xff\xff\xff",
                           "cut list": struct.pack(">I", 20) + b"<plist><dict><key>R", "noise": struct.pack(
                               ">I", 64) + bytes(range(64))}.items():
            with self.subTest(name), lockdown_client(self.server, self.phone) as c:
                c.raw(data)
                c.sock.shutdown(socket.SHUT_WR) if name == "cut list" else None
                self.assertTrue(c.closed())
        self.assert_still_served()

    def test_a_silent_client_is_dropped_after_the_idle_time(self):
        with self.server.mux() as silent:
            started = time.time()
            self.assert_still_served()
            self.assertTrue(silent.closed())
            self.assertLess(time.time() - started, 10)


if __name__ == "__main__":
    unittest.main()

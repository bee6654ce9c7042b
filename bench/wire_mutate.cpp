// Seeded mutation run of the wire server: the multiplexer's messages and
// lockdown's, mutated, each on a connection of its own to a server running
// in this process over a farm of its own.
//
//   wire-mutate [--count N] [--seed S] [--layer mux|lockdown|both]
//
// N mutants per layer (default 10000). Every connection must be answered
// or closed within 10 s of the client's last byte (else: a hang); every 100
// mutants, and at the end, a fresh client must still get the device list;
// the server must stop within 30 s. Prints the tally; exits non-zero on
// any failure. A crash ends the run.
#include "bench/seeded_random.h"
#include "platform/file.h"
#include "platform/text.h"
#include "sim/wire/mux_server.h"
#include "sim/wire/pairing.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <vector>

namespace {

using simfarm::Value;

const DWORD kAnswerTimeout = 10000;

using Random = SeededRandom;

std::string Le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

std::string Be32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>(v >> (24 - 8 * i));
    return s;
}

std::string Xml(const Value& v) {
    std::string xml;
    simfarm::WriteXmlPlist(v, &xml);
    return xml;
}

Value Dict(std::initializer_list<std::pair<const char*, Value>> entries) {
    Value d = Value::Dict();
    for (const auto& e : entries)
        d.Set(e.first, e.second);
    return d;
}

Value Str(const char* s) { return Value::String(s); }

std::string MuxMessage(const Value& body, uint32_t tag) {
    std::string xml = Xml(body);
    return Le32(static_cast<uint32_t>(16 + xml.size())) + Le32(1) + Le32(8) + Le32(tag) + xml;
}

std::string LockdownMessage(const Value& body) {
    std::string xml = Xml(body);
    return Be32(static_cast<uint32_t>(xml.size())) + xml;
}

// Byte-level mutations, and the length field set to telling values.
std::string Mutate(std::string data, Random& random, size_t lengthAt, bool bigEndian) {
    int rounds = 1 + static_cast<int>(random.Below(4));
    for (int r = 0; r < rounds && !data.empty(); ++r) {
        size_t at = random.Below(data.size());
        switch (random.Below(8)) {
        case 0:
            data[at] = static_cast<char>(data[at] ^ (1 << random.Below(8)));
            break;
        case 1:
            data[at] = static_cast<char>(random.Next());
            break;
        case 2: {
            std::string noise(1 + random.Below(64), '\0');
            for (char& c : noise)
                c = static_cast<char>(random.Next());
            data.insert(at, noise);
            break;
        }
        case 3:
            data.erase(at, 1 + random.Below(32));
            break;
        case 4:
            data.resize(at);
            break;
        case 5:
            data.insert(at, data.substr(at, 1 + random.Below(48)));
            break;
        case 6: {
            static const uint32_t lengths[] = {0, 1, 3, 15, 16, 17, 0x7FFFFFFF, 0xFFFFFFFF, 0x1000000, 0x1000001};
            uint32_t value = lengths[random.Below(std::size(lengths))];
            if (data.size() >= lengthAt + 4)
                data.replace(lengthAt, 4, bigEndian ? Be32(value) : Le32(value));
            break;
        }
        default: {
            // A tag or a name swapped for another that the server knows.
            static const char* const words[] = {
                "<dict>",       "</dict>",  "<array>",     "<key>",   "<string>",
                "<integer>",    "<data>",   "ListDevices", "Connect", "Listen",
                "StartSession", "GetValue", "PairRecord",  "-1",      "99999999999999999999"};
            const char* word = words[random.Below(std::size(words))];
            data.insert(at, word);
            break;
        }
        }
    }
    return data;
}

class Client {
  public:
    explicit Client(uint16_t port) {
        m_socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        DWORD timeout = kAnswerTimeout;
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        m_ok = ::connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::closesocket(m_socket); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return m_ok; }
    bool Send(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            int sent = ::send(m_socket, data.data() + done, static_cast<int>(data.size() - done), 0);
            if (sent <= 0)
                return false; // the server may close early: not a fault
            done += static_cast<size_t>(sent);
        }
        return true;
    }
    bool Exact(std::string* out, size_t size) {
        out->assign(size, '\0');
        size_t done = 0;
        while (done < size) {
            int got = ::recv(m_socket, out->data() + done, static_cast<int>(size - done), 0);
            if (got <= 0)
                return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }
    // One multiplexer reply's body.
    bool MuxReply(Value* body) {
        std::string head, xml;
        if (!Exact(&head, 16))
            return false;
        uint32_t length = 0;
        std::memcpy(&length, head.data(), 4);
        return length >= 16 && length < (1u << 24) && Exact(&xml, length - 16) && simfarm::ReadXmlPlist(xml, body);
    }
    // Ends the sending side and reads until the server closes; false when
    // it neither answers nor closes in time.
    bool Drain() {
        ::shutdown(m_socket, SD_SEND);
        char buffer[4096];
        for (;;) {
            int got = ::recv(m_socket, buffer, sizeof buffer, 0);
            if (got == 0)
                return true;
            if (got < 0)
                return ::WSAGetLastError() != WSAETIMEDOUT;
        }
    }

  private:
    SOCKET m_socket = INVALID_SOCKET;
    bool m_ok = false;
};

struct Tally {
    unsigned long sent = 0, hangs = 0, refusedConnects = 0, healthFailures = 0;
};

bool Healthy(uint16_t port, const std::string& udid, uint32_t* deviceId) {
    Client client(port);
    Value reply;
    if (!client.ok() || !client.Send(MuxMessage(Dict({{"MessageType", Str("ListDevices")}}), 1)) ||
        !client.MuxReply(&reply))
        return false;
    const Value* list = reply.Find("DeviceList");
    if (!list)
        return false;
    for (const Value& entry : list->items()) {
        const Value* properties = entry.Find("Properties");
        if (properties && properties->GetString("SerialNumber") == udid) {
            *deviceId = static_cast<uint32_t>(entry.GetInteger("DeviceID"));
            return true;
        }
    }
    return false;
}

std::vector<std::string> MuxSeeds(uint32_t deviceId, const std::string& udid) {
    Value record = Value::Data(Xml(Dict({{"HostID", Str("X")}})));
    std::vector<Value> bodies = {
        Dict({{"MessageType", Str("ListDevices")},
              {"ProgName", Str("mutate")},
              {"kLibUSBMuxVersion", Value::Integer(3)}}),
        Dict({{"MessageType", Str("Listen")}}),
        Dict({{"MessageType", Str("ReadBUID")}}),
        Dict({{"MessageType", Str("Connect")},
              {"DeviceID", Value::Integer(deviceId)},
              {"PortNumber", Value::Integer(0x7EF2)}}),
        Dict({{"MessageType", Str("Connect")},
              {"DeviceID", Value::Integer(deviceId)},
              {"PortNumber", Value::Integer(0x3412)}}),
        Dict({{"MessageType", Str("ReadPairRecord")}, {"PairRecordID", Str(udid.c_str())}}),
        Dict({{"MessageType", Str("SavePairRecord")},
              {"PairRecordID", Str(udid.c_str())},
              {"PairRecordData", record},
              {"DeviceID", Value::Integer(deviceId)}}),
        Dict({{"MessageType", Str("DeletePairRecord")}, {"PairRecordID", Str("nobody")}}),
    };
    std::vector<std::string> seeds;
    for (const Value& body : bodies)
        seeds.push_back(MuxMessage(body, 5));
    return seeds;
}

std::vector<std::string> LockdownSeeds(const std::string& hostId) {
    Value record =
        Dict({{"HostID", Str(hostId.c_str())},
              {"SystemBUID", Str("B")},
              {"DeviceCertificate", Value::Data("-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n")},
              {"HostCertificate", Value::Data("x")},
              {"RootCertificate", Value::Data("y")}});
    std::vector<Value> bodies = {
        Dict({{"Request", Str("QueryType")}, {"Label", Str("mutate")}}),
        Dict({{"Request", Str("GetValue")}, {"Key", Str("ProductVersion")}}),
        Dict({{"Request", Str("GetValue")}}),
        Dict({{"Request", Str("GetValue")}, {"Domain", Str("com.apple.mobile.battery")}, {"Key", Str("HasBattery")}}),
        Dict({{"Request", Str("SetValue")}, {"Key", Str("DeviceName")}, {"Value", Str("mutant")}}),
        Dict({{"Request", Str("RemoveValue")}, {"Domain", Str("com.apple.international")}, {"Key", Str("Locale")}}),
        Dict({{"Request", Str("Pair")}, {"PairRecord", record}, {"ProtocolVersion", Str("2")}}),
        Dict({{"Request", Str("ValidatePair")}, {"PairRecord", record}}),
        Dict({{"Request", Str("StartSession")}, {"HostID", Str(hostId.c_str())}, {"SystemBUID", Str("B")}}),
        Dict({{"Request", Str("StopSession")}, {"SessionID", Str("S")}}),
        Dict({{"Request", Str("StartService")}, {"Service", Str("com.apple.afc")}}),
        Dict({{"Request", Str("Goodbye")}}),
    };
    std::vector<std::string> seeds;
    for (const Value& body : bodies)
        seeds.push_back(LockdownMessage(body));
    return seeds;
}

bool RunLayer(bool lockdown, unsigned long count, Random& random, uint16_t port, const std::string& udid,
              const std::string& hostId, Tally* tally) {
    uint32_t deviceId = 0;
    if (!Healthy(port, udid, &deviceId)) {
        std::printf("the server does not list the device\n");
        return false;
    }
    std::vector<std::string> seeds = lockdown ? LockdownSeeds(hostId) : MuxSeeds(deviceId, udid);
    std::string connect = MuxMessage(Dict({{"MessageType", Str("Connect")},
                                           {"DeviceID", Value::Integer(deviceId)},
                                           {"PortNumber", Value::Integer(0x7EF2)}}),
                                     1);
    for (unsigned long i = 0; i < count; ++i) {
        Client client(port);
        if (!client.ok())
            return false;
        if (lockdown) {
            Value result;
            if (!client.Send(connect) || !client.MuxReply(&result) || result.GetInteger("Number", -1) != 0) {
                ++tally->refusedConnects;
                continue;
            }
        }
        // One mutant, then maybe a valid message after it.
        const std::string& seed = seeds[random.Below(seeds.size())];
        std::string data = Mutate(seed, random, 0, lockdown);
        if (random.Below(2))
            data += seeds[random.Below(seeds.size())];
        client.Send(data);
        ++tally->sent;
        if (!client.Drain()) {
            ++tally->hangs;
            std::printf("%s mutant %lu: no answer and no close within %lu ms\n", lockdown ? "lockdown" : "mux", i,
                        kAnswerTimeout);
            for (unsigned char c : data)
                std::printf(c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
            std::printf("\n");
            std::fflush(stdout);
        }
        if ((i + 1) % 100 == 0 && !Healthy(port, udid, &deviceId)) {
            ++tally->healthFailures;
            std::printf("after mutant %lu the device list failed\n", i);
            return false;
        }
    }
    return Healthy(port, udid, &deviceId);
}

int Run(int argc, wchar_t** argv) {
    unsigned long count = 10000;
    uint64_t seed = 1;
    std::wstring layer = L"both";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring name = argv[i];
        if (name == L"--count")
            count = std::wcstoul(argv[i + 1], nullptr, 10);
        else if (name == L"--seed")
            seed = std::wcstoull(argv[i + 1], nullptr, 10);
        else if (name == L"--layer")
            layer = argv[i + 1];
    }
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"wire-mutate-" + std::to_wstring(::GetCurrentProcessId());
    simfarm::Farm farm(folder);
    std::string udid, error;
    if (!farm.Create("iphone4s-jailbroken", "", &udid, &error) || !farm.Attach(udid, &error) ||
        !farm.SetPaired(udid, true, &error)) {
        std::printf("cannot make the farm: %s\n", error.c_str());
        return 2;
    }
    int status = 1;
    {
        simwire::ServerOptions options;
        options.farmFolder = folder;
        options.idleMilliseconds = 3000;
        simwire::MuxServer server(options);
        if (!server.Start(&error)) {
            std::printf("cannot start the server: %s\n", error.c_str());
            RemoveLocalTree(folder);
            return 2;
        }
        // A pair record, so that sessions start and TLS meets the mutants.
        simwire::EnsurePairing(farm, udid, nullptr);
        Value d;
        farm.Load(udid, &d);
        std::string hostId = d.Find("TrustedHost") ? d.Find("TrustedHost")->GetString("HostID") : "none";

        Random random(seed);
        Tally tally;
        DWORD started = ::GetTickCount();
        bool ok = true;
        if (layer == L"mux" || layer == L"both")
            ok = RunLayer(false, count, random, server.port(), udid, hostId, &tally) && ok;
        if (layer == L"lockdown" || layer == L"both")
            ok = RunLayer(true, count, random, server.port(), udid, hostId, &tally) && ok;
        DWORD elapsed = ::GetTickCount() - started;
        auto stopping = std::async(std::launch::async, [&] { server.Stop(); });
        bool stopped = stopping.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        std::printf("seed %llu: %lu mutants in %.1f s (%.0f per second); hangs %lu, refused connects %lu, "
                    "failed health checks %lu; server %s\n",
                    static_cast<unsigned long long>(seed), tally.sent, elapsed / 1000.0,
                    elapsed ? tally.sent * 1000.0 / elapsed : 0.0, tally.hangs, tally.refusedConnects,
                    tally.healthFailures, stopped ? "stopped" : "did not stop within 30 s");
        std::fflush(stdout);
        if (!stopped)
            ::ExitProcess(1);
        status = ok && tally.hangs == 0 && tally.healthFailures == 0 ? 0 : 1;
    }
    RemoveLocalTree(folder);
    return status;
}

} // namespace

LONG WINAPI DumpCrash(EXCEPTION_POINTERS* info) {
    void* frames[62];
    USHORT n = ::RtlCaptureStackBackTrace(0, 62, frames, nullptr);
    std::printf("CRASH %08lx at %p\n", info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress);
    for (USHORT i = 0; i < n; ++i)
        std::printf(" %p", frames[i]);
#ifdef _M_IX86
    std::printf("\nebp chain:");
    DWORD* ebp = reinterpret_cast<DWORD*>(info->ContextRecord->Ebp);
    for (int i = 0; i < 20 && ebp; ++i) {
        std::printf(" %08lx", ebp[1]);
        ebp = reinterpret_cast<DWORD*>(ebp[0]);
    }
#endif
    std::printf("\n");
    std::fflush(stdout);
    return EXCEPTION_CONTINUE_SEARCH;
}

int wmain(int argc, wchar_t** argv) {
    ::AddVectoredExceptionHandler(1, DumpCrash);
    try {
        return Run(argc, argv);
    } catch (...) {
        std::printf("internal error\n");
        return 1;
    }
}

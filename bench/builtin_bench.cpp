// The device library on its built-in backend, against the simulated farm
// served on the wire by `devicesim serve`, each figure beside a reference
// measured in the same run:
//   files [MiB]       one file uploaded and downloaded through the exports,
//                     beside raw AFC packets of 1 MiB and 8 MiB on a service
//                     connection to the same server, between the device and
//                     memory, and with the local file moved in 2 KiB pieces
//                     as the exports move it (best of five rounds each, the
//                     variants taking turns);
//   info [calls]      GetDeviceInfo calls per second (each call makes its
//                     own lockdown TLS session), beside bare lockdown
//                     sessions (connect, TLS session, stop, disconnect);
//   arrival [trials]  time from plugging a device into the farm to the
//                     library's arrival callback (and from unplugging to the
//                     removal callback): median and worst;
//   install UDID IPA  InstallIpa of IPA on the device UDID of a server the
//                     caller started (USBMUXD_SOCKET_ADDRESS): one timed
//                     install for every line "install" read from the
//                     input (with the time to the device's first step,
//                     the upload done); bench/builtin_install_bench.py drives it beside
//                     Debian's ideviceinstaller.
// The raw side and the bare sessions use the backend itself, linked into
// this program, for the lockdown session that starts the service; the file
// service is then spoken by the tests' plain AFC client.
//
//   ORVEX_NO_VENDOR=1 scripts/wine-run build/bin/builtin-bench.exe files 64
#include "backend/backend.h"
#include "platform/handles.h"
#include "platform/loader_log.h"
#include "platform/text.h"
#include "platform/vendor_abi.h"
#include "tests/device/device_dll.h"
#include "tests/device/log_watch.h"
#include "tests/sim/wire/wire_support.h"
#include "tests/support/farm.h"
#include "values/lookup.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

const wchar_t kMedia[] = L"/var/mobile/Media";
const int kFileRounds = 5;

struct Failure {
    std::string step;
};

void Check(bool ok, const char* step) {
    if (!ok)
        throw Failure{step};
}

double Seconds() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Processor time of this process (the server's is not in it).
double ProcessorSeconds() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

struct Fastest {
    double best = 1e30;
    void Time(const std::function<void()>& work) {
        double start = Seconds();
        work();
        best = std::min(best, Seconds() - start);
    }
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// ---- what the library announces ---------------------------------------------

std::mutex g_lock;
std::condition_variable g_changed;
std::map<std::wstring, double> g_arrivedAt, g_removedAt; // last callback time per device

void OnArrived(const wchar_t* identifier) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_arrivedAt[identifier] = Seconds();
    }
    g_changed.notify_all();
}

void OnRemoved(const wchar_t* identifier) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_removedAt[identifier] = Seconds();
    }
    g_changed.notify_all();
}

// The time of the next callback for `udid` in `events` after `since`; a
// negative value when none comes within `seconds`.
double WaitForEvent(const std::map<std::wstring, double>& events, const std::wstring& udid, double since,
                    double seconds = 10) {
    std::unique_lock<std::mutex> lock(g_lock);
    auto seen = [&] {
        auto at = events.find(udid);
        return at != events.end() && at->second >= since;
    };
    if (!g_changed.wait_for(lock, std::chrono::milliseconds(static_cast<long long>(seconds * 1000)), seen))
        return -1;
    return events.at(udid);
}

// The library loaded by name as a caller loads it, bound to its built-in
// backend (checked by the loader's line in the daily log), and listening.
struct Library {
    testutil::DeviceDll dll;

    Library() {
        testutil::LogWatch log;
        Check(dll.ok(), "loading OrvexDevice.dll");
        Check(dll.LoadDllFunctions() == 1, "LoadDllFunctions");
        bool builtIn = false;
        for (const std::wstring& message : log.Messages())
            builtIn = builtIn || message.rfind(kBuiltInBackendLogPrefix, 0) == 0;
        Check(builtIn, "binding the built-in backend (is the prefix one without the vendor's software? "
                       "ORVEX_NO_VENDOR=1)");
        Check(dll.StartListeningDeviceConnections(OnArrived, OnRemoved) == 1, "StartListeningDeviceConnections");
    }
    ~Library() {
        dll.StopListeningDeviceConnections();
        dll.UnloadDllFunctions();
    }
};

// ---- the backend linked in, for the raw side ------------------------------------

struct BackendCalls {
#define BENCH_SLOT(result, name, params) name##_fn name = nullptr;
    ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)
    ORVEX_AMD_CALLS(BENCH_SLOT)
    ORVEX_CF_CALLS(ORVEX_DECLARE_CALL_TYPE)
    ORVEX_CF_CALLS(BENCH_SLOT)
#undef BENCH_SLOT

    BackendCalls() {
        bool ok = true;
#define BENCH_BIND(result, name, params, lookup)                                                                       \
    name = reinterpret_cast<name##_fn>(const_cast<void*>(lookup(#name)));                                              \
    ok = ok && name != nullptr;
#define BENCH_BIND_AMD(result, name, params) BENCH_BIND(result, name, params, backend::DeviceAddress)
#define BENCH_BIND_CF(result, name, params) BENCH_BIND(result, name, params, values::Address)
        ORVEX_AMD_CALLS(BENCH_BIND_AMD)
        ORVEX_CF_CALLS(BENCH_BIND_CF)
#undef BENCH_BIND_CF
#undef BENCH_BIND_AMD
#undef BENCH_BIND
        Check(ok, "binding the backend linked into the benchmark");
    }
};

const std::vector<const char*> kSessionSteps = {"AMDeviceConnect",         "AMDeviceIsPaired",
                                                "AMDeviceValidatePairing", "AMDeviceStartSession",
                                                "AMDeviceStopSession",     "AMDeviceDisconnect"};

void OnBackendDevice(am_device_notification_callback_info* info, void* context);

// The farm's one device, seen through the backend linked into this program
// (its own multiplexer connections, independent of the library's).
class RawDevice {
  public:
    RawDevice() {
        m_found = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Check(m.AMDeviceNotificationSubscribe(OnBackendDevice, 0, 0, this, &m_subscription) == 0,
              "the raw side's notification subscription");
        Check(::WaitForSingleObject(m_found, 10000) == WAIT_OBJECT_0, "the raw side seeing the device");
    }
    ~RawDevice() {
        m.AMDeviceNotificationUnsubscribe(m_subscription);
        if (m_device)
            m.AMDeviceRelease(m_device);
        backend::Shutdown();
        ::CloseHandle(m_found);
    }
    RawDevice(const RawDevice&) = delete;
    RawDevice& operator=(const RawDevice&) = delete;

    void Found(am_device* device) {
        if (m_device)
            return;
        m_device = m.AMDeviceRetain(device);
        ::SetEvent(m_found);
    }

    // One lockdown session, started and ended, as GetDeviceInfo opens one.
    void Session() const {
        Connect();
        m.AMDeviceStopSession(m_device);
        m.AMDeviceDisconnect(m_device);
    }

    // The same session step by step: the seconds of each call, in the order
    // of kSessionSteps.
    std::vector<double> TimedSession() const {
        std::vector<double> times;
        double start = Seconds();
        auto step = [&](bool ok, const char* what) {
            Check(ok, what);
            double now = Seconds();
            times.push_back(now - start);
            start = now;
        };
        step(m.AMDeviceConnect(m_device) == 0, "raw connect");
        step(m.AMDeviceIsPaired(m_device) != 0, "raw pairing record");
        step(m.AMDeviceValidatePairing(m_device) == 0, "raw pairing check");
        step(m.AMDeviceStartSession(m_device) == 0, "raw session");
        step(m.AMDeviceStopSession(m_device) == 0, "raw session end");
        step(m.AMDeviceDisconnect(m_device) == 0, "raw disconnect");
        return times;
    }

    // Seconds per AMDeviceCopyValue of `key` in `domainName`: the median
    // of `count` sessions, of the first value asked in the session (the
    // backend reads the domain whole) and of the same value asked again.
    std::pair<double, double> ValueRoundTrip(const char* domainName, const char* key, int count) const {
        CFStringRef domain =
            domainName
                ? m.CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(domainName),
                                            static_cast<CFIndex>(std::strlen(domainName)), kCFStringEncodingUTF8, false)
                : nullptr;
        CFStringRef name =
            m.CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(key),
                                      static_cast<CFIndex>(std::strlen(key)), kCFStringEncodingUTF8, false);
        std::vector<double> first, again;
        for (int i = 0; i < count; ++i) {
            Connect();
            for (std::vector<double>* times : {&first, &again}) {
                double start = Seconds();
                CFTypeRef value = m.AMDeviceCopyValue(m_device, domain, name);
                times->push_back(Seconds() - start);
                Check(value != nullptr, "raw lockdown value");
                m.CFRelease(value);
            }
            m.AMDeviceStopSession(m_device);
            m.AMDeviceDisconnect(m_device);
        }
        m.CFRelease(name);
        if (domain)
            m.CFRelease(domain);
        return {Median(first), Median(again)};
    }

    // A plain socket to `service`, started in a session of its own (the file
    // service starts without TLS on these devices).
    SOCKET StartService(const char* service) const {
        CFStringRef name =
            m.CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(service),
                                      static_cast<CFIndex>(std::strlen(service)), kCFStringEncodingUTF8, false);
        SOCKET socket = INVALID_SOCKET;
        Connect();
        int started = m.AMDeviceStartService(m_device, name, &socket, nullptr);
        m.AMDeviceStopSession(m_device);
        m.AMDeviceDisconnect(m_device);
        m.CFRelease(name);
        Check(started == 0 && socket != INVALID_SOCKET, "raw service start");
        return socket;
    }

  private:
    // Connected and in a session, paired first where the device has no
    // record for this host yet, as the device library does it.
    void Connect() const {
        Check(m.AMDeviceConnect(m_device) == 0, "raw connect");
        if (!m.AMDeviceIsPaired(m_device))
            Check(m.AMDevicePair(m_device) == 0, "raw pairing");
        Check(m.AMDeviceValidatePairing(m_device) == 0, "raw pairing check");
        Check(m.AMDeviceStartSession(m_device) == 0, "raw session");
    }

    BackendCalls m;
    HANDLE m_found = nullptr;
    am_device_notification* m_subscription = nullptr;
    am_device* m_device = nullptr;
};

void OnBackendDevice(am_device_notification_callback_info* info, void* context) {
    if (info && info->msg == 1 && info->dev) // connected
        static_cast<RawDevice*>(context)->Found(info->dev);
}

// Raw AFC: the whole file written from memory, then read back into memory,
// in requests of `request` bytes, each waiting for its answer.
struct RawAfc {
    SOCKET socket;
    void Write(const std::string& path, const std::string& data, size_t request) const {
        wiretest::AfcClient afc(socket);
        uint64_t handle = 0;
        int64_t opened = afc.Open(path, 3, &handle);
        if (opened != 0)
            throw Failure{"raw open for writing (status " + std::to_string(opened) + ")"};
        for (size_t at = 0; at < data.size(); at += request) {
            int64_t status = afc.Write(handle, data.data() + at, std::min(request, data.size() - at));
            if (status != 0)
                throw Failure{"raw write (status " + std::to_string(status) + " at byte " + std::to_string(at) + ")"};
        }
        Check(afc.Close(handle) == 0, "raw close");
    }
    void Read(const std::string& path, std::string* data, size_t request) const {
        wiretest::AfcClient afc(socket);
        uint64_t handle = 0;
        Check(afc.Open(path, 1, &handle) == 0, "raw open for reading");
        size_t have = 0;
        std::string piece;
        for (;;) {
            Check(afc.Read(handle, request, &piece) == 0, "raw read");
            if (piece.empty())
                break;
            Check(have + piece.size() <= data->size(), "raw read: more bytes than written");
            std::memcpy(&(*data)[have], piece.data(), piece.size());
            have += piece.size();
        }
        Check(afc.Close(handle) == 0 && have == data->size(), "raw read of the whole file");
    }
};

// The same from or into a local file moved in `piece`-byte reads or
// writes, as the exports move the local side (the device side still in
// `request`-byte packets).
void WriteFromFile(const RawAfc& raw, const std::string& path, const std::wstring& local, size_t size, size_t request,
                   size_t piece) {
    UniqueHandle file(::CreateFileW(local.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Check(static_cast<bool>(file), "raw local open");
    std::string data(size, '\0');
    for (size_t at = 0; at < size;) {
        DWORD got = 0;
        Check(::ReadFile(file.get(), &data[at], static_cast<DWORD>(std::min(piece, size - at)), &got, nullptr) &&
                  got > 0,
              "raw local read");
        at += got;
    }
    raw.Write(path, data, request);
}

void ReadToFile(const RawAfc& raw, const std::string& path, const std::wstring& local, size_t size, size_t request,
                size_t piece) {
    std::string data(size, '\0');
    raw.Read(path, &data, request);
    UniqueHandle file(::CreateFileW(local.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Check(static_cast<bool>(file), "raw local create");
    for (size_t at = 0; at < size; at += piece) {
        DWORD n = static_cast<DWORD>(std::min(piece, size - at)), written = 0;
        Check(::WriteFile(file.get(), data.data() + at, n, &written, nullptr) && written == n, "raw local write");
    }
}

void Rate(const char* what, size_t bytes, double seconds, double reference) {
    double rate = static_cast<double>(bytes) / seconds / 1e6;
    if (reference > 0)
        std::printf("  %-40s %8.1f MB/s  %5.0f%% of the best raw\n", what, rate, 100 * reference / seconds);
    else
        std::printf("  %-40s %8.1f MB/s\n", what, rate);
}

// The farm served on the wire, with one device plugged in (or not).
struct ServedFarm {
    testfarm::SimulatedFarm farm;
    std::wstring udid;
    explicit ServedFarm(bool attach) {
        Check(farm.ok(), "the served farm (devicesim serve)");
        udid = farm.Create(testfarm::kIPhone4S, attach);
        Check(!udid.empty(), "a device of the farm");
    }
};

// ---- the parts ----------------------------------------------------------------------

int Files(int mebibytes) {
    ServedFarm served(true);
    const std::wstring& udid = served.udid;
    Library library;
    Check(WaitForEvent(g_arrivedAt, udid, 0) > 0, "the device's arrival");
    RawDevice device;
    const SOCKET socket = device.StartService("com.apple.afc2");
    const RawAfc raw{socket};
    u_long blocking = 0; // the backend's sockets wait in select(); the plain client blocks
    ::ioctlsocket(socket, FIONBIO, &blocking);
    wiretest::SetReadTimeout(socket, 60000);

    const size_t size = static_cast<size_t>(mebibytes) << 20;
    const std::string data = Pattern(size, 7);
    testutil::TempDir local;
    const std::wstring source = local / L"big.bin";
    Check(testutil::WriteFileBytes(source, data), "writing the local file");
    const std::wstring down = local / L"down";
    Check(::CreateDirectoryW(down.c_str(), nullptr) != 0, "making the download folder");
    const std::wstring media = kMedia;
    const std::string rawPath = WideToUtf8((media + L"/raw.bin").c_str());
    const std::wstring exportPath = media + L"/big.bin";
    const wchar_t* id = udid.c_str();

    // A file of one byte: what an export costs besides moving the bytes.
    const std::wstring tiny = local / L"tiny.bin";
    Check(testutil::WriteFileBytes(tiny, "t"), "writing the tiny local file");
    const std::wstring tinyPath = media + L"/tiny.bin";

    Fastest rawUp1, rawUp8, up, rawDown1, rawDown8, downTime, tinyUp, tinyDown, rawUpFile, rawDownFile;
    const std::wstring rawCopy = local / L"raw-copy.bin";
    std::string back(size, '\0');
    for (int round = 0; round < kFileRounds; ++round) {
        tinyUp.Time([&] {
            Check(library.dll.UploadDirectoriesAndFilesToDevice(id, tiny.c_str(), media.c_str(), nullptr) == 1,
                  "the export's upload of one byte");
        });
        tinyDown.Time([&] {
            Check(library.dll.DownloadDirectoriesAndFilesFromDevice(id, tinyPath.c_str(), down.c_str(), nullptr) == 1,
                  "the export's download of one byte");
        });
        rawUp1.Time([&] { raw.Write(rawPath, data, size_t(1) << 20); });
        rawUp8.Time([&] { raw.Write(rawPath, data, size_t(8) << 20); });
        up.Time([&] {
            Check(library.dll.UploadDirectoriesAndFilesToDevice(id, source.c_str(), media.c_str(), nullptr) == 1,
                  "the export's upload");
        });
        rawUpFile.Time([&] { WriteFromFile(raw, rawPath, source, size, size_t(8) << 20, 2048); });
        rawDownFile.Time([&] { ReadToFile(raw, rawPath, rawCopy, size, size_t(8) << 20, 2048); });
        rawDown1.Time([&] { raw.Read(rawPath, &back, size_t(1) << 20); });
        rawDown8.Time([&] { raw.Read(rawPath, &back, size_t(8) << 20); });
        downTime.Time([&] {
            Check(library.dll.DownloadDirectoriesAndFilesFromDevice(id, exportPath.c_str(), down.c_str(), nullptr) == 1,
                  "the export's download");
        });
    }
    Check(back == data, "the raw copy's bytes");
    std::string downloaded;
    Check(testutil::ReadFileBytes(down + L"\\big.bin", &downloaded) && downloaded == data, "the downloaded bytes");
    ::closesocket(socket);

    std::printf("builtin-bench files: %d MiB, best of %d rounds, MB = 10^6 bytes\n", mebibytes, kFileRounds);
    std::printf("upload\n");
    Rate("raw AFC, 1 MiB requests, from memory", size, rawUp1.best, 0);
    Rate("raw AFC, 8 MiB requests, from memory", size, rawUp8.best, 0);
    Rate("raw AFC, 8 MiB, from a file in 2 KiB reads", size, rawUpFile.best, 0);
    Rate("UploadDirectoriesAndFilesToDevice", size, up.best, std::min({rawUp1.best, rawUp8.best, rawUpFile.best}));
    std::printf("  %-40s %8.1f ms\n", "upload of a file of one byte", 1000 * tinyUp.best);
    std::printf("download\n");
    Rate("raw AFC, 1 MiB requests, into memory", size, rawDown1.best, 0);
    Rate("raw AFC, 8 MiB requests, into memory", size, rawDown8.best, 0);
    Rate("raw AFC, 8 MiB, into a file in 2 KiB writes", size, rawDownFile.best, 0);
    Rate("DownloadDirectoriesAndFilesFromDevice", size, downTime.best,
         std::min({rawDown1.best, rawDown8.best, rawDownFile.best}));
    std::printf("  %-40s %8.1f ms\n", "download of a file of one byte", 1000 * tinyDown.best);
    return 0;
}

int Info(int calls) {
    ServedFarm served(true);
    Library library;
    Check(WaitForEvent(g_arrivedAt, served.udid, 0) > 0, "the device's arrival");
    RawDevice device;
    static __IOS_DEVICE record;
    for (int i = 0; i < 3; ++i) { // warm-up (the first call may pair)
        Check(library.dll.GetDeviceInfo(served.udid.c_str(), &record) == 1, "GetDeviceInfo");
        device.Session();
    }
    // Marks on the error output around the timed calls, for a caller that
    // reads the processor times of the server and the Wine server from outside.
    std::fprintf(stderr, "builtin-bench: timed calls begin\n");
    std::vector<double> info, sessions;
    double sessionProcessor = 0, infoProcessor = 0;
    std::vector<std::vector<double>> steps(kSessionSteps.size());
    for (int i = 0; i < calls; ++i) {
        std::vector<double> times = device.TimedSession();
        for (size_t n = 0; n < times.size(); ++n)
            steps[n].push_back(times[n]);
        double start = Seconds();
        double processor = ProcessorSeconds();
        Check(library.dll.GetDeviceInfo(served.udid.c_str(), &record) == 1, "GetDeviceInfo");
        infoProcessor += ProcessorSeconds() - processor;
        info.push_back(Seconds() - start);
        start = Seconds();
        processor = ProcessorSeconds();
        device.Session();
        sessionProcessor += ProcessorSeconds() - processor;
        sessions.push_back(Seconds() - start);
    }
    std::fprintf(stderr, "builtin-bench: timed calls end\n");
    double infoTotal = 0, sessionTotal = 0;
    for (double t : info)
        infoTotal += t;
    for (double t : sessions)
        sessionTotal += t;
    std::printf("builtin-bench info: %d calls of each, taking turns\n", calls);
    std::printf("  %-36s %7.1f calls/s, median %6.1f ms, slowest %6.1f ms\n", "GetDeviceInfo", calls / infoTotal,
                1000 * Median(info), 1000 * *std::max_element(info.begin(), info.end()));
    std::printf("  %-36s %7.1f calls/s, median %6.1f ms, slowest %6.1f ms\n", "bare lockdown TLS session",
                calls / sessionTotal, 1000 * Median(sessions),
                1000 * *std::max_element(sessions.begin(), sessions.end()));
    const auto defaultDomain = device.ValueRoundTrip(nullptr, "ProductVersion", 30);
    const auto diskUsage = device.ValueRoundTrip("com.apple.disk_usage", "TotalDiskCapacity", 30);
    std::printf("  AMDeviceCopyValue in a session, median: the first of the default domain %.2f ms (then %.2f ms), "
                "of com.apple.disk_usage %.2f ms (then %.2f ms)\n",
                1000 * defaultDomain.first, 1000 * defaultDomain.second, 1000 * diskUsage.first,
                1000 * diskUsage.second);
    std::printf("  processor time of this process per call: GetDeviceInfo %.1f ms, bare session %.1f ms\n",
                1000 * infoProcessor / calls, 1000 * sessionProcessor / calls);
    std::printf("  the bare session's calls, median:");
    for (size_t n = 0; n < steps.size(); ++n)
        std::printf(" %s %.1f ms%s", kSessionSteps[n], 1000 * Median(steps[n]), n + 1 < steps.size() ? "," : "\n");
    return 0;
}

int Arrival(int trials) {
    ServedFarm served(false);
    const std::wstring& udid = served.udid;
    Library library;
    ::Sleep(500); // the listener settled
    // One plug-in untimed: the farm's server makes a new device's key before
    // it first announces it.
    double warm = Seconds();
    Check(served.farm.Attach(udid) && WaitForEvent(g_arrivedAt, udid, warm, 60) > 0, "the first plug-in");
    warm = Seconds();
    Check(served.farm.Detach(udid) && WaitForEvent(g_removedAt, udid, warm) > 0, "the first unplugging");
    std::vector<double> arrivals, removals;
    for (int trial = 0; trial < trials; ++trial) {
        // A different phase against the server's look at the farm each time.
        ::Sleep(100 + (trial * 37) % 100);
        double start = Seconds();
        Check(served.farm.Attach(udid), "plugging the device in");
        double at = WaitForEvent(g_arrivedAt, udid, start);
        Check(at > 0, "the arrival callback (none within 10 s)");
        arrivals.push_back(at - start);
        ::Sleep(100 + (trial * 53) % 100);
        start = Seconds();
        Check(served.farm.Detach(udid), "unplugging the device");
        at = WaitForEvent(g_removedAt, udid, start);
        Check(at > 0, "the removal callback (none within 10 s)");
        removals.push_back(at - start);
    }
    std::printf("builtin-bench arrival: %d trials\n", trials);
    std::printf("  plugged to arrival callback:   median %6.1f ms, best %6.1f ms, worst %6.1f ms\n",
                1000 * Median(arrivals), 1000 * *std::min_element(arrivals.begin(), arrivals.end()),
                1000 * *std::max_element(arrivals.begin(), arrivals.end()));
    std::printf("  unplugged to removal callback: median %6.1f ms, best %6.1f ms, worst %6.1f ms\n",
                1000 * Median(removals), 1000 * *std::min_element(removals.begin(), removals.end()),
                1000 * *std::max_element(removals.begin(), removals.end()));
    return 0;
}

// When the first report of the device's own steps came (the upload done).
double g_firstDeviceStep = 0;
void OnInstallProgress(const wchar_t*, const wchar_t* status, unsigned int) {
    if (g_firstDeviceStep == 0 && status && std::wcscmp(status, L"CopyingFile") != 0)
        g_firstDeviceStep = Seconds();
}

int Install(const std::wstring& udid, const std::wstring& ipa) {
    Library library;
    Check(WaitForEvent(g_arrivedAt, udid, 0, 60) > 0, "the device's arrival");
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("install", 0) != 0)
            break;
        testutil::LogWatch log;
        g_firstDeviceStep = 0;
        double start = Seconds();
        int result = library.dll.InstallIpa(udid.c_str(), ipa.c_str(), OnInstallProgress);
        double end = Seconds();
        if (result != 1) {
            for (const std::wstring& message : log.Messages())
                std::fprintf(stderr, "log: %s\n", WideToUtf8(message.c_str()).c_str());
        }
        std::printf("installed %d %.3f %.3f\n", result, end - start,
                    g_firstDeviceStep > 0 ? g_firstDeviceStep - start : -1.0);
        std::fflush(stdout);
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr, "usage: builtin-bench files [MiB] | info [calls] | arrival [trials] | install UDID IPA\n");
    return 2;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 2)
        return Usage();
    const std::wstring part = argv[1];
    const int count = argc > 2 ? _wtoi(argv[2]) : 0;
    if (part == L"install")
        return argc == 4 ? Install(argv[2], argv[3]) : Usage();
    // The other parts serve a farm of their own on the wire.
    ::SetEnvironmentVariableW(L"ORVEX_TEST_BACKEND", L"builtin");
    if (part == L"files")
        return Files(count > 0 ? count : 64);
    if (part == L"info")
        return Info(count > 0 ? count : 100);
    if (part == L"arrival")
        return Arrival(count > 0 ? count : 20);
    return Usage();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "builtin-bench: %s failed\n", failure.step.c_str());
    } catch (...) {
        std::fprintf(stderr, "builtin-bench: failed\n");
    }
    return 1;
}

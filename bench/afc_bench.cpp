// Throughput of the stand-in device library's file service: a 64 MiB file
// written to a simulated device and read back through AFC in 2048-byte
// chunks (the program's transfer size), beside a plain Win32 copy of the
// same file in the same run.
//
//   scripts/wine-run build/bin/afc-bench.exe [MiB]
#include "platform/file.h"
#include "platform/handles.h"
#include "platform/vendor_abi.h"
#include "sim/mobiledevice/devicesim_control.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)
ORVEX_CF_CALLS(ORVEX_DECLARE_CALL_TYPE)

struct Calls {
#define BENCH_SLOT(result, name, params) name##_fn name = nullptr;
    ORVEX_AMD_CALLS(BENCH_SLOT)
#undef BENCH_SLOT
};

const unsigned kChunk = 2048;
const int kRounds = 3;

template <typename Fn> Fn Bind(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

double Seconds() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Device {
    am_device* handle = nullptr;
    HANDLE found = nullptr;
};

void OnDevice(am_device_notification_callback_info* info, void* context) {
    auto* device = static_cast<Device*>(context);
    if (info->msg == ADNCI_MSG_CONNECTED && !device->handle) {
        device->handle = info->dev;
        ::SetEvent(device->found);
    }
}

int Fail(const char* step) {
    std::fprintf(stderr, "afc-bench: %s failed\n", step);
    return 1;
}

int Run(int mebibytes) {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    std::wstring work = std::wstring(temp) + L"orvex-afc-bench-" + std::to_wstring(::GetCurrentProcessId());
    if (!::CreateDirectoryW(work.c_str(), nullptr))
        return Fail("making the work folder");
    struct Cleanup {
        std::wstring path;
        ~Cleanup() { RemoveLocalTree(path); }
    } cleanup{work};
    std::wstring farmFolder = work + L"\\farm";
    ::CreateDirectoryW(farmFolder.c_str(), nullptr);
    ::SetEnvironmentVariableW(L"DEVICESIM_FARM", farmFolder.c_str());

    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self);
    folder = folder.substr(0, folder.find_last_of(L'\\'));
    UniqueModule library(
        ::LoadLibraryExW((folder + L"\\iTunesMobileDevice.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    HMODULE cfModule = ::GetModuleHandleW(L"CoreFoundation.dll");
    if (!library || !cfModule)
        return Fail("loading the stand-in libraries");
    HMODULE md = library.get();
    Calls c;
#define BENCH_BIND(result, name, params) c.name = Bind<name##_fn>(md, #name);
    ORVEX_AMD_CALLS(BENCH_BIND)
#undef BENCH_BIND
    auto CFStringCreateWithBytes = Bind<CFStringCreateWithBytes_fn>(cfModule, "CFStringCreateWithBytes");
    auto CFRelease = Bind<CFRelease_fn>(cfModule, "CFRelease");
    auto create = Bind<DeviceSimCreateDevice_fn>(md, "DeviceSimCreateDevice");
    auto attach = Bind<DeviceSimAttach_fn>(md, "DeviceSimAttach");
    if (!create || !attach || !CFStringCreateWithBytes || !c.AFCFileRefWrite)
        return Fail("binding the calls");
    wchar_t udid[100] = {};
    if (create(L"iphone4s-jailbroken", nullptr, udid, 100) != 0 || attach(udid) != 0)
        return Fail("creating the device");

    Device device;
    UniqueHandle found(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    device.found = found.get();
    am_device_notification* subscription = nullptr;
    if (c.AMDeviceNotificationSubscribe(&OnDevice, 0, 0, &device, &subscription) != 0 ||
        ::WaitForSingleObject(device.found, 5000) != WAIT_OBJECT_0)
        return Fail("waiting for the device");
    if (c.AMDeviceConnect(device.handle) != 0 ||
        (!c.AMDeviceIsPaired(device.handle) && c.AMDevicePair(device.handle) != 0) ||
        c.AMDeviceValidatePairing(device.handle) != 0 || c.AMDeviceStartSession(device.handle) != 0)
        return Fail("opening a session");
    const char service[] = "com.apple.afc2";
    CFStringRef name = CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(service), sizeof service - 1,
                                               kCFStringEncodingUTF8, false);
    SOCKET socket = INVALID_SOCKET;
    int started = c.AMDeviceStartService(device.handle, name, &socket, nullptr);
    CFRelease(name);
    c.AMDeviceStopSession(device.handle);
    c.AMDeviceDisconnect(device.handle);
    afc_connection* connection = nullptr;
    if (started != 0 || c.AFCConnectionOpen(socket, 0, &connection) != 0)
        return Fail("opening the file service");

    // The source: pseudo-random bytes, written once.
    size_t size = static_cast<size_t>(mebibytes) * 1024 * 1024;
    std::vector<char> data(size);
    uint32_t state = 12345;
    for (char& c : data) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    std::wstring source = work + L"\\source.bin", copy = work + L"\\copy.bin";
    {
        UniqueHandle file(::CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), data.data(), static_cast<DWORD>(size), &written, nullptr))
            return Fail("writing the source file");
    }

    double bestCopy = 1e9, bestWrite = 1e9, bestRead = 1e9;
    std::vector<char> back(size);
    for (int round = 0; round < kRounds; ++round) {
        double start = Seconds();
        if (!::CopyFileW(source.c_str(), copy.c_str(), FALSE))
            return Fail("the plain copy");
        bestCopy = std::min(bestCopy, Seconds() - start);
        ::DeleteFileW(copy.c_str());

        afc_file_ref ref = 0;
        start = Seconds();
        if (c.AFCFileRefOpen(connection, "/var/mobile/Media/bench.bin", AFC_FOPEN_WRONLY, &ref) != 0)
            return Fail("opening the device file for writing");
        for (size_t done = 0; done < size; done += kChunk) {
            unsigned n = static_cast<unsigned>(std::min<size_t>(kChunk, size - done));
            if (c.AFCFileRefWrite(connection, ref, data.data() + done, n) != 0)
                return Fail("a device write");
        }
        c.AFCFileRefClose(connection, ref);
        bestWrite = std::min(bestWrite, Seconds() - start);

        start = Seconds();
        if (c.AFCFileRefOpen(connection, "/var/mobile/Media/bench.bin", AFC_FOPEN_RW, &ref) != 0)
            return Fail("opening the device file for reading");
        size_t got = 0;
        for (;;) {
            unsigned n = kChunk;
            if (c.AFCFileRefRead(connection, ref, back.data() + got, &n) != 0)
                return Fail("a device read");
            if (n == 0)
                break;
            got += n;
            if (got == size)
                break;
        }
        c.AFCFileRefClose(connection, ref);
        bestRead = std::min(bestRead, Seconds() - start);
        if (got != size || std::memcmp(back.data(), data.data(), size) != 0)
            return Fail("reading back the same bytes");
    }
    c.AFCConnectionClose(connection);
    ::closesocket(socket);
    c.AMDeviceNotificationUnsubscribe(subscription);

    double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    double roundTrip = mb / (bestWrite + bestRead);
    double plain = mb / bestCopy;
    std::printf("file: %d MiB, chunk %u bytes, best of %d rounds\n", mebibytes, kChunk, kRounds);
    std::printf("plain Win32 copy (CopyFileW):        %8.1f MB/s\n", plain);
    std::printf("AFC write (2048-byte chunks):        %8.1f MB/s\n", mb / bestWrite);
    std::printf("AFC read back (2048-byte chunks):    %8.1f MB/s\n", mb / bestRead);
    std::printf("AFC write, then read back:           %8.1f MB/s = %.0f%% of the plain copy\n", roundTrip,
                100.0 * roundTrip / plain);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        int mebibytes = argc > 1 ? _wtoi(argv[1]) : 64;
        return Run(mebibytes > 0 ? mebibytes : 64);
    } catch (...) {
        return Fail("the benchmark");
    }
}

// GetDeviceInfo on the farm's jailbroken handset, 200 calls through
// OrvexDevice.dll as a caller makes them: calls per second, and where the
// time goes. The calls run twice: once timed, once with a sampling thread
// that looks at the calling thread every millisecond and charges each
// sample to the library (our code) or to the vendor libraries, by the
// instruction's module or, inside a system library, by the innermost code
// address of those modules on the stack.
//
//   scripts/wine-run build/bin/device_info_bench.exe [calls]
#include "device/OrvexDevice.h"
#include "device/OrvexDeviceExports.h"
#include "platform/file.h"
#include "sim/mobiledevice/devicesim_control.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

struct Range {
    uintptr_t begin = 0, end = 0;
    bool Holds(uintptr_t address) const { return address >= begin && address < end; }
};

// The executable sections of a loaded module (one range: first to last).
Range CodeOf(HMODULE module) {
    Range range;
    if (!module)
        return range;
    auto base = reinterpret_cast<const unsigned char*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (!(section->Characteristics & IMAGE_SCN_MEM_EXECUTE))
            continue;
        uintptr_t begin = reinterpret_cast<uintptr_t>(base) + section->VirtualAddress;
        uintptr_t end = begin + section->Misc.VirtualSize;
        range.begin = range.begin ? std::min(range.begin, begin) : begin;
        range.end = std::max(range.end, end);
    }
    return range;
}

enum Owner { kOurs, kVendor, kOther, kOwners };

struct Profile {
    Range ours, deviceLibrary, valueLibrary;
    uintptr_t stackTop = 0; // of the sampled thread
    long samples[kOwners] = {};

    int OwnerOf(uintptr_t address) const {
        if (ours.Holds(address))
            return kOurs;
        if (deviceLibrary.Holds(address) || valueLibrary.Holds(address))
            return kVendor;
        return kOther;
    }

    // The owner of the instruction, else of the innermost return address of
    // one of the three modules on the stack.
    int Classify(const CONTEXT& context) const {
#ifdef _WIN64
        const uintptr_t ip = context.Rip, sp = context.Rsp;
#else
        const uintptr_t ip = context.Eip, sp = context.Esp;
#endif
        int owner = OwnerOf(ip);
        if (owner != kOther)
            return owner;
        // Only the stack of the sampled thread is read, and no lock is
        // taken while it is suspended.
        constexpr uintptr_t kWord = sizeof(uintptr_t);
        for (uintptr_t at = sp & ~(kWord - 1); at + kWord <= stackTop && at - sp < 256 * 1024; at += kWord) {
            owner = OwnerOf(*reinterpret_cast<const uintptr_t*>(at));
            if (owner != kOther)
                return owner;
        }
        return kOther;
    }
};

template <typename F> F Bind(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

HANDLE g_arrived = nullptr;
void OnArrived(const wchar_t*) { ::SetEvent(g_arrived); }

std::wstring MakeFarmFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    std::wstring folder = std::wstring(temp) + L"orvex-bench-farm-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

int Run(int calls, const std::wstring& farm) {
    ::SetEnvironmentVariableW(L"DEVICESIM_FARM", farm.c_str());
    HMODULE library = ::LoadLibraryW(L"OrvexDevice.dll");
    if (!library) {
        std::fprintf(stderr, "OrvexDevice.dll not found\n");
        return 1;
    }
    // Every export, bound by the decorated name of this edition.
    struct {
#define BENCH_SLOT(name, x86, x64) decltype(&::name) name = nullptr;
        ORVEX_DEVICE_EXPORTS(BENCH_SLOT)
#undef BENCH_SLOT
    } api;
#define BENCH_BIND(name, x86, x64) api.name = Bind<decltype(&::name)>(library, ORVEX_DECORATED(x86, x64));
    ORVEX_DEVICE_EXPORTS(BENCH_BIND)
#undef BENCH_BIND
    auto load = api.LoadDllFunctions;
    auto unload = api.UnloadDllFunctions;
    auto listen = api.StartListeningDeviceConnections;
    auto stop = api.StopListeningDeviceConnections;
    auto getInfo = api.GetDeviceInfo;
    if (!load || !unload || !listen || !stop || !getInfo || load() != 1) {
        std::fprintf(stderr, "the device library did not bind the vendor libraries\n");
        return 1;
    }
    HMODULE deviceLibrary = ::GetModuleHandleW(L"iTunesMobileDevice.dll");
    auto create = Bind<DeviceSimCreateDevice_fn>(deviceLibrary, "DeviceSimCreateDevice");
    auto attach = Bind<DeviceSimAttach_fn>(deviceLibrary, "DeviceSimAttach");
    wchar_t id[128] = {};
    g_arrived = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!create || !attach || create(L"iphone4s-jailbroken", nullptr, id, 128) != 0 ||
        listen(OnArrived, nullptr) != 1 || attach(id) != 0 ||
        ::WaitForSingleObject(g_arrived, 10000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "the simulated device did not arrive\n");
        return 1;
    }

    static __IOS_DEVICE record;
    for (int i = 0; i < 5; ++i) // warm-up
        getInfo(id, &record);

    // The rate, undisturbed.
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    int failures = 0;
    for (int i = 0; i < calls; ++i)
        failures += getInfo(id, &record) == 1 ? 0 : 1;
    ::QueryPerformanceCounter(&end);
    double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);

    // Where the time goes: the same calls again, sampled.
    Profile profile;
    profile.ours = CodeOf(library);
    profile.deviceLibrary = CodeOf(deviceLibrary);
    profile.valueLibrary = CodeOf(::GetModuleHandleW(L"CoreFoundation.dll"));
    MEMORY_BASIC_INFORMATION stack = {};
    ::VirtualQuery(&stack, &stack, sizeof stack); // this thread's stack, up to its top
    profile.stackTop = reinterpret_cast<uintptr_t>(stack.BaseAddress) + stack.RegionSize;
    HANDLE caller = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &caller,
                      THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0);
    std::atomic<bool> running{true};
    std::thread sampler([&] {
        while (running) {
            ::Sleep(1);
            if (::SuspendThread(caller) == static_cast<DWORD>(-1))
                continue;
            CONTEXT context = {};
            context.ContextFlags = CONTEXT_CONTROL;
            if (::GetThreadContext(caller, &context))
                ++profile.samples[profile.Classify(context)];
            ::ResumeThread(caller);
        }
    });
    for (int i = 0; i < calls; ++i)
        failures += getInfo(id, &record) == 1 ? 0 : 1;
    running = false;
    sampler.join();
    ::CloseHandle(caller);

    long total = profile.samples[kOurs] + profile.samples[kVendor] + profile.samples[kOther];
    auto share = [&](int owner) { return total ? 100.0 * profile.samples[owner] / total : 0.0; };
    std::printf("GetDeviceInfo, jailbroken iPhone4,1 template: %d calls in %.3f s (%d failed)\n", calls, seconds,
                failures);
    std::printf("  %.1f calls/s, %.2f ms per call\n", calls / seconds, 1000.0 * seconds / calls);
    std::printf("  sampled run, %ld samples: vendor libraries %.1f%%, OrvexDevice.dll %.1f%%, unattributed %.1f%%\n",
                total, share(kVendor), share(kOurs), share(kOther));
    stop();
    unload();
    ::FreeLibrary(library);
    return failures ? 1 : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int calls = argc > 1 ? std::max(1, _wtoi(argv[1])) : 200;
    std::wstring farm = MakeFarmFolder();
    int status = Run(calls, farm);
    RemoveLocalTree(farm);
    return status;
}

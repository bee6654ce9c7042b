// A small program on the device library: lists the attached devices, prints
// what each says about itself and, given a local file or folder and a folder
// on the device, copies it to the first device.
//   orvex_sample [LOCAL_PATH DEVICE_FOLDER]
#include "OrvexDevice.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The device library calls these from a thread of its own.
std::mutex g_lock;
std::vector<std::wstring> g_devices;
HANDLE g_arrived = nullptr;

void OnArrival(const wchar_t* identifier) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_devices.push_back(identifier);
    }
    ::SetEvent(g_arrived);
}

void OnRemoval(const wchar_t* identifier) {
    std::lock_guard<std::mutex> guard(g_lock);
    for (auto it = g_devices.begin(); it != g_devices.end(); ++it) {
        if (*it == identifier) {
            g_devices.erase(it);
            break;
        }
    }
}

void OnProgress(const wchar_t* /*identifier*/, const wchar_t* text, unsigned int percent) {
    std::wprintf(L"  %3u%% %ls\n", percent, text ? text : L"");
}

void PrintDevice(const std::wstring& identifier) {
    __IOS_DEVICE info = {};
    if (!GetDeviceInfo(identifier.c_str(), &info)) {
        std::wprintf(L"%ls: no information (see the daily log)\n", identifier.c_str());
        return;
    }
    std::wprintf(L"%ls\n  name: %ls\n  model: %ls\n  system: %ls (%ls)\n  serial number: %ls\n"
                 L"  jailbroken: %ls\n  free: %lld of %lld bytes\n",
                 info.UniqueDeviceID, info.DeviceName, info.Model, info.ProductVersion, info.BuildVersion,
                 info.SerialNumber, info.IsJailbroken ? L"yes" : L"no", static_cast<long long>(info.FSFreeBytes),
                 static_cast<long long>(info.FSTotalBytes));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_U8TEXT); // device names are often not ASCII
    if (argc != 1 && argc != 3) {
        std::fwprintf(stderr, L"usage: orvex_sample [LOCAL_PATH DEVICE_FOLDER]\n");
        return 2;
    }
    if (!LoadDllFunctions()) {
        std::fwprintf(stderr, L"the vendor's device software could not be loaded\n");
        return 1;
    }
    g_arrived = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    StartListeningDeviceConnections(OnArrival, OnRemoval);
    // The attached devices are announced right after listening starts.
    ::WaitForSingleObject(g_arrived, 3000);
    ::Sleep(500);
    std::vector<std::wstring> devices;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        devices = g_devices;
    }
    std::wprintf(L"%u device(s) attached\n", static_cast<unsigned>(devices.size()));
    for (const std::wstring& identifier : devices)
        PrintDevice(identifier);

    int status = 0;
    if (argc == 3) {
        if (devices.empty()) {
            std::fwprintf(stderr, L"no device to copy to\n");
            status = 1;
        } else if (UploadDirectoriesAndFilesToDevice(devices[0].c_str(), argv[1], argv[2], OnProgress)) {
            std::wprintf(L"copied %ls to %ls\n", argv[1], argv[2]);
        } else {
            std::fwprintf(stderr, L"the copy failed (see the daily log)\n");
            status = 1;
        }
    }
    StopListeningDeviceConnections();
    UnloadDllFunctions();
    ::CloseHandle(g_arrived);
    return status;
}

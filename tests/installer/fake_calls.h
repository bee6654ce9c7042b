// Stand-ins for the installer's calls into the device library and the
// system: counted, scripted, and recording the order of events.
#pragma once

#include "installer/installer_calls.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fakecalls {

struct Device {
    std::wstring productType;
    int jailbroken = 1;
    bool readable = true; // false: the session fails, only the identifier is written
};

struct State {
    std::mutex lock;
    std::map<std::wstring, Device> devices;
    bool loadResult = true;
    bool socketResult = true;
    bool listenResult = true;
    bool internet = true;
    int loads = 0, unloads = 0, socketInits = 0, listens = 0, infoReads = 0;
    DeviceEventCallback arrived = nullptr, removed = nullptr;
    std::vector<std::string> events;
    // Called inside GetDeviceInfo, before it answers (tests block here).
    void (*onInfoRead)(const wchar_t* identifier) = nullptr;
    // Device files: the paths that exist on each device. The file calls
    // record "info PATH", "mkdir PATH", "delete PATH" and
    // "upload ID LOCAL DEVICEFOLDER" in `events`.
    std::map<std::wstring, std::set<std::wstring>> files;
    // The upload reports these values, then answers `uploadResult`.
    std::vector<unsigned> uploadProgress;
    int uploadResult = 1;
    // Called inside the file calls before they answer, with the call's
    // event text (tests act here), and after each progress report.
    void (*onFileCall)(const std::string& event) = nullptr;
    void (*afterProgress)() = nullptr;
    // The download's session cannot be opened.
    bool internetOpenFails = false;
    // Registry access refused when these bits are asked for (0: none).
    REGSAM deniedAccess = 0;
    REGSAM lastAccess = 0;
    // A store package of the vendor's is installed.
    bool storePackage = false;
    // The vendor's device multiplexer answers.
    bool multiplexer = false;
};

State& Get();
// Installs the stand-ins over CurrentInstallerCalls() with a fresh state;
// the service key is looked for under `serviceKey` in HKEY_CURRENT_USER.
void Install(const std::wstring& serviceKey);
void Uninstall();
void Event(const std::string& what);
// The recorded events that start with `prefix`.
std::vector<std::string> EventsStartingWith(const std::string& prefix);

} // namespace fakecalls

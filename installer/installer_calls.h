// The calls the installer makes into the device library and the system at
// start-up and for its workflow, gathered in one replaceable table: the
// program binds the real ones, tests put their own in to drive start-up and
// the workflow without the vendor's software.
#pragma once

#include "device/OrvexDevice.h"

#include <windows.h>

#include <wininet.h>

struct InstallerCalls {
    int (*loadDllFunctions)();
    void (*unloadDllFunctions)();
    bool (*socketInit)();
    int (*startListening)(DeviceEventCallback arrived, DeviceEventCallback removed);
    int (*getDeviceInfo)(const wchar_t* identifier, __IOS_DEVICE* info);
    bool (*internetConnected)();
    // The download's internet session (InternetOpenW).
    HINTERNET(WINAPI* internetOpen)(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags);
    // The install worker's device file calls.
    int (*getFileInfo)(const wchar_t* identifier, const wchar_t* path, __IOS_FILE* file);
    int (*createDirectory)(const wchar_t* identifier, const wchar_t* path);
    int (*deleteOnDevice)(const wchar_t* identifier, const wchar_t* path, ProgressCallback progress);
    int (*upload)(const wchar_t* identifier, const wchar_t* localPath, const wchar_t* devicePath,
                  ProgressCallback progress);
    // Where the vendor's device service is registered, and how its key is
    // opened (RegOpenKeyExW).
    HKEY serviceRoot;
    const wchar_t* serviceKey;
    LSTATUS(APIENTRY* regOpenKey)(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
    // A store package of the vendor's is installed (the store applications
    // register no device service key).
    bool (*storePackageInstalled)();
    // The vendor's device multiplexer answers (within a second): its
    // service runs, whatever installed it.
    bool (*multiplexerAnswers)();
};

// The table in force; Reset restores the program's own bindings.
InstallerCalls& CurrentInstallerCalls();
void ResetInstallerCalls();

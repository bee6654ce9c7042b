// The calls the installer makes into the device library and the system at
// start-up and for its workflow, gathered in one replaceable table: the
// program binds the real ones, tests put their own in to drive start-up and
// the workflow without the vendor's software.
#pragma once

#include "device/OrvexDevice.h"

#include <windows.h>

struct InstallerCalls {
    int (*loadDllFunctions)();
    void (*unloadDllFunctions)();
    bool (*socketInit)();
    int (*startListening)(DeviceEventCallback arrived, DeviceEventCallback removed);
    int (*getDeviceInfo)(const wchar_t* identifier, __IOS_DEVICE* info);
    bool (*internetConnected)();
    // Where the vendor's device service is registered, and how its key is
    // opened (RegOpenKeyExW).
    HKEY serviceRoot;
    const wchar_t* serviceKey;
    LSTATUS(APIENTRY* regOpenKey)(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result);
};

// The table in force; Reset restores the program's own bindings.
InstallerCalls& CurrentInstallerCalls();
void ResetInstallerCalls();

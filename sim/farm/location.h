// Where a device farm lives: the folder named by the environment variable
// DEVICESIM_FARM when it is set, otherwise the folder "DeviceFarm" beside
// the installed stand-in device library, in the vendor's "Mobile Device
// Support" folder. A program started from the build folder loads the
// stand-in from there, not from the installed place; it still uses the
// installed farm, so that the devicesim tool and every program agree.
#pragma once

#include <windows.h>

#include <string>

namespace simfarm {

extern const wchar_t kFarmVariable[];   // "DEVICESIM_FARM"
extern const wchar_t kFarmFolderName[]; // "DeviceFarm"

// The value of DEVICESIM_FARM, or empty text.
std::wstring FarmFolderFromEnvironment();
// "<folder of module>\DeviceFarm".
std::wstring FarmFolderBeside(HMODULE module);
// "<common files>\Apple\Mobile Device Support\DeviceFarm": the farm of the
// installed stand-in, found the way the program finds the vendor's library.
std::wstring InstalledFarmFolder();
// The installed farm when the "Mobile Device Support" folder exists, else
// "DeviceFarm" beside `module` (null: the program).
std::wstring DefaultFarmFolder(HMODULE module);

} // namespace simfarm

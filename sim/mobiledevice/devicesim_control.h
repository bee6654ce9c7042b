// Control functions of the stand-in device library, outside the vendor's
// interface: tests and tools use them to choose the device farm and to
// create, plug in, unplug and misconfigure simulated devices in the very
// process that uses the library. Bind them with GetProcAddress.
//
// Every function returns 0 on success and non-zero on failure
// (DeviceSimLastError then tells why). Texts are UTF-16; output buffers take
// a capacity in code units, terminator included (2 when too small).
#pragma once

extern "C" {

// The farm used by subscriptions and handles made from now on; null or
// empty goes back to DEVICESIM_FARM, else the installed library's farm.
typedef int(__cdecl* DeviceSimSetFarm_fn)(const wchar_t* folder);
typedef int(__cdecl* DeviceSimGetFarm_fn)(wchar_t* buffer, unsigned int capacity);
// A new device from a template (see devicesim templates); `udid` null makes
// one up. The device is not attached. Its identifier goes to `created`.
typedef int(__cdecl* DeviceSimCreateDevice_fn)(const wchar_t* templateName, const wchar_t* udid, wchar_t* created,
                                               unsigned int capacity);
typedef int(__cdecl* DeviceSimRemoveDevice_fn)(const wchar_t* udid);
typedef int(__cdecl* DeviceSimAttach_fn)(const wchar_t* udid);
typedef int(__cdecl* DeviceSimDetach_fn)(const wchar_t* udid);
typedef int(__cdecl* DeviceSimSetPaired_fn)(const wchar_t* udid, int paired);
// Fault names: connect, pair, session, afc2, afc, afc-connection,
// device-info, lookup, install (amount 1 sets, 0 clears); read-after,
// write-after, unplug-after (amount: the byte count; 0 clears); list-after,
// unplug-list-after (amount: the count of folder names read; 0 clears);
// latency (amount: milliseconds per file-service request; 0 clears).
typedef int(__cdecl* DeviceSimSetFault_fn)(const wchar_t* udid, const wchar_t* fault, long long amount);
typedef int(__cdecl* DeviceSimClearFaults_fn)(const wchar_t* udid);
// A value of a domain: `domain` null or empty for the default lockdown
// domain, a lockdown domain such as L"com.apple.mobile.battery", L"afc" for
// the file service's device information, or L"applications" for the
// lookup's entries (key: bundle identifier; remove one to uninstall it from
// the lookup, read one as XML). `type`: string, integer,
// real, bool, data (hexadecimal), date; null keeps the value's present type
// (string for a new one). `text` null removes the value; with `key` null
// too, it empties the whole domain.
typedef int(__cdecl* DeviceSimSetValue_fn)(const wchar_t* udid, const wchar_t* domain, const wchar_t* key,
                                           const wchar_t* type, const wchar_t* text);
// The text form of a value (as DeviceSimSetValue takes it; data in
// hexadecimal, true/false, decimal numbers).
typedef int(__cdecl* DeviceSimGetValue_fn)(const wchar_t* udid, const wchar_t* domain, const wchar_t* key,
                                           wchar_t* buffer, unsigned int capacity);
// A symbolic link on the device's file system.
typedef int(__cdecl* DeviceSimMakeLink_fn)(const wchar_t* udid, const wchar_t* target, const wchar_t* path);
// The local path of a device path (links followed on the way, the last
// component not), so a test can plant or inspect files. The entry need not
// exist; its folder must.
typedef int(__cdecl* DeviceSimHostPath_fn)(const wchar_t* udid, const wchar_t* devicePath, wchar_t* buffer,
                                           unsigned int capacity);
// Why the last failing control call of this thread failed.
typedef int(__cdecl* DeviceSimLastError_fn)(wchar_t* buffer, unsigned int capacity);

} // extern "C"

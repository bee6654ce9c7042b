// Test helper: a private simulated device farm and the stand-in device
// library (iTunesMobileDevice.dll) loaded into the test process.
//
//   testfarm::SimulatedFarm farm;                     // empty farm in a temp folder
//   std::wstring id = farm.Create(testfarm::kIPhone4S); // made and plugged in
//   farm.SetFault(id, L"write-after", 4096);
//   farm.Detach(id);
//
// The farm lives in a fresh temporary folder, named to the whole process by
// DEVICESIM_FARM, so that the stand-in, however it is loaded (by this
// helper, or by name through the program's loader, which then finds this
// same module), uses it; parallel test programs never share a farm. Only one
// SimulatedFarm should exist at a time in a process.
//
// In the run of the device tests on the library's built-in backend (the
// test command sets ORVEX_TEST_BACKEND=builtin and gives the tests a prefix
// without the vendor's libraries), the farm is also served on the wire: the
// helper starts `devicesim serve` on it and points USBMUXD_SOCKET_ADDRESS
// at that server for the whole process, so create the farm before the
// library binds. The stand-in is then loaded only to manage the farm. Everything is removed
// when the object goes: end every subscription first (for the library,
// StopListeningDeviceConnections), or the devices' removal is announced to
// it as the farm's folder disappears.
#pragma once

#include "platform/vendor_abi.h"
#include "tests/support/test_util.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace testfarm {

// Template names (devicesim templates lists them).
extern const wchar_t kIPhone4S[]; // iPhone4,1 iOS 5.1.1 jailbroken: Cydia, Installous, AutoInstall folder
extern const wchar_t kIPad2[];    // iPad2,5 iOS 6.1.3, not jailbroken
extern const wchar_t kIPod4[];    // iPod4,1 iOS 6.1 jailbroken: Cydia, Quillon as a user application
extern const wchar_t kIPhone5[];  // iPhone5,1 iOS 6.1.2 jailbroken: a model the installer does not know

// The vendor's device calls, bound by name from a loaded library.
struct DeviceCalls {
#define ORVEX_TESTFARM_SLOT(result, name, params) name##_fn name = nullptr;
    ORVEX_AMD_CALLS(ORVEX_DECLARE_CALL_TYPE)
    ORVEX_AMD_CALLS(ORVEX_TESTFARM_SLOT)
#undef ORVEX_TESTFARM_SLOT
    bool Bind(HMODULE module);
};

// The value library's calls the program uses, bound from the loaded library.
struct ValueCalls {
#define ORVEX_TESTFARM_SLOT(result, name, params) name##_fn name = nullptr;
    ORVEX_CF_CALLS(ORVEX_DECLARE_CALL_TYPE)
    ORVEX_CF_CALLS(ORVEX_TESTFARM_SLOT)
#undef ORVEX_TESTFARM_SLOT
    bool Bind(HMODULE module);

    // Conveniences over the bound calls.
    CFStringRef String(const char* utf8) const; // owned
    std::string Utf8(CFTypeRef string) const;   // "" for null or a non-string
    long long Number(CFTypeRef number) const;   // 64-bit read; 0 for null
};

class SimulatedFarm {
  public:
    SimulatedFarm();
    ~SimulatedFarm();
    SimulatedFarm(const SimulatedFarm&) = delete;
    SimulatedFarm& operator=(const SimulatedFarm&) = delete;

    // False when the library could not be loaded; error() says why.
    bool ok() const { return m_module != nullptr; }
    const std::wstring& error() const { return m_error; }
    const std::wstring& folder() const { return m_folder.path(); }
    HMODULE library() const { return m_module; }
    const DeviceCalls& device() const { return m_device; }
    const ValueCalls& values() const { return m_values; }
    // Any export of the stand-in by name, e.g. a control function.
    FARPROC Function(const char* name) const;

    // A device from a template, plugged in unless `attach` is false; `udid`
    // null makes one up. Returns its identifier, empty on failure.
    std::wstring Create(const wchar_t* templateName, bool attach = true, const wchar_t* udid = nullptr);
    bool Remove(const std::wstring& udid);
    bool Attach(const std::wstring& udid);
    bool Detach(const std::wstring& udid);
    bool SetPaired(const std::wstring& udid, bool paired);
    // Faults: connect, pair, session, afc2, afc, afc-connection, device-info,
    // lookup, install (amount 1 on, 0 off); read-after, write-after,
    // unplug-after (amount = byte count, 0 off); list-after,
    // unplug-list-after (amount = folder names read, 0 off); latency
    // (milliseconds per file-service request, 0 off).
    bool SetFault(const std::wstring& udid, const wchar_t* fault, long long amount = 1);
    bool ClearFaults(const std::wstring& udid);
    // Values: `domain` null for the default lockdown domain, a named domain
    // such as L"com.apple.mobile.battery", L"applications" for the lookup's
    // entries by bundle identifier, or L"afc" for the file service's
    // device information. `type` null keeps the present type.
    bool SetValue(const std::wstring& udid, const wchar_t* key, const wchar_t* text, const wchar_t* type = nullptr,
                  const wchar_t* domain = nullptr);
    // `key` null empties the whole domain (L"applications": no application left).
    bool RemoveValue(const std::wstring& udid, const wchar_t* key, const wchar_t* domain = nullptr);
    // The text form of a value (numbers in decimal, true/false, data in
    // hexadecimal); empty when absent.
    std::wstring Value(const std::wstring& udid, const wchar_t* key, const wchar_t* domain = nullptr) const;
    bool HasValue(const std::wstring& udid, const wchar_t* key, const wchar_t* domain = nullptr) const;
    bool MakeLink(const std::wstring& udid, const wchar_t* target, const wchar_t* devicePath);
    // Local path of a device path, to plant or inspect files directly.
    std::wstring HostPath(const std::wstring& udid, const wchar_t* devicePath) const;
    // Why the last failing call of this thread failed.
    std::wstring LastError() const;

    // The stand-in this helper loads: build/bin's copy beside the test
    // program, else the one installed in the prefix's Mobile Device Support
    // (when served: build/bin's, the parent folder of build/bin/caller).
    static std::wstring LibraryPath();
    // Whether this run tests the library's built-in backend: the farm is
    // served on the wire.
    static bool Served();
    // The served farm's multiplexer address (HOST:PORT); empty when not served.
    const std::string& address() const { return m_address; }

  private:
    bool StartServer();
    void StopServer();

    template <typename Fn> Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(Function(name)));
    }

    testutil::TempDir m_folder;
    std::wstring m_previousFarm;
    bool m_hadPreviousFarm = false;
    HMODULE m_module = nullptr;
    std::wstring m_error;
    DeviceCalls m_device;
    ValueCalls m_values;
    // The served farm: the server and the write end of its input, whose
    // closing stops it.
    HANDLE m_server = nullptr;
    HANDLE m_serverInput = nullptr;
    std::string m_address;
    std::wstring m_previousAddress;
    bool m_hadPreviousAddress = false;
};

// Makes the farm and has the library bind (`bind` returns what
// LoadDllFunctions did) in the order the run needs: where the library binds
// the stand-ins, the library first (it puts the vendor folders on the search
// path, so that the farm helper then finds the same, loaded, library); where
// it talks to the served farm, the farm first, so that its server answers
// when the library asks. `bound` gets the result of `bind`.
std::unique_ptr<SimulatedFarm> MakeFarmAndBind(const std::function<int()>& bind, int* bound);

} // namespace testfarm

// The simulated device farm: a folder with one sub-folder per device.
//
//   <farm>\farm.lock              writers' lock; its first 8 bytes count the changes
//   <farm>\<UDID>\device.plist    the device's description (XML property list)
//   <farm>\<UDID>\root\...        the device's file system (see devfs.h)
//
// Every change goes through the farm lock and bumps the change counter, so
// that every process using the farm (the device library in each program,
// the command-line tool) sees it by reading 8 bytes. It also bumps a second
// counter in memory shared by the session's processes (ChangeSignal), which
// a reader can look at on every call without opening a file.
#pragma once

#include "sim/farm/devfs.h"
#include "sim/farm/plist.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simfarm {

// Keys of a device description.
namespace key {
extern const char kUniqueDeviceID[];
extern const char kTemplate[];
extern const char kAttached[];
extern const char kConnectionID[];
extern const char kPaired[];
extern const char kServices[];
extern const char kLockdown[]; // the default (unnamed) domain
extern const char kDomains[];  // named domains: name -> dict
extern const char kApplications[];
extern const char kProvisioningProfiles[];
extern const char kLastPackageURL[]; // the URL text of the last install, upgrade or profile request
extern const char kAFCDeviceInfo[];
extern const char kFaults[];
extern const char kFaultSerial[]; // in Faults: bumped on every fault change
} // namespace key

// Faults that can be set per device.
enum class Fault {
    Connect,         // AMDeviceConnect fails
    Pair,            // pairing and its validation fail
    Session,         // AMDeviceStartSession fails
    Afc2Service,     // the privileged file service does not start
    AfcService,      // the ordinary file service does not start
    AfcConnection,   // AFCConnectionOpen fails
    DeviceInfo,      // AFCDeviceInfoOpen fails
    ReadAfter,       // file reads fail once N bytes have been read (counted)
    WriteAfter,      // file writes fail once N bytes have been written (counted)
    UnplugAfter,     // the device is unplugged once N bytes have moved (counted)
    Lookup,          // application lookup refused
    Install,         // application install, upgrade and uninstall refused
    Latency,         // every file-service request takes N milliseconds longer (a slow link)
    ListAfter,       // folder reads fail once N names have been read (counted)
    UnplugListAfter, // the next folder read unplugs the device once N names have been read (counted)
};
// The number of faults, for tables indexed by Fault.
constexpr int kFaultCount = static_cast<int>(Fault::UnplugListAfter) + 1;

struct FaultInfo {
    Fault fault;
    const char* name; // command-line and control-function name
    const char* key;  // key in the description's Faults dict
    bool counted;     // takes a number (bytes; milliseconds for the latency) instead of on/off
    const char* summary;
};

const std::vector<FaultInfo>& Faults();
const FaultInfo* FindFault(const std::string& name);
const FaultInfo& InfoOf(Fault fault);

// Pseudo-domains of SetValue/GetValue/RemoveValue: the file service's
// device information (Model, FSTotalBytes, FSFreeBytes, FSBlockSize), and the
// applications as the lookup answers them (key: bundle identifier).
extern const char kAfcDomain[];
extern const char kApplicationsDomain[];
// Whether a domain name is one of the pseudo-domains above.
bool IsPseudoDomain(const std::string& domain);

// A unique device identifier usable as a folder name: 1 to 64 characters
// of letters, digits and "-".
bool IsValidUdid(const std::string& udid);
// 40 random lower-case hexadecimal digits, as the devices of that era use.
std::string MakeUdid();

// Text forms of values for the command-line tool and the control functions.
// Types: string, integer, real, bool, data (hexadecimal), date (ISO 8601).
bool ParseValueText(const std::string& type, const std::string& text, Value* out, std::string* error);
std::string ValueText(const Value& value);
const char* TypeName(const Value& value);

// The shared-memory counter of a farm, named after its folder (case
// ignored). A moved counter means "read farm.lock again"; an unmoved one
// means no change was made through the farm lock by a process of this
// session since it was last read. Processes of another session (or with
// another spelling of the folder) move only farm.lock, so readers still
// read farm.lock now and then. Without the shared memory, ok() is false.
class ChangeSignal {
  public:
    explicit ChangeSignal(const std::wstring& farmFolder);
    bool ok() const { return m_counter != nullptr; }
    long Read() const;
    void Bump();

  private:
    UniqueHandle m_section;
    UniqueMappedView m_view;
    volatile long* m_counter = nullptr;
};

class Farm {
  public:
    explicit Farm(const std::wstring& folder);

    const std::wstring& folder() const { return m_folder; }
    std::wstring DeviceFolder(const std::string& udid) const;
    std::wstring DescriptionPath(const std::string& udid) const;
    std::wstring RootFolder(const std::string& udid) const;
    DeviceFs Files(const std::string& udid) const { return DeviceFs(RootFolder(udid)); }

    // Creates the farm folder (one level) when it is missing.
    bool Prepare(std::string* error) const;
    // The change counter; 0 for a farm nobody has changed yet.
    uint64_t Generation() const;
    // Identifiers of the devices present, in folder order.
    std::vector<std::string> Devices() const;
    bool Load(const std::string& udid, Value* description, std::string* error = nullptr) const;

    using Change = std::function<bool(Value& description, std::string* error)>;
    // Applies `change` to the description under the farm lock and stores it.
    bool Update(const std::string& udid, const Change& change, std::string* error) const;

    // A new device from a template; `udid` empty makes one up. Not attached.
    bool Create(const std::string& templateName, const std::string& udid, std::string* created,
                std::string* error) const;
    bool Remove(const std::string& udid, std::string* error) const;
    // Plugging in gives the device a new connection number.
    bool Attach(const std::string& udid, std::string* error) const;
    bool Detach(const std::string& udid, std::string* error) const;
    bool SetPaired(const std::string& udid, bool paired, std::string* error) const;
    // `amount`: 0 clears, non-zero sets (the byte count of a counted fault).
    bool SetFault(const std::string& udid, Fault fault, int64_t amount, std::string* error) const;
    bool ClearFaults(const std::string& udid, std::string* error) const;
    // `domain` empty: the default lockdown domain; kAfcDomain,
    // kApplicationsDomain: the pseudo-domains; otherwise a named lockdown domain.
    bool SetValue(const std::string& udid, const std::string& domain, const std::string& key, const Value& value,
                  std::string* error) const;
    // An empty `key` empties the whole domain.
    bool RemoveValue(const std::string& udid, const std::string& domain, const std::string& key,
                     std::string* error) const;
    bool GetValue(const std::string& udid, const std::string& domain, const std::string& key, Value* out,
                  std::string* error) const;

  private:
    bool Store(const std::string& udid, const Value& description, std::string* error) const;

    std::wstring m_folder;
};

// Helpers over a loaded description.
bool IsAttached(const Value& description);
int64_t ConnectionId(const Value& description);
int64_t FaultAmount(const Value& description, Fault fault);
int64_t FaultSerial(const Value& description);
// The dict of a domain ("" default, a pseudo-domain, or named), or null.
const Value* DomainOf(const Value& description, const std::string& domain);
Value* DomainOf(Value& description, const std::string& domain, bool make);

} // namespace simfarm

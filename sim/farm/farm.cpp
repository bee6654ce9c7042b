#include "sim/farm/farm.h"

#include "platform/file.h"
#include "platform/text.h"
#include "sim/farm/templates.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <mutex>
#include <random>

namespace simfarm {

namespace key {
const char kUniqueDeviceID[] = "UniqueDeviceID";
const char kTemplate[] = "Template";
const char kAttached[] = "Attached";
const char kConnectionID[] = "ConnectionID";
const char kPaired[] = "Paired";
const char kServices[] = "Services";
const char kLockdown[] = "Lockdown";
const char kDomains[] = "Domains";
const char kApplications[] = "Applications";
const char kProvisioningProfiles[] = "ProvisioningProfiles";
const char kLastPackageURL[] = "LastPackageURL";
const char kAFCDeviceInfo[] = "AFCDeviceInfo";
const char kFaults[] = "Faults";
const char kFaultSerial[] = "Serial";
} // namespace key

const char kAfcDomain[] = "afc";
const char kApplicationsDomain[] = "applications";

bool IsPseudoDomain(const std::string& domain) { return domain == kAfcDomain || domain == kApplicationsDomain; }

namespace {

const wchar_t kLockFile[] = L"farm.lock";
const wchar_t kDescriptionFile[] = L"device.plist";
const size_t kMaxDescription = 16 * 1024 * 1024;
const DWORD kLockOffset = 0x40000000; // beyond the counter, so reading it never waits

// Threads of one process share one lock; the file lock orders processes.
std::mutex g_processLock;

class FarmLock {
  public:
    explicit FarmLock(const std::wstring& folder) : m_guard(g_processLock) {
        m_file.reset(::CreateFileW((folder + L"\\" + kLockFile).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_file)
            return;
        OVERLAPPED at = {};
        at.Offset = kLockOffset;
        m_locked = ::LockFileEx(m_file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
    }
    ~FarmLock() {
        if (m_locked) {
            OVERLAPPED at = {};
            at.Offset = kLockOffset;
            ::UnlockFileEx(m_file.get(), 0, 1, 0, &at);
        }
    }
    FarmLock(const FarmLock&) = delete;
    FarmLock& operator=(const FarmLock&) = delete;

    bool locked() const { return m_locked; }

    // farm.lock first, then the shared counter: a reader that sees the
    // shared counter unmoved has read farm.lock after every earlier bump.
    void Bump(const std::wstring& folder) {
        uint64_t counter = 0;
        DWORD got = 0;
        OVERLAPPED at = {};
        if (!::ReadFile(m_file.get(), &counter, sizeof counter, &got, &at) || got != sizeof counter)
            counter = 0;
        ++counter;
        at = OVERLAPPED{};
        DWORD written = 0;
        ::WriteFile(m_file.get(), &counter, sizeof counter, &written, &at);
        ChangeSignal(folder).Bump();
    }

  private:
    std::lock_guard<std::mutex> m_guard;
    UniqueHandle m_file;
    bool m_locked = false;
};

bool ReadLocalFile(const std::wstring& path, size_t limit, std::string* bytes) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) > limit)
        return false;
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!data.empty() &&
        (!::ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &got, nullptr) || got != data.size()))
        return false;
    *bytes = std::move(data);
    return true;
}

bool Fail(std::string* error, const std::string& message) {
    if (error)
        *error = message;
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

// ---- faults --------------------------------------------------------------------

const std::vector<FaultInfo>& Faults() {
    static const std::vector<FaultInfo> table = {
        {Fault::Connect, "connect", "Connect", false, "connecting to the device fails"},
        {Fault::Pair, "pair", "Pair", false, "pairing and its validation fail"},
        {Fault::Session, "session", "Session", false, "starting a session fails"},
        {Fault::Afc2Service, "afc2", "AFC2Service", false, "the privileged file service does not start"},
        {Fault::AfcService, "afc", "AFCService", false, "the ordinary file service does not start"},
        {Fault::AfcConnection, "afc-connection", "AFCConnection", false, "opening the file connection fails"},
        {Fault::DeviceInfo, "device-info", "DeviceInfo", false, "reading the device information fails"},
        {Fault::ReadAfter, "read-after", "ReadFailAfter", true, "file reads fail once N bytes have been read"},
        {Fault::WriteAfter, "write-after", "WriteFailAfter", true, "file writes fail once N bytes have been written"},
        {Fault::UnplugAfter, "unplug-after", "UnplugAfter", true, "the device is unplugged once N bytes have moved"},
        {Fault::Lookup, "lookup", "Lookup", false, "the application lookup is refused"},
        {Fault::Install, "install", "Install", false, "application install, upgrade and uninstall are refused"},
        {Fault::Latency, "latency", "Latency", true, "every file-service request takes N milliseconds longer"},
        {Fault::ListAfter, "list-after", "ListFailAfter", true, "folder reads fail once N names have been read"},
        {Fault::UnplugListAfter, "unplug-list-after", "UnplugListAfter", true,
         "once N folder names have been read, the next folder read unplugs the device"},
    };
    return table;
}

const FaultInfo* FindFault(const std::string& name) {
    for (const FaultInfo& info : Faults()) {
        if (name == info.name || name == info.key)
            return &info;
    }
    return nullptr;
}

const FaultInfo& InfoOf(Fault fault) {
    for (const FaultInfo& info : Faults()) {
        if (info.fault == fault)
            return info;
    }
    return Faults().front();
}

// ---- identifiers and value text --------------------------------------------------

bool IsValidUdid(const std::string& udid) {
    if (udid.empty() || udid.size() > 64)
        return false;
    for (char c : udid) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

std::string MakeUdid() {
    static std::mutex lock;
    static std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), static_cast<unsigned>(::GetTickCount()),
                           static_cast<unsigned>(::GetCurrentProcessId())};
        return std::mt19937_64(seed);
    }();
    std::lock_guard<std::mutex> guard(lock);
    static const char digits[] = "0123456789abcdef";
    std::string udid;
    for (int i = 0; i < 40; ++i)
        udid += digits[generator() & 15];
    return udid;
}

const char* TypeName(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::Null:
        return "null";
    case Value::Kind::Bool:
        return "bool";
    case Value::Kind::Integer:
        return "integer";
    case Value::Kind::Real:
        return "real";
    case Value::Kind::String:
        return "string";
    case Value::Kind::Data:
        return "data";
    case Value::Kind::Date:
        return "date";
    case Value::Kind::Array:
        return "array";
    case Value::Kind::Dict:
        return "dict";
    }
    return "null";
}

bool ParseValueText(const std::string& type, const std::string& text, Value* out, std::string* error) {
    if (type.empty() || type == "string") {
        *out = Value::String(text);
        return true;
    }
    if (type == "bool") {
        if (text == "true" || text == "1" || text == "yes")
            *out = Value::Bool(true);
        else if (text == "false" || text == "0" || text == "no")
            *out = Value::Bool(false);
        else
            return Fail(error, "not a boolean: " + text);
        return true;
    }
    if (type == "integer") {
        char* end = nullptr;
        errno = 0;
        if (!text.empty() && text[0] == '-') {
            long long v = std::strtoll(text.c_str(), &end, 10);
            if (errno || *end)
                return Fail(error, "not an integer: " + text);
            *out = Value::Integer(v);
        } else {
            unsigned long long v = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || errno || *end || text[0] < '0' || text[0] > '9')
                return Fail(error, "not an integer: " + text);
            *out = Value::Unsigned(v);
        }
        return true;
    }
    if (type == "real") {
        char* end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end)
            return Fail(error, "not a number: " + text);
        *out = Value::Real(v);
        return true;
    }
    if (type == "data") {
        if (text.size() % 2)
            return Fail(error, "hexadecimal data needs an even number of digits");
        std::string bytes;
        for (size_t i = 0; i < text.size(); i += 2) {
            int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
            if (hi < 0 || lo < 0)
                return Fail(error, "not hexadecimal data: " + text);
            bytes += static_cast<char>(hi * 16 + lo);
        }
        *out = Value::Data(std::move(bytes));
        return true;
    }
    if (type == "date") {
        double seconds = 0;
        if (!ParsePlistDate(text, &seconds))
            return Fail(error, "not a date (YYYY-MM-DDTHH:MM:SSZ): " + text);
        *out = Value::Date(seconds);
        return true;
    }
    return Fail(error, "unknown type " + type + " (string, integer, real, bool, data, date)");
}

std::string ValueText(const Value& value) {
    char text[64];
    switch (value.kind()) {
    case Value::Kind::Null:
        return std::string();
    case Value::Kind::Bool:
        return value.boolean() ? "true" : "false";
    case Value::Kind::Integer:
        if (value.isUnsigned())
            std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value.unsignedInteger()));
        else
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value.integer()));
        return text;
    case Value::Kind::Real:
        std::snprintf(text, sizeof text, "%.17g", value.real());
        return text;
    case Value::Kind::String:
        return value.text();
    case Value::Kind::Data: {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (char c : value.text()) {
            hex += digits[(static_cast<uint8_t>(c) >> 4) & 15];
            hex += digits[static_cast<uint8_t>(c) & 15];
        }
        return hex;
    }
    case Value::Kind::Date:
        return FormatPlistDate(value.date());
    case Value::Kind::Array:
    case Value::Kind::Dict: {
        std::string xml;
        WriteXmlPlist(value, &xml);
        return xml;
    }
    }
    return std::string();
}

// ---- description helpers ---------------------------------------------------------

bool IsAttached(const Value& description) { return description.GetBool(key::kAttached); }

int64_t ConnectionId(const Value& description) { return description.GetInteger(key::kConnectionID); }

int64_t FaultAmount(const Value& description, Fault fault) {
    const Value* faults = description.Find(key::kFaults);
    if (!faults)
        return 0;
    const Value* v = faults->Find(InfoOf(fault).key);
    if (!v)
        return 0;
    if (v->is(Value::Kind::Bool))
        return v->boolean() ? 1 : 0;
    return v->is(Value::Kind::Integer) ? v->integer() : 0;
}

int64_t FaultSerial(const Value& description) {
    const Value* faults = description.Find(key::kFaults);
    return faults ? faults->GetInteger(key::kFaultSerial) : 0;
}

const Value* DomainOf(const Value& description, const std::string& domain) {
    if (domain.empty())
        return description.Find(key::kLockdown);
    if (domain == kAfcDomain)
        return description.Find(key::kAFCDeviceInfo);
    if (domain == kApplicationsDomain)
        return description.Find(key::kApplications);
    const Value* domains = description.Find(key::kDomains);
    return domains ? domains->Find(domain) : nullptr;
}

Value* DomainOf(Value& description, const std::string& domain, bool make) {
    if (!make)
        return const_cast<Value*>(DomainOf(static_cast<const Value&>(description), domain));
    if (domain.empty())
        return &description.SubDict(key::kLockdown);
    if (domain == kAfcDomain)
        return &description.SubDict(key::kAFCDeviceInfo);
    if (domain == kApplicationsDomain)
        return &description.SubDict(key::kApplications);
    return &description.SubDict(key::kDomains).SubDict(domain);
}

// ---- ChangeSignal -----------------------------------------------------------------

namespace {

// "Local\OrvexDeviceFarm-" and a 64-bit FNV-1a hash of the upper-cased folder.
std::wstring SignalName(const std::wstring& folder) {
    uint64_t hash = 14695981039346656037ULL;
    for (wchar_t c : folder) {
        hash ^= static_cast<uint16_t>(std::towupper(c));
        hash *= 1099511628211ULL;
    }
    std::wstring name = L"Local\\OrvexDeviceFarm-";
    for (int shift = 60; shift >= 0; shift -= 4)
        name += L"0123456789abcdef"[(hash >> shift) & 15];
    return name;
}

} // namespace

ChangeSignal::ChangeSignal(const std::wstring& farmFolder) {
    // Made zeroed by the first process that asks, shared by every later one.
    m_section.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(long),
                                         SignalName(farmFolder).c_str()));
    if (!m_section)
        return;
    m_view.reset(::MapViewOfFile(m_section.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(long)));
    if (m_view)
        m_counter = static_cast<volatile long*>(m_view.get());
}

long ChangeSignal::Read() const { return m_counter ? ::InterlockedCompareExchange(m_counter, 0, 0) : 0; }

void ChangeSignal::Bump() {
    if (m_counter)
        ::InterlockedIncrement(m_counter);
}

// ---- Farm ------------------------------------------------------------------------

Farm::Farm(const std::wstring& folder) {
    wchar_t full[MAX_PATH * 2] = {};
    DWORD n = ::GetFullPathNameW(folder.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
    m_folder = (n > 0 && n < std::size(full)) ? std::wstring(full, n) : folder;
    while (m_folder.size() > 3 && (m_folder.back() == L'\\' || m_folder.back() == L'/'))
        m_folder.pop_back();
}

std::wstring Farm::DeviceFolder(const std::string& udid) const { return m_folder + L"\\" + Utf8ToWide(udid.c_str()); }

std::wstring Farm::DescriptionPath(const std::string& udid) const {
    return DeviceFolder(udid) + L"\\" + kDescriptionFile;
}

std::wstring Farm::RootFolder(const std::string& udid) const { return DeviceFolder(udid) + L"\\root"; }

bool Farm::Prepare(std::string* error) const {
    if (IsLocalDirectory(m_folder))
        return true;
    if (::CreateDirectoryW(m_folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    return Fail(error, "cannot create the farm folder " + WideToUtf8(m_folder.c_str()));
}

uint64_t Farm::Generation() const {
    UniqueHandle file(::CreateFileW((m_folder + L"\\" + kLockFile).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    if (!file)
        return 0;
    uint64_t counter = 0;
    DWORD got = 0;
    if (!::ReadFile(file.get(), &counter, sizeof counter, &got, nullptr) || got != sizeof counter)
        return 0;
    return counter;
}

std::vector<std::string> Farm::Devices() const {
    std::vector<std::string> udids;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((m_folder + L"\\*").c_str(), &entry));
    if (!find)
        return udids;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        std::string name = WideToUtf8(entry.cFileName);
        if (IsValidUdid(name) && IsLocalFile(DescriptionPath(name)))
            udids.push_back(name);
    } while (::FindNextFileW(find.get(), &entry));
    return udids;
}

bool Farm::Load(const std::string& udid, Value* description, std::string* error) const {
    if (!IsValidUdid(udid))
        return Fail(error, "not a device identifier: " + udid);
    std::string xml;
    if (!ReadLocalFile(DescriptionPath(udid), kMaxDescription, &xml))
        return Fail(error, "no device " + udid + " in the farm");
    std::string why;
    Value parsed;
    if (!ReadXmlPlist(xml, &parsed, &why) || !parsed.is(Value::Kind::Dict))
        return Fail(error, "the description of " + udid + " is damaged: " + why);
    *description = std::move(parsed);
    return true;
}

bool Farm::Store(const std::string& udid, const Value& description, std::string* error) const {
    std::string xml;
    if (!WriteXmlPlist(description, &xml))
        return Fail(error, "the description of " + udid + " holds a value that cannot be stored");
    std::wstring path = DescriptionPath(udid);
    std::wstring temp = path + L".new";
    {
        UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), xml.data(), static_cast<DWORD>(xml.size()), &written, nullptr) ||
            written != xml.size()) {
            file.reset();
            ::DeleteFileW(temp.c_str());
            return Fail(error, "cannot write the description of " + udid);
        }
    }
    // A reader may hold the old file for a moment.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        ::Sleep(10);
    }
    ::DeleteFileW(temp.c_str());
    return Fail(error, "cannot replace the description of " + udid);
}

bool Farm::Update(const std::string& udid, const Change& change, std::string* error) const {
    FarmLock lock(m_folder);
    if (!lock.locked())
        return Fail(error, "cannot lock the farm " + WideToUtf8(m_folder.c_str()));
    Value description;
    if (!Load(udid, &description, error))
        return false;
    if (!change(description, error))
        return false;
    if (!Store(udid, description, error))
        return false;
    lock.Bump(m_folder);
    return true;
}

bool Farm::Create(const std::string& templateName, const std::string& udid, std::string* created,
                  std::string* error) const {
    if (!Prepare(error))
        return false;
    std::string id = udid.empty() ? MakeUdid() : udid;
    if (!IsValidUdid(id))
        return Fail(error, "not a device identifier: " + id);
    FarmLock lock(m_folder);
    if (!lock.locked())
        return Fail(error, "cannot lock the farm " + WideToUtf8(m_folder.c_str()));
    std::wstring folder = DeviceFolder(id);
    if (!::CreateDirectoryW(folder.c_str(), nullptr))
        return Fail(error, ::GetLastError() == ERROR_ALREADY_EXISTS ? "device " + id + " exists already"
                                                                    : "cannot create the folder of device " + id);
    Value description;
    bool ok = ::CreateDirectoryW(RootFolder(id).c_str(), nullptr) &&
              BuildTemplate(templateName, id, Files(id), &description, error) && Store(id, description, error);
    if (!ok) {
        if (error && error->empty())
            *error = "cannot create the file system of device " + id;
        RemoveLocalTree(folder);
        return false;
    }
    lock.Bump(m_folder);
    if (created)
        *created = id;
    return true;
}

bool Farm::Remove(const std::string& udid, std::string* error) const {
    if (!IsValidUdid(udid) || !IsLocalFile(DescriptionPath(udid)))
        return Fail(error, "no device " + udid + " in the farm");
    FarmLock lock(m_folder);
    // The description goes first, so that a half-removed device is no device.
    ::DeleteFileW(DescriptionPath(udid).c_str());
    bool removed = RemoveLocalTree(DeviceFolder(udid));
    lock.Bump(m_folder);
    return removed || Fail(error, "device " + udid + " is gone but some of its files are still in use");
}

bool Farm::Attach(const std::string& udid, std::string* error) const {
    return Update(
        udid,
        [](Value& d, std::string*) {
            if (!IsAttached(d)) {
                d.Set(key::kAttached, Value::Bool(true));
                d.Set(key::kConnectionID, Value::Integer(ConnectionId(d) + 1));
            }
            return true;
        },
        error);
}

bool Farm::Detach(const std::string& udid, std::string* error) const {
    return Update(
        udid,
        [](Value& d, std::string*) {
            d.Set(key::kAttached, Value::Bool(false));
            return true;
        },
        error);
}

bool Farm::SetPaired(const std::string& udid, bool paired, std::string* error) const {
    return Update(
        udid,
        [paired](Value& d, std::string*) {
            d.Set(key::kPaired, Value::Bool(paired));
            return true;
        },
        error);
}

bool Farm::SetFault(const std::string& udid, Fault fault, int64_t amount, std::string* error) const {
    const FaultInfo& info = InfoOf(fault);
    if (info.counted && amount < 0)
        return Fail(error, "a byte count cannot be negative");
    return Update(
        udid,
        [&info, amount](Value& d, std::string*) {
            Value& faults = d.SubDict(key::kFaults);
            if (amount == 0)
                faults.Remove(info.key);
            else if (info.counted)
                faults.Set(info.key, Value::Integer(amount));
            else
                faults.Set(info.key, Value::Bool(true));
            faults.Set(key::kFaultSerial, Value::Integer(faults.GetInteger(key::kFaultSerial) + 1));
            return true;
        },
        error);
}

bool Farm::ClearFaults(const std::string& udid, std::string* error) const {
    return Update(
        udid,
        [](Value& d, std::string*) {
            int64_t serial = FaultSerial(d);
            Value faults = Value::Dict();
            faults.Set(key::kFaultSerial, Value::Integer(serial + 1));
            d.Set(key::kFaults, std::move(faults));
            return true;
        },
        error);
}

bool Farm::SetValue(const std::string& udid, const std::string& domain, const std::string& name, const Value& value,
                    std::string* error) const {
    if (name.empty())
        return Fail(error, "a value needs a key");
    return Update(
        udid,
        [&](Value& d, std::string*) {
            DomainOf(d, domain, true)->Set(name, value);
            return true;
        },
        error);
}

bool Farm::RemoveValue(const std::string& udid, const std::string& domain, const std::string& name,
                       std::string* error) const {
    return Update(
        udid,
        [&](Value& d, std::string* why) {
            Value* dict = DomainOf(d, domain, false);
            if (dict && name.empty()) {
                *dict = Value::Dict(); // the whole domain emptied
                return true;
            }
            if (!dict || !dict->Remove(name))
                return Fail(why, "no value " + name + " in that domain");
            return true;
        },
        error);
}

bool Farm::GetValue(const std::string& udid, const std::string& domain, const std::string& name, Value* out,
                    std::string* error) const {
    Value description;
    if (!Load(udid, &description, error))
        return false;
    const Value* dict = DomainOf(description, domain);
    if (!dict)
        return Fail(error, "no domain " + domain);
    if (name.empty()) {
        *out = *dict;
        return true;
    }
    const Value* v = dict->Find(name);
    if (!v)
        return Fail(error, "no value " + name);
    *out = *v;
    return true;
}

} // namespace simfarm

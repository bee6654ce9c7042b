// The control functions (devicesim_control.h): the in-process counterpart
// of the devicesim tool.
#include "platform/file.h"
#include "platform/text.h"
#include "sim/farm/farm.h"
#include "sim/mobiledevice/devicesim_control.h"
#include "sim/mobiledevice/simulator.h"

#include <cwchar>

using namespace simfarm;
using namespace mdsim;

namespace {

thread_local std::wstring t_lastError;

int Failed(const std::string& message) {
    t_lastError = Utf8ToWide(message.c_str());
    return 1;
}

int Copy(const std::wstring& text, wchar_t* buffer, unsigned int capacity) {
    if (!buffer || capacity == 0)
        return Failed("no output buffer");
    if (text.size() >= capacity) {
        buffer[0] = L'\0';
        t_lastError = L"the output buffer is too small";
        return 2;
    }
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

std::string Utf8(const wchar_t* text) { return text ? WideToUtf8(text) : std::string(); }

// Runs a farm change on the current farm, then lets this process see it at once.
template <typename Body> int Change(Body&& body) {
    try {
        std::shared_ptr<FarmView> view = CurrentFarm();
        std::string error;
        if (!body(view->farm(), &error))
            return Failed(error.empty() ? "the change failed" : error);
        view->Invalidate();
        WakeSubscribers();
        return 0;
    } catch (const std::exception& e) {
        return Failed(std::string("internal error: ") + e.what());
    } catch (...) {
        return Failed("internal error");
    }
}

template <typename Body> int Query(Body&& body) {
    try {
        return body();
    } catch (...) {
        return Failed("internal error");
    }
}

} // namespace

extern "C" int __cdecl DeviceSimSetFarm(const wchar_t* folder) {
    return Query([&] {
        SetFarmOverride(folder ? folder : L"");
        return 0;
    });
}

extern "C" int __cdecl DeviceSimGetFarm(wchar_t* buffer, unsigned int capacity) {
    return Query([&] { return Copy(CurrentFarm()->farm().folder(), buffer, capacity); });
}

extern "C" int __cdecl DeviceSimCreateDevice(const wchar_t* templateName, const wchar_t* udid, wchar_t* created,
                                             unsigned int capacity) {
    std::string id;
    int status = Change(
        [&](const Farm& farm, std::string* error) { return farm.Create(Utf8(templateName), Utf8(udid), &id, error); });
    if (status != 0 || !created)
        return status;
    return Copy(Utf8ToWide(id.c_str()), created, capacity);
}

extern "C" int __cdecl DeviceSimRemoveDevice(const wchar_t* udid) {
    return Change([&](const Farm& farm, std::string* error) { return farm.Remove(Utf8(udid), error); });
}

extern "C" int __cdecl DeviceSimAttach(const wchar_t* udid) {
    return Change([&](const Farm& farm, std::string* error) { return farm.Attach(Utf8(udid), error); });
}

extern "C" int __cdecl DeviceSimDetach(const wchar_t* udid) {
    return Change([&](const Farm& farm, std::string* error) { return farm.Detach(Utf8(udid), error); });
}

extern "C" int __cdecl DeviceSimSetPaired(const wchar_t* udid, int paired) {
    return Change([&](const Farm& farm, std::string* error) { return farm.SetPaired(Utf8(udid), paired != 0, error); });
}

extern "C" int __cdecl DeviceSimSetFault(const wchar_t* udid, const wchar_t* fault, long long amount) {
    return Change([&](const Farm& farm, std::string* error) {
        const FaultInfo* info = FindFault(Utf8(fault));
        if (!info) {
            *error = "no fault " + Utf8(fault);
            return false;
        }
        return farm.SetFault(Utf8(udid), info->fault, amount, error);
    });
}

extern "C" int __cdecl DeviceSimClearFaults(const wchar_t* udid) {
    return Change([&](const Farm& farm, std::string* error) { return farm.ClearFaults(Utf8(udid), error); });
}

extern "C" int __cdecl DeviceSimSetValue(const wchar_t* udid, const wchar_t* domain, const wchar_t* key,
                                         const wchar_t* type, const wchar_t* text) {
    return Change([&](const Farm& farm, std::string* error) {
        std::string id = Utf8(udid), domainName = Utf8(domain), name = Utf8(key);
        if (!text)
            return farm.RemoveValue(id, domainName, name, error);
        std::string typeName = Utf8(type);
        Value existing;
        if (typeName.empty() && farm.GetValue(id, domainName, name, &existing, nullptr))
            typeName = TypeName(existing);
        if (typeName == "array" || typeName == "dict") {
            *error = "a " + typeName + " cannot be set from text";
            return false;
        }
        Value value;
        return ParseValueText(typeName, Utf8(text), &value, error) && farm.SetValue(id, domainName, name, value, error);
    });
}

extern "C" int __cdecl DeviceSimGetValue(const wchar_t* udid, const wchar_t* domain, const wchar_t* key,
                                         wchar_t* buffer, unsigned int capacity) {
    return Query([&] {
        Value value;
        std::string error;
        if (!CurrentFarm()->farm().GetValue(Utf8(udid), Utf8(domain), Utf8(key), &value, &error))
            return Failed(error);
        return Copy(Utf8ToWide(ValueText(value).c_str()), buffer, capacity);
    });
}

extern "C" int __cdecl DeviceSimMakeLink(const wchar_t* udid, const wchar_t* target, const wchar_t* path) {
    return Change([&](const Farm& farm, std::string* error) {
        std::string id = Utf8(udid);
        if (!IsValidUdid(id) || !IsLocalFile(farm.DescriptionPath(id))) {
            *error = "no device " + id + " in the farm";
            return false;
        }
        int status = farm.Files(id).MakeLink(Utf8(target), Utf8(path));
        if (status != 0)
            *error = "cannot make the link (file service status " + std::to_string(status) + ")";
        return status == 0;
    });
}

extern "C" int __cdecl DeviceSimHostPath(const wchar_t* udid, const wchar_t* devicePath, wchar_t* buffer,
                                         unsigned int capacity) {
    return Query([&] {
        std::string id = Utf8(udid);
        const Farm& farm = CurrentFarm()->farm();
        if (!IsValidUdid(id) || !IsLocalFile(farm.DescriptionPath(id)))
            return Failed("no device " + id + " in the farm");
        DeviceFs files = farm.Files(id);
        Location where;
        int status = files.Resolve(Utf8(devicePath), false, &where);
        if (status != 0)
            return Failed("the device path leads nowhere (file service status " + std::to_string(status) + ")");
        std::wstring host = files.HostPath(where);
        if (host.compare(0, 4, L"\\\\?\\") == 0)
            host = host.substr(4);
        return Copy(host, buffer, capacity);
    });
}

extern "C" int __cdecl DeviceSimLastError(wchar_t* buffer, unsigned int capacity) {
    return Copy(t_lastError, buffer, capacity);
}

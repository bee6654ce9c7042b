// RenameDevice and GetBatteryInfo: two small lockdown operations.
#include "device/OrvexDevice.h"
#include "device/cf_values.h"
#include "device/device_access.h"
#include "device/export_guard.h"
#include "platform/cf_text.h"

namespace {

int SetDeviceName(const wchar_t* identifier, const wchar_t* name) {
    if (!name)
        return 0; // an empty name goes to the device like any other
    DeviceRef device = FindDevice(identifier);
    if (!device)
        return 0;
    DeviceSession session(device.get());
    if (!session.Open())
        return 0;
    CFRef<CFStringRef> value = WideToCFString(name);
    if (!value)
        return 0;
    return vendor::AMDeviceSetValue(device.get(), nullptr, CFConstant("DeviceName"), value.get()) == 0 ? 1 : 0;
}

__IOS_BATTERY BatteryFrom(CFTypeRef domain) {
    __IOS_BATTERY battery{};
    battery.FullyCharged = BooleanFlag(DictionaryValue(domain, "FullyCharged"));
    battery.ExternalChargeCapable = BooleanFlag(DictionaryValue(domain, "ExternalChargeCapable"));
    battery.BatteryIsCharging = BooleanFlag(DictionaryValue(domain, "BatteryIsCharging"));
    battery.ExternalConnected = BooleanFlag(DictionaryValue(domain, "ExternalConnected"));
    NumberAsInt32(DictionaryValue(domain, "BatteryCurrentCapacity"), kCFNumberIntType, &battery.BatteryCurrentCapacity);
    return battery;
}

int ReadBattery(const wchar_t* identifier, __IOS_BATTERY* battery) {
    if (!battery)
        return 0;
    DeviceRef device = FindDevice(identifier);
    if (!device)
        return 0;
    DeviceSession session(device.get());
    if (!session.Open())
        return 0;
    CFRef<CFTypeRef> domain(vendor::AMDeviceCopyValue(device.get(), CFConstant("com.apple.mobile.battery"), nullptr));
    if (!AsDictionary(domain.get()))
        return 0; // the record stays untouched
    *battery = BatteryFrom(domain.get());
    return 1;
}

} // namespace

int RenameDevice(const wchar_t* identifier, const wchar_t* newName) {
    return GuardedExport(L"RenameDevice", [&] { return SetDeviceName(identifier, newName); });
}

int GetBatteryInfo(const wchar_t* identifier, __IOS_BATTERY* battery) {
    return GuardedExport(L"GetBatteryInfo", [&] { return ReadBattery(identifier, battery); });
}

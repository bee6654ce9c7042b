#include "backend/services.h"

#include "backend/device.h"
#include "backend/lockdown.h"
#include "platform/text.h"

namespace backend {

bool IsArray(CFTypeRef value) { return value && CFGetTypeID(value) == CFArrayGetTypeID(); }

bool LocalPathOfUrl(CFURLRef url, std::wstring* path) {
    if (!url || CFGetTypeID(url) != CFURLGetTypeID())
        return false;
    Owned<CFStringRef> scheme(CFURLCopyScheme(url));
    if (_stricmp(Text(scheme.get()).c_str(), "file") != 0)
        return false;
    Owned<CFStringRef> hostText(CFURLCopyHostName(url));
    Owned<CFStringRef> pathText(CFURLCopyFileSystemPath(url, kCFURLWindowsPathStyle));
    const std::string host = Text(hostText.get());
    std::string local = Text(pathText.get());
    if (local.empty() || local.find('\0') != std::string::npos)
        return false;
    if (!host.empty() && _stricmp(host.c_str(), "localhost") != 0)
        local = "\\\\" + host + (local[0] == '\\' ? "" : "\\") + local;
    *path = Utf8ToWide(local.c_str());
    return !path->empty();
}

std::unique_ptr<Connection> StartDeviceService(am_device* device, const char* service) {
    std::string error;
    std::unique_ptr<Connection> connection = StartServiceConnection(device, service, &error);
    if (!connection)
        LogLine(L"Starting the device's service " + Utf8ToWide(service) + L" failed: " + Utf8ToWide(error.c_str()));
    return connection;
}

Owned<CFDictionaryRef> ReceiveAnswer(Connection& connection, const wchar_t* what) {
    std::string error;
    Owned<CFTypeRef> answer(ReceivePlist(connection, &error));
    if (!answer) {
        LogLine(std::wstring(what) + L": no answer from the device (" + Utf8ToWide(error.c_str()) + L")");
        return Owned<CFDictionaryRef>();
    }
    if (!IsDictionary(answer.get())) {
        LogLine(std::wstring(what) + L": the device's answer is not a dictionary");
        return Owned<CFDictionaryRef>();
    }
    return Owned<CFDictionaryRef>(static_cast<CFDictionaryRef>(answer.release()));
}

} // namespace backend

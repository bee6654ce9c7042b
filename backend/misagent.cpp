#include "backend/misagent.h"

#include "backend/lockdown.h"
#include "backend/services.h"
#include "backend/status.h"
#include "platform/file.h"

#include <string>

namespace backend {
namespace {

const char kService[] = "com.apple.misagent";
const wchar_t kName[] = L"misagent";

int InstallProfile(am_device* device, CFURLRef profileUrl) {
    if (!device || !profileUrl)
        return kInvalidArgumentError;
    std::wstring path;
    if (!LocalPathOfUrl(profileUrl, &path)) {
        LogLine(std::wstring(kName) + L": the profile's URL names no local file");
        return kInvalidArgumentError;
    }
    std::string bytes;
    // The device library names the refusal in its own log line.
    if (!ReadLocalFile(path, kMostProfileBytes, &bytes) || bytes.empty())
        return kNotFoundError;
    std::unique_ptr<Connection> connection = StartDeviceService(device, kService);
    if (!connection)
        return kNotConnectedError;
    Dictionary request;
    request.Set("MessageType", "Install").SetData("Profile", bytes).Set("ProfileType", "Provisioning");
    if (!SendPlist(*connection, request.get())) {
        LogLine(std::wstring(kName) + L": the profile could not be sent");
        return kWriteError;
    }
    Owned<CFDictionaryRef> answer = ReceiveAnswer(*connection, kName);
    if (!answer)
        return kReadError;
    int64_t status = -1;
    if (!IntegerOf(answer.get(), "Status", &status)) {
        LogLine(std::wstring(kName) + L": the device's answer has no status");
        return kInvalidResponseError;
    }
    if (status != 0) {
        LogLine(std::wstring(kName) + L": the device refused the profile (status " + std::to_wstring(status) + L")");
        // The device's own code when it is one of the device library's.
        const bool known = status >= 0xe8000000ll && status <= 0xe8ffffffll;
        return known ? static_cast<int>(static_cast<uint32_t>(status)) : static_cast<int>(kUndefinedError);
    }
    return kOk;
}

} // namespace

int __cdecl AMDeviceInstallProvisioningProfile(am_device* device, CFURLRef profileUrl) {
    return GuardedCall(kName, kUndefinedError, [&] { return InstallProfile(device, profileUrl); });
}

} // namespace backend

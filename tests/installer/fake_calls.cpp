#include "tests/installer/fake_calls.h"

#include "platform/text.h"

namespace fakecalls {

namespace {

State* g_state = new State; // never destroyed: callbacks may outlive a test
std::wstring g_serviceKey;

int Load() {
    std::lock_guard<std::mutex> hold(g_state->lock);
    ++g_state->loads;
    g_state->events.push_back("load");
    return g_state->loadResult ? 1 : 0;
}

void Unload() {
    std::lock_guard<std::mutex> hold(g_state->lock);
    ++g_state->unloads;
    g_state->events.push_back("unload");
}

bool SocketInit() {
    std::lock_guard<std::mutex> hold(g_state->lock);
    ++g_state->socketInits;
    g_state->events.push_back("sockets");
    return g_state->socketResult;
}

int Listen(DeviceEventCallback arrived, DeviceEventCallback removed) {
    std::lock_guard<std::mutex> hold(g_state->lock);
    ++g_state->listens;
    g_state->arrived = arrived;
    g_state->removed = removed;
    g_state->events.push_back("listen");
    return g_state->listenResult ? 1 : 0;
}

int Info(const wchar_t* identifier, __IOS_DEVICE* info) {
    void (*hook)(const wchar_t*) = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        ++g_state->infoReads;
        hook = g_state->onInfoRead;
    }
    if (hook)
        hook(identifier);
    std::lock_guard<std::mutex> hold(g_state->lock);
    auto found = g_state->devices.find(identifier);
    if (found == g_state->devices.end()) {
        *info = __IOS_DEVICE{};
        return 0;
    }
    CopyToField(info->UniqueDeviceID, identifier);
    if (!found->second.readable)
        return 0;
    CopyToField(info->ProductType, found->second.productType);
    info->IsJailbroken = found->second.jailbroken;
    return 1;
}

bool Internet() {
    std::lock_guard<std::mutex> hold(g_state->lock);
    return g_state->internet;
}

LSTATUS APIENTRY OpenKey(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        g_state->lastAccess = access;
        if (g_state->deniedAccess & access)
            return ERROR_ACCESS_DENIED;
    }
    return ::RegOpenKeyExW(root, subKey, options, access, result);
}

} // namespace

State& Get() { return *g_state; }

void Install(const std::wstring& serviceKey) {
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        g_state->devices.clear();
        g_state->loadResult = g_state->socketResult = g_state->listenResult = g_state->internet = true;
        g_state->loads = g_state->unloads = g_state->socketInits = g_state->listens = g_state->infoReads = 0;
        g_state->arrived = g_state->removed = nullptr;
        g_state->events.clear();
        g_state->onInfoRead = nullptr;
        g_state->deniedAccess = 0;
        g_state->lastAccess = 0;
    }
    g_serviceKey = serviceKey;
    InstallerCalls& calls = CurrentInstallerCalls();
    calls.loadDllFunctions = Load;
    calls.unloadDllFunctions = Unload;
    calls.socketInit = SocketInit;
    calls.startListening = Listen;
    calls.getDeviceInfo = Info;
    calls.internetConnected = Internet;
    calls.serviceRoot = HKEY_CURRENT_USER;
    calls.serviceKey = g_serviceKey.c_str();
    calls.regOpenKey = OpenKey;
}

void Uninstall() { ResetInstallerCalls(); }

void Event(const std::string& what) {
    std::lock_guard<std::mutex> hold(g_state->lock);
    g_state->events.push_back(what);
}

} // namespace fakecalls

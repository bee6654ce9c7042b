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

// Records the call and runs the test's hook outside the lock.
void FileCall(const std::string& event) {
    void (*hook)(const std::string&) = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        g_state->events.push_back(event);
        hook = g_state->onFileCall;
    }
    if (hook)
        hook(event);
}

int FileInfo(const wchar_t* identifier, const wchar_t* path, __IOS_FILE* file) {
    FileCall("info " + WideToUtf8(path));
    std::lock_guard<std::mutex> hold(g_state->lock);
    const auto& paths = g_state->files[identifier];
    if (!paths.count(path))
        return 0;
    *file = __IOS_FILE{};
    CopyToField(file->Path, path);
    return 1;
}

int MakeFolder(const wchar_t* identifier, const wchar_t* path) {
    FileCall("mkdir " + WideToUtf8(path));
    std::lock_guard<std::mutex> hold(g_state->lock);
    return g_state->files[identifier].insert(path).second ? 1 : 0;
}

int Delete(const wchar_t* identifier, const wchar_t* path, ProgressCallback) {
    FileCall("delete " + WideToUtf8(path));
    std::lock_guard<std::mutex> hold(g_state->lock);
    return g_state->files[identifier].erase(path) ? 1 : 0;
}

int Upload(const wchar_t* identifier, const wchar_t* localPath, const wchar_t* devicePath, ProgressCallback progress) {
    FileCall("upload " + WideToUtf8(identifier) + " " + WideToUtf8(localPath) + " " + WideToUtf8(devicePath));
    std::vector<unsigned> values;
    void (*after)() = nullptr;
    int result = 0;
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        values = g_state->uploadProgress;
        after = g_state->afterProgress;
        result = g_state->uploadResult;
    }
    const std::wstring text = std::wstring(L"上传文件 ") + localPath;
    for (unsigned value : values) {
        if (progress)
            progress(identifier, text.c_str(), value);
        if (after)
            after();
    }
    return result;
}

HINTERNET WINAPI OpenInternet(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    {
        std::lock_guard<std::mutex> hold(g_state->lock);
        g_state->events.push_back("internet open");
        if (g_state->internetOpenFails) {
            ::SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
            return nullptr;
        }
    }
    return ::InternetOpenW(agent, access, proxy, bypass, flags);
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

bool StorePackage() {
    std::lock_guard<std::mutex> hold(g_state->lock);
    return g_state->storePackage;
}

bool Multiplexer() {
    std::lock_guard<std::mutex> hold(g_state->lock);
    return g_state->multiplexer;
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
        g_state->files.clear();
        g_state->uploadProgress = {100};
        g_state->uploadResult = 1;
        g_state->onFileCall = nullptr;
        g_state->afterProgress = nullptr;
        g_state->internetOpenFails = false;
        g_state->storePackage = false;
        g_state->multiplexer = false;
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
    calls.internetOpen = OpenInternet;
    calls.getFileInfo = FileInfo;
    calls.createDirectory = MakeFolder;
    calls.deleteOnDevice = Delete;
    calls.upload = Upload;
    calls.storePackageInstalled = StorePackage;
    calls.multiplexerAnswers = Multiplexer;
}

void Uninstall() { ResetInstallerCalls(); }

void Event(const std::string& what) {
    std::lock_guard<std::mutex> hold(g_state->lock);
    g_state->events.push_back(what);
}

} // namespace fakecalls

namespace fakecalls {

std::vector<std::string> EventsStartingWith(const std::string& prefix) {
    std::lock_guard<std::mutex> hold(g_state->lock);
    std::vector<std::string> found;
    for (const auto& event : g_state->events) {
        if (event.compare(0, prefix.size(), prefix) == 0)
            found.push_back(event);
    }
    return found;
}

} // namespace fakecalls

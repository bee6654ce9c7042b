#include "platform/vendor_loader.h"

#include "backend/backend.h"
#include "platform/file.h"
#include "platform/handles.h"
#include "platform/loader_log.h"
#include "platform/log.h"
#include "platform/seams.h"
#include "platform/text.h"
#include "platform/vendor_calls.h"
#include "platform/vendor_folders.h"
#include "platform/vendor_search.h"
#include "values/lookup.h"

// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

namespace {

using vendor_folders::kDeviceLibraryNames;

constexpr DWORD kPathCapacity = 65535;
// How long the multiplexer has to answer before the built-in backend is
// given up, in all.
constexpr unsigned kMultiplexerWaitMilliseconds = 1000;

struct LoaderState {
    std::mutex lock; // serialises load and unload; never held while a message shows
    std::atomic<bool> bound{false};
    std::atomic<Backend> backend{Backend::None}; // what the slots are bound to
    HMODULE valueLibrary = nullptr;
    HMODULE deviceLibrary = nullptr;
    ULONG_PTR gdiplusToken = 0;
};

LoaderState& State() {
    static LoaderState state;
    return state;
}

vendor_search::Host LoaderHost() {
    vendor_search::Host host = vendor_search::SystemHost();
    host.shellFolder = seams::ShellFolder;
    return host;
}

vendor_search::Host& SearchHost() {
    static vendor_search::Host host = LoaderHost();
    return host;
}

void StartGdiplus(LoaderState& state) {
    // One start per token: a failed load keeps GDI+ running (the archive
    // reader needs no device library) and a retry does not start it again.
    if (state.gdiplusToken)
        return;
    Gdiplus::GdiplusStartupInput input; // version 1, no debug callback, nothing suppressed
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok)
        state.gdiplusToken = token;
}

std::wstring ReadPath() {
    std::wstring value(kPathCapacity, L'\0');
    DWORD n = ::GetEnvironmentVariableW(L"PATH", value.data(), kPathCapacity);
    if (n >= kPathCapacity) {
        // Longer than any value Windows keeps; read it whole rather than lose it.
        value.assign(n, L'\0');
        n = ::GetEnvironmentVariableW(L"PATH", value.data(), n);
        if (n >= value.size())
            n = 0;
    }
    value.resize(n);
    return value;
}

std::wstring SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n && text ? std::wstring(text, n) : L"Error " + std::to_wstring(error);
    if (text)
        ::LocalFree(text);
    return message;
}

bool LoadLibraryByName(const wchar_t* name, HMODULE* module, std::wstring* message) {
    if (*module)
        return true; // a library already loaded stays loaded
    HMODULE loaded = ::LoadLibraryW(name);
    if (!loaded) {
        *message = SystemErrorText(::GetLastError());
        return false;
    }
    *module = loaded;
    return true;
}

// Loads the device library under the first of its names that loads. When
// none does, the message is that of the first name, unless that one was
// simply not found and a later one failed for another reason.
bool LoadDeviceLibrary(HMODULE* module, std::wstring* message) {
    if (*module)
        return true;
    DWORD reported = 0;
    for (const wchar_t* name : kDeviceLibraryNames) {
        HMODULE loaded = ::LoadLibraryW(name);
        if (loaded) {
            *module = loaded;
            return true;
        }
        DWORD error = ::GetLastError();
        if (reported == 0 || (reported == ERROR_MOD_NOT_FOUND && error != ERROR_MOD_NOT_FOUND))
            reported = error;
    }
    *message = SystemErrorText(reported);
    return false;
}

std::wstring MissingEntryText(const vendor::BindingEntry& entry) {
    const wchar_t* format = entry.kind == vendor::Kind::Function || entry.kind == vendor::Kind::Repeat
                                ? L"函数%s未能加载"
                                : L"常量%s未能加载";
    std::wstring text = format;
    text.replace(text.find(L"%s"), 2, Utf8ToWide(entry.name));
    return text;
}

std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return path;
        path.resize(path.size() * 2);
    }
}

void LogUsed(const vendor_search::Candidate& candidate, const LoaderState& state) {
    WriteDailyLog(kVendorLibrariesLogPrefix + candidate.label + L"：" + ModulePath(state.deviceLibrary) + L"；" +
                  ModulePath(state.valueLibrary));
}

void LogPassedOver(const vendor_search::Candidate& candidate) {
    if (candidate.status == vendor_search::Status::WrongBitness)
        WriteDailyLog(L"厂商库位数不符，未加载（" + candidate.label + L"）：" + candidate.detail);
}

void ReleaseLibraries(LoaderState& state) {
    vendor::ClearSlots();
    if (state.deviceLibrary) {
        ::FreeLibrary(state.deviceLibrary);
        state.deviceLibrary = nullptr;
    }
    if (state.valueLibrary) {
        ::FreeLibrary(state.valueLibrary);
        state.valueLibrary = nullptr;
    }
}

// Binds the whole table from the loaded libraries; the first missing entry
// is named in `message`.
int BindLoaded(LoaderState& state, std::wstring* message) {
    const vendor::BindingEntry* missing = vendor::BindLibrary(vendor::Library::Cf, state.valueLibrary);
    if (!missing)
        missing = vendor::BindLibrary(vendor::Library::Amd, state.deviceLibrary);
    if (missing) {
        *message = MissingEntryText(*missing);
        return 0;
    }
    state.backend = Backend::Vendor;
    state.bound = true;
    return 1;
}

// No vendor library anywhere: the built-in backend, when the device
// multiplexer answers, with the value library linked in. Vendor and
// built-in entries never mix: the whole table comes from here. Never a
// message; a line in the daily log either way.
int BindBuiltIn(LoaderState& state) {
    std::wstring problem;
    if (!backend::MultiplexerAnswers(kMultiplexerWaitMilliseconds, &problem)) {
        WriteDailyLog(L"未找到厂商库，设备多路复用器无应答：" + problem);
        return 0;
    }
    const vendor::BindingEntry* missing = vendor::BindLibrary(vendor::Library::Cf, values::Address);
    if (!missing)
        missing = vendor::BindLibrary(vendor::Library::Amd, backend::DeviceAddress);
    if (missing) {
        vendor::ClearSlots();
        WriteDailyLog(L"内置后端未能绑定：" + MissingEntryText(*missing));
        return 0;
    }
    state.backend = Backend::BuiltIn;
    state.bound = true;
    WriteDailyLog(kBuiltInBackendLogPrefix + backend::MultiplexerAddress());
    return 1;
}

// The common files rule: both folders on the search path, the libraries by
// plain name. Returns 0 without a message when its folders are missing.
int LoadByCommonFilesRule(LoaderState& state, const std::wstring& common, std::wstring* message) {
    if (common.empty())
        return 0;
    std::wstring support = common + L"Apple\\Apple Application Support";
    std::wstring mobileDevice = common + L"Apple\\Mobile Device Support";
    std::wstring coreFP = common + L"Apple\\CoreFP";
    std::wstring explorer = common + L"..\\Internet Explorer";
    if (!IsLocalDirectory(support) || !IsLocalDirectory(mobileDevice))
        return 0;

    std::wstring path = L".\\;" + support + L";" + ReadPath() + L";" + mobileDevice + L";" + coreFP + L";" + explorer;
    ::SetEnvironmentVariableW(L"PATH", path.c_str());
    ::SetDllDirectoryW(support.c_str());

    if (!LoadLibraryByName(L"CoreFoundation.dll", &state.valueLibrary, message) ||
        !LoadDeviceLibrary(&state.deviceLibrary, message))
        return 0;
    return BindLoaded(state, message);
}

// A later candidate: both libraries by full path, each library's own
// dependencies from its folder. A library that does not load is freed
// again with what this attempt loaded, so the next candidate starts clean;
// `failure` gets the system's text.
bool LoadByPath(LoaderState& state, const vendor_search::Candidate& candidate, std::wstring* failure) {
    const DWORD flags = LOAD_WITH_ALTERED_SEARCH_PATH;
    UniqueModule value(::LoadLibraryExW(candidate.value.path.c_str(), nullptr, flags));
    if (!value) {
        *failure = SystemErrorText(::GetLastError());
        WriteDailyLog(L"厂商库加载失败（" + candidate.label + L"）：" + candidate.value.path + L"：" + *failure);
        return false;
    }
    UniqueModule device(::LoadLibraryExW(candidate.device.path.c_str(), nullptr, flags));
    if (!device) {
        *failure = SystemErrorText(::GetLastError());
        WriteDailyLog(L"厂商库加载失败（" + candidate.label + L"）：" + candidate.device.path + L"：" + *failure);
        return false;
    }
    state.valueLibrary = value.release();
    state.deviceLibrary = device.release();
    return true;
}

enum class Outcome { Bound, NotBound, NoneLoaded };

// The candidates after the common files rule, in order, until one loads;
// then its table is bound. A missing entry is named in `message`; the first
// library that failed to load is described in `failure`.
Outcome LoadLaterCandidate(LoaderState& state, const std::vector<vendor_search::Candidate>& candidates,
                           std::wstring* message, std::wstring* failure) {
    for (size_t i = 1; i < candidates.size(); ++i) {
        const vendor_search::Candidate& candidate = candidates[i];
        LogPassedOver(candidate);
        if (candidate.status != vendor_search::Status::Usable)
            continue;
        std::wstring why;
        if (!LoadByPath(state, candidate, &why)) {
            if (failure->empty())
                *failure = why;
            continue;
        }
        if (!BindLoaded(state, message)) {
            // Freed again, with the slots: the next call starts clean and
            // names the missing entry once more.
            ReleaseLibraries(state);
            return Outcome::NotBound;
        }
        LogUsed(candidate, state);
        return Outcome::Bound;
    }
    return Outcome::NoneLoaded;
}

// The load itself, under the loader's lock. A message to show is returned
// in `message`.
int LoadLocked(LoaderState& state, std::wstring* message) {
    if (state.bound)
        return 1;
    StartGdiplus(state);

    const std::vector<vendor_search::Candidate> candidates = vendor_search::Search(SearchHost());
    const vendor_search::Candidate& rule = candidates.front();
    if (rule.status == vendor_search::Status::Usable) {
        int result = LoadByCommonFilesRule(state, rule.commonFiles, message);
        if (result)
            LogUsed(rule, state);
        return result;
    }
    LogPassedOver(rule);

    // A library held from an earlier failed attempt stays loaded for the
    // common files rule; a candidate loaded by path starts without one.
    std::wstring failure;
    if (!state.valueLibrary && !state.deviceLibrary) {
        const Outcome outcome = LoadLaterCandidate(state, candidates, message, &failure);
        if (outcome != Outcome::NoneLoaded)
            return outcome == Outcome::Bound ? 1 : 0;
    }

    // Nothing else loaded: the common files rule as it always was, where its
    // folders are (it names a library that fails to load); else the first
    // failure of a later candidate.
    int result = LoadByCommonFilesRule(state, rule.commonFiles, message);
    if (result) {
        LogUsed(rule, state);
        return result;
    }
    if (message->empty())
        *message = failure;
    if (!message->empty() || state.valueLibrary || state.deviceLibrary)
        return 0;
    // No vendor library found at all, and nothing to show.
    return BindBuiltIn(state);
}

} // namespace

int LoadVendorLibraries() {
    LoaderState& state = State();
    std::wstring message;
    int result;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        result = LoadLocked(state, &message);
    }
    if (!message.empty())
        seams::ShowMessage(nullptr, message.c_str(), nullptr, MB_OK);
    return result;
}

void UnloadVendorLibraries() {
    LoaderState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.bound = false;
    // The backend's threads may still be in a callback that calls through
    // the slots: they end before the slots are emptied.
    if (state.backend.exchange(Backend::None) == Backend::BuiltIn)
        backend::Shutdown();
    ReleaseLibraries(state);
    if (state.gdiplusToken) {
        Gdiplus::GdiplusShutdown(state.gdiplusToken);
        state.gdiplusToken = 0;
    }
}

bool VendorLibrariesBound() { return State().bound; }

Backend BoundBackend() { return State().backend; }

vendor_search::Host& VendorSearchHost() { return SearchHost(); }

void ResetVendorSearchHost() { SearchHost() = LoaderHost(); }

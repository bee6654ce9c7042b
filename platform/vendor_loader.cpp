#include "platform/vendor_loader.h"

#include "platform/file.h"
#include "platform/seams.h"
#include "platform/text.h"
#include "platform/vendor_calls.h"
#include "platform/vendor_folders.h"

// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <string>

namespace {

using vendor_folders::kCommonFolders;
using vendor_folders::kDeviceLibraryNames;

constexpr DWORD kPathCapacity = 65535;

struct LoaderState {
    std::mutex lock; // serialises load and unload; never held while a message shows
    std::atomic<bool> bound{false};
    HMODULE valueLibrary = nullptr;
    HMODULE deviceLibrary = nullptr;
    ULONG_PTR gdiplusToken = 0;
};

LoaderState& State() {
    static LoaderState state;
    return state;
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

std::wstring CommonFilesFolder() {
    std::wstring folder;
    for (int csidl : kCommonFolders) {
        folder = seams::ShellFolder(csidl);
        if (!folder.empty())
            break;
    }
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
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

// The load itself, under the loader's lock. A message to show is returned
// in `message`.
int LoadLocked(LoaderState& state, std::wstring* message) {
    if (state.bound)
        return 1;
    StartGdiplus(state);

    std::wstring common = CommonFilesFolder();
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

    const vendor::BindingEntry* missing = vendor::BindLibrary(vendor::Library::Cf, state.valueLibrary);
    if (!missing)
        missing = vendor::BindLibrary(vendor::Library::Amd, state.deviceLibrary);
    if (missing) {
        *message = MissingEntryText(*missing);
        return 0;
    }
    state.bound = true;
    return 1;
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
    vendor::ClearSlots();
    if (state.deviceLibrary) {
        ::FreeLibrary(state.deviceLibrary);
        state.deviceLibrary = nullptr;
    }
    if (state.valueLibrary) {
        ::FreeLibrary(state.valueLibrary);
        state.valueLibrary = nullptr;
    }
    if (state.gdiplusToken) {
        Gdiplus::GdiplusShutdown(state.gdiplusToken);
        state.gdiplusToken = 0;
    }
}

bool VendorLibrariesBound() { return State().bound; }

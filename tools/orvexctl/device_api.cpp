#include "tools/orvexctl/device_api.h"

#include <windows.h>

#include <cstring>

namespace orvexctl {

namespace {

// One export: its decorated name (as OrvexDevice.def gives it) and the slot
// that receives its address.
struct Binding {
    const char* name;
    size_t offset;
};

#define ORVEXCTL_BIND(name, x86, x64) {ORVEX_DECORATED(x86, x64), offsetof(DeviceApi, name)},
const Binding kBindings[] = {ORVEX_DEVICE_EXPORTS(ORVEXCTL_BIND)};
#undef ORVEXCTL_BIND
static_assert(sizeof(kBindings) / sizeof(kBindings[0]) == 23, "the library has 23 exports");
static_assert(sizeof(DeviceApi) == 23 * sizeof(void*), "one slot per export");

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

std::wstring SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    if (text)
        ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
        message.pop_back();
    return message;
}

} // namespace

bool DeviceLibrary::Load(const std::wstring& path, std::wstring* error) {
    UniqueModule module(::LoadLibraryW(path.c_str()));
    if (!module) {
        *error = L"cannot load " + path + L": " + SystemMessage(::GetLastError());
        return false;
    }
    DeviceApi api;
    for (const Binding& binding : kBindings) {
        FARPROC address = ::GetProcAddress(module.get(), binding.name);
        if (!address) {
            *error = path + L" has no export " + Widen(binding.name);
            return false;
        }
        void* slot = reinterpret_cast<char*>(&api) + binding.offset;
        std::memcpy(slot, &address, sizeof(address));
    }
    m_api = api;
    m_module = std::move(module);
    return true;
}

std::wstring DefaultLibraryPath() {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring self = (n == 0 || n >= std::size(path)) ? std::wstring() : std::wstring(path, n);
    size_t slash = self.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L"OrvexDevice.dll"; // the system's search order
    return self.substr(0, slash + 1) + L"OrvexDevice.dll";
}

} // namespace orvexctl

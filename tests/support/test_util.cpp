#include "tests/support/test_util.h"

#include "platform/file.h"
#include "platform/handles.h"
#include "platform/vendor_folders.h"

#include <shlobj.h>

#include <atomic>

namespace testutil {

std::wstring VendorCommonFiles() {
    for (int csidl : vendor_folders::kCommonFolders) {
        wchar_t path[MAX_PATH] = {};
        if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) && path[0])
            return path;
    }
    return std::wstring();
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path, n);
    return full.substr(0, full.find_last_of(L'\\'));
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    for (;;) {
        m_path = std::wstring(temp) + L"orvex-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(counter++);
        if (::CreateDirectoryW(m_path.c_str(), nullptr))
            break;
    }
}

TempDir::~TempDir() { RemoveLocalTree(m_path); }

std::string UnixPath(const std::wstring& path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = fn ? fn(path.c_str()) : nullptr;
    if (!unix)
        return std::string();
    std::string result(unix);
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return result;
}

bool StartLinuxProgram(const std::string& program, const std::wstring& arguments, std::wstring* error) {
    wchar_t system[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        *error = L"no system folder";
        return false;
    }
    const std::wstring starter = std::wstring(system) + L"\\start.exe";
    std::wstring command = L"start.exe /unix " + std::wstring(program.begin(), program.end()) + L" " + arguments;
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(starter.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info)) {
        *error = L"start.exe did not start: " + std::to_wstring(::GetLastError());
        return false;
    }
    UniqueHandle process(info.hProcess), thread(info.hThread);
    // start.exe ends as soon as the program has been handed to Linux.
    if (::WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
        *error = L"start.exe did not end";
        return false;
    }
    DWORD code = 1;
    if (!::GetExitCodeProcess(process.get(), &code) || code != 0) {
        *error = L"start.exe could not start " + std::wstring(program.begin(), program.end()) + L": " +
                 std::to_wstring(code);
        return false;
    }
    return true;
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes->append(buffer, got);
    return true;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::vector<std::wstring> ListFolder(const std::wstring& path) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (!find)
        return names;
    do {
        std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (::FindNextFileW(find.get(), &entry));
    return names;
}

} // namespace testutil

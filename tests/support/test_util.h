// Helpers shared by the test programs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// Folder of the running test program (build/bin), without a trailing "\".
std::wstring ProgramFolder();

// The common files folder that holds the vendor's installation for programs
// of this edition (the (x86) one for 32-bit programs where it exists, the
// 64-bit one for 64-bit programs), without a trailing "\"; empty if none.
std::wstring VendorCommonFiles();

// A fresh, empty folder under the temporary folder, removed with everything
// inside it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

  private:
    std::wstring m_path;
};

bool ReadFileBytes(const std::wstring& path, std::string* bytes);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::wstring> ListFolder(const std::wstring& path); // names, "." and ".." left out

// The Linux path of a path in the prefix; empty when Wine cannot tell it.
std::string UnixPath(const std::wstring& path);

// Starts a Linux program (`program`, a Linux path) with `arguments`; it runs
// outside the prefix, and nothing can wait for it. Never started with
// CreateProcess directly: for a Linux program Wine reports success with
// handles it never opened (stale values from the caller's stack, often a
// live handle of the same thread), resumes one of them and leaves both to be
// closed, which closes some other part of the process's handles. Wine's
// start.exe takes that in a process of its own. False, with `error` set,
// when the program did not start.
bool StartLinuxProgram(const std::string& program, const std::wstring& arguments, std::wstring* error);

} // namespace testutil

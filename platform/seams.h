// Seams: the few places where the program asks the platform for something a
// test cannot drive (a modal message box, the shell opening a web address,
// the current time, the documents and temporary folders). Production code
// calls the functions below; each forwards to a replaceable hook that
// defaults to the real Win32 call. Tests install their own hooks.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace seams {

// MessageBoxW: owner, text, caption (null for none), MB_* flags; returns IDOK etc.
using MessageBoxHook = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
// The shell's "open" verb on a document or web address.
using ShellOpenHook = void (*)(const wchar_t* target);
// Seconds since 1970-01-01 UTC.
using NowHook = int64_t (*)();
// A folder path without a trailing "\"; empty when unavailable.
using FolderHook = std::wstring (*)();
// The path of a shell special folder (CSIDL number); empty when unavailable.
using ShellFolderHook = std::wstring (*)(int csidl);

struct Hooks {
    MessageBoxHook messageBox;
    ShellOpenHook shellOpen;
    NowHook now;
    FolderHook documentsFolder;
    FolderHook tempFolder;
    ShellFolderHook shellFolder;
};

// The hooks in force. Replace fields to redirect; Reset() restores the
// production bindings.
Hooks& Current();
void Reset();

int ShowMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
void ShellOpen(const wchar_t* target);
int64_t Now();
// The user's documents folder (shell special folder 5).
std::wstring DocumentsFolder();
// The system temporary folder, with a trailing "\" as GetTempPath gives it.
std::wstring TempFolder();
// A shell special folder by CSIDL number (SHGetFolderPath), empty when the
// system has none.
std::wstring ShellFolder(int csidl);

} // namespace seams

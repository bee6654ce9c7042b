// How the loader's line in the daily log names the side it bound: the
// vendor's libraries (with the candidate and paths after the prefix) or the
// built-in backend (with the multiplexer's address). orvexctl reads them
// back to say which backend a command ran on.
#pragma once

constexpr wchar_t kVendorLibrariesLogPrefix[] = L"厂商库来自";
constexpr wchar_t kBuiltInBackendLogPrefix[] = L"未找到厂商库，使用内置后端，设备多路复用器：";

// The built-in backend's own lines: the step of the device protocols that
// failed, beside the library's line for the export (the vendor's libraries
// write no such lines).
constexpr wchar_t kBackendDetailLogPrefix[] = L"Built-in backend: ";

// How the loader's line in the daily log names the side it bound: the
// vendor's libraries (with the candidate and paths after the prefix) or the
// built-in backend (with the multiplexer's address). orvexctl reads them
// back to say which backend a command ran on.
#pragma once

constexpr wchar_t kVendorLibrariesLogPrefix[] = L"厂商库来自";
constexpr wchar_t kBuiltInBackendLogPrefix[] = L"未找到厂商库，使用内置后端，设备多路复用器：";

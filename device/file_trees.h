// The recursive file operations behind the file exports. Each works on the
// connection its export opened, reports through `progress` (may be null)
// with the identifier the caller passed, stops at the first failure without
// undoing anything, and returns 1 or 0. Internal to the library.
#pragma once

#include "device/OrvexDevice.h"
#include "platform/vendor_abi.h"

#include <cstdint>
#include <string>

// The progress value after `moved` bytes of a file of `size` bytes: the
// share in percent, in 64-bit arithmetic, truncated; never above 100 (a file
// that grew since its size was taken), and 100 for a size of 0 or less.
unsigned int ChunkPercent(uint64_t moved, int64_t size);

// Removes a device entry and everything below it, post-order, one
// "删除 %s" progress call (value 0) per removed entry.
int DeleteTree(const wchar_t* identifier, afc_connection* connection, const std::wstring& path,
               ProgressCallback progress);

// Copies a local file, or a local folder with everything below it, into a
// device folder.
int UploadTree(const wchar_t* identifier, afc_connection* connection, const std::wstring& localPath,
               const std::wstring& deviceFolder, ProgressCallback progress);
int UploadOneFile(const wchar_t* identifier, afc_connection* connection, const std::wstring& localPath,
                  const std::wstring& deviceFolder, ProgressCallback progress);

// Copies a device file, or a device folder with everything below it, into a
// local folder.
int DownloadTree(const wchar_t* identifier, afc_connection* connection, const std::wstring& devicePath,
                 const std::wstring& localFolder, ProgressCallback progress);
int DownloadOneFile(const wchar_t* identifier, afc_connection* connection, const std::wstring& devicePath,
                    const std::wstring& localFolder, ProgressCallback progress);

// The error raised inside the archive reader: by the extraction layer when a
// target file can't be created or written, and by the PNG normaliser when a
// file can't be read or zlib fails. GetAppInfoFromIPA catches it and logs its
// description.
#pragma once

#include <windows.h>

#include <string>

class CIpaException {
  public:
    explicit CIpaException(std::wstring description) : m_strDescription(std::move(description)) {}

    const std::wstring& Description() const { return m_strDescription; }

  private:
    std::wstring m_strDescription;
};

// "<what>: <path> (<system text of error>)" for a failed file-system step.
CIpaException FileError(const wchar_t* what, const std::wstring& path, DWORD error);

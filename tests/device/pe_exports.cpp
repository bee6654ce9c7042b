#include "tests/device/pe_exports.h"

#include "tests/support/test_util.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace testutil {
namespace {

class Image {
  public:
    explicit Image(const std::string& bytes) : m_bytes(bytes.begin(), bytes.end()) {}

    template <typename T> bool Read(size_t offset, T* out) const {
        if (offset > m_bytes.size() || m_bytes.size() - offset < sizeof(T))
            return false;
        std::memcpy(out, m_bytes.data() + offset, sizeof(T));
        return true;
    }
    bool ReadText(size_t offset, std::string* out) const {
        if (offset >= m_bytes.size())
            return false;
        auto end = std::find(m_bytes.begin() + offset, m_bytes.end(), '\0');
        if (end == m_bytes.end())
            return false;
        out->assign(m_bytes.begin() + offset, end);
        return true;
    }

  private:
    std::vector<char> m_bytes;
};

} // namespace

bool ReadExportNames(const std::wstring& path, std::vector<std::string>* names) {
    std::string bytes;
    if (!ReadFileBytes(path, &bytes))
        return false;
    Image image(bytes);
    // PE32 and PE32+ share everything up to the optional header, whose
    // layout (and so the place of the data directories) the magic tells.
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS32 nt;
    if (!image.Read(0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !image.Read(dos.e_lfanew, &nt) ||
        nt.Signature != IMAGE_NT_SIGNATURE)
        return false;
    IMAGE_DATA_DIRECTORY dir;
    if (nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else if (nt.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_NT_HEADERS64 nt64;
        if (!image.Read(dos.e_lfanew, &nt64))
            return false;
        dir = nt64.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else {
        return false;
    }
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    size_t sectionTable =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    for (size_t i = 0; i < sections.size(); ++i)
        if (!image.Read(sectionTable + i * sizeof(IMAGE_SECTION_HEADER), &sections[i]))
            return false;
    auto fileOffset = [&](DWORD rva, size_t* offset) {
        for (const IMAGE_SECTION_HEADER& s : sections) {
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.SizeOfRawData) {
                *offset = s.PointerToRawData + (rva - s.VirtualAddress);
                return true;
            }
        }
        return false;
    };
    names->clear();
    if (dir.VirtualAddress == 0)
        return true; // no export table
    size_t at;
    IMAGE_EXPORT_DIRECTORY exports;
    if (!fileOffset(dir.VirtualAddress, &at) || !image.Read(at, &exports) || !fileOffset(exports.AddressOfNames, &at))
        return false;
    for (DWORD i = 0; i < exports.NumberOfNames; ++i) {
        DWORD nameRva;
        size_t nameAt;
        std::string name;
        if (!image.Read(at + i * sizeof(DWORD), &nameRva) || !fileOffset(nameRva, &nameAt) ||
            !image.ReadText(nameAt, &name))
            return false;
        names->push_back(name);
    }
    return true;
}

} // namespace testutil

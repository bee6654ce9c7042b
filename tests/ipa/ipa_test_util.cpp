#include "tests/ipa/ipa_test_util.h"

#include "platform/seams.h"
#include "platform/text.h"
#include "platform/vendor_calls.h"

#include <windows.h>

#include <algorithm>

namespace ipatest {

std::wstring DataPath(const std::wstring& name) { return testutil::ProgramFolder() + L"\\..\\testdata\\ipa\\" + name; }

std::wstring PngResultsFolder() { return testutil::ProgramFolder() + L"\\..\\testdata\\ipa-png-results"; }

std::wstring AppResultsFolder() { return testutil::ProgramFolder() + L"\\..\\testdata\\ipa-app-results"; }

namespace {

HMODULE g_valueLibrary = nullptr;

void Walk(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* out) {
    for (const std::wstring& name : testutil::ListFolder(relative.empty() ? root : root + L"\\" + relative)) {
        std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        DWORD attributes = ::GetFileAttributesW((root + L"\\" + path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            out->push_back(path + L"\\");
            Walk(root, path, out);
        } else {
            out->push_back(path);
        }
    }
}

std::wstring g_documents;

} // namespace

bool BindValueLibrary() {
    if (!g_valueLibrary)
        g_valueLibrary = ::LoadLibraryW((testutil::ProgramFolder() + L"\\CoreFoundation.dll").c_str());
    return g_valueLibrary && vendor::BindLibrary(vendor::Library::Cf, g_valueLibrary) == nullptr;
}

void UnbindValueLibrary() {
    vendor::ClearSlots();
    if (g_valueLibrary)
        ::FreeLibrary(g_valueLibrary);
    g_valueLibrary = nullptr;
}

std::vector<std::wstring> ListTree(const std::wstring& root) {
    std::vector<std::wstring> out;
    Walk(root, L"", &out);
    std::sort(out.begin(), out.end());
    return out;
}

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    testutil::ReadFileBytes(path, &bytes);
    return bytes;
}

CapturedLog::CapturedLog() : m_previous(seams::Current().documentsFolder) {
    g_documents = m_dir.path();
    seams::Current().documentsFolder = [] { return g_documents; };
}

CapturedLog::~CapturedLog() { seams::Current().documentsFolder = m_previous; }

std::vector<std::wstring> CapturedLog::Lines() const {
    std::vector<std::wstring> lines;
    std::wstring logs = m_dir.path() + L"\\Tevrin\\Logs";
    for (const std::wstring& file : testutil::ListFolder(logs)) {
        std::string text = ReadAll(logs + L"\\" + file);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            // "YYYY-MM-DD HH:MM:SS: " is 21 bytes.
            lines.push_back(Utf8ToWide(line.size() > 21 ? line.substr(21).c_str() : ""));
            start = end + 2;
        }
    }
    return lines;
}

} // namespace ipatest

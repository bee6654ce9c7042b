// GetAppInfoFromIPA: the metadata record and cached icon of an application
// archive. The few files it needs are extracted into a private work folder
// under the temporary folder, which is removed before the call returns.
#include "ipa/app_info.h"

#include "ipa/ipa_exception.h"
#include "ipa/png_fixer.h"
#include "ipa/zip_extractor.h"
#include "platform/cf_text.h"
#include "platform/file.h"
#include "platform/handles.h"
#include "platform/log.h"
#include "platform/seams.h"
#include "platform/text.h"
#include "platform/vendor_calls.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr wchar_t kArchiveOpenFailed[] = L"IPA文件打开失败。";
constexpr wchar_t kNoMetadata[] = L"没有iTunesMetadata.plist或者解压不成功";
constexpr wchar_t kMetadataMissing[] = L"iTunesMetadata.plist文件不存在!";
constexpr wchar_t kMetadataUnreadable[] = L"iTunesMetadata.plist文件加载失败!";
constexpr wchar_t kNoInfo[] = L"没有Info.plist或者解压不成功";
constexpr wchar_t kPayloadMissing[] = L"%s 目录未解压成功!";
constexpr wchar_t kAppMissing[] = L"app 目录未解压成功!";
constexpr wchar_t kInfoMissing[] = L"Info.plist文件不存在!";
constexpr wchar_t kInfoUnreadable[] = L"Info.plist文件加载失败!";
constexpr wchar_t kError[] = L"解压ipa时出现异常: %s";
constexpr wchar_t kErrorWithoutText[] = L"解压ipa时出现异常。";
constexpr wchar_t kNotBound[] = L"解压ipa时出现异常: CoreFoundation.dll未加载，请先调用LoadDllFunctions";

// The reader needs only the value library: these are all its calls.
bool ValueLibraryBound() {
    return vendor::CFGetTypeID.address() && vendor::CFStringGetTypeID.address() &&
           vendor::CFDictionaryGetTypeID.address() && vendor::CFArrayGetTypeID.address() &&
           vendor::CFNumberGetTypeID.address() && vendor::CFDictionaryGetValue.address() &&
           vendor::CFArrayGetCount.address() && vendor::CFArrayGetValueAtIndex.address() &&
           vendor::CFNumberGetValue.address() && vendor::CFDataCreate.address() &&
           vendor::CFPropertyListCreateWithData.address() && vendor::CFUUIDCreate.address() &&
           vendor::CFUUIDCreateString.address() && vendor::CFStringGetLength.address() &&
           vendor::CFStringGetBytes.address() && vendor::__CFStringMakeConstantString.address() &&
           vendor::CFRelease.address();
}

constexpr size_t kMaxSubgenres = 20;

std::wstring Format(const wchar_t* format, const std::wstring& value) {
    std::wstring text = format;
    size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, value);
    return text;
}

bool EnsureFolder(const std::wstring& path) {
    return IsLocalDirectory(path) || ::CreateDirectoryW(path.c_str(), nullptr) || IsLocalDirectory(path);
}

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

// ---- property-list values ---------------------------------------------------

bool IsOfType(CFTypeRef value, CFTypeID type) { return value && vendor::CFGetTypeID(value) == type; }

CFTypeRef ValueOf(CFDictionaryRef dictionary, const char* key) {
    return vendor::CFDictionaryGetValue(dictionary, CFConstant(key));
}

// The text under `key`; false when it is missing or not a string.
bool TextValue(CFDictionaryRef dictionary, const char* key, std::wstring* text) {
    CFTypeRef value = ValueOf(dictionary, key);
    if (!IsOfType(value, vendor::CFStringGetTypeID()))
        return false;
    *text = CFStringToWide(static_cast<CFStringRef>(value));
    return true;
}

bool Int32Value(CFDictionaryRef dictionary, const char* key, int32_t* number) {
    CFTypeRef value = ValueOf(dictionary, key);
    if (!IsOfType(value, vendor::CFNumberGetTypeID()))
        return false;
    int32_t read = 0;
    vendor::CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &read);
    *number = read;
    return true;
}

template <size_t N> void SetText(wchar_t (&field)[N], CFDictionaryRef dictionary, const char* key) {
    std::wstring text;
    if (TextValue(dictionary, key, &text))
        CopyToField(field, text);
}

void SetInt32(int32_t* field, CFDictionaryRef dictionary, const char* key) { Int32Value(dictionary, key, field); }

// Reads a property-list file whole and parses it; null when the file holds
// no dictionary. A file that can't be read raises an error.
CFRef<CFDictionaryRef> LoadDictionary(const std::wstring& path) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw FileError(L"打开文件失败", path, ::GetLastError());
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > static_cast<LONGLONG>(kMaxEntryBytes))
        throw FileError(L"读取文件失败", path, ::GetLastError());
    std::vector<uint8_t> bytes(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()))
        throw FileError(L"读取文件失败", path, ::GetLastError());
    CFRef<CFDataRef> data(vendor::CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size())));
    if (!data)
        return CFRef<CFDictionaryRef>();
    CFRef<CFPropertyListRef> list(
        vendor::CFPropertyListCreateWithData(nullptr, data.get(), kCFPropertyListImmutable, nullptr, nullptr));
    if (!IsOfType(list.get(), vendor::CFDictionaryGetTypeID()))
        return CFRef<CFDictionaryRef>();
    return CFRef<CFDictionaryRef>(static_cast<CFDictionaryRef>(list.release()));
}

// ---- the two tables -----------------------------------------------------------

void ApplySubgenres(__IOS_APP* app, CFDictionaryRef metadata) {
    CFTypeRef value = ValueOf(metadata, "subgenres");
    if (!IsOfType(value, vendor::CFArrayGetTypeID()))
        return;
    CFArrayRef list = static_cast<CFArrayRef>(value);
    CFIndex count = vendor::CFArrayGetCount(list);
    if (count <= 0)
        return;
    std::wstring names;
    for (CFIndex i = 0; i < count && static_cast<size_t>(i) < kMaxSubgenres; ++i) {
        CFTypeRef entry = vendor::CFArrayGetValueAtIndex(list, i);
        std::wstring genre;
        if (IsOfType(entry, vendor::CFDictionaryGetTypeID())) {
            CFDictionaryRef subgenre = static_cast<CFDictionaryRef>(entry);
            SetInt32(&app->SubgenreIds[i], subgenre, "genreId");
            TextValue(subgenre, "genre", &genre);
        }
        names += genre + L",";
    }
    names.pop_back();
    CopyToField(app->Subgenres, names);
}

void ApplyMetadata(__IOS_APP* app, CFDictionaryRef metadata) {
    SetText(app->ArtistName, metadata, "artistName");
    SetInt32(&app->ArtistId, metadata, "artistId");
    // Store identifiers have outgrown 32 bits: the text field takes all 64.
    CFTypeRef itemId = ValueOf(metadata, "itemId");
    if (IsOfType(itemId, vendor::CFNumberGetTypeID())) {
        long long id = 0;
        vendor::CFNumberGetValue(static_cast<CFNumberRef>(itemId), kCFNumberLongLongType, &id);
        CopyToField(app->StoreId, std::to_wstring(id));
    }
    SetText(app->Name, metadata, "itemName");
    SetText(app->Identifier, metadata, "softwareVersionBundleId");
    SetText(app->Version, metadata, "bundleVersion");
    SetText(app->Kind, metadata, "kind");
    SetText(app->Genre, metadata, "genre");
    SetInt32(&app->GenreId, metadata, "genreId");
    ApplySubgenres(app, metadata);
    SetInt32(&app->ExternalVersionId, metadata, "softwareVersionExternalIdentifier");
    SetText(app->ReleaseDate, metadata, "releaseDate");
}

// Applies the application property list; returns the icon name it names
// (empty when it names none).
std::wstring ApplyInfo(__IOS_APP* app, CFDictionaryRef info) {
    std::wstring text;
    if (TextValue(info, "CFBundleDisplayName", &text) || TextValue(info, "CFBundleName", &text))
        CopyToField(app->Name, text);
    SetText(app->Version, info, "CFBundleVersion");
    SetText(app->Identifier, info, "CFBundleIdentifier");

    std::wstring icon;
    if (TextValue(info, "CFBundleIconFile", &icon))
        return icon;
    CFTypeRef files = ValueOf(info, "CFBundleIconFiles");
    if (IsOfType(files, vendor::CFArrayGetTypeID()) && vendor::CFArrayGetCount(static_cast<CFArrayRef>(files)) > 0) {
        CFTypeRef first = vendor::CFArrayGetValueAtIndex(static_cast<CFArrayRef>(files), 0);
        if (IsOfType(first, vendor::CFStringGetTypeID()))
            return CFStringToWide(static_cast<CFStringRef>(first));
    }
    return std::wstring();
}

// ---- folders --------------------------------------------------------------------

std::wstring NewWorkFolder() {
    std::wstring folder = seams::TempFolder();
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    CFRef<CFUUIDRef> uuid(vendor::CFUUIDCreate(nullptr));
    CFRef<CFStringRef> text(uuid ? vendor::CFUUIDCreateString(nullptr, uuid.get()) : nullptr);
    std::wstring name = CFStringToWide(text.get());
    if (name.empty())
        throw CIpaException(L"无法生成临时目录名");
    folder += name;
    // A new name is almost always free: one call makes the folder. A file
    // in its way is deleted first.
    if (::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() != ERROR_ALREADY_EXISTS)
        return folder;
    if (IsLocalFile(folder)) {
        ::DeleteFileW(folder.c_str());
        ::CreateDirectoryW(folder.c_str(), nullptr);
    }
    return folder;
}

// A file name made from untrusted text: characters Windows refuses in
// names become "_", and a name Windows would take for a device or strip
// gets a "_" in front.
std::wstring SafeFileName(std::wstring name) {
    for (wchar_t& c : name) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c))
            c = L'_';
    }
    return IsSafeEntryName(name) ? name : L"_" + name;
}

// The first folder entry of "<work>\Payload" whose name ends in ".app".
std::wstring FindAppFolder(const std::wstring& payload) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((payload + L"\\*.app").c_str(), &entry));
    if (!find)
        return std::wstring();
    do {
        std::wstring name = entry.cFileName;
        // The pattern also matches short names such as FOO~1.APP of longer ones.
        if (name.size() > 4 && EqualsIgnoringAsciiCase(name.substr(name.size() - 4), L".app"))
            return payload + L"\\" + name;
    } while (::FindNextFileW(find.get(), &entry));
    return std::wstring();
}

// The file `name` in `folder`, its letter case (A-Z) ignored; empty when
// there is none.
std::wstring FindFileIgnoringCase(const std::wstring& folder, const std::wstring& name) {
    if (IsLocalFile(folder + L"\\" + name))
        return folder + L"\\" + name;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find)
        return std::wstring();
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EqualsIgnoringAsciiCase(entry.cFileName, name))
            return folder + L"\\" + entry.cFileName;
    } while (::FindNextFileW(find.get(), &entry));
    return std::wstring();
}

// The archive's delegate, which also notes every entry it extracts.
class NotingDelegate : public SingleFileZipDelegate {
  public:
    int OnEntryExtracted(const wchar_t* name) override {
        if (name)
            m_extracted.push_back(name);
        return SingleFileZipDelegate::OnEntryExtracted(name);
    }
    const std::vector<std::wstring>& Extracted() const { return m_extracted; }

  private:
    std::vector<std::wstring> m_extracted;
};

// Removes the work folder. What the passes extracted, and the folders that
// hold it, are removed by name, deepest first: listing a folder costs the
// file server three round trips under Wine. Anything else left there goes
// with the whole tree.
void RemoveWorkFolder(const std::wstring& work, const std::vector<std::wstring>& extracted) {
    std::vector<std::wstring> folders;
    for (const std::wstring& name : extracted) {
        const bool isFolder = !name.empty() && name.back() == L'\\';
        if (!isFolder)
            ::DeleteFileW((work + L"\\" + name).c_str());
        for (size_t at = name.find(L'\\'); at != std::wstring::npos; at = name.find(L'\\', at + 1))
            folders.push_back(name.substr(0, at));
    }
    // A folder's path is longer than its parent's.
    std::sort(folders.begin(), folders.end(), [](const std::wstring& a, const std::wstring& b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    for (const std::wstring& folder : folders)
        ::RemoveDirectoryW((work + L"\\" + folder).c_str());
    if (!::RemoveDirectoryW(work.c_str()))
        RemoveLocalTree(work);
}

// ---- the reader -------------------------------------------------------------------

class AppInfoReader {
  public:
    AppInfoReader(const wchar_t* ipaPath, __IOS_APP* app) : m_ipaPath(ipaPath), m_app(app) {
        m_zip.SetDelegate(&m_delegate);
    }
    ~AppInfoReader() {
        m_zip.CloseArchive();
        m_info.reset();
        if (!m_work.empty())
            RemoveWorkFolder(m_work, m_delegate.Extracted());
    }
    AppInfoReader(const AppInfoReader&) = delete;
    AppInfoReader& operator=(const AppInfoReader&) = delete;

    int Read() {
        m_work = NewWorkFolder();
        if (!ReadMetadata() || !ReadApplication())
            return 0;
        ReadIcon();
        return 1;
    }

  private:
    // Opens the archive anew and extracts every entry named `target`; -1
    // when the archive can't be opened, else the extraction's result.
    int ExtractPass(const wchar_t* target) {
        m_zip.CloseArchive();
        m_delegate.SetTargetName(target);
        if (!m_zip.OpenArchive(m_ipaPath))
            return -1;
        return m_zip.ExtractAllTo(m_work.c_str());
    }

    // False only when the archive can't be opened; metadata problems are
    // logged and the call goes on.
    bool ReadMetadata() {
        int extracted = ExtractPass(L"iTunesMetadata.plist");
        if (extracted < 0) {
            WriteDailyLog(kArchiveOpenFailed);
            return false;
        }
        m_zip.CloseArchive();
        if (extracted == 0) {
            WriteDailyLog(kNoMetadata);
            return true;
        }
        std::wstring path = m_work + L"\\iTunesMetadata.plist";
        if (!IsLocalFile(path)) {
            WriteDailyLog(kMetadataMissing);
            return true;
        }
        CFRef<CFDictionaryRef> metadata = LoadDictionary(path);
        if (!metadata) {
            WriteDailyLog(kMetadataUnreadable);
            return true;
        }
        ApplyMetadata(m_app, metadata.get());
        return true;
    }

    bool ReadApplication() {
        int extracted = ExtractPass(L"Info.plist");
        if (extracted < 0) {
            WriteDailyLog(kArchiveOpenFailed);
            return false;
        }
        if (extracted == 0) {
            WriteDailyLog(kNoInfo);
            return false;
        }
        std::wstring payload = m_work + L"\\Payload";
        if (!IsLocalDirectory(payload)) {
            WriteDailyLog(Format(kPayloadMissing, payload));
            return false;
        }
        m_appFolder = FindAppFolder(payload);
        if (m_appFolder.empty()) {
            WriteDailyLog(kAppMissing);
            return false;
        }
        std::wstring path = m_appFolder + L"\\Info.plist";
        if (!IsLocalFile(path)) {
            WriteDailyLog(kInfoMissing);
            return false;
        }
        m_info = LoadDictionary(path);
        if (!m_info) {
            WriteDailyLog(kInfoUnreadable);
            return false;
        }
        m_iconName = ApplyInfo(m_app, m_info.get());
        return true;
    }

    void ReadIcon() {
        std::wstring cachePath = IconCachePath(m_app->Identifier, m_app->Version);
        if (cachePath.empty())
            return;
        if (IsLocalFile(cachePath)) {
            CopyToField(m_app->IconFile, cachePath);
            return;
        }
        std::wstring iconName = m_iconName.empty() ? L"Icon.png" : m_iconName;
        if (iconName.find(L'.') == std::wstring::npos)
            iconName += L".png";
        // The icon lies in the application folder itself: a name with a
        // folder part, or one that would leave it, names no icon.
        if (iconName.find(L'\\') != std::wstring::npos || iconName.find(L'/') != std::wstring::npos ||
            !IsSafeEntryName(iconName))
            return;
        if (ExtractPass(iconName.c_str()) != 1)
            return;
        std::wstring icon = FindFileIgnoringCase(m_appFolder, iconName);
        if (icon.empty())
            return;
        // Converted beside the extracted files and then moved into the cache,
        // so the cache never holds a half-written icon.
        std::wstring converted = m_work + L"\\converted-icon.png";
        CPngFixer fixer(icon.c_str());
        if (fixer.ConvertToFile(converted.c_str()) != 1)
            return;
        if (::MoveFileExW(converted.c_str(), cachePath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            CopyToField(m_app->IconFile, cachePath);
    }

    const wchar_t* m_ipaPath;
    __IOS_APP* m_app;
    std::wstring m_work, m_appFolder, m_iconName;
    NotingDelegate m_delegate;
    ZipExtractor m_zip;
    CFRef<CFDictionaryRef> m_info;
};

std::wstring ErrorText(const std::wstring& description) {
    std::wstring text = description;
    // One log line: the description's own line ends are left out.
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text.empty() ? kErrorWithoutText : Format(kError, text);
}

} // namespace

std::wstring IconCachePath(const std::wstring& identifier, const std::wstring& version) {
    std::wstring documents = seams::DocumentsFolder();
    if (documents.empty())
        return std::wstring();
    std::wstring tevrin = documents + L"\\Tevrin", icons = tevrin + L"\\AppIcons";
    if (!EnsureFolder(tevrin) || !EnsureFolder(icons))
        return std::wstring();
    return icons + L"\\" + SafeFileName(identifier + L"_" + version + L".png");
}

int GetAppInfoFromIPA(const wchar_t* ipaPath, __IOS_APP* app) {
    if (!ipaPath || !*ipaPath || !app)
        return 0;
    try {
        std::memset(app, 0, sizeof *app);
        if (!ValueLibraryBound()) {
            WriteDailyLog(kNotBound);
            return 0;
        }
        AppInfoReader reader(ipaPath, app);
        return reader.Read();
    } catch (const CIpaException& e) {
        WriteDailyLog(ErrorText(e.Description()));
    } catch (...) {
        WriteDailyLog(kErrorWithoutText);
    }
    return 0;
}

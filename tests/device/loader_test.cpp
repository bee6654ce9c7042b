// The loader linked in, with the shell-folder and message-box seams pointing
// at scratch copies of the vendor's folders, and the device multiplexer at
// one of the test's own (nothing listening, unless a test says otherwise).
#include "backend/backend.h"
#include "backend/multiplexer.h"
#include "platform/cf_text.h"
#include "platform/file.h"
#include "platform/seams.h"
#include "platform/text.h"
#include "platform/vendor_loader.h"
#include "tests/device/vendor_tree.h"
#include "tests/support/fake_multiplexer.h"
#include "values/lookup.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using testutil::FakeMultiplexer;
using testutil::LoadedModulePath;
using testutil::VendorTree;

// The common files folder where the edition looks first: the (x86) one for
// 32-bit programs, the 64-bit one for 64-bit programs.
#ifdef _WIN64
constexpr int kFirstFolder = 0x2B;
#else
constexpr int kFirstFolder = 0x2C;
#endif

std::wstring g_folder;            // answer of the shell-folder seam
int g_folderCsidl = kFirstFolder; // the folder number that gets the answer
std::vector<int> g_asked;
std::vector<std::wstring> g_messages;
std::wstring g_documents; // answer of the documents seam: the daily log goes below it

std::wstring ReadPathVariable() {
    wchar_t buffer[32768];
    DWORD n = ::GetEnvironmentVariableW(L"PATH", buffer, 32768);
    return std::wstring(buffer, n < 32768 ? n : 0);
}

std::wstring ReadVariable(const wchar_t* name, bool* set) {
    wchar_t buffer[1024];
    DWORD n = ::GetEnvironmentVariableW(name, buffer, 1024);
    *set = n > 0 && n < 1024;
    return *set ? std::wstring(buffer, n) : std::wstring();
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && ::_wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

class Loader : public testing::Test {
  protected:
    void SetUp() override {
        // Each load extends PATH; start every test from the same one, so that
        // no folder of an earlier test is searched.
        m_path = ReadPathVariable();
        m_multiplexer = ReadVariable(backend::kMultiplexerVariable, &m_multiplexerSet);
        ::SetEnvironmentVariableW(backend::kMultiplexerVariable, testutil::ClosedLoopbackAddress().c_str());
        g_folder.clear();
        g_folderCsidl = kFirstFolder;
        g_asked.clear();
        g_messages.clear();
        seams::Current().shellFolder = [](int csidl) {
            g_asked.push_back(csidl);
            return csidl == g_folderCsidl ? g_folder : std::wstring();
        };
        seams::Current().messageBox = [](HWND, const wchar_t* text, const wchar_t*, UINT) {
            g_messages.push_back(text ? text : L"");
            return IDOK;
        };
        g_documents = m_documents.path();
        seams::Current().documentsFolder = [] { return g_documents; };
        // The search sees the test's own registry values and no package
        // functions.
        vendor_search::Host& host = VendorSearchHost();
        host.registryRoot = HKEY_CURRENT_USER;
        host.registryBase = m_registry.base();
        host.twoRegistryViews = false;
        host.packagesByFamily = nullptr;
        host.packagePath = nullptr;
    }
    void TearDown() override {
        UnloadVendorLibraries();
        ResetVendorSearchHost();
        seams::Reset();
        ::SetEnvironmentVariableW(L"PATH", m_path.c_str());
        ::SetEnvironmentVariableW(backend::kMultiplexerVariable, m_multiplexerSet ? m_multiplexer.c_str() : nullptr);
        EXPECT_EQ(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr);
        EXPECT_EQ(::GetModuleHandleW(L"MobileDevice.dll"), nullptr);
        EXPECT_EQ(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr);
    }
    // A scratch vendor tree that outlives the test body: its libraries are
    // still loaded until TearDown unloads them, and a loaded library can't
    // be deleted.
    VendorTree& NewTree(const VendorTree::Options& options = VendorTree::Options()) {
        m_trees.push_back(std::make_unique<VendorTree>(options));
        return *m_trees.back();
    }
    // The daily log's lines so far.
    std::vector<std::wstring> LogLines() const {
        std::vector<std::wstring> lines;
        const std::wstring folder = m_documents.path() + L"\\Tevrin\\Logs";
        for (const std::wstring& name : testutil::ListFolder(folder)) {
            std::string bytes;
            testutil::ReadFileBytes(folder + L"\\" + name, &bytes);
            size_t start = 0;
            for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
                lines.push_back(Utf8ToWide(bytes.data() + start, end - start));
        }
        return lines;
    }
    // The log has a line holding every one of `parts`.
    bool Logged(std::initializer_list<std::wstring> parts) const {
        for (const std::wstring& line : LogLines()) {
            bool all = true;
            for (const std::wstring& part : parts)
                all = all && FindNoCase(line, part);
            if (all)
                return true;
        }
        return false;
    }
    static bool FindNoCase(const std::wstring& text, const std::wstring& part) {
        std::wstring a = text, b = part;
        ::CharLowerBuffW(a.data(), static_cast<DWORD>(a.size()));
        ::CharLowerBuffW(b.data(), static_cast<DWORD>(b.size()));
        return a.find(b) != std::wstring::npos;
    }

    std::wstring m_path;
    std::wstring m_multiplexer; // USBMUXD_SOCKET_ADDRESS as the test found it
    bool m_multiplexerSet = false;
    std::vector<std::unique_ptr<VendorTree>> m_trees;
    testutil::TempDir m_documents;
    testutil::ScratchRegistry m_registry;
};

TEST_F(Loader, BindsEveryEntryFromTheVendorFolders) {
    VendorTree& tree = NewTree();
    ASSERT_TRUE(tree.ok());
    g_folder = tree.root();
    std::wstring oldPath = ReadPathVariable();

    ASSERT_EQ(LoadVendorLibraries(), 1);
    EXPECT_TRUE(g_messages.empty());
    EXPECT_EQ(g_asked, std::vector<int>{kFirstFolder});
    EXPECT_TRUE(VendorLibrariesBound());
    EXPECT_TRUE(StartsWithNoCase(LoadedModulePath(L"CoreFoundation.dll"), tree.ApplicationSupport()));
    EXPECT_TRUE(StartsWithNoCase(LoadedModulePath(L"iTunesMobileDevice.dll"), tree.MobileDeviceSupport()));

    std::wstring root = tree.root() + L"\\";
    EXPECT_EQ(ReadPathVariable(), L".\\;" + tree.ApplicationSupport() + L";" + oldPath + L";" +
                                      tree.MobileDeviceSupport() + L";" + root + L"Apple\\CoreFP;" + root +
                                      L"..\\Internet Explorer");
    wchar_t dllDirectory[MAX_PATH] = {};
    ::GetDllDirectoryW(MAX_PATH, dllDirectory);
    EXPECT_EQ(std::wstring(dllDirectory), tree.ApplicationSupport());

    // Function slots and both kinds of data slot hold what the library exports.
    EXPECT_EQ(vendor::CFStringGetLength(CFConstant("abc")), 3);
    auto trueValue = reinterpret_cast<CFBooleanRef>(vendor::WordAt(vendor::WordSlot::kCFBooleanTrue));
    ASSERT_NE(trueValue, nullptr);
    EXPECT_EQ(vendor::CFBooleanGetValue(trueValue), 1);
    EXPECT_EQ(vendor::RealAt(vendor::RealSlot::kCFAbsoluteTimeIntervalSince1970), 978307200.0);
    EXPECT_EQ(vendor::RealAt(vendor::RealSlot::kCFAbsoluteTimeIntervalSince1904), 3061152000.0);
    EXPECT_NE(vendor::AMDeviceLookupApplications.address(), nullptr);

    // Loading again changes nothing: no folder lookup, PATH as it was.
    std::wstring boundPath = ReadPathVariable();
    EXPECT_EQ(LoadVendorLibraries(), 1);
    EXPECT_EQ(ReadPathVariable(), boundPath);
    EXPECT_EQ(g_asked.size(), 1u);

    // Unloaded: libraries gone, slots empty; loading again binds again.
    UnloadVendorLibraries();
    EXPECT_FALSE(VendorLibrariesBound());
    EXPECT_EQ(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr);
    EXPECT_EQ(vendor::CFRelease.address(), nullptr);
    ASSERT_EQ(LoadVendorLibraries(), 1);
    EXPECT_NE(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr);
    EXPECT_EQ(vendor::CFStringGetLength(CFConstant("abcd")), 4);
}

#ifndef _WIN64
TEST_F(Loader, FallsBackToTheCommonFilesFolder) {
    VendorTree& tree = NewTree();
    ASSERT_TRUE(tree.ok());
    g_folder = tree.root();
    g_folderCsidl = 0x2B;
    EXPECT_EQ(LoadVendorLibraries(), 1);
    EXPECT_EQ(g_asked, (std::vector<int>{0x2C, 0x2B}));
}
#else
TEST_F(Loader, NeverLooksInTheFolderOf32BitPrograms) {
    // A 32-bit vendor installation under the (x86) folder cannot be loaded
    // by a 64-bit process: the loader does not even ask for that folder.
    VendorTree& tree = NewTree();
    ASSERT_TRUE(tree.ok());
    g_folder = tree.root();
    g_folderCsidl = 0x2C;
    EXPECT_EQ(LoadVendorLibraries(), 0);
    EXPECT_EQ(g_asked, std::vector<int>{0x2B});
    EXPECT_TRUE(g_messages.empty());
}

TEST_F(Loader, BindsTheDeviceLibraryUnderItsNewerName) {
    VendorTree::Options options;
    options.deviceLibraryName = L"MobileDevice.dll";
    VendorTree& tree = NewTree(options);
    ASSERT_TRUE(tree.ok());
    g_folder = tree.root();
    ASSERT_EQ(LoadVendorLibraries(), 1);
    EXPECT_TRUE(g_messages.empty());
    EXPECT_EQ(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr);
    EXPECT_TRUE(StartsWithNoCase(LoadedModulePath(L"MobileDevice.dll"), tree.MobileDeviceSupport()));
    EXPECT_NE(vendor::AMDeviceLookupApplications.address(), nullptr);
}

TEST_F(Loader, PrefersTheOlderNameWhenBothAreInstalled) {
    VendorTree& tree = NewTree();
    ASSERT_TRUE(tree.ok());
    ASSERT_TRUE(::CopyFileW((tree.MobileDeviceSupport() + L"\\iTunesMobileDevice.dll").c_str(),
                            (tree.MobileDeviceSupport() + L"\\MobileDevice.dll").c_str(), FALSE));
    g_folder = tree.root();
    ASSERT_EQ(LoadVendorLibraries(), 1);
    EXPECT_TRUE(StartsWithNoCase(LoadedModulePath(L"iTunesMobileDevice.dll"), tree.MobileDeviceSupport()));
    EXPECT_EQ(::GetModuleHandleW(L"MobileDevice.dll"), nullptr);
}
#endif

TEST_F(Loader, LoadsNothingWithoutTheVendorFolders) {
    struct Case {
        const char* what;
        bool commonFolder;
        bool applicationSupport;
        bool mobileDeviceSupport;
    } cases[] = {
        {"no common files folder", false, true, true},
        {"no Apple Application Support", true, false, true},
        {"no Mobile Device Support", true, true, false},
    };
    for (const Case& c : cases) {
        VendorTree::Options options;
        options.applicationSupport = c.applicationSupport;
        options.mobileDeviceSupport = c.mobileDeviceSupport;
        VendorTree& tree = NewTree(options);
        ASSERT_TRUE(tree.ok());
        g_folder = c.commonFolder ? tree.root() : std::wstring();
        std::wstring path = ReadPathVariable();
        EXPECT_EQ(LoadVendorLibraries(), 0) << c.what;
        EXPECT_TRUE(g_messages.empty()) << c.what;
        EXPECT_EQ(ReadPathVariable(), path) << c.what;
        EXPECT_EQ(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr) << c.what;
        EXPECT_EQ(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr) << c.what;
    }
}

TEST_F(Loader, MissingEntryIsNamedAndLeavesTheLibrariesUnbound) {
    struct Case {
        const wchar_t* variant;
        const wchar_t* message;
    } cases[] = {
        {L"cf-missing-function", L"函数CFAllocatorGetContext未能加载"},
        {L"cf-missing-unused-constant", L"常量kCFNumberNaN未能加载"},
    };
    for (const Case& c : cases) {
        VendorTree::Options options;
        options.valueLibrary = testutil::BinFolder() + L"\\variants\\" + c.variant + L"\\CoreFoundation.dll";
        VendorTree& tree = NewTree(options);
        ASSERT_TRUE(tree.ok()) << "variant not built: " << testing::PrintToString(std::wstring(c.variant));
        g_folder = tree.root();
        g_messages.clear();

        EXPECT_EQ(LoadVendorLibraries(), 0);
        EXPECT_EQ(g_messages, std::vector<std::wstring>{c.message});
        EXPECT_FALSE(VendorLibrariesBound());
        EXPECT_NE(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr); // loaded, not bound
        EXPECT_NE(vendor::CFArrayGetTypeID.address(), nullptr);            // entries before it stay bound
        EXPECT_EQ(vendor::AMDeviceRetain.address(), nullptr);              // the device part never got bound

        // Not bound, so the next call tries again and fails the same way.
        EXPECT_EQ(LoadVendorLibraries(), 0);
        EXPECT_EQ(g_messages.size(), 2u);
        UnloadVendorLibraries();
        EXPECT_EQ(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr);
    }
}

TEST_F(Loader, LibraryThatFailsToLoadShowsTheSystemText) {
    VendorTree::Options options;
    options.deviceLibrary = false;
    VendorTree& tree = NewTree(options);
    ASSERT_TRUE(tree.ok());
    g_folder = tree.root();

    EXPECT_EQ(LoadVendorLibraries(), 0) << testing::PrintToString(LoadedModulePath(L"iTunesMobileDevice.dll"));
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_FALSE(g_messages[0].empty());
    EXPECT_EQ(g_messages[0].find(L"未能加载"), std::wstring::npos);
    EXPECT_NE(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr); // stays loaded

    // Once the library is there, the retry binds; the value library is not
    // loaded a second time (one unload frees it, see TearDown).
    ASSERT_TRUE(::CopyFileW((testutil::BinFolder() + L"\\iTunesMobileDevice.dll").c_str(),
                            (tree.MobileDeviceSupport() + L"\\iTunesMobileDevice.dll").c_str(), FALSE));
    EXPECT_EQ(LoadVendorLibraries(), 1);
    EXPECT_EQ(g_messages.size(), 1u);
}

// ---- later candidates: the registry, the newer layout, the store packages ----

#ifdef _WIN64
constexpr wchar_t kOwnAmds[] = L"AMDS64";
constexpr wchar_t kOtherAmds[] = L"AMDS32";
#else
constexpr wchar_t kOwnAmds[] = L"AMDS32";
constexpr wchar_t kOtherAmds[] = L"AMDS64";
#endif
constexpr wchar_t kShared[] = L"SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared";
constexpr wchar_t kSupportKey[] = L"SOFTWARE\\Apple Inc.\\Apple Application Support";
constexpr wchar_t kMediaPlayerKey[] = L"SOFTWARE\\Apple Computer, Inc.\\iTunes";
constexpr wchar_t kMediaPlayerPackage[] = L"AppleInc.iTunes_12.13.2.3_x64__nzyj5cx40ttqa";
constexpr wchar_t kDevicesPackage[] = L"AppleInc.AppleDevices_1.2.3.0_x64__nzyj5cx40ttqa";
constexpr wchar_t kRepository[] = L"Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                                  L"AppModel\\PackageRepository\\Packages\\";

// One PC of the test's: a common files folder, folders elsewhere (all
// under a name that is not ASCII) and registry values, laid out as the
// vendor's installers of each kind leave them.
class Installations : public Loader {
  protected:
    void SetUp() override {
        Loader::SetUp();
        m_root = m_pc.path() + L"\\程序 Ünïcødé";
        ::CreateDirectoryW(m_root.c_str(), nullptr);
        g_folder = Common();
    }
    // Nothing installed again.
    void StartAfresh() {
        m_registry.Clear();
        RemoveLocalTree(m_root);
        ::CreateDirectoryW(m_root.c_str(), nullptr);
        g_messages.clear();
    }
    std::wstring Common() const { return m_root + L"\\Common Files"; }
    std::wstring Path(const std::wstring& relative) const { return m_root + L"\\" + relative; }

    // The kinds of installation, each with where its device library and
    // value library end up.
    struct Placed {
        std::wstring device, value;
    };
    Placed CommonFilesRule() {
        Placed p{Common() + L"\\Apple\\Mobile Device Support\\iTunesMobileDevice.dll",
                 Common() + L"\\Apple\\Apple Application Support\\CoreFoundation.dll"};
        Place(p);
        return p;
    }
    Placed Registry(const wchar_t* value, const wchar_t* name = L"MobileDevice.dll") {
        Placed p{Path(L"Published 发布\\") + name, Path(L"Published 发布\\CoreFoundation.dll")};
        Place(p);
        EXPECT_TRUE(m_registry.SetString(kShared, value, p.device));
        return p;
    }
    Placed BesideInterface() {
        // Only ASMapiInterfaceDLL published; the value library in the
        // published Apple Application Support folder.
        Placed p{Path(L"Interface\\MobileDevice.dll"), Path(L"AAS 支持\\CoreFoundation.dll")};
        Place(p);
        EXPECT_TRUE(testutil::WriteFileBytes(Path(L"Interface\\ASMapiInterface.dll"), "MZ"));
        EXPECT_TRUE(m_registry.SetString(kShared, L"ASMapiInterfaceDLL", Path(L"Interface\\ASMapiInterface.dll")));
        EXPECT_TRUE(m_registry.SetString(kSupportKey, L"InstallDir", Path(L"AAS 支持")));
        return p;
    }
    Placed NewerCommonFiles() {
        Placed p{Common() + L"\\Apple\\Mobile Device Support\\MobileDevice.dll",
                 Common() + L"\\Apple\\Mobile Device Support\\CoreFoundation.dll"};
        Place(p);
        return p;
    }
    Placed NewerCommonFilesWithMediaPlayerFolder() {
        Placed p{Common() + L"\\Apple\\Mobile Device Support\\MobileDevice.dll",
                 Path(L"iTunes 音乐\\CoreFoundation.dll")};
        Place(p);
        EXPECT_TRUE(m_registry.SetString(kMediaPlayerKey, L"InstallDir", Path(L"iTunes 音乐") + L"\\"));
        return p;
    }
    std::wstring Package(const wchar_t* fullName) {
        const std::wstring folder = Path(L"WindowsApps\\") + fullName;
        EXPECT_TRUE(m_registry.SetString(kRepository + std::wstring(fullName), L"Path", folder));
        return folder;
    }
    Placed MediaPlayerPackage() {
        const std::wstring folder = Package(kMediaPlayerPackage);
#ifdef _WIN64
        Placed p{folder + L"\\AMDS64\\MobileDevice.dll", folder + L"\\AMDS64\\CoreFoundation.dll"};
#else
        Placed p{folder + L"\\AMDS32\\MobileDevice.dll",
                 folder + L"\\VFS\\ProgramFilesCommonX86\\Apple\\Apple Application Support\\CoreFoundation.dll"};
#endif
        Place(p);
        return p;
    }
    Placed DevicesPackage(const std::wstring& sub) {
        const std::wstring folder = Package(kDevicesPackage) + (sub.empty() ? L"" : L"\\" + sub);
        Placed p{folder + L"\\MobileDevice.dll", folder + L"\\CoreFoundation.dll"};
        Place(p);
        return p;
    }
    void Place(const Placed& p, int deviceBits = 0, int valueBits = 0) {
        EXPECT_TRUE(testutil::PlaceStandIn(L"iTunesMobileDevice.dll", p.device, deviceBits));
        EXPECT_TRUE(testutil::PlaceStandIn(L"CoreFoundation.dll", p.value, valueBits));
    }

    // Loads, checks what was loaded from where and that the log names it,
    // and unloads again.
    void ExpectLoaded(const Placed& p, const std::wstring& label) {
        std::wstring name = p.device.substr(p.device.find_last_of(L'\\') + 1);
        ASSERT_EQ(LoadVendorLibraries(), 1);
        EXPECT_TRUE(g_messages.empty());
        EXPECT_TRUE(FindNoCase(LoadedModulePath(name.c_str()), p.device))
            << testing::PrintToString(LoadedModulePath(name.c_str()));
        EXPECT_TRUE(FindNoCase(LoadedModulePath(L"CoreFoundation.dll"), p.value))
            << testing::PrintToString(LoadedModulePath(L"CoreFoundation.dll"));
        EXPECT_EQ(vendor::CFStringGetLength(CFConstant("abc")), 3);
        EXPECT_NE(vendor::AMDeviceLookupApplications.address(), nullptr);
        EXPECT_TRUE(Logged({L"厂商库来自" + label, p.device, p.value})) << testing::PrintToString(LogLines());
        UnloadVendorLibraries();
    }
    std::vector<vendor_search::Candidate> Search() const { return vendor_search::Search(VendorSearchHost()); }

    testutil::TempDir m_pc;
    std::wstring m_root;
};

TEST_F(Installations, EachKindIsFound) {
    const struct {
        const char* what;
        std::function<Placed()> lay;
        std::wstring label;
    } cases[] = {
        {"registry MobileDeviceDLL", [this] { return Registry(L"MobileDeviceDLL"); }, L"registry MobileDeviceDLL"},
        {"registry iTunesMobileDeviceDLL",
         [this] { return Registry(L"iTunesMobileDeviceDLL", L"iTunesMobileDevice.dll"); },
         L"registry iTunesMobileDeviceDLL"},
        {"registry ASMapiInterfaceDLL", [this] { return BesideInterface(); }, L"registry ASMapiInterfaceDLL"},
        {"common files, newer layout", [this] { return NewerCommonFiles(); }, L"common files: Mobile Device Support"},
        {"common files, value library in the media player's folder",
         [this] { return NewerCommonFilesWithMediaPlayerFolder(); }, L"common files: Mobile Device Support"},
        {"media player package", [this] { return MediaPlayerPackage(); }, L"iTunes from the Microsoft Store"},
        {"Apple Devices package, its own folder", [this] { return DevicesPackage(L""); },
         L"Apple Devices from the Microsoft Store"},
        {"Apple Devices package, the edition's sub-folder", [this] { return DevicesPackage(kOwnAmds); },
         L"Apple Devices from the Microsoft Store, " + std::wstring(kOwnAmds)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StartAfresh();
        Placed p = c.lay();
        ExpectLoaded(p, c.label);
    }
}

TEST_F(Installations, TheRuleComesFirstThenTheRegistryThenCommonFilesThenThePackages) {
    const Placed packages = MediaPlayerPackage();
    DevicesPackage(L"");
    ExpectLoaded(packages, L"iTunes from the Microsoft Store");
    const Placed newer = NewerCommonFiles();
    ExpectLoaded(newer, L"common files: Mobile Device Support");
    const Placed published = Registry(L"MobileDeviceDLL");
    ExpectLoaded(published, L"registry MobileDeviceDLL");
    const Placed rule = CommonFilesRule();
    ExpectLoaded(rule, L"common files: Apple Application Support");
    // The rule as it always was: its folders on the search path.
    ASSERT_EQ(LoadVendorLibraries(), 1);
    wchar_t dllDirectory[MAX_PATH] = {};
    ::GetDllDirectoryW(MAX_PATH, dllDirectory);
    EXPECT_EQ(std::wstring(dllDirectory), Common() + L"\\Apple\\Apple Application Support");
}

TEST_F(Installations, APublishedPathToAMissingFileIsPassedOver) {
    ASSERT_TRUE(m_registry.SetString(kShared, L"MobileDeviceDLL", Path(L"Gone\\MobileDevice.dll")));
    const Placed newer = NewerCommonFiles();
    std::vector<vendor_search::Candidate> found = Search();
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found[1].status, vendor_search::Status::PublishedButAbsent);
    EXPECT_EQ(found[1].place, Path(L"Gone\\MobileDevice.dll"));
    ExpectLoaded(newer, L"common files: Mobile Device Support");
}

TEST_F(Installations, ADeviceLibraryWithoutAValueLibraryIsNotUsed) {
    ASSERT_TRUE(testutil::PlaceStandIn(L"iTunesMobileDevice.dll",
                                       Common() + L"\\Apple\\Mobile Device Support\\MobileDevice.dll"));
    const vendor_search::Candidate* newer = nullptr;
    std::vector<vendor_search::Candidate> found = Search();
    for (const auto& candidate : found)
        newer = candidate.source == vendor_search::Source::CommonFiles ? &candidate : newer;
    ASSERT_NE(newer, nullptr);
    EXPECT_EQ(newer->status, vendor_search::Status::NoValueLibrary);
    EXPECT_EQ(vendor_search::FirstUsable(found), nullptr);

    EXPECT_EQ(LoadVendorLibraries(), 0);
    EXPECT_TRUE(g_messages.empty()) << "nothing found: no box";
    EXPECT_EQ(::GetModuleHandleW(L"MobileDevice.dll"), nullptr);
}

TEST_F(Installations, ALibraryOfTheOtherBitnessIsRefusedWithALogLine) {
    const int other = testutil::OtherBits();
    const std::wstring bitsText = std::to_wstring(other) + L"-bit";
    const struct {
        const char* what;
        int deviceBits, valueBits;
        bool withNewer; // a usable newer layout too
    } cases[] = {
        {"device library, something else usable", other, 0, true},
        {"device library, nothing else", other, 0, false},
        {"value library, nothing else", 0, other, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StartAfresh();
        const Placed wrong{Path(L"Wrong\\MobileDevice.dll"), Path(L"Wrong\\CoreFoundation.dll")};
        Place(wrong, c.deviceBits, c.valueBits);
        ASSERT_TRUE(m_registry.SetString(kShared, L"MobileDeviceDLL", wrong.device));
        const std::wstring refused = c.deviceBits ? wrong.device : wrong.value;
        if (c.withNewer) {
            ExpectLoaded(NewerCommonFiles(), L"common files: Mobile Device Support");
        } else {
            EXPECT_EQ(LoadVendorLibraries(), 0);
            EXPECT_TRUE(g_messages.empty()) << "a refused library shows no box";
            EXPECT_EQ(::GetModuleHandleW(L"MobileDevice.dll"), nullptr);
        }
        EXPECT_TRUE(Logged({L"位数不符", L"registry MobileDeviceDLL", refused, bitsText}))
            << testing::PrintToString(LogLines());
        EXPECT_EQ(Search()[1].status, vendor_search::Status::WrongBitness);
    }
}

TEST_F(Installations, ALibraryThatFailsToLoadGivesWayToTheNext) {
    // Not a library at all, yet of the right bitness by its header: the
    // load fails, the next candidate is used, the failure is logged.
    const Placed broken{Path(L"Broken\\MobileDevice.dll"), Path(L"Broken\\CoreFoundation.dll")};
    Place(broken);
    std::string bytes;
    ASSERT_TRUE(testutil::ReadFileBytes(broken.device, &bytes));
    bytes.resize(1024);
    ASSERT_TRUE(testutil::WriteFileBytes(broken.device, bytes));
    ASSERT_TRUE(m_registry.SetString(kShared, L"MobileDeviceDLL", broken.device));
    ExpectLoaded(NewerCommonFiles(), L"common files: Mobile Device Support");
    EXPECT_TRUE(Logged({L"厂商库加载失败", broken.device})) << testing::PrintToString(LogLines());

    // Alone, its system text is shown, as for the rule.
    RemoveLocalTree(Common());
    g_messages.clear();
    EXPECT_EQ(LoadVendorLibraries(), 0);
    EXPECT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr) << "freed with the failed attempt";
}

TEST_F(Installations, AMissingEntryIsNamedEachTime) {
    const Placed newer = NewerCommonFiles();
    ASSERT_TRUE(::CopyFileW((testutil::BinFolder() + L"\\variants\\cf-missing-function\\CoreFoundation.dll").c_str(),
                            newer.value.c_str(), FALSE));
    for (int attempt = 1; attempt <= 2; ++attempt) {
        EXPECT_EQ(LoadVendorLibraries(), 0);
        EXPECT_EQ(g_messages, std::vector<std::wstring>(attempt, L"函数CFAllocatorGetContext未能加载"));
        EXPECT_FALSE(VendorLibrariesBound());
        // Freed with the slots: nothing points into a library that is gone.
        EXPECT_EQ(::GetModuleHandleW(L"MobileDevice.dll"), nullptr);
        EXPECT_EQ(vendor::CFArrayGetTypeID.address(), nullptr);
    }
}

// The package functions of kernel32 where the system has them (Wine 8 has
// none): the folders they give come first, the package repository adds
// what they miss, and only the family's own packages count.
std::wstring g_functionFolder;
LONG WINAPI FakePackagesByFamily(PCWSTR family, UINT32* count, PWSTR* names, UINT32* length, WCHAR* buffer) {
    static const wchar_t kName[] = L"AppleInc.iTunes_12.13.2.3_x86__nzyj5cx40ttqa";
    if (std::wstring(family) != L"AppleInc.iTunes_nzyj5cx40ttqa") {
        *count = 0;
        *length = 0;
        return ERROR_SUCCESS;
    }
    const UINT32 units = static_cast<UINT32>(wcslen(kName) + 1);
    if (!names || *count < 1 || *length < units) {
        *count = 1;
        *length = units;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    wcscpy(buffer, kName);
    names[0] = buffer;
    *count = 1;
    *length = units;
    return ERROR_SUCCESS;
}
LONG WINAPI FakePathByFullName(PCWSTR, UINT32* length, PWSTR path) {
    const UINT32 units = static_cast<UINT32>(g_functionFolder.size() + 1);
    if (!path || *length < units) {
        *length = units;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    wcscpy(path, g_functionFolder.c_str());
    return ERROR_SUCCESS;
}

TEST_F(Installations, PackageFoldersByFunctionThenByTheRepository) {
    vendor_search::Host host = VendorSearchHost();
    const std::wstring family = L"AppleInc.iTunes_nzyj5cx40ttqa";
    EXPECT_TRUE(vendor_search::PackageFolders(host, family).empty());
    EXPECT_FALSE(vendor_search::StorePackageInstalled(host));

    const std::wstring byRepository = Package(kMediaPlayerPackage);
    for (const wchar_t* stranger : {L"AppleInc.iTunesBeta_1.0.0.0_x64__nzyj5cx40ttqa",
                                    L"AppleInc.iTunes_1.0.0.0_x64__otherpublisher", L"AppleInc.iTunes"})
        ASSERT_TRUE(m_registry.SetString(kRepository + std::wstring(stranger), L"Path", Path(stranger)));
    EXPECT_EQ(vendor_search::PackageFolders(host, family), std::vector<std::wstring>{byRepository});
    EXPECT_TRUE(vendor_search::StorePackageInstalled(host));

    g_functionFolder = Path(L"ByFunction");
    host.packagesByFamily = FakePackagesByFamily;
    host.packagePath = FakePathByFullName;
    EXPECT_EQ(vendor_search::PackageFolders(host, family), (std::vector<std::wstring>{g_functionFolder, byRepository}));

    // The loader finds a package through the functions alone.
    m_registry.Clear();
    VendorSearchHost().packagesByFamily = FakePackagesByFamily;
    VendorSearchHost().packagePath = FakePathByFullName;
    Placed p{g_functionFolder + L"\\" + kOwnAmds + L"\\MobileDevice.dll",
             g_functionFolder + L"\\" + kOwnAmds + L"\\CoreFoundation.dll"};
    Place(p);
    ExpectLoaded(p, L"iTunes from the Microsoft Store");
    // The other edition's folder of the same package is refused.
    RemoveLocalTree(g_functionFolder + L"\\" + kOwnAmds);
    Place({g_functionFolder + L"\\" + kOtherAmds + L"\\MobileDevice.dll",
           g_functionFolder + L"\\" + kOtherAmds + L"\\CoreFoundation.dll"},
          testutil::OtherBits(), testutil::OtherBits());
    EXPECT_EQ(LoadVendorLibraries(), 0);
    EXPECT_TRUE(Logged({L"位数不符", kOtherAmds})) << testing::PrintToString(LogLines());
}

// ---- the built-in backend, where no vendor library is found ------------------

// The loader with a multiplexer of the test's own (or none) at the address
// the backend reads.
class BuiltIn : public Installations {
  protected:
    static void PointAt(const std::wstring& address) {
        ::SetEnvironmentVariableW(backend::kMultiplexerVariable, address.c_str());
    }
    // Bound to the built-in side: the value library linked in and the
    // backend's own calls, no vendor library loaded.
    static void ExpectBuiltInSlots() {
        EXPECT_EQ(BoundBackend(), Backend::BuiltIn);
        EXPECT_TRUE(VendorLibrariesBound());
        EXPECT_EQ(reinterpret_cast<const void*>(vendor::CFRelease.address()), values::Address("CFRelease"));
        EXPECT_EQ(reinterpret_cast<const void*>(vendor::AMDeviceLookupApplications.address()),
                  backend::DeviceAddress("AMDeviceLookupApplications"));
        EXPECT_EQ(reinterpret_cast<const void*>(vendor::AMDeviceNotificationSubscribe.address()),
                  backend::DeviceAddress("AMDeviceNotificationSubscribe"));
        EXPECT_EQ(vendor::WordAt(vendor::WordSlot::kCFBooleanTrue),
                  *static_cast<const uintptr_t*>(values::Address("kCFBooleanTrue")));
        EXPECT_EQ(vendor::RealAt(vendor::RealSlot::kCFAbsoluteTimeIntervalSince1970), 978307200.0);
        EXPECT_EQ(vendor::CFStringGetLength(CFConstant("abc")), 3);
        EXPECT_EQ(::GetModuleHandleW(L"CoreFoundation.dll"), nullptr);
        EXPECT_EQ(::GetModuleHandleW(L"iTunesMobileDevice.dll"), nullptr);
        EXPECT_EQ(::GetModuleHandleW(L"MobileDevice.dll"), nullptr);
    }
    static DWORD Elapsed(DWORD start) { return ::GetTickCount() - start; }
};

TEST_F(BuiltIn, BindsWhereNoVendorLibraryIsFoundAndTheMultiplexerAnswers) {
    FakeMultiplexer multiplexer(FakeMultiplexer::Reply::DeviceList, 2);
    PointAt(multiplexer.address());
    const struct {
        const char* what;
        std::function<void()> lay;
    } layouts[] = {
        {"nothing installed", [] {}},
        {"no common files folder", [] { g_folder.clear(); }},
        {"a device library without its value library",
         [this] {
             EXPECT_TRUE(testutil::PlaceStandIn(L"iTunesMobileDevice.dll",
                                                Common() + L"\\Apple\\Mobile Device Support\\iTunesMobileDevice.dll"));
         }},
        {"only libraries of the other bitness",
         [this] {
             const Placed wrong{Path(L"Wrong\\MobileDevice.dll"), Path(L"Wrong\\CoreFoundation.dll")};
             Place(wrong, testutil::OtherBits(), testutil::OtherBits());
             EXPECT_TRUE(m_registry.SetString(kShared, L"MobileDeviceDLL", wrong.device));
         }},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.what);
        StartAfresh();
        g_folder = Common();
        layout.lay();
        const int asked = multiplexer.connections();

        ASSERT_EQ(LoadVendorLibraries(), 1);
        EXPECT_TRUE(g_messages.empty());
        ExpectBuiltInSlots();
        EXPECT_EQ(multiplexer.connections(), asked + 1);
        EXPECT_TRUE(Logged({L"内置后端", multiplexer.address()})) << testing::PrintToString(LogLines());

        // Bound: a second load asks nobody.
        EXPECT_EQ(LoadVendorLibraries(), 1);
        EXPECT_EQ(multiplexer.connections(), asked + 1);
        UnloadVendorLibraries();
        EXPECT_EQ(BoundBackend(), Backend::None);
    }
}

TEST_F(BuiltIn, UnloadEndsItAndALaterLoadStartsAfresh) {
    FakeMultiplexer multiplexer(FakeMultiplexer::Reply::DeviceList, 0);
    PointAt(multiplexer.address());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(LoadVendorLibraries(), 1);
        ExpectBuiltInSlots();
        UnloadVendorLibraries();
        EXPECT_EQ(BoundBackend(), Backend::None);
        EXPECT_FALSE(VendorLibrariesBound());
        EXPECT_EQ(vendor::CFRelease.address(), nullptr);
        EXPECT_EQ(vendor::AMDeviceLookupApplications.address(), nullptr);
        EXPECT_EQ(vendor::WordAt(vendor::WordSlot::kCFBooleanTrue), 0u);
    }
    EXPECT_EQ(multiplexer.connections(), 3);
    EXPECT_TRUE(g_messages.empty());

    // Unloaded, with a vendor installation now in place: the vendor's.
    ExpectLoaded(CommonFilesRule(), L"common files: Apple Application Support");
}

TEST_F(BuiltIn, NoAnswerWithinTheBoundLeavesNothingBound) {
    const struct {
        const char* what;
        bool listening;
        FakeMultiplexer::Reply reply;
        DWORD atMost;
    } cases[] = {
        {"nothing listening", false, FakeMultiplexer::Reply::DeviceList, 900},
        {"accepts and never answers", true, FakeMultiplexer::Reply::Silent, 1500},
        {"answers another question", true, FakeMultiplexer::Reply::WrongTag, 1500},
        {"closes at once", true, FakeMultiplexer::Reply::CloseAtOnce, 1500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<FakeMultiplexer> multiplexer;
        std::wstring address = testutil::ClosedLoopbackAddress();
        if (c.listening) {
            multiplexer = std::make_unique<FakeMultiplexer>(c.reply, 1);
            address = multiplexer->address();
        }
        PointAt(address);
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(LoadVendorLibraries(), 0);
        EXPECT_LE(Elapsed(start), c.atMost);
        EXPECT_TRUE(g_messages.empty());
        EXPECT_EQ(BoundBackend(), Backend::None);
        EXPECT_FALSE(VendorLibrariesBound());
        EXPECT_EQ(vendor::CFRelease.address(), nullptr);
        EXPECT_EQ(vendor::AMDeviceLookupApplications.address(), nullptr);
        EXPECT_TRUE(Logged({L"无应答", address})) << testing::PrintToString(LogLines());
        EXPECT_EQ(multiplexer ? multiplexer->connections() : 1, 1);
    }
}

TEST_F(BuiltIn, AVendorInstallationComesFirst) {
    FakeMultiplexer multiplexer(FakeMultiplexer::Reply::DeviceList, 1);
    PointAt(multiplexer.address());
    ExpectLoaded(CommonFilesRule(), L"common files: Apple Application Support");
    StartAfresh();
    ExpectLoaded(Registry(L"MobileDeviceDLL"), L"registry MobileDeviceDLL");
    StartAfresh();
    ExpectLoaded(NewerCommonFiles(), L"common files: Mobile Device Support");
    EXPECT_EQ(multiplexer.connections(), 0);

    // Found but broken: its message, as ever, and not the backend.
    StartAfresh();
    const Placed broken = CommonFilesRule();
    ASSERT_TRUE(::CopyFileW((testutil::BinFolder() + L"\\variants\\cf-missing-function\\CoreFoundation.dll").c_str(),
                            broken.value.c_str(), FALSE));
    EXPECT_EQ(LoadVendorLibraries(), 0);
    EXPECT_EQ(g_messages, std::vector<std::wstring>{L"函数CFAllocatorGetContext未能加载"});
    EXPECT_NE(BoundBackend(), Backend::BuiltIn);
    EXPECT_EQ(multiplexer.connections(), 0);
}

// ---- text conversions over the bound value library ----------------------------

class CFText : public Loader {
  protected:
    void SetUp() override {
        Loader::SetUp();
        g_folder = m_tree.root();
        ASSERT_EQ(LoadVendorLibraries(), 1);
    }
    VendorTree m_tree;
};

TEST_F(CFText, RoundTripsEveryUnitOutsideTheBasicPlane) {
    const wchar_t* texts[] = {L"a\U0001F600b", L"连接设备\U00020000", L"x", L"\U0001F600\U0001F601"};
    for (const wchar_t* text : texts) {
        CFRef<CFStringRef> string = WideToCFString(text);
        ASSERT_TRUE(string);
        EXPECT_EQ(vendor::CFStringGetLength(string.get()), static_cast<CFIndex>(wcslen(text)));
        EXPECT_EQ(CFStringToWide(string.get()), text);
    }
}

TEST_F(CFText, EmptyAndNull) {
    EXPECT_EQ(CFStringToWide(nullptr), L"");
    CFRef<CFStringRef> empty = WideToCFString(static_cast<const wchar_t*>(nullptr));
    ASSERT_TRUE(empty);
    EXPECT_EQ(vendor::CFStringGetLength(empty.get()), 0);
    EXPECT_EQ(CFStringToWide(empty.get()), L"");
}

TEST_F(CFText, HolderOwnsCreatedValuesAndRetainsBorrowedOnes) {
    CFRef<CFStringRef> owned = WideToCFString(L"owned");
    EXPECT_EQ(vendor::CFGetRetainCount(owned.get()), 1);
    {
        CFRef<CFStringRef> second = CFRef<CFStringRef>::Retain(owned.get());
        EXPECT_EQ(vendor::CFGetRetainCount(owned.get()), 2);
        CFRef<CFStringRef> moved(std::move(second));
        EXPECT_EQ(vendor::CFGetRetainCount(owned.get()), 2);
    }
    EXPECT_EQ(vendor::CFGetRetainCount(owned.get()), 1);
    // CFStringToWide borrows: the count does not move.
    CFStringToWide(owned.get());
    EXPECT_EQ(vendor::CFGetRetainCount(owned.get()), 1);
}

} // namespace

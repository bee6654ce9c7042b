// The loader linked in, with the shell-folder and message-box seams pointing
// at scratch copies of the vendor's folders.
#include "platform/cf_text.h"
#include "platform/seams.h"
#include "platform/vendor_loader.h"
#include "tests/device/vendor_tree.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

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

std::wstring ReadPathVariable() {
    wchar_t buffer[32768];
    DWORD n = ::GetEnvironmentVariableW(L"PATH", buffer, 32768);
    return std::wstring(buffer, n < 32768 ? n : 0);
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
    }
    void TearDown() override {
        UnloadVendorLibraries();
        seams::Reset();
        ::SetEnvironmentVariableW(L"PATH", m_path.c_str());
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
    std::wstring m_path;
    std::vector<std::unique_ptr<VendorTree>> m_trees;
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

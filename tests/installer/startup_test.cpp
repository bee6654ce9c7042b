// Start-up and shutdown of the installer: the service registry test, the
// three early ends, the order of the normal end, the trace file.
#include "installer/install_orvex_app.h"
#include "installer/install_orvex_dlg.h"
#include "platform/file.h"
#include "tests/installer/fake_calls.h"
#include "tests/support/test_util.h"
#include "tests/support/ui_util.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <functional>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kNoITunes[] = L"检测到您的电脑没有安装iTunes, 请先下载安装iTunes.";

// A scratch service key under HKEY_CURRENT_USER, removed afterwards.
class StartupTest : public ::testing::Test {
  public:
    void SetUp() override {
        m_parent = L"Software\\OrvexTests\\startup-" + std::to_wstring(::GetCurrentProcessId());
        m_key = m_parent + L"\\Apple Mobile Device";
        fakecalls::Install(m_key);
    }
    void TearDown() override {
        ::SHDeleteKeyW(HKEY_CURRENT_USER, m_parent.c_str());
        fakecalls::Uninstall();
    }
    void WriteImagePath(DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(
            ::RegCreateKeyExW(HKEY_CURRENT_USER, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(key, L"ImagePath", 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        ::RegCloseKey(key);
    }
    void WriteImagePath(const std::wstring& text) {
        WriteImagePath(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    std::wstring m_parent, m_key;
    testutil::SeamRecorder m_seams;
};

void ExpectTraceHoldsOnlyTheBanner() {
    std::string trace;
    ASSERT_TRUE(testutil::ReadFileBytes(L"C:\\ZOrod.txt", &trace));
    EXPECT_EQ(trace, "Imbry's log:\r\n");
}

TEST_F(StartupTest, MissingOrUnusableServiceEntryWarnsOpensThePageAndEnds) {
    const std::wstring tooLong(130, L'x'); // 262 bytes with its terminator
    const DWORD number = 1;
    const wchar_t unterminated[] = {L'a', L'b'};
    const struct {
        const char* name;
        std::function<void(StartupTest*)> prepare;
    } cases[] = {
        {"no key", [](StartupTest*) {}},
        {"no value",
         [](StartupTest* t) {
             HKEY key;
             ::RegCreateKeyExW(HKEY_CURRENT_USER, t->m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                               nullptr);
             ::RegCloseKey(key);
         }},
        {"REG_DWORD", [&](StartupTest* t) { t->WriteImagePath(REG_DWORD, &number, sizeof number); }},
        {"over 260 bytes", [&](StartupTest* t) { t->WriteImagePath(tooLong); }},
        {"unterminated", [&](StartupTest* t) { t->WriteImagePath(REG_SZ, unterminated, sizeof unterminated); }},
        {"odd length", [&](StartupTest* t) { t->WriteImagePath(REG_SZ, "abc", 3); }},
        {"binary", [&](StartupTest* t) { t->WriteImagePath(REG_BINARY, "ab\0\0", 4); }},
        {"no write access",
         [](StartupTest* t) {
             t->WriteImagePath(L"C:\\service.exe");
             fakecalls::Get().deniedAccess = KEY_SET_VALUE;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fakecalls::Install(m_key);
        m_seams.Clear();
        ::SHDeleteKeyW(HKEY_CURRENT_USER, m_parent.c_str());
        c.prepare(this);
        CInstallOrvexApp app;
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(fakecalls::Get().lastAccess, static_cast<REGSAM>(KEY_READ | KEY_WRITE));
        auto boxes = m_seams.boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, kNoITunes);
        EXPECT_EQ(boxes[0].caption, L"Orvex越狱助手");
        EXPECT_EQ(boxes[0].owner, nullptr);
        EXPECT_EQ(boxes[0].type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
        ASSERT_EQ(m_seams.opened().size(), 1u);
        EXPECT_NE(m_seams.opened()[0].find(L"/itunes/"), std::wstring::npos);
        EXPECT_EQ(fakecalls::Get().socketInits, 0);
        EXPECT_EQ(fakecalls::Get().loads, 0);
        app.ExitInstance();
        EXPECT_EQ(fakecalls::Get().unloads, 1) << "unbinding what was never bound is harmless";
        ExpectTraceHoldsOnlyTheBanner();
    }
}

TEST_F(StartupTest, WellFormedServiceEntriesLetStartUpGoOn) {
    // Start-up stops at the sockets here, so no dialog is needed.
    const std::wstring longest(129, L'x'); // 260 bytes with its terminator
    const wchar_t multi[] = {L'a', 0, L'b', 0, 0};
    const wchar_t singleZero[] = {0};
    const struct {
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {"plain", REG_SZ, L"C:\\s.exe", 18},
        {"260 bytes", REG_SZ, longest.c_str(), 260},
        {"expandable", REG_EXPAND_SZ, L"%SystemRoot%\\s.exe", 38},
        {"multi", REG_MULTI_SZ, multi, sizeof multi},
        {"multi, one zero", REG_MULTI_SZ, singleZero, sizeof singleZero},
        {"empty, any type", REG_BINARY, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fakecalls::Install(m_key);
        fakecalls::Get().socketResult = false;
        m_seams.Clear();
        WriteImagePath(c.type, c.data, c.size);
        EXPECT_TRUE(IsAppleMobileDeviceInstalled());
        EXPECT_EQ(fakecalls::Get().lastAccess, static_cast<REGSAM>(KEY_READ | KEY_WRITE));
        CInstallOrvexApp app;
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"Socket init error!"});
        EXPECT_EQ(fakecalls::Get().socketInits, 1);
        EXPECT_EQ(fakecalls::Get().loads, 0);
    }
}

TEST_F(StartupTest, AStorePackageOrAnAnsweringMultiplexerStandsInForTheServiceKey) {
    // The store applications register no service key; a package found by
    // its family name is the vendor's software all the same, and so is a
    // device multiplexer that answers (whatever installed it).
    const struct {
        const char* name;
        bool serviceKey, storePackage, multiplexer;
    } cases[] = {
        {"store package, no service key", false, true, false},
        {"store package and service key", true, true, false},
        {"multiplexer only", false, false, true},
        {"service key and multiplexer", true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fakecalls::Install(m_key);
        fakecalls::Get().storePackage = c.storePackage;
        fakecalls::Get().multiplexer = c.multiplexer;
        fakecalls::Get().socketResult = false;
        m_seams.Clear();
        ::SHDeleteKeyW(HKEY_CURRENT_USER, m_parent.c_str());
        if (c.serviceKey)
            WriteImagePath(L"C:\\service.exe");
        EXPECT_EQ(IsAppleMobileDeviceInstalled(), c.serviceKey);
        EXPECT_TRUE(IsVendorSoftwareInstalled());
        CInstallOrvexApp app;
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"Socket init error!"});
        EXPECT_TRUE(m_seams.opened().empty());
        EXPECT_EQ(fakecalls::Get().socketInits, 1);
    }
}

TEST_F(StartupTest, LibrariesThatDoNotBindEndTheStart) {
    WriteImagePath(L"C:\\service.exe");
    fakecalls::Get().loadResult = false;
    CInstallOrvexApp app;
    EXPECT_FALSE(app.InitInstance());
    auto boxes = m_seams.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"dll加载失败，请先安装8.0以上版本的 Apple iTunes。");
    EXPECT_EQ(boxes[0].caption, AppName());
    EXPECT_EQ(fakecalls::Get().listens, 0) << "no dialog";
    app.ExitInstance();
    EXPECT_EQ(fakecalls::Get().events, (std::vector<std::string>{"sockets", "load", "unload"}));
}

// While the dialog runs: note it, then ask it to close.
void CALLBACK CloseTheDialog(HWND, UINT, UINT_PTR id, DWORD) {
    if (!g_pInstallDlg || !g_pInstallDlg->m_hWnd)
        return;
    ::KillTimer(nullptr, id);
    bool packages = IsLocalFile(L"C:\\Quillon.deb") && IsLocalFile(L"C:\\QuillonHD.deb");
    fakecalls::Event(packages ? "dialog running with both packages" : "dialog running without packages");
    ::PostMessageW(g_pInstallDlg->m_hWnd, WM_CLOSE, 0, 0);
}

void RecordUnload() {
    bool gone = !g_pInstallDlg && !IsLocalFile(L"C:\\Quillon.deb") && !IsLocalFile(L"C:\\QuillonHD.deb");
    fakecalls::Event(gone ? "unload after the dialog is gone" : "unload while the dialog exists");
}

TEST_F(StartupTest, NormalEndDestroysTheDialogThenReturnsThenUnbinds) {
    testutil::GdiplusSession gdiplus; // the loader's part, which is faked here
    WriteImagePath(L"C:\\service.exe");
    CurrentInstallerCalls().unloadDllFunctions = RecordUnload;
    UINT_PTR timer = ::SetTimer(nullptr, 0, 50, CloseTheDialog);
    ASSERT_NE(timer, 0u);
    CInstallOrvexApp app;
    BOOL result = app.InitInstance();
    fakecalls::Event(result ? "InitInstance returned TRUE" : "InitInstance returned FALSE");
    app.ExitInstance();
    EXPECT_EQ(fakecalls::Get().events,
              (std::vector<std::string>{"sockets", "load", "listen", "dialog running with both packages",
                                        "InitInstance returned FALSE", "unload after the dialog is gone"}));
    EXPECT_TRUE(m_seams.boxes().empty());
    ExpectTraceHoldsOnlyTheBanner();
}

TEST(StartupTraceFile, IsCreatedAnewAndHoldsOnlyTheBanner) {
    testutil::TempDir dir;
    std::wstring path = dir / L"trace.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(path, std::string(100, 'x')));
    StartupTrace trace(path.c_str());
    EXPECT_TRUE(trace.open());
    trace.WriteBannerAndClose();
    trace.WriteBannerAndClose(); // closed for good
    std::string bytes;
    ASSERT_TRUE(testutil::ReadFileBytes(path, &bytes));
    EXPECT_EQ(bytes, "Imbry's log:\r\n");
}

TEST(StartupTraceFile, ProgramRunsOnWhenItCannotBeCreated) {
    testutil::TempDir dir;
    StartupTrace trace((dir / L"no such folder\\trace.txt").c_str());
    EXPECT_FALSE(trace.open());
    trace.WriteBannerAndClose();
    EXPECT_TRUE(testutil::ListFolder(dir.path()).empty());
}

} // namespace

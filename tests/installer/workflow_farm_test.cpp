// The main dialog's workflow with the real device library and the
// simulated device farm behind it: devices plugged in and out are reported
// on the library's notification thread.
#include "installer/install_orvex_dlg.h"
#include "installer/installer_calls.h"
#include "platform/file.h"
#include "tests/support/farm.h"
#include "tests/support/ui_util.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

class FarmWorkflow : public ::testing::Test {
  protected:
    // One farm and one binding of the libraries for the whole program.
    static void SetUpTestSuite() {
        s_farm = new testfarm::SimulatedFarm;
        s_loaded = s_farm->ok() && LoadDllFunctions() == 1;
    }
    static void TearDownTestSuite() {
        UnloadDllFunctions();
        delete s_farm;
        s_farm = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_loaded) << "the stand-ins did not load or bind";
        ResetInstallerCalls();
        CurrentInstallerCalls().internetConnected = [] { return true; };
        m_dlg = std::make_unique<CInstallOrvexDlg>();
        ASSERT_TRUE(m_dlg->CreateModeless());
        ASSERT_TRUE(m_seams.boxes().empty()) << "listening started";
    }
    void TearDown() override {
        for (const auto& id : m_devices)
            s_farm->Detach(id);
        // Let the removals reach the library's list before it stops listening.
        testutil::PumpUntil([&] { return !m_dlg || m_dlg->DeviceList().empty(); }, 2000);
        m_dlg.reset();
        StopListeningDeviceConnections();
    }

    std::wstring Plug(const wchar_t* templateName) {
        std::wstring id = s_farm->Create(templateName);
        if (!id.empty())
            m_devices.push_back(id);
        return id;
    }
    bool WaitForState(int state, DWORD ms = 3000) {
        return testutil::PumpUntil([&] { return m_dlg->m_nState == state; }, ms);
    }
    void Click() {
        ::SendMessageW(m_dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(CSkinDialog::kIdInstall, BN_CLICKED),
                       reinterpret_cast<LPARAM>(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)));
    }
    std::string DeviceFile(const std::wstring& id, const wchar_t* path) const {
        std::string bytes;
        if (!testutil::ReadFileBytes(s_farm->HostPath(id, path), &bytes))
            return "<absent>";
        return bytes;
    }
    static std::string LocalFile(const wchar_t* path) {
        std::string bytes;
        if (!testutil::ReadFileBytes(path, &bytes))
            return "<absent>";
        return bytes;
    }

    static testfarm::SimulatedFarm* s_farm;
    static bool s_loaded;
    testutil::SeamRecorder m_seams;
    std::unique_ptr<CInstallOrvexDlg> m_dlg;
    std::vector<std::wstring> m_devices;
};
testfarm::SimulatedFarm* FarmWorkflow::s_farm = nullptr;
bool FarmWorkflow::s_loaded = false;

TEST_F(FarmWorkflow, PluggedDevicesAreTrackedFromTheNotificationThread) {
    std::wstring first = Plug(testfarm::kIPhone4S);
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(WaitForState(2)) << "its package file exists";
    EXPECT_TRUE(::IsWindowEnabled(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)));
    ASSERT_TRUE(m_dlg->SummaryCopy());
    EXPECT_EQ(m_dlg->SummaryCopy()->strIdentifier, first);

    std::wstring second = Plug(testfarm::kIPad2);
    ASSERT_TRUE(WaitForState(0));
    EXPECT_EQ(m_dlg->m_strStatus, L"发现多个设备，请只保留一个设备");
    EXPECT_EQ(m_dlg->DeviceList(), (std::vector<std::wstring>{first, second}));

    // The summarised device leaves: the summary follows the one that stays.
    ASSERT_TRUE(s_farm->Detach(first));
    ASSERT_TRUE(WaitForState(1)) << "no package was downloaded in this run";
    EXPECT_EQ(m_dlg->SummaryCopy()->strIdentifier, second);

    ASSERT_TRUE(s_farm->Detach(second));
    ASSERT_TRUE(WaitForState(0));
    EXPECT_EQ(m_dlg->m_strStatus, L"请将设备连接至电脑");
    EXPECT_FALSE(m_dlg->SummaryCopy());
    EXPECT_FALSE(::IsWindowEnabled(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)));
}

TEST_F(FarmWorkflow, DeviceWhoseSessionFailsIsNotJailbrokenAndNameless) {
    std::wstring id = s_farm->Create(testfarm::kIPhone4S, false);
    ASSERT_FALSE(id.empty());
    m_devices.push_back(id);
    ASSERT_TRUE(s_farm->SetFault(id, L"session"));
    ASSERT_TRUE(s_farm->Attach(id));
    ASSERT_TRUE(WaitForState(2)) << "offered the tablet package, whose file exists";
    ASSERT_TRUE(m_dlg->SummaryCopy());
    EXPECT_EQ(m_dlg->SummaryCopy()->nJailbroken, 0);
    EXPECT_EQ(m_dlg->SummaryCopy()->strModelName, L"");
}

TEST_F(FarmWorkflow, ModelsAndJailbreakComeFromTheDevicesInformation) {
    const struct {
        const wchar_t* templateName;
        const wchar_t* model;
        int jailbroken;
    } cases[] = {
        {testfarm::kIPhone4S, L"iPhone 4S", 1},
        {testfarm::kIPad2, L"iPad 2", 0},
        {testfarm::kIPod4, L"iPod 4", 1},
        {testfarm::kIPhone5, L"", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.model, c.model + wcslen(c.model)));
        std::wstring id = Plug(c.templateName);
        ASSERT_TRUE(WaitForState(2));
        EXPECT_EQ(m_dlg->SummaryCopy()->strModelName, c.model);
        EXPECT_EQ(m_dlg->SummaryCopy()->nJailbroken, c.jailbroken);
        ASSERT_TRUE(s_farm->Detach(id));
        ASSERT_TRUE(WaitForState(0));
    }
}

TEST_F(FarmWorkflow, PackageReachesTheAutoInstallFolderOfEachKindOfDevice) {
    const struct {
        const wchar_t* templateName;
        const wchar_t* localFile;
        const wchar_t* deviceFile;
    } cases[] = {
        // AutoInstall present.
        {testfarm::kIPhone4S, L"C:\\Quillon.deb", L"/var/root/Media/Cydia/AutoInstall/Quillon.deb"},
        // Cydia's folder without AutoInstall.
        {testfarm::kIPod4, L"C:\\Quillon.deb", L"/var/root/Media/Cydia/AutoInstall/Quillon.deb"},
        // No /var/root/Media at all; a model the table does not know: the tablet package.
        {testfarm::kIPhone5, L"C:\\QuillonHD.deb", L"/var/root/Media/Cydia/AutoInstall/QuillonHD.deb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.templateName, c.templateName + wcslen(c.templateName)));
        std::wstring id = Plug(c.templateName);
        ASSERT_FALSE(id.empty());
        ASSERT_TRUE(WaitForState(2));
        const std::string package = LocalFile(c.localFile);
        ASSERT_NE(package, "<absent>");
        Click();
        ASSERT_TRUE(WaitForState(4, 15000)) << "installed";
        EXPECT_TRUE(DeviceFile(id, c.deviceFile) == package) << "the device file equals the package";
        EXPECT_TRUE(m_seams.boxes().empty());
        EXPECT_FALSE(::IsWindowEnabled(m_dlg->GetDlgItem(CSkinDialog::kIdInstall)));
        ASSERT_TRUE(s_farm->Detach(id));
        ASSERT_TRUE(WaitForState(0));
    }
}

TEST_F(FarmWorkflow, StaleStagedCopyIsRemovedFromTheDevice) {
    std::wstring id = Plug(testfarm::kIPhone4S);
    ASSERT_TRUE(WaitForState(2));
    const std::wstring staging = s_farm->HostPath(id, L"/var/mobile/Media/PublicStaging");
    ::CreateDirectoryW(staging.c_str(), nullptr);
    ASSERT_TRUE(testutil::WriteFileBytes(staging + L"\\Quillon.deb", "an older package"));
    Click();
    ASSERT_TRUE(WaitForState(4, 15000));
    EXPECT_EQ(DeviceFile(id, L"/var/mobile/Media/PublicStaging/Quillon.deb"), "<absent>");
}

TEST_F(FarmWorkflow, UnplugDuringTheUploadSaysUploadFailedAndCloses) {
    std::wstring id = Plug(testfarm::kIPhone4S);
    ASSERT_TRUE(WaitForState(2));
    const std::string package = LocalFile(L"C:\\Quillon.deb");
    ASSERT_GT(package.size(), 600u);
    // The first 500 bytes of the upload pass, then the device is gone.
    ASSERT_TRUE(s_farm->SetFault(id, L"unplug-after", 500));
    Click();
    HWND hWnd = m_dlg->m_hWnd;
    ASSERT_TRUE(testutil::PumpUntil([&] { return !::IsWindow(hWnd); }, 15000)) << "the window closes";
    EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"上传失败"});
    EXPECT_EQ(LocalFile(L"C:\\Quillon.deb"), "<absent>");
    EXPECT_EQ(LocalFile(L"C:\\QuillonHD.deb"), "<absent>");
    EXPECT_NE(DeviceFile(id, L"/var/root/Media/Cydia/AutoInstall/Quillon.deb"), package);
}

} // namespace

#include "installer/install_orvex_dlg.h"

#include "installer/framework/app.h"
#include "installer/installer_calls.h"
#include "installer/package_download.h"
#include "installer/web_addresses.h"
#include "platform/file.h"
#include "platform/seams.h"
#include "res/resource.h"

CInstallOrvexDlg* g_pInstallDlg = nullptr;

const wchar_t kTextConnectDevice[] = L"请将设备连接至电脑";
const wchar_t kTextSeveralDevices[] = L"发现多个设备，请只保留一个设备";
const wchar_t kTextNoInternet[] = L"联接互联网失败，请检查网络连接";
const wchar_t kTextUploadFailed[] = L"上传失败";

const wchar_t* const kAutoInstallChain[5] = {
    L"//var",
    L"//var//root",
    L"//var//root//Media",
    L"//var//root//Media//Cydia",
    L"//var//root//Media//Cydia//AutoInstall",
};
const wchar_t kAutoInstallFolder[] = L"var/root/Media/Cydia/AutoInstall";

std::wstring StagedCopyPath(const wchar_t* deviceName) {
    return std::wstring(L"/var/mobile/Media") + L"/PublicStaging" + L"/" + deviceName;
}

namespace {

// Guards g_pInstallDlg: a device callback holds it for as long as it works
// on the dialog, the destructor takes it to clear the pointer.
std::mutex g_dialogLock;

constexpr wchar_t kInstanceMutex[] = L"imbry_InstallOrvex_single _instance_20120625";
constexpr wchar_t kInstanceProperty[] = L"InstallOrvex_Instance";
constexpr UINT_PTR kInstanceMark = 0xEFAA;

constexpr wchar_t kErrHandsetPackage[] = L"装载安装文件失败！Iphone/Ipod";
constexpr wchar_t kErrTabletPackage[] = L"装载安装文件失败！Ipad";
constexpr wchar_t kErrListening[] = L"StartListeningDeviceConnections error";
constexpr wchar_t kAskJailbreak[] = L"设备未越狱,推荐使用Orvex越狱助手进行越狱，要下载吗";
constexpr wchar_t kThanks[] = L"谢谢您的支持！请越狱完成后再运行本程序.";
constexpr wchar_t kJailbreakFirst[] = L"请先对设备进行越狱后，再运行本程序.";
constexpr wchar_t kErrWorker[] = L"无法开始安装，请重试";
constexpr wchar_t kTextInstalling[] = L"正在安装...";

// The dialog whose install runs on this thread (the worker's own).
thread_local CInstallOrvexDlg* t_installDlg = nullptr;

// The first instance's mutex, held until the process ends.
HANDLE g_instanceMutex = nullptr;

} // namespace

CInstallOrvexDlg::CInstallOrvexDlg(HWND hParent) : CSkinDialog(IDD_INSTALLORVEX_DIALOG, hParent) {
    std::lock_guard<std::mutex> hold(g_dialogLock);
    g_pInstallDlg = this;
}

CInstallOrvexDlg::~CInstallOrvexDlg() {
    StopWorker();
    {
        // Waits for a device callback that is still working on the dialog.
        std::lock_guard<std::mutex> hold(g_dialogLock);
        if (g_pInstallDlg == this)
            g_pInstallDlg = nullptr;
    }
    WaitForInstallWorker();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_pDevice.reset();
    }
    DeletePackageFiles();
}

void CInstallOrvexDlg::OnDeviceArrived(const wchar_t* identifier) {
    try {
        std::lock_guard<std::mutex> hold(g_dialogLock);
        if (g_pInstallDlg && identifier)
            g_pInstallDlg->DeviceArrived(identifier);
    } catch (...) {
    }
}

void CInstallOrvexDlg::OnDeviceRemoved(const wchar_t* identifier) {
    try {
        std::lock_guard<std::mutex> hold(g_dialogLock);
        if (g_pInstallDlg && identifier)
            g_pInstallDlg->DeviceRemoved(identifier);
    } catch (...) {
    }
}

bool CInstallOrvexDlg::ExtractDebResource(UINT id, const std::wstring& path) {
    HMODULE module = AppResourceModule();
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), ORVEX_RT_DEB);
    if (!info)
        return false;
    DWORD size = ::SizeofResource(module, info);
    HGLOBAL loaded = ::LoadResource(module, info);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (!bytes)
        return false;
    bool written = false;
    {
        UniqueHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return false;
        DWORD done = 0;
        written = ::WriteFile(file.get(), bytes, size, &done, nullptr) && done == size;
    }
    if (!written)
        ::DeleteFileW(path.c_str());
    return written;
}

void CInstallOrvexDlg::SecureSingleInstance() {
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kInstanceMutex);
    if (mutex && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        g_instanceMutex = mutex;
        return;
    }
    if (mutex)
        ::CloseHandle(mutex);
    for (HWND other = ::GetWindow(::GetDesktopWindow(), GW_CHILD); ::IsWindow(other);
         other = ::GetWindow(other, GW_HWNDNEXT)) {
        if (reinterpret_cast<UINT_PTR>(::GetPropW(other, kInstanceProperty)) != kInstanceMark)
            continue;
        if (::IsIconic(other))
            ::ShowWindow(other, SW_RESTORE);
        ::SetForegroundWindow(other);
        ::SetForegroundWindow(::GetLastActivePopup(other));
        ::ExitProcess(1);
    }
    // The name exists but no marked window does: run as a normal instance.
}

BOOL CInstallOrvexDlg::OnInitDialog() {
    CSkinDialog::OnInitDialog();
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    SecureSingleInstance();
    ::SetPropW(m_hWnd, kInstanceProperty, reinterpret_cast<HANDLE>(kInstanceMark));

    m_strHandsetDebPath = PackageFor(PackageClass::Handset).localPath;
    if (!ExtractDebResource(IDR_DEB_HANDSET, m_strHandsetDebPath)) {
        MessageBox(kErrHandsetPackage);
        ::ExitProcess(0);
    }
    m_strTabletDebPath = PackageFor(PackageClass::Tablet).localPath;
    if (!ExtractDebResource(IDR_DEB_TABLET, m_strTabletDebPath)) {
        MessageBox(kErrTabletPackage);
        ::ExitProcess(0);
    }

    ApplyLayout();
    ShowState(0, kTextConnectDevice);

    if (!CurrentInstallerCalls().startListening(OnDeviceArrived, OnDeviceRemoved))
        MessageBox(kErrListening);
    return TRUE;
}

void CInstallOrvexDlg::CloseProgressSlot() {
    std::lock_guard<std::mutex> hold(m_progressLock);
    m_openProgress.reset();
}

void CInstallOrvexDlg::ShowState(int state, const std::wstring& status) {
    CloseProgressSlot();
    RunOnWindowThread([this, state, status] {
        m_nState = state;
        if (state == 0)
            m_strStatus = status;
        RenderSkin(nullptr, 0.0);
    });
}

void CInstallOrvexDlg::ShowProgress(const std::wstring& text, double fraction) {
    if (IsWindowThread())
        CloseProgressSlot(); // shown at once, after what waits
    std::shared_ptr<Progress> slot;
    {
        std::lock_guard<std::mutex> hold(m_progressLock);
        if (m_openProgress) {
            *m_openProgress = {text, fraction};
            return;
        }
        slot = std::make_shared<Progress>(Progress{text, fraction});
        if (!IsWindowThread())
            m_openProgress = slot;
    }
    RunOnWindowThread([this, slot] {
        Progress shown;
        {
            std::lock_guard<std::mutex> hold(m_progressLock);
            if (m_openProgress == slot)
                m_openProgress.reset();
            shown = *slot;
        }
        m_nState = 5;
        RenderSkin(shown.text.c_str(), shown.fraction);
    });
}

void CInstallOrvexDlg::EnableInstallButton(bool enable) {
    CloseProgressSlot();
    RunOnWindowThread([this, enable] { SetInstallButtonEnabled(enable); });
}

void CInstallOrvexDlg::SetInstallButtonEnabled(bool enable) {
    HWND button = m_btnInstall.m_hWnd;
    // A disabled control loses the keyboard focus, and without a focus Esc
    // reaches nothing: the focus moves to the minimise button first.
    if (!enable && ::GetFocus() == button)
        ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_btnMinimize.m_hWnd), TRUE);
    ::EnableWindow(button, enable ? TRUE : FALSE);
}

std::optional<DeviceSummary> CInstallOrvexDlg::SummaryCopy() const {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_pDevice)
        return std::nullopt;
    return *m_pDevice;
}

std::vector<std::wstring> CInstallOrvexDlg::DeviceList() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_devices;
}

bool CInstallOrvexDlg::Summarize(const std::wstring& identifier) {
    // The record is large; it lives on the heap, zeroed.
    auto info = std::make_unique<__IOS_DEVICE>();
    CurrentInstallerCalls().getDeviceInfo(identifier.c_str(), info.get());
    auto summary = std::make_unique<DeviceSummary>(SummarizeDevice(identifier.c_str(), *info));
    const PackageInfo& package = PackageFor(PackageClassOf(summary->strModelName));
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_pDevice = std::move(summary);
    }
    return IsLocalFile(package.localPath);
}

void CInstallOrvexDlg::DeviceArrived(const wchar_t* identifier) {
    size_t count = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_devices.emplace_back(identifier);
        count = m_devices.size();
    }
    if (count != 1) {
        ShowState(0, kTextSeveralDevices);
        return;
    }
    bool packagePresent = Summarize(identifier);
    EnableInstallButton(true);
    m_bNeedDownload = !packagePresent;
    ShowState(m_bNeedDownload ? 1 : 2);
}

void CInstallOrvexDlg::DeviceRemoved(const wchar_t* identifier) {
    size_t count = 0;
    std::wstring remaining;
    bool summaryLeft = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
            if (*it == identifier) {
                m_devices.erase(it);
                break;
            }
        }
        count = m_devices.size();
        if (count == 1) {
            remaining = m_devices.front();
            summaryLeft = !m_pDevice || m_pDevice->strIdentifier != remaining;
        }
        if (count == 0)
            m_pDevice.reset();
    }
    if (count == 1) {
        // The summary must describe the device that stays, or an install
        // would go by another device's model and jailbreak state.
        if (summaryLeft)
            m_bNeedDownload = !Summarize(remaining);
        EnableInstallButton(true);
        ShowState(m_bDownloaded ? 2 : 1);
    } else if (count == 0) {
        ShowState(0, kTextConnectDevice);
        EnableInstallButton(false);
    }
}

void CInstallOrvexDlg::OnBnClickedInstall() {
    std::optional<DeviceSummary> device = SummaryCopy();
    if (!device)
        return;
    if (!device->nJailbroken) {
        if (MessageBox(kAskJailbreak, MB_YESNO) == IDYES) {
            MessageBox(kThanks);
            seams::ShellOpen(web::kJailbreakToolPage);
        } else {
            MessageBox(kJailbreakFirst);
        }
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        return;
    }
    if (!CurrentInstallerCalls().internetConnected()) {
        ShowState(0, kTextNoInternet);
        ::Sleep(m_nOfflinePause);
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        return;
    }
    StartInstallWorker();
}

void CInstallOrvexDlg::StartInstallWorker() {
    if (m_hWorker) {
        if (::WaitForSingleObject(m_hWorker.get(), 0) == WAIT_TIMEOUT)
            return; // one install at a time
        m_hWorker.reset();
    }
    SetInstallButtonEnabled(false);
    m_hWorkerOwner = m_hWnd;
    m_pDownloadLink = std::make_shared<DownloadLink>();
    m_hWorker = AppBeginThread(InstallThreadProc, this);
    if (!m_hWorker) {
        SetInstallButtonEnabled(true);
        MessageBox(kErrWorker);
    }
}

void CInstallOrvexDlg::WaitForInstallWorker() {
    if (!m_hWorker)
        return;
    HANDLE worker = m_hWorker.get();
    while (::MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE); // runs what was sent
    }
    m_hWorker.reset();
}

bool CInstallOrvexDlg::WorkerMessage(const wchar_t* text) const {
    if (m_bClosing)
        return false;
    AppMessageBox(m_hWorkerOwner, text, MB_OK);
    return !m_bClosing; // the window may have closed while the box was up
}

unsigned __stdcall CInstallOrvexDlg::InstallThreadProc(void* dialog) {
    try {
        auto* dlg = static_cast<CInstallOrvexDlg*>(dialog);
        t_installDlg = dlg;
        dlg->RunInstall();
    } catch (...) {
    }
    t_installDlg = nullptr;
    return 0;
}

void CInstallOrvexDlg::OnInstallProgress(const wchar_t*, const wchar_t*, unsigned int percent) {
    try {
        CInstallOrvexDlg* dlg = t_installDlg;
        if (!dlg || dlg->Closing())
            return;
        const auto value = static_cast<int32_t>(percent);
        if (dlg->m_nLastPercent.exchange(value) == value)
            return;
        dlg->ShowProgress(kTextInstalling, percent / 100.0);
    } catch (...) {
    }
}

void CInstallOrvexDlg::RunInstall() {
    EnableInstallButton(false);
    const std::optional<DeviceSummary> device = SummaryCopy();
    if (!device)
        return;
    const PackageClass packageClass = PackageClassOf(device->strModelName);
    const PackageInfo& package = PackageFor(packageClass);
    // A download made earlier in this run was for the class of the device
    // attached then; a device of the other class still needs its own file.
    const bool download = (!m_bDownloaded && m_bNeedDownload) || !IsLocalFile(package.localPath);
    if (download && !DownloadPackage(*this, packageClass))
        return;
    StopAnimation();

    const InstallerCalls& calls = CurrentInstallerCalls();
    const wchar_t* identifier = device->strIdentifier.c_str();
    auto info = std::make_unique<__IOS_FILE>();
    // Each device call is a step; a closing window ends the install before the next.
    for (const wchar_t* folder : kAutoInstallChain) {
        if (Closing())
            return;
        const bool present = calls.getFileInfo(identifier, folder, info.get()) != 0;
        if (Closing())
            return;
        if (!present)
            calls.createDirectory(identifier, folder);
    }
    if (Closing())
        return;
    const std::wstring staged = StagedCopyPath(package.deviceName);
    const bool stale = calls.getFileInfo(identifier, staged.c_str(), info.get()) != 0;
    if (Closing())
        return;
    if (stale)
        calls.deleteOnDevice(identifier, staged.c_str(), nullptr);
    if (Closing())
        return;

    ShowState(3);
    StartAnimation();
    // The upload goes to the first attached device, and only when that is
    // the device prepared above: another one was never checked.
    const std::vector<std::wstring> devices = DeviceList();
    bool uploaded = !devices.empty() && devices.front() == device->strIdentifier &&
                    calls.upload(identifier, package.localPath, kAutoInstallFolder, OnInstallProgress);
    if (Closing())
        return;
    StopAnimation();
    if (!uploaded) {
        // Posted: the window's thread may be about to wait for this worker.
        if (WorkerMessage(kTextUploadFailed))
            ::PostMessageW(m_hWorkerOwner, WM_CLOSE, 0, 0);
        return;
    }
    ShowState(4);
}

void CInstallOrvexDlg::DeletePackageFiles() {
    if (!m_strHandsetDebPath.empty())
        ::DeleteFileW(m_strHandsetDebPath.c_str());
    if (!m_strTabletDebPath.empty())
        ::DeleteFileW(m_strTabletDebPath.c_str());
}

void CInstallOrvexDlg::StopWorker() {
    m_bClosing = true;
    m_bDownloading = false;
    // Closes the download's handles: a worker waiting for the server is let
    // go at once, so nothing here waits for the network.
    m_pDownloadLink->Cancel();
}

void CInstallOrvexDlg::OnClose() {
    StopWorker();
    ::DeleteFileW(PackageFor(PackageClass::Handset).localPath);
    ::DeleteFileW(PackageFor(PackageClass::Tablet).localPath);
}

bool CInstallOrvexDlg::OnCommand(UINT id, UINT code) {
    if (id == static_cast<UINT>(kIdInstall) && code == BN_CLICKED) {
        OnBnClickedInstall();
        return true;
    }
    return CSkinDialog::OnCommand(id, code);
}

bool CInstallOrvexDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (msg == WM_CLOSE) {
        OnClose();
        return false; // the framework's close ends the dialog
    }
    if (msg == WM_DESTROY) {
        // Every way out ends here, Esc included: a running install stops.
        StopWorker();
    }
    return CSkinDialog::OnMessage(msg, wParam, lParam, result);
}

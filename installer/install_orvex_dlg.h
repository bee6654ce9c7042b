// The installer's main dialog: one running instance, the two companion
// packages written to drive C:, the attached devices (exactly one is
// wanted), the offer for that device, and the install button's checks.
//
// Threads. The window's thread runs initialisation, the install button,
// every window message and the destructor. Device arrivals and removals
// come on the device library's notification thread, and the install work
// runs on a worker thread. The device list and the summary are guarded by
// one lock, held only while they are read or changed. Everything the
// window shows (the display state, the install button) changes on the
// window's thread only: other threads hand their changes over with
// ShowState, ShowProgress and EnableInstallButton, which never wait for
// the window's thread; the changes take effect there in the order they
// were made. Device callbacks reach the dialog only through g_pInstallDlg,
// which the destructor clears under its own lock, so no device event can
// reach a destroyed dialog.
//
// The install worker. One at a time, started by the install button. It
// never waits for the window's thread: it hands its changes over like the
// device callbacks, posts its close request, and its message boxes are
// owned by the window through a handle it keeps, so they fail harmlessly
// once the window is gone. When the window closes (close button, Esc, or
// any other way) Closing() turns true and the worker stops at its next
// step without touching the window again; the destructor waits for the
// worker to end, and while it waits it still answers the messages other
// threads send to the window's thread (a message box owned by the window
// sends some), so the two can never wait for each other.
#pragma once

#include "installer/device_summary.h"
#include "installer/download_link.h"
#include "platform/handles.h"
#include "skin/skin_dialog.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CInstallOrvexDlg;

// The one dialog object while it exists (null otherwise).
extern CInstallOrvexDlg* g_pInstallDlg;

// Texts of the workflow.
extern const wchar_t kTextConnectDevice[];  // "请将设备连接至电脑"
extern const wchar_t kTextSeveralDevices[]; // "发现多个设备，请只保留一个设备"
extern const wchar_t kTextNoInternet[];     // "联接互联网失败，请检查网络连接"
extern const wchar_t kTextUploadFailed[];   // "上传失败"

// Where the worker puts the package on the device: the folder chain it
// makes sure of, one level at a time, and the upload's destination.
extern const wchar_t* const kAutoInstallChain[5];
extern const wchar_t kAutoInstallFolder[];
// The staged copy of a package that the worker removes before the upload.
std::wstring StagedCopyPath(const wchar_t* deviceName);

class CInstallOrvexDlg : public CSkinDialog {
  public:
    explicit CInstallOrvexDlg(HWND hParent = nullptr);
    ~CInstallOrvexDlg() override;

    // The device library's arrival and removal callbacks (any thread).
    static void OnDeviceArrived(const wchar_t* identifier);
    static void OnDeviceRemoved(const wchar_t* identifier);

    // Writes "DEB" resource `id` to `path`, replacing the file. False when
    // the resource is missing or the file cannot be written in full (a
    // partial file is removed).
    static bool ExtractDebResource(UINT id, const std::wstring& path);

    // The install button (window's thread).
    void OnBnClickedInstall();

    // Hand-overs to the window's thread; any thread, never waiting.
    // State 0 shows `status`; states 1 to 4 their own captions.
    void ShowState(int state, const std::wstring& status = std::wstring());
    // State 5: the progress bar with `text` and `fraction`. Progress that
    // comes faster than the window repaints is merged: while a progress
    // repaint is still waiting its turn (and nothing was handed over after
    // it), a newer one only replaces its text and fraction.
    void ShowProgress(const std::wstring& text, double fraction);
    void EnableInstallButton(bool enable);

    // The install worker's thread procedure (its parameter is the dialog),
    // and the upload's progress callback, which runs on the worker's thread
    // and repaints only when the percentage changes.
    static unsigned __stdcall InstallThreadProc(void* dialog);
    static void OnInstallProgress(const wchar_t* identifier, const wchar_t* status, unsigned int percent);

    // The window is closing or gone; a running install stops at its next step.
    bool Closing() const { return m_bClosing; }
    // The running worker's download link, which the window's close cancels.
    // Worker's thread (made before the worker starts).
    std::shared_ptr<DownloadLink> DownloadLinkOf() const { return m_pDownloadLink; }
    // From the worker's thread: a message box owned by the window, unless
    // the window is closing. True when the window is still open after it.
    bool WorkerMessage(const wchar_t* text) const;

    // A copy of the summary (none when no single device is summarised).
    std::optional<DeviceSummary> SummaryCopy() const;
    // The attached devices' identifiers, in arrival order.
    std::vector<std::wstring> DeviceList() const;

    // Workflow fields.
    std::wstring m_strHandsetDebPath;
    std::wstring m_strTabletDebPath;
    std::atomic<bool> m_bNeedDownload{false};
    std::atomic<bool> m_bDownloading{false};
    std::atomic<bool> m_bDownloaded{false};
    std::atomic<int32_t> m_nDownloaded{0};
    std::atomic<int32_t> m_nDownloadTotal{0};
    std::atomic<int32_t> m_nLastPercent{0};
    // How long the window waits, frozen, after finding no internet
    // connection before it closes.
    DWORD m_nOfflinePause = 5000;

  protected:
    BOOL OnInitDialog() override;
    bool OnCommand(UINT id, UINT code) override;
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

    // The start of the install work (download when needed, then the upload
    // to the device), called by the install button once the device is known
    // to be jailbroken and the machine is online.
    virtual void StartInstallWorker();
    // The install itself: download when needed, the device's folder, the
    // upload. Runs on the worker's thread.
    void RunInstall();
    // Waits until a running worker has ended, answering what other threads
    // send to this thread meanwhile. Window's thread.
    void WaitForInstallWorker();

    void OnClose();
    // The window is going: a running install stops, a blocking download
    // call is abandoned at once. Window's thread.
    void StopWorker();

    UniqueHandle m_hWorker; // window's thread only
    // Made afresh on the window's thread before each worker starts; the
    // worker only uses it, the window only cancels it.
    std::shared_ptr<DownloadLink> m_pDownloadLink = std::make_shared<DownloadLink>();

  private:
    void DeviceArrived(const wchar_t* identifier);
    void DeviceRemoved(const wchar_t* identifier);
    // Reads the device and makes it the summarised one; returns whether its
    // package file exists.
    bool Summarize(const std::wstring& identifier);
    void SecureSingleInstance();
    void DeletePackageFiles();
    void SetInstallButtonEnabled(bool enable); // window's thread

    struct Progress {
        std::wstring text;
        double fraction;
    };
    void CloseProgressSlot();

    std::atomic<bool> m_bClosing{false};
    HWND m_hWorkerOwner = nullptr; // the window, as the worker knows it; set before it starts

    std::mutex m_progressLock;
    std::shared_ptr<Progress> m_openProgress; // guarded by m_progressLock

    mutable std::mutex m_lock;
    std::vector<std::wstring> m_devices;      // guarded by m_lock
    std::unique_ptr<DeviceSummary> m_pDevice; // guarded by m_lock
};

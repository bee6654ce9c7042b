// installer-drive: the user of the main job (scripts/run.sh). It starts
// InstallOrvex.exe, plugs a simulated device in with devicesim, clicks the
// bar with the mouse, saves a screenshot of every state the window passes
// through and tells where the install ended.
//
//   installer-drive --udid UDID --out FOLDER
//
// The device must exist in the farm in force (DEVICESIM_FARM) and be
// unplugged. Exit status: 0 when the window showed "安装成功，请重启设备" and
// the program then ended cleanly; 1 otherwise; 2 bad usage.
#include "platform/file.h"
#include "res/resource.h"
#include "tests/installer/automation.h"
#include "tests/support/test_util.h"
#include "tests/support/ui_util.h"

// clang-format off
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using automation::WaitUntil;

constexpr wchar_t kHandsetPackage[] = L"C:\\Quillon.deb";

void Say(const std::wstring& text) {
    std::wstring line = text + L"\n";
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    int n = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n, nullptr, nullptr);
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// ---- what the screen shows ---------------------------------------------------------

// The window's pixels as the screen shows them (0x00RRGGBB, top row first).
struct Frame {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;

    bool empty() const { return pixels.empty(); }
    uint32_t At(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return 0;
        return pixels[static_cast<size_t>(y) * width + x];
    }
    bool operator==(const Frame& other) const {
        return width == other.width && height == other.height && pixels == other.pixels;
    }
};

struct ScreenDC {
    HDC dc = ::GetDC(nullptr);
    ~ScreenDC() { ::ReleaseDC(nullptr, dc); }
};
struct MemoryDC {
    HDC dc;
    explicit MemoryDC(HDC compatible) : dc(::CreateCompatibleDC(compatible)) {}
    ~MemoryDC() { ::DeleteDC(dc); }
};
struct Bitmap {
    HBITMAP handle = nullptr;
    ~Bitmap() { ::DeleteObject(handle); }
};

bool Capture(HWND window, Frame* frame) {
    RECT rect;
    if (!::GetWindowRect(window, &rect))
        return false;
    const int w = rect.right - rect.left, h = rect.bottom - rect.top;
    if (w <= 0 || h <= 0)
        return false;
    ScreenDC screen;
    MemoryDC memory(screen.dc);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h; // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    Bitmap bitmap;
    bitmap.handle = ::CreateDIBSection(screen.dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!screen.dc || !memory.dc || !bitmap.handle)
        return false;
    HGDIOBJ old = ::SelectObject(memory.dc, bitmap.handle);
    bool copied = ::BitBlt(memory.dc, 0, 0, w, h, screen.dc, rect.left, rect.top, SRCCOPY | CAPTUREBLT) != FALSE;
    ::SelectObject(memory.dc, old);
    if (!copied)
        return false;
    const uint32_t* p = static_cast<const uint32_t*>(bits);
    frame->width = w;
    frame->height = h;
    frame->pixels.assign(p, p + static_cast<size_t>(w) * h);
    for (uint32_t& pixel : frame->pixels)
        pixel &= 0xFFFFFF;
    return true;
}

bool SavePng(const Frame& frame, const std::wstring& path) {
    Gdiplus::GpBitmap* bitmap = nullptr;
    std::vector<uint32_t> pixels = frame.pixels;
    if (Gdiplus::DllExports::GdipCreateBitmapFromScan0(frame.width, frame.height, frame.width * 4, PixelFormat32bppRGB,
                                                       reinterpret_cast<BYTE*>(pixels.data()), &bitmap) != Gdiplus::Ok)
        return false;
    const CLSID png = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
    bool saved = Gdiplus::DllExports::GdipSaveImageToFile(bitmap, path.c_str(), &png, nullptr) == Gdiplus::Ok;
    Gdiplus::DllExports::GdipDisposeImage(bitmap);
    return saved;
}

int Red(uint32_t p) { return (p >> 16) & 0xFF; }
int Green(uint32_t p) { return (p >> 8) & 0xFF; }
int Blue(uint32_t p) { return p & 0xFF; }
bool IsAmber(uint32_t p) { return Red(p) > Green(p) && Green(p) > Blue(p) + 40; }
bool IsGreen(uint32_t p) { return Green(p) > Red(p) + 40 && Green(p) > Blue(p) + 40; }
bool IsDark(uint32_t p) { return Red(p) < 140 && Green(p) < 140 && Blue(p) < 140; }

// Places in the window: the bar right of its text, the arrow of the
// installed state, and the bar's left end (a telephone on the action bar, a
// spinner over the progress fill).
const POINT kBarProbe = {38 + 290, 90 + 20};
const POINT kArrowProbe = {266, 42};
const RECT kBarIcon = {40, 92, 80, 128};

bool SameIcon(const Frame& a, const Frame& b) {
    for (int y = kBarIcon.top; y < kBarIcon.bottom; ++y)
        for (int x = kBarIcon.left; x < kBarIcon.right; ++x)
            if (a.At(x, y) != b.At(x, y))
                return false;
    return true;
}

// The states the window shows, told apart by their pixels. The two offer
// frames (without and with the pointer over the bar) are taken before the
// click and serve as references.
enum class Look { Unknown, Message, Offer, OfferPointer, Installing, Progress, Installed };

Look Classify(const Frame& frame, const Frame& offer, const Frame& offerPointer) {
    uint32_t bar = frame.At(kBarProbe.x, kBarProbe.y);
    if (IsGreen(bar) && IsDark(frame.At(kArrowProbe.x, kArrowProbe.y)))
        return Look::Installed;
    if (IsAmber(bar))
        return Look::Message;
    if (offer.empty())
        return IsGreen(bar) ? Look::Offer : Look::Unknown;
    if (frame == offer)
        return Look::Offer;
    if (frame == offerPointer)
        return Look::OfferPointer;
    // Installing draws the offer's bar with another text; progress draws
    // the track, the fill and a spinner over the bar's left end.
    return IsGreen(bar) && SameIcon(frame, offer) ? Look::Installing : Look::Progress;
}

struct LookName {
    Look look;
    const wchar_t* file;
    const wchar_t* said;
};
const LookName kLookNames[] = {
    {Look::Unknown, L"unknown", L"?"},
    {Look::Message, L"state0-message", L"0, a message"},
    {Look::Offer, L"state2-install-offer", L"2, 点击安装"},
    {Look::OfferPointer, L"state2-pointer-over-the-bar", L"2, 点击安装 (pointer over the bar)"},
    {Look::Installing, L"state3-installing", L"3, 正在安装..."},
    {Look::Progress, L"state5-progress", L"5, progress"},
    {Look::Installed, L"state4-installed", L"4, 安装成功，请重启设备"},
};
const LookName& NameOf(Look look) {
    for (const LookName& name : kLookNames)
        if (name.look == look)
            return name;
    return kLookNames[0];
}

// ---- the run ---------------------------------------------------------------------------

class Driver {
  public:
    Driver(std::wstring udid, std::wstring out) : m_udid(std::move(udid)), m_out(std::move(out)) {}
    int Run();

  private:
    bool Fail(const std::wstring& why);
    int Failed(const std::wstring& why) {
        Fail(why);
        return 1;
    }
    bool Shot(const Frame& frame, Look look, const wchar_t* note = nullptr);
    // A frame that stays the same for `steady` ms and satisfies `accept`.
    template <typename Accept> bool WaitForSteady(Accept accept, DWORD milliseconds, Frame* frame);
    bool Devicesim(const std::wstring& arguments);
    bool Install(Look* last);
    void ReportBoxes();

    std::wstring m_udid, m_out;
    automation::Installer m_app;
    HWND m_window = nullptr;
    Frame m_offer, m_offerPointer;
    int m_shots = 0;
};

bool Driver::Fail(const std::wstring& why) {
    Say(L"installer-drive: " + why);
    ReportBoxes();
    return false;
}

void Driver::ReportBoxes() {
    if (!m_app.Running())
        return;
    if (auto box = automation::WaitForMessageBox(m_app.pid(), 0))
        Say(L"installer-drive: the program shows a message box: " + box->text);
}

bool Driver::Shot(const Frame& frame, Look look, const wchar_t* note) {
    wchar_t number[8];
    std::swprintf(number, 8, L"%02d-", ++m_shots);
    std::wstring path = m_out + L"\\" + number + NameOf(look).file + L".png";
    if (!SavePng(frame, path))
        return Fail(L"cannot write " + path);
    Say(std::wstring(L"state ") + NameOf(look).said + (note ? std::wstring(L" ") + note : L"") + L" -> " + path);
    return true;
}

template <typename Accept> bool Driver::WaitForSteady(Accept accept, DWORD milliseconds, Frame* frame) {
    const DWORD kSteady = 300;
    Frame last;
    DWORD since = ::GetTickCount();
    return WaitUntil(
        [&] {
            Frame now;
            if (!Capture(m_window, &now))
                return false;
            if (!(now == last)) {
                last = now;
                since = ::GetTickCount();
                return false;
            }
            if (::GetTickCount() - since < kSteady || !accept(now))
                return false;
            *frame = now;
            return true;
        },
        milliseconds);
}

bool Driver::Devicesim(const std::wstring& arguments) {
    std::wstring exe = testutil::ProgramFolder() + L"\\devicesim.exe";
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    DWORD status = 1;
    if (::WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process.get(), &status))
        return false;
    return status == 0;
}

// Clicks the bar and follows the window until it shows the end of the
// install (or a failure); a screenshot of each state it passes through.
bool Driver::Install(Look* last) {
    HWND bar = ::GetDlgItem(m_window, IDC_BUTTON_INSTALL);
    automation::Click(bar);
    ::SetCursorPos(0, 0); // the pointer leaves the bar, as after a click
    std::vector<Look> shown = {Look::Offer, Look::OfferPointer};
    Frame previous;
    DWORD installedAt = 0;
    const DWORD kLongest = 120000;
    bool ended = WaitUntil(
        [&] {
            Frame frame;
            if (!Capture(m_window, &frame) || frame == previous)
                return installedAt && ::GetTickCount() - installedAt > 500;
            previous = frame;
            Look look = Classify(frame, m_offer, m_offerPointer);
            *last = look;
            if (std::find(shown.begin(), shown.end(), look) == shown.end()) {
                shown.push_back(look);
                Shot(frame, look);
            }
            installedAt = look == Look::Installed ? ::GetTickCount() : 0;
            return !m_app.Running() || automation::WaitForMessageBox(m_app.pid(), 0).has_value();
        },
        kLongest);
    if (!ended)
        return Fail(L"the install did not end within two minutes");
    if (!m_app.Running())
        return Fail(L"InstallOrvex.exe ended during the install");
    if (*last != Look::Installed)
        return Fail(L"the install ended in state " + std::wstring(NameOf(*last).said));
    if (auto box = automation::WaitForMessageBox(m_app.pid(), 0))
        return Fail(L"a message box came with the end of the install");
    return true;
}

int Driver::Run() {
    testutil::GdiplusSession gdiplus;
    ::CreateDirectoryW(m_out.c_str(), nullptr);
    if (!m_app.Start())
        return Failed(L"cannot start InstallOrvex.exe");
    m_window = m_app.WaitForWindow(30000);
    if (!m_window)
        return Failed(L"no window titled " + std::wstring(automation::kWindowTitle) + L" appeared");
    ::SetCursorPos(0, 0);

    Frame frame;
    if (!WaitForSteady([](const Frame& f) { return IsAmber(f.At(kBarProbe.x, kBarProbe.y)); }, 15000, &frame))
        return Failed(L"the window never asked for a device");
    if (!Shot(frame, Look::Message, L"(请将设备连接至电脑)"))
        return 1;

    Say(L"plugging in " + m_udid);
    if (!Devicesim(L"attach " + m_udid))
        return Failed(L"devicesim could not plug in " + m_udid);
    HWND bar = ::GetDlgItem(m_window, IDC_BUTTON_INSTALL);
    auto offered = [&](const Frame& f) { return ::IsWindowEnabled(bar) && IsGreen(f.At(kBarProbe.x, kBarProbe.y)); };
    if (!WaitForSteady(offered, 20000, &m_offer))
        return Failed(L"the window did not offer the install");
    if (!IsLocalFile(kHandsetPackage))
        return Failed(L"the offer is a download (C:\\Quillon.deb is missing); the main job installs the package "
                      L"the program carries");
    if (!Shot(m_offer, Look::Offer))
        return 1;

    RECT rect;
    ::GetWindowRect(bar, &rect);
    ::SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    if (!WaitForSteady([&](const Frame& f) { return !(f == m_offer) && offered(f); }, 5000, &m_offerPointer))
        return Failed(L"the bar did not answer the pointer");
    if (!Shot(m_offerPointer, Look::OfferPointer))
        return 1;

    Say(L"clicking the bar");
    Look last = Look::Unknown;
    bool installed = Install(&last);
    Say(std::wstring(L"final state: ") + NameOf(last).said);
    if (!installed)
        return 1;

    automation::Click(::GetDlgItem(m_window, IDC_BUTTON_CLOSE));
    auto status = m_app.WaitForExit(15000);
    if (!status)
        return Failed(L"InstallOrvex.exe did not end after its close button");
    Say(L"InstallOrvex.exe ended with status " + std::to_wstring(*status) +
        (IsLocalFile(kHandsetPackage) ? L"; C:\\Quillon.deb is still there" : L"; package files removed from C:"));
    return *status == 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
        std::wstring udid, out;
        for (int i = 1; i + 1 < argc; i += 2) {
            std::wstring name = argv[i];
            if (name == L"--udid")
                udid = argv[i + 1];
            else if (name == L"--out")
                out = argv[i + 1];
        }
        if (udid.empty() || out.empty() || argc != 5) {
            Say(L"usage: installer-drive --udid UDID --out FOLDER");
            return 2;
        }
        return Driver(udid, out).Run();
    } catch (...) {
        Say(L"installer-drive: unexpected failure");
        return 1;
    }
}

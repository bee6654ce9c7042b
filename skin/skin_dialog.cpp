#include "skin/skin_dialog.h"

#include "installer/framework/app.h"
#include "installer/web_addresses.h"
#include "platform/seams.h"
#include "res/resource.h"

#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <optional>

int g_nSpinnerTick = 0;

namespace {

using namespace skin;

constexpr const wchar_t* kPng = ORVEX_RT_PNG;
constexpr UINT kIconId = IDI_INSTALLORVEX;

// Skin image resources (res/resource.h).
enum : UINT {
    kImgBackground = IDB_BACKGROUND,
    kImgMessageBar = IDB_BAR_MESSAGE,
    kImgActionBar = IDB_BAR_ACTION,
    kImgProgressTrack = IDB_BAR_TRACK,
    kImgProgressFill = IDB_BAR_FILL,
    kImgProgressCap = IDB_BAR_FILL_CAP,
    kImgSuccessBar = IDB_BAR_SUCCESS,
    kImgMinimize = IDB_MIN,
    kImgClose = IDB_CLOSE,
    kImgCloseHover = IDB_CLOSE_HOVER,
    kImgMinimizeHover = IDB_MIN_HOVER,
    kImgActionBarHover = IDB_BAR_ACTION_HOVER,
    kImgArrow = IDB_ARROW,
};
constexpr POINT kArrowAt = {255, 30};
constexpr int kTextTop = 7;

constexpr wchar_t kFontName[] = L"微软雅黑";
constexpr float kFontSize = 14.0f;

// Failure words.
constexpr wchar_t kErrUser32[] = L"User32.dll ERROR!";
constexpr wchar_t kErrBackground[] = L"加载背景图片失败！";
constexpr wchar_t kErrFill[] = L"加载进度条图片失败！";
constexpr wchar_t kErrFillCap[] = L"加载进度条左背景图失败！";
constexpr wchar_t kErrBar[] = L"加载消息bar图片失败！";
constexpr wchar_t kErrMin[] = L"加载消息Min图片失败！";
constexpr wchar_t kErrClose[] = L"加载消息close图片失败！";
constexpr wchar_t kErrArrow[] = L"加载箭头图片失败！";
constexpr wchar_t kErrEmptyStatus[] = L"显示警告信息时，信息为空！";
constexpr wchar_t kErrNullRate[] = L"重画进度条时，速率字符串为空！";

// Texts of the states.
constexpr wchar_t kTextDownload[] = L"点击下载";
constexpr wchar_t kTextInstall[] = L"点击安装";
constexpr wchar_t kTextInstalling[] = L"正在安装...";
constexpr wchar_t kTextInstalled[] = L"安装成功，请重启设备";

bool InLinkRect(POINT pt) {
    const RECT& r = CSkinDialog::kLinkRect;
    return pt.x >= r.left && pt.x <= r.right && pt.y >= r.top && pt.y <= r.bottom;
}

} // namespace

CSkinDialog::CSkinDialog(UINT nIDTemplate, HWND hParent) : CDialog(nIDTemplate, hParent) {
    m_hIcon = ::LoadIconW(AppResourceModule(), MAKEINTRESOURCEW(kIconId));
    m_btnInstall.m_nRole = kRoleInstall;
    m_btnMinimize.m_nRole = kRoleMinimize;
    m_btnClose.m_nRole = kRoleClose;
}

CSkinDialog::~CSkinDialog() = default;

int CSkinDialog::LoadPngResource(UINT id, const wchar_t* type, SkinImage* slot) {
    if (!slot || !type)
        return 0;
    auto key = std::make_pair(std::wstring(type), id);
    SharedImage image;
    if (m_bCacheImages) {
        auto found = m_imageCache.find(key);
        if (found != m_imageCache.end())
            image = found->second;
    }
    if (!image) {
        image = DecodePngResource(AppResourceModule(), id, type);
        if (!image)
            return 0;
        if (m_bCacheImages)
            m_imageCache[key] = image;
    }
    slot->image = std::move(image);
    slot->nId = id;
    return 1;
}

int CSkinDialog::OnCreate() {
    m_blend = {AC_SRC_OVER, 0, 235, AC_SRC_ALPHA};
    m_hUser32.reset(::LoadLibraryW(L"User32.DLL"));
    if (!m_hUser32) {
        MessageBox(kErrUser32);
        ::ExitProcess(0);
    }
    m_pfnUpdateLayeredWindow = reinterpret_cast<UpdateLayeredWindowFn>(
        reinterpret_cast<void*>(::GetProcAddress(m_hUser32.get(), "UpdateLayeredWindow")));

    const struct {
        UINT id;
        SkinImage* slot;
        SIZE* size;
        const wchar_t* failure;
    } start[] = {
        {kImgBackground, &m_pImgBackground, &m_sizeBackground, kErrBackground},
        {kImgProgressFill, &m_pImgFill, &m_sizeFill, kErrFill},
        {kImgProgressCap, &m_pImgFillCap, &m_sizeFillCap, kErrFillCap},
        {kImgMessageBar, &m_pImgBar, &m_sizeBar, kErrBar},
        {kImgMinimize, &m_pImgMin, &m_sizeMin, kErrMin},
        {kImgClose, &m_pImgClose, &m_sizeClose, kErrMin},
        {kSpinnerFrames[0], &m_pImgSpinner, &m_sizeSpinner, kErrMin},
    };
    for (const auto& item : start) {
        if (!LoadPngResource(item.id, kPng, item.slot)) {
            MessageBox(item.failure);
            return -1;
        }
    }
    for (const auto& item : start)
        *item.size = {item.slot->image->width, item.slot->image->height};
    return 0;
}

void CSkinDialog::DoDataExchange() {
    m_btnInstall.SubclassDlgItem(kIdInstall, m_hWnd);
    m_btnMinimize.SubclassDlgItem(kIdMinimize, m_hWnd);
    m_btnClose.SubclassDlgItem(kIdClose, m_hWnd);
    m_btnInstall.m_pOwner = m_btnMinimize.m_pOwner = m_btnClose.m_pOwner = m_hWnd;
}

void CSkinDialog::ApplyLayout() {
    LONG style = ::GetWindowLongW(m_hWnd, GWL_STYLE);
    ::SetWindowLongW(m_hWnd, GWL_STYLE, style & ~static_cast<LONG>(WS_CAPTION | WS_THICKFRAME));
    int screenWidth = ::GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = ::GetSystemMetrics(SM_CYSCREEN);
    int width = m_sizeBackground.cx;
    int height = m_sizeBackground.cy;
    ::MoveWindow(m_hWnd, (screenWidth - width) / 2, (screenHeight - height) / 2, width, height, TRUE);
    ::EnableWindow(m_btnInstall.m_hWnd, FALSE);

    m_ptBar = {static_cast<LONG>((width - m_sizeBar.cx) * 0.5), static_cast<LONG>((height - m_sizeBar.cy) * 0.5)};
    m_ptMin = {width - m_sizeMin.cx - m_sizeClose.cx, 0};
    m_ptClose = {width - m_sizeClose.cx, 0};
    ::MoveWindow(m_btnInstall.m_hWnd, m_ptBar.x, m_ptBar.y, m_sizeBar.cx, m_sizeBar.cy, TRUE);
    ::MoveWindow(m_btnMinimize.m_hWnd, m_ptMin.x, m_ptMin.y, m_sizeMin.cx, m_sizeMin.cy, TRUE);
    ::MoveWindow(m_btnClose.m_hWnd, m_ptClose.x, m_ptClose.y, m_sizeClose.cx, m_sizeClose.cy, TRUE);
}

void CSkinDialog::RenderSkin(const wchar_t* text, double fraction) {
    if (!IsWindowThread()) {
        std::optional<std::wstring> copy;
        if (text)
            copy = text;
        RunOnWindowThread([this, copy, fraction] { RenderSkin(copy ? copy->c_str() : nullptr, fraction); });
        return;
    }
    const wchar_t* failure = nullptr;
    bool composed = false;
    {
        SkinFrame frame;
        composed = ComposeFrame(text, fraction, &frame, &failure);
        if (composed)
            PushFrame(frame);
    }
    // Shown once everything of the composition is released: the box runs a
    // message loop of its own, in which another composition may start.
    if (!composed && failure)
        MessageBox(failure);
}

bool CSkinDialog::EnsureDrawingTools() {
    if (m_font && m_format && m_brush)
        return true;
    Gdiplus::GpFontFamily* family = nullptr;
    if (gp::GdipCreateFontFamilyFromName(kFontName, nullptr, &family) != Gdiplus::Ok || !family) {
        family = nullptr;
        if (gp::GdipGetGenericFontFamilySansSerif(&family) != Gdiplus::Ok || !family)
            return false;
    }
    GpFontFamilyPtr familyOwner(family);
    Gdiplus::GpFont* font = nullptr;
    if (gp::GdipCreateFont(family, kFontSize, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel, &font) != Gdiplus::Ok)
        return false;
    GpFontPtr fontOwner(font);
    Gdiplus::GpStringFormat* format = nullptr;
    if (gp::GdipCreateStringFormat(0, LANG_NEUTRAL, &format) != Gdiplus::Ok)
        return false;
    GpStringFormatPtr formatOwner(format);
    Gdiplus::GpSolidFill* brush = nullptr;
    if (gp::GdipCreateSolidFill(0xFFFFFFFF, &brush) != Gdiplus::Ok)
        return false;
    m_brush.reset(brush);
    m_format = std::move(formatOwner);
    m_font = std::move(fontOwner);
    m_fontFamily = std::move(familyOwner);
    return true;
}

void CSkinDialog::DrawImage(SkinFrame* frame, const SkinImage& image, POINT at, SIZE size) {
    if (!image)
        return;
    // Unscaled images are blended straight into the frame; GDI+ draws the rest.
    if (size.cx == image.image->width && size.cy == image.image->height &&
        frame->Blit(*image.image, at.x, at.y, 0, 0, size.cx, size.cy))
        return;
    const Gdiplus::GpPoint corners[3] = {{at.x, at.y}, {at.x + size.cx, at.y}, {at.x, at.y + size.cy}};
    gp::GdipDrawImagePointsI(frame->graphics(), image.get(), corners, 3);
    frame->Flush();
}

void CSkinDialog::DrawBarText(SkinFrame* frame, const std::wstring& text) {
    if (!m_font)
        return;
    // Centre by the ink width: the bounds of the glyph outlines, not the advance.
    float inkWidth = 0.0f;
    Gdiplus::GpPath* path = nullptr;
    if (gp::GdipCreatePath(Gdiplus::FillModeAlternate, &path) == Gdiplus::Ok) {
        GpPathPtr pathOwner(path);
        INT style = 0;
        float size = 0.0f;
        gp::GdipGetFontStyle(m_font.get(), &style);
        gp::GdipGetFontSize(m_font.get(), &size);
        const Gdiplus::RectF origin(0.0f, 0.0f, 0.0f, 0.0f);
        Gdiplus::RectF bounds(0.0f, 0.0f, 0.0f, 0.0f);
        if (gp::GdipAddPathString(path, text.c_str(), -1, m_fontFamily.get(), style, size, &origin, m_format.get()) ==
                Gdiplus::Ok &&
            gp::GdipGetPathWorldBounds(path, &bounds, nullptr, nullptr) == Gdiplus::Ok)
            inkWidth = bounds.Width;
    }
    const Gdiplus::RectF layout(static_cast<float>(m_ptBar.x + (m_sizeBar.cx - inkWidth) * 0.5),
                                static_cast<float>(m_ptBar.y + kTextTop), 0.0f, 0.0f);
    gp::GdipDrawString(frame->graphics(), text.c_str(), -1, m_font.get(), &layout, m_format.get(), m_brush.get());
    frame->Flush();
}

void CSkinDialog::DrawProgressFill(SkinFrame* frame, double fraction) {
    const int w = m_sizeFill.cx;
    const int h = m_sizeFill.cy;
    const int x = m_ptBar.x;
    const int y = m_ptBar.y;
    const int srcLeft = static_cast<int>(w * (1.0 - fraction));
    const int srcWidth = static_cast<int>(w * fraction);
    if (srcWidth <= 0 || !m_pImgFill)
        return;
    // The destination is as wide as the source: the fill is never scaled.
    const int dstRight = static_cast<int>(x + w * fraction);
    if (dstRight - x == srcWidth && h == m_pImgFill.image->height &&
        frame->Blit(*m_pImgFill.image, x, y, srcLeft, 0, srcWidth, h))
        return;
    const Gdiplus::GpPoint corners[3] = {{x, y}, {dstRight, y}, {x, y + h}};
    gp::GdipDrawImagePointsRectI(frame->graphics(), m_pImgFill.get(), corners, 3, srcLeft, 0, srcWidth, h,
                                 Gdiplus::UnitPixel, nullptr, nullptr, nullptr);
    frame->Flush();
}

bool CSkinDialog::LoadBar(UINT id) { return LoadPngResource(id, kPng, &m_pImgBar) != 0; }

bool CSkinDialog::ComposeFrame(const wchar_t* text, double fraction, SkinFrame* frame, const wchar_t** failure) {
    *failure = nullptr;
    if (!frame->Create(m_sizeBackground.cx, m_sizeBackground.cy) || !EnsureDrawingTools())
        return false;
    DrawImage(frame, m_pImgBackground, {0, 0}, m_sizeBackground);

    if (!LoadPngResource(m_bHoverMin ? kImgMinimizeHover : kImgMinimize, kPng, &m_pImgMin)) {
        *failure = kErrMin;
        return false;
    }
    DrawImage(frame, m_pImgMin, m_ptMin, m_sizeMin);
    if (!LoadPngResource(m_bHoverClose ? kImgCloseHover : kImgClose, kPng, &m_pImgClose)) {
        *failure = kErrClose;
        return false;
    }
    DrawImage(frame, m_pImgClose, m_ptClose, m_sizeClose);

    UINT bar = 0;
    switch (m_nState) {
    case 0:
        if (m_strStatus.empty()) {
            *failure = kErrEmptyStatus;
            return false;
        }
        bar = kImgMessageBar;
        break;
    case 1:
        m_strStatus = kTextDownload;
        bar = m_bHoverBar ? kImgActionBarHover : kImgActionBar;
        break;
    case 2:
        m_strStatus = kTextInstall;
        bar = m_bHoverBar ? kImgActionBarHover : kImgActionBar;
        break;
    case 3:
        m_strStatus = kTextInstalling;
        bar = kImgActionBar;
        break;
    case 4:
        m_strStatus = kTextInstalled;
        bar = kImgSuccessBar;
        break;
    case 5:
        if (!text) {
            *failure = kErrNullRate;
            return false;
        }
        fraction = std::clamp(std::isnan(fraction) ? 0.0 : fraction, 0.0, 1.0);
        m_dProgress = fraction;
        bar = kImgProgressTrack;
        break;
    default:
        frame->FinishDrawing();
        return true;
    }
    if (!LoadBar(bar)) {
        *failure = kErrBar;
        return false;
    }
    DrawImage(frame, m_pImgBar, m_ptBar, m_sizeBar);

    if (m_nState == 5) {
        DrawProgressFill(frame, fraction);
        DrawImage(frame, m_pImgFillCap, m_ptBar, m_sizeFillCap);
        m_strStatus = text;
        DrawBarText(frame, m_strStatus);
        DrawImage(frame, m_pImgSpinner, m_ptBar, {m_sizeSpinner.cx, m_sizeFill.cy});
    } else {
        DrawBarText(frame, m_strStatus);
    }
    if (m_nState == 4) {
        SkinImage arrow;
        if (!LoadPngResource(kImgArrow, kPng, &arrow)) {
            *failure = kErrArrow;
            return false;
        }
        DrawImage(frame, arrow, kArrowAt, {arrow.image->width, arrow.image->height});
    }
    frame->FinishDrawing();
    return true;
}

void CSkinDialog::PushFrame(const SkinFrame& frame) {
    if (!m_hWnd || !m_pfnUpdateLayeredWindow || !frame.bitmap())
        return;
    RECT window;
    if (!::GetWindowRect(m_hWnd, &window))
        return;
    LONG exStyle = ::GetWindowLongW(m_hWnd, GWL_EXSTYLE);
    if (!(exStyle & WS_EX_LAYERED))
        ::SetWindowLongW(m_hWnd, GWL_EXSTYLE, exStyle | WS_EX_LAYERED);
    WindowDC destination(m_hWnd);
    MemoryDCPtr memory(::CreateCompatibleDC(destination.get()));
    if (!memory)
        return;
    ScopedSelect select(memory.get(), frame.bitmap());
    m_hMemDC = memory.get();
    POINT topLeft = {window.left, window.top};
    SIZE size = m_sizeBackground;
    POINT source = {0, 0};
    m_pfnUpdateLayeredWindow(m_hWnd, destination.get(), &topLeft, &size, m_hMemDC, &source, 0, &m_blend, ULW_ALPHA);
    m_hMemDC = nullptr;
}

bool CSkinDialog::AnimationStep() {
    UINT id = kSpinnerFrames[((g_nSpinnerTick % 12) + 12) % 12];
    if (!LoadPngResource(id, kPng, &m_pImgSpinner)) {
        MessageBox(kErrBar);
        return false;
    }
    ++g_nSpinnerTick;
    return true;
}

void CSkinDialog::StartAnimation() {
    RunOnWindowThread([this] { ::SetTimer(m_hWnd, kAnimationTimer, kAnimationPeriod, nullptr); });
}

void CSkinDialog::StopAnimation() {
    RunOnWindowThread([this] { ::KillTimer(m_hWnd, kAnimationTimer); });
}

void CSkinDialog::OnOK() { MessageBox(L"a"); }

bool CSkinDialog::OnCommand(UINT id, UINT code) {
    if (code != BN_CLICKED)
        return false;
    if (id == kIdMinimize) {
        ::ShowWindow(m_hWnd, SW_MINIMIZE);
        return true;
    }
    if (id == kIdClose) {
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        return true;
    }
    return false;
}

void CSkinDialog::OnHoverNotice(WPARAM wParam, bool hover) {
    const int* role = reinterpret_cast<const int*>(wParam);
    if (role) {
        if (*role == kRoleMinimize)
            m_bHoverMin = hover;
        else if (*role == kRoleClose)
            m_bHoverClose = hover;
        else if (*role == kRoleInstall)
            m_bHoverBar = hover;
    }
    std::wstring status = m_strStatus;
    RenderSkin(status.c_str(), m_dProgress);
}

void CSkinDialog::PaintMinimizedIcon() {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    ::SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
}

bool CSkinDialog::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (msg) {
    case WM_TIMER:
        if (wParam != kAnimationTimer)
            return false;
        // A failed step skips the default processing.
        return !AnimationStep();
    case WM_BUTTON_HOVER:
    case WM_BUTTON_LEAVE:
        OnHoverNotice(wParam, msg == WM_BUTTON_HOVER);
        *result = 0;
        return true;
    case WM_NCHITTEST: {
        POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ::ScreenToClient(m_hWnd, &pt);
        if (InLinkRect(pt) || pt.y >= m_sizeBackground.cy)
            return false;
        *result = HTCAPTION;
        return true;
    }
    case WM_MOUSEMOVE: {
        POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        if (InLinkRect(pt))
            ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
        return false;
    }
    case WM_LBUTTONDOWN:
        seams::ShellOpen(web::kMakerSite);
        return false;
    case WM_PAINT:
        if (!::IsIconic(m_hWnd))
            return false;
        PaintMinimizedIcon();
        *result = 0;
        return true;
    case WM_QUERYDRAGICON:
        *result = reinterpret_cast<LRESULT>(m_hIcon);
        return true;
    default:
        return false;
    }
}

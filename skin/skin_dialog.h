// The skinned main window of the installer: a frameless dialog whose whole
// appearance is one per-pixel-alpha frame composed from the skin's PNG
// images and handed to the window manager as a layered window, with skinned
// minimise, close and install buttons, dragging anywhere, and a clickable
// web address. The workflow (derived class) sets the display state and
// calls RenderSkin.
#pragma once

#include "installer/framework/dialog.h"
#include "platform/handles.h"
#include "res/resource.h"
#include "skin/my_button.h"
#include "skin/png_resource.h"
#include "skin/skin_frame.h"

#include <map>
#include <string>
#include <utility>

// Process-wide count of animation steps; selects the spinner frame.
extern int g_nSpinnerTick;

// One image slot of the skin: the image and the resource it came from.
struct SkinImage {
    UINT nId = 0;
    skin::SharedImage image;
    Gdiplus::GpImage* get() const { return image ? image->image.get() : nullptr; }
    explicit operator bool() const { return image != nullptr; }
};

using UpdateLayeredWindowFn = BOOL(WINAPI*)(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD);

class CSkinDialog : public CDialog {
  public:
    // Controls of dialog template 102.
    static constexpr int kIdInstall = IDC_BUTTON_INSTALL;
    static constexpr int kIdMinimize = IDC_BUTTON_MIN;
    static constexpr int kIdClose = IDC_BUTTON_CLOSE;
    // The animation timer (started and stopped by the install work).
    static constexpr UINT_PTR kAnimationTimer = 1000;
    static constexpr UINT kAnimationPeriod = 500;
    // The web address printed on the background, in client pixels, both
    // ends included.
    static constexpr RECT kLinkRect = {206, 157, 338, 168};

    CSkinDialog(UINT nIDTemplate, HWND hParent);
    ~CSkinDialog() override;

    // Decodes PNG resource `id` of `type` into `slot`, releasing what the
    // slot held. 1 on success, 0 when the resource cannot be found, loaded
    // or decoded (the slot is left as it was).
    int LoadPngResource(UINT id, const wchar_t* type, SkinImage* slot);

    // Composes the frame of the current display state and pushes it to the
    // window. `text` and `fraction` are used in state 5 only. May be called
    // from any thread: away from the window's thread it is carried out
    // there, in call order. A failure shows its words and pushes nothing.
    void RenderSkin(const wchar_t* text, double fraction);
    // The composition alone, into `frame` (steps of RenderSkin before the
    // push). False on an early end; `*failure` then holds the words to show
    // (null when the surface itself could not be made).
    bool ComposeFrame(const wchar_t* text, double fraction, skin::SkinFrame* frame, const wchar_t** failure);
    // Replaces the window's content with `frame`.
    void PushFrame(const skin::SkinFrame& frame);

    // The window layout: no caption or sizing frame, centred on the primary
    // screen at the background's size, install button disabled, the three
    // buttons over their pictures.
    void ApplyLayout();
    // One step of the spinner animation (the timer's work). False when the
    // frame image could not be loaded (its words have been shown).
    bool AnimationStep();
    // Start or stop the animation timer; any thread.
    void StartAnimation();
    void StopAnimation();

    // Display state, set by the workflow before RenderSkin.
    int m_nState = 0;
    std::wstring m_strStatus;
    double m_dProgress = 0.0;

    // Image slots.
    SkinImage m_pImgBackground, m_pImgFill, m_pImgFillCap, m_pImgBar, m_pImgMin, m_pImgClose, m_pImgSpinner;
    // Sizes measured once at creation; later images of a slot are drawn at these.
    SIZE m_sizeBackground = {}, m_sizeFill = {}, m_sizeFillCap = {}, m_sizeBar = {}, m_sizeMin = {}, m_sizeClose = {},
         m_sizeSpinner = {};
    POINT m_ptBar = {}, m_ptMin = {}, m_ptClose = {};

    HDC m_hMemDC = nullptr; // the surface's device context during a push
    UniqueModule m_hUser32;
    UpdateLayeredWindowFn m_pfnUpdateLayeredWindow = nullptr;
    BLENDFUNCTION m_blend = {};
    bool m_bHoverMin = false, m_bHoverClose = false, m_bHoverBar = false;

    CMyButton m_btnInstall, m_btnMinimize, m_btnClose;
    HICON m_hIcon = nullptr;

    // Decode each skin image once and reuse it (true), or decode on every
    // load as a composition asks for it (false; kept for measurements).
    bool m_bCacheImages = true;

  protected:
    int OnCreate() override;
    void DoDataExchange() override;
    void OnOK() override;
    bool OnCommand(UINT id, UINT code) override;
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    bool EnsureDrawingTools();
    void DrawImage(skin::SkinFrame* frame, const SkinImage& image, POINT at, SIZE size);
    void DrawBarText(skin::SkinFrame* frame, const std::wstring& text);
    void DrawProgressFill(skin::SkinFrame* frame, double fraction);
    bool LoadBar(UINT id);
    void OnHoverNotice(WPARAM wParam, bool hover);
    void PaintMinimizedIcon();

    std::map<std::pair<std::wstring, UINT>, skin::SharedImage> m_imageCache;
    skin::GpFontFamilyPtr m_fontFamily;
    skin::GpFontPtr m_font;
    skin::GpStringFormatPtr m_format;
    skin::GpBrushPtr m_brush;
};

#include "tests/support/ui_util.h"

#include "platform/seams.h"

// clang-format off
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <map>
#include <mutex>

namespace testutil {

namespace {

std::mutex g_lock;
std::vector<ShownBox> g_boxes;
std::vector<std::wstring> g_opened;
std::map<std::wstring, int> g_answers;
int g_defaultAnswer = IDOK;

int RecordBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    std::lock_guard<std::mutex> hold(g_lock);
    std::wstring t = text ? text : L"";
    g_boxes.push_back({owner, t, caption ? caption : L"", type});
    auto found = g_answers.find(t);
    return found != g_answers.end() ? found->second : g_defaultAnswer;
}

void RecordOpen(const wchar_t* target) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_opened.push_back(target ? target : L"");
}

} // namespace

GdiplusSession::GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&m_token, &input, nullptr) != Gdiplus::Ok)
        m_token = 0;
}

GdiplusSession::~GdiplusSession() {
    if (m_token)
        Gdiplus::GdiplusShutdown(m_token);
}

SeamRecorder::SeamRecorder(int answer) {
    Clear();
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_defaultAnswer = answer;
        g_answers.clear();
    }
    seams::Current().messageBox = RecordBox;
    seams::Current().shellOpen = RecordOpen;
}

SeamRecorder::~SeamRecorder() { seams::Reset(); }

void SeamRecorder::SetAnswerFor(const std::wstring& text, int answer) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_answers[text] = answer;
}

std::vector<ShownBox> SeamRecorder::boxes() const {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_boxes;
}

std::vector<std::wstring> SeamRecorder::texts() const {
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::wstring> result;
    for (const auto& box : g_boxes)
        result.push_back(box.text);
    return result;
}

std::vector<std::wstring> SeamRecorder::opened() const {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_opened;
}

void SeamRecorder::Clear() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_boxes.clear();
    g_opened.clear();
}

void PumpMessages(DWORD milliseconds) {
    DWORD start = ::GetTickCount();
    do {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (milliseconds)
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (::GetTickCount() - start < milliseconds);
}

} // namespace testutil

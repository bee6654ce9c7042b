#include "tools/orvexctl/progress.h"

#include "tools/orvexctl/records.h"

#include <cwchar>

namespace orvexctl {

namespace {

ProgressReporter* g_current = nullptr;

void OnLibraryProgress(const wchar_t* /*identifier*/, const wchar_t* text, unsigned int percent) {
    try {
        if (g_current)
            g_current->OnProgress(text ? text : L"", percent);
    } catch (...) {
    }
}

// A redraw of the bar at most this often, unless the step changes.
const auto kRedrawInterval = std::chrono::milliseconds(100);
// Plain lines: one when the step changes or the total moved this far.
const int kLinePercentStep = 10;

std::wstring CutToWidth(const std::wstring& text, int width) {
    if (DisplayWidth(text) <= width)
        return text;
    // Keep the end, where a file's name is.
    std::wstring tail;
    for (size_t i = text.size(); i > 0; --i) {
        std::wstring candidate = text.substr(i - 1);
        if (DisplayWidth(candidate) + 1 > width)
            break;
        tail = candidate;
    }
    return L"\u2026" + tail;
}

} // namespace

ProgressStyle ChooseProgressStyle(bool quiet, bool console) {
    if (quiet)
        return ProgressStyle::Off;
    return console ? ProgressStyle::Bar : ProgressStyle::Lines;
}

void TransferTally::AddFile(const std::wstring& path, uint64_t size) {
    auto [it, added] = m_sizes.emplace(path, size);
    if (added)
        m_total += size;
}

void TransferTally::Update(const std::wstring& path, unsigned percent) {
    auto it = m_sizes.find(path);
    uint64_t size = it == m_sizes.end() ? 0 : it->second;
    if (path != m_path) {
        if (!m_path.empty()) {
            auto previous = m_sizes.find(m_path);
            m_completed += previous == m_sizes.end() ? 0 : previous->second;
        }
        m_path = path;
        m_current = 0;
        ++m_files;
    }
    if (percent > 100)
        percent = 100;
    m_current = size * percent / 100;
}

std::wstring ProgressSubject(const std::wstring& text) {
    size_t blank = text.find(L' ');
    return blank == std::wstring::npos ? text : text.substr(blank + 1);
}

std::wstring LastComponent(const std::wstring& path) {
    std::wstring trimmed = path;
    while (trimmed.size() > 1 && (trimmed.back() == L'/' || trimmed.back() == L'\\'))
        trimmed.pop_back();
    size_t slash = trimmed.find_last_of(L"/\\");
    return slash == std::wstring::npos || trimmed.size() == 1 ? trimmed : trimmed.substr(slash + 1);
}

int WholePercent(double fraction) {
    if (fraction <= 0)
        return 0;
    if (fraction >= 1)
        return 100;
    return static_cast<int>(fraction * 100 + 1e-9);
}

std::wstring BarLine(double fraction, const std::wstring& rate, const std::wstring& label, int columns) {
    const int kBarWidth = 24;
    std::wstring line;
    if (fraction >= 0) {
        if (fraction > 1)
            fraction = 1;
        int filled = static_cast<int>(fraction * kBarWidth + 1e-9);
        wchar_t percent[8];
        std::swprintf(percent, 8, L"%3d%%", WholePercent(fraction));
        line = L"[" + std::wstring(filled, L'#') + std::wstring(kBarWidth - filled, L'-') + L"] " + percent;
    }
    if (!rate.empty())
        line += (line.empty() ? L"" : L"  ") + rate;
    if (!line.empty())
        line += L"  ";
    int room = columns - 1 - DisplayWidth(line);
    if (room > 3)
        line += CutToWidth(label, room);
    return line;
}

ProgressReporter::ProgressReporter(Kind kind, ProgressStyle style, const Stream& err)
    : m_kind(kind), m_style(style), m_err(err), m_start(std::chrono::steady_clock::now()) {
    g_current = this;
}

ProgressReporter::~ProgressReporter() {
    if (g_current == this)
        g_current = nullptr;
}

ProgressCallback ProgressReporter::Callback() { return m_style == ProgressStyle::Off ? nullptr : OnLibraryProgress; }

double ProgressReporter::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::wstring ProgressReporter::Rate() const {
    double elapsed = seconds();
    if (m_kind != Kind::Transfer || elapsed < 0.2)
        return std::wstring();
    return FormatBytes(static_cast<uint64_t>(static_cast<double>(m_tally.done()) / elapsed)) + L"/s";
}

double ProgressReporter::Fraction(unsigned percent) const {
    switch (m_kind) {
    case Kind::Transfer:
        if (m_tally.total() > 0)
            return static_cast<double>(m_tally.done()) / static_cast<double>(m_tally.total());
        return percent / 100.0;
    case Kind::Delete:
        return m_totalEntries ? static_cast<double>(m_entries) / static_cast<double>(m_totalEntries) : -1;
    case Kind::Install:
        return percent / 100.0;
    case Kind::Uninstall:
        return -1;
    }
    return -1;
}

void ProgressReporter::OnProgress(const std::wstring& text, unsigned percent) {
    if (m_kind == Kind::Transfer)
        m_tally.Update(ProgressSubject(text), percent);
    if (m_kind == Kind::Delete)
        ++m_entries;
    bool changed = text != m_lastText;
    m_lastText = text;
    Draw(text, Fraction(percent), changed);
}

void ProgressReporter::Draw(const std::wstring& text, double fraction, bool force) {
    auto now = std::chrono::steady_clock::now();
    if (m_style == ProgressStyle::Bar) {
        if (!force && fraction < 1 && now - m_lastDraw < kRedrawInterval)
            return;
        m_lastDraw = now;
        std::wstring label = text;
        if (m_kind == Kind::Transfer || m_kind == Kind::Delete) {
            std::wstring subject = ProgressSubject(text);
            label = text.substr(0, text.size() - subject.size()) + LastComponent(subject);
        }
        std::wstring line = BarLine(fraction, Rate(), label, m_err.columns());
        size_t width = static_cast<size_t>(DisplayWidth(line));
        std::wstring pad = width < m_drawnWidth ? std::wstring(m_drawnWidth - width, L' ') : std::wstring();
        m_err.Write(L"\r" + line + pad);
        m_drawnWidth = width;
        return;
    }
    if (m_style == ProgressStyle::Lines) {
        int percent = fraction < 0 ? -1 : WholePercent(fraction);
        if (!force && (percent < 0 || percent - m_lastPrintedPercent < kLinePercentStep))
            return;
        m_lastPrintedPercent = percent;
        std::wstring line = percent < 0 ? text : std::to_wstring(percent) + L"% " + text;
        std::wstring rate = Rate();
        m_err.Line(rate.empty() ? line : line + L" (" + rate + L")");
    }
}

void ProgressReporter::Finish(const std::wstring& summary) {
    if (g_current == this)
        g_current = nullptr;
    if (m_style == ProgressStyle::Off)
        return;
    if (m_style == ProgressStyle::Bar && m_drawnWidth)
        m_err.Write(L"\r" + std::wstring(m_drawnWidth, L' ') + L"\r");
    m_drawnWidth = 0;
    if (!summary.empty())
        m_err.Line(summary);
}

} // namespace orvexctl

#include "tools/orvexctl/devices.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvexctl {

namespace {

// The callbacks carry no context, so the list they keep is module-wide.
// They run on the vendor library's notification thread; nothing is held
// while they return to it.
struct Announcements {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::wstring> attached;
    std::chrono::steady_clock::time_point last;
    unsigned arrivals = 0;
};

Announcements& State() {
    static Announcements state;
    return state;
}

void OnArrived(const wchar_t* identifier) {
    try {
        if (!identifier)
            return;
        Announcements& s = State();
        {
            std::lock_guard<std::mutex> guard(s.lock);
            if (std::find(s.attached.begin(), s.attached.end(), identifier) == s.attached.end())
                s.attached.push_back(identifier);
            s.last = std::chrono::steady_clock::now();
            ++s.arrivals;
        }
        s.changed.notify_all();
    } catch (...) {
    }
}

void OnRemoved(const wchar_t* identifier) {
    try {
        if (!identifier)
            return;
        Announcements& s = State();
        {
            std::lock_guard<std::mutex> guard(s.lock);
            s.attached.erase(std::remove(s.attached.begin(), s.attached.end(), identifier), s.attached.end());
            s.last = std::chrono::steady_clock::now();
        }
        s.changed.notify_all();
    } catch (...) {
    }
}

std::wstring JoinList(const std::vector<std::wstring>& ids) {
    std::wstring text;
    for (const auto& id : ids)
        text += L"\n  " + id;
    return text;
}

} // namespace

DeviceWatch::~DeviceWatch() {
    if (m_listening)
        m_api.StopListeningDeviceConnections();
}

bool DeviceWatch::Start() {
    m_listening = m_api.StartListeningDeviceConnections(OnArrived, OnRemoved) == 1;
    return m_listening;
}

std::vector<std::wstring> DeviceWatch::Wait(const std::wstring& wanted, unsigned waitMilliseconds,
                                            const DiscoveryTimes& times) {
    using namespace std::chrono;
    Announcements& s = State();
    auto start = steady_clock::now();
    auto firstDeadline = start + milliseconds(std::max(waitMilliseconds, times.firstMilliseconds));
    auto quiet = milliseconds(times.quietMilliseconds);
    std::unique_lock<std::mutex> guard(s.lock);
    for (;;) {
        auto now = steady_clock::now();
        bool found = !wanted.empty() && std::find(s.attached.begin(), s.attached.end(), wanted) != s.attached.end();
        if (found)
            return s.attached;
        if (s.arrivals == 0 || !wanted.empty()) {
            // Nothing yet, or not the one asked for: wait for more.
            if (now >= firstDeadline)
                return s.attached;
            s.changed.wait_until(guard, firstDeadline);
            continue;
        }
        // Devices have come: the list is complete once they stop coming
        // (and the caller's own wait, if any, has been served by the first).
        auto settled = s.last + quiet;
        if (now >= settled)
            return s.attached;
        s.changed.wait_until(guard, settled);
    }
}

std::vector<std::wstring> DeviceWatch::Attached() const {
    Announcements& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.attached;
}

Selection SelectDevice(const std::vector<std::wstring>& attached, const std::wstring& wanted) {
    Selection selection;
    if (!wanted.empty()) {
        if (std::find(attached.begin(), attached.end(), wanted) != attached.end()) {
            selection.udid = wanted;
            return selection;
        }
        selection.exitCode = 1;
        selection.error = L"device " + wanted + L" is not attached";
        selection.error += attached.empty() ? L" (no device is attached)" : L"; attached:" + JoinList(attached);
        return selection;
    }
    if (attached.size() == 1) {
        selection.udid = attached.front();
        return selection;
    }
    if (attached.empty()) {
        selection.exitCode = 1;
        selection.error = L"no device is attached";
        return selection;
    }
    selection.exitCode = 2;
    selection.error =
        std::to_wstring(attached.size()) + L" devices are attached; choose one with -u UDID:" + JoinList(attached);
    return selection;
}

} // namespace orvexctl

// Records what device callbacks were told, in order, from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace testutil {

// What the callbacks were told, in order. Thread-safe.
class EventLog {
  public:
    void Add(const wchar_t* identifier) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_events.push_back(identifier ? identifier : L"(null)");
        }
        m_changed.notify_all();
    }
    std::vector<std::wstring> Events() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events.size();
    }
    // Waits until at least `count` events have come; false on time-out.
    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.clear();
    }

  private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<std::wstring> m_events;
};

} // namespace testutil

#include "installer/download_link.h"

#include "installer/framework/app.h"

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

// What the worker, the window and the call thread share; the call thread
// holds it for as long as it runs.
struct DownloadLink::Shared {
    std::mutex lock;
    std::condition_variable wake;
    std::function<HINTERNET()> call;                                    // guarded by lock: the next call to run
    bool quit = false;                                                  // guarded by lock: the call thread ends
    bool cancelled = false;                                             // guarded by lock
    bool threadStarted = false;                                         // guarded by lock
    std::vector<HINTERNET> handles;                                     // guarded by lock
    UniqueHandle done{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // a call returned
    UniqueHandle cancel{::CreateEventW(nullptr, TRUE, FALSE, nullptr)}; // set once, at the cancel

    bool Adopt(HINTERNET handle) {
        if (!handle)
            return true;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!cancelled) {
                handles.push_back(handle);
                return true;
            }
        }
        ::InternetCloseHandle(handle);
        return false;
    }

    // Takes the adopted handles out, to be closed without the lock.
    std::vector<HINTERNET> TakeHandles() {
        std::lock_guard<std::mutex> hold(lock);
        return std::exchange(handles, {});
    }
};

namespace {

void CloseAll(std::vector<HINTERNET> handles) {
    for (auto it = handles.rbegin(); it != handles.rend(); ++it)
        ::InternetCloseHandle(*it);
}

unsigned __stdcall CallThread(void* param) {
    // The thread's own reference: the link may be gone long before it ends.
    std::unique_ptr<std::shared_ptr<DownloadLink::Shared>> own(
        static_cast<std::shared_ptr<DownloadLink::Shared>*>(param));
    try {
        auto& shared = **own;
        for (;;) {
            std::function<HINTERNET()> call;
            {
                std::unique_lock<std::mutex> hold(shared.lock);
                shared.wake.wait(hold, [&] { return shared.quit || shared.call; });
                if (!shared.call)
                    return 0;
                call = std::move(shared.call);
                shared.call = nullptr;
                if (shared.cancelled)
                    continue; // nobody waits for it any more
            }
            try {
                shared.Adopt(call());
            } catch (...) {
            }
            ::SetEvent(shared.done.get());
        }
    } catch (...) {
    }
    return 0;
}

} // namespace

DownloadLink::DownloadLink() : m_shared(std::make_shared<Shared>()) {}

DownloadLink::~DownloadLink() {
    {
        std::lock_guard<std::mutex> hold(m_shared->lock);
        m_shared->quit = true;
    }
    m_shared->wake.notify_all();
    CloseAll(m_shared->TakeHandles());
}

void DownloadLink::Cancel() {
    {
        std::lock_guard<std::mutex> hold(m_shared->lock);
        m_shared->cancelled = true;
    }
    ::SetEvent(m_shared->cancel.get());
    CloseAll(m_shared->TakeHandles());
}

bool DownloadLink::Cancelled() const {
    std::lock_guard<std::mutex> hold(m_shared->lock);
    return m_shared->cancelled;
}

bool DownloadLink::Run(std::function<HINTERNET()> call, const std::function<DWORD()>& waiting) {
    Shared& shared = *m_shared;
    if (!shared.done || !shared.cancel)
        return false;
    {
        std::lock_guard<std::mutex> hold(shared.lock);
        if (shared.cancelled)
            return false;
        if (!shared.threadStarted) {
            auto* own = new std::shared_ptr<Shared>(m_shared);
            UniqueHandle thread = AppBeginThread(CallThread, own);
            if (!thread) {
                delete own;
                return false;
            }
            shared.threadStarted = true;
        }
        shared.call = std::move(call);
    }
    shared.wake.notify_all();
    HANDLE events[] = {shared.done.get(), shared.cancel.get()};
    DWORD wait = waiting ? waiting() : INFINITE;
    DWORD woken = WAIT_TIMEOUT;
    while ((woken = ::WaitForMultipleObjects(2, events, FALSE, wait)) == WAIT_TIMEOUT)
        wait = waiting();
    return woken == WAIT_OBJECT_0 && !Cancelled();
}

bool DownloadLink::Adopt(HINTERNET handle) { return m_shared->Adopt(handle); }

void DownloadLink::CloseHandles() { CloseAll(m_shared->TakeHandles()); }

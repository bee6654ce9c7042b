// What ties a running package download to the window: the blocking WinINet
// calls of the download, and the close that cancels them.
//
// The worker thread never makes a blocking WinINet call itself: each one
// (opening the address, re-sending the request, reading a chunk) runs on a
// call thread of the link, and the worker waits for it or for the cancel,
// whichever comes first. Cancel (the window's close, on the window's thread)
// closes the download's handles, WinINet's way to end a blocking call on
// them, and lets the worker go at once. Where the call does not end on the
// close (Wine's WinINet goes on waiting for the server) the call thread is
// left to it: it works only on what the link owns, so it ends by itself
// whenever the call returns, or with the process. Nothing waits for it.
#pragma once

#include "platform/handles.h"

#include <windows.h>

#include <wininet.h>

#include <functional>
#include <memory>

class DownloadLink {
  public:
    DownloadLink();
    ~DownloadLink();
    DownloadLink(const DownloadLink&) = delete;
    DownloadLink& operator=(const DownloadLink&) = delete;

    // Any thread, never waiting: closes the adopted handles and releases a
    // worker waiting in Run. Later calls of Run return false at once.
    void Cancel();
    bool Cancelled() const;

    // Worker: runs `call` on the call thread and waits for it. True when it
    // returned; false when the link was cancelled first (or the call thread
    // could not start). `call` must own what it works on: after a cancel it
    // may still run when Run has long returned. A handle it returns is
    // adopted (see Adopt), even when that comes after the cancel.
    // `waiting`, when given, runs on the worker as the wait begins and again
    // whenever the time it asked for has passed with the call still running;
    // it returns that time in milliseconds (INFINITE: ask no more).
    bool Run(std::function<HINTERNET()> call, const std::function<DWORD()>& waiting = nullptr);

    // The link owns `handle` from now on and closes it at Cancel, or at
    // CloseHandles. False when it came after the cancel: it is closed at once.
    bool Adopt(HINTERNET handle);
    // Worker, at the end of the download: closes the adopted handles, the
    // last adopted first.
    void CloseHandles();

    // The state the link, the window and the call thread share.
    struct Shared;

  private:
    std::shared_ptr<Shared> m_shared;
};

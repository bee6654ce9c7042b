// The tests' download server (package_server.py, run by Debian's Python on
// loopback) and the prefix's proxy setting that sends the program's own
// requests to it, so the program's download runs unchanged.
#pragma once

#include "tests/support/test_util.h"

#include <windows.h>

#include <string>
#include <vector>

namespace testserver {

// One answer of the server.
struct Answer {
    int status = 200;
    std::string body;
    // "auto": the body's size; "none": no Content-Length; else the header's text.
    std::string length = "auto";
    int chunk = 0;       // bytes per send; 0 = all at once
    int delayMs = 0;     // pause after each send
    int pauseAfter = -1; // >= 0: send this many body bytes, then pause once
    int pauseMs = 0;     // for this long, before the rest
    int resetAfter = -1; // >= 0: send this many body bytes, then reset the connection
    bool drop = false;   // close without answering
    // "headers": answer nothing; "body": the headers and `stallAfter` body
    // bytes. Then silence until the server stops.
    std::string stall;
    int stallAfter = 0;
    bool last = false; // the server ends after this answer
};

class PackageServer {
  public:
    // Starts the server; it stops when the object goes, or by itself after
    // `maxRequests` requests or `maxSeconds`.
    explicit PackageServer(int maxRequests = 100, int maxSeconds = 150);
    ~PackageServer();
    PackageServer(const PackageServer&) = delete;
    PackageServer& operator=(const PackageServer&) = delete;

    bool ok() const { return m_port != 0; }
    const std::wstring& error() const { return m_error; }
    int port() const { return m_port; }

    // The answers to the requests from now on, in order; the last repeats.
    bool Serve(const std::vector<Answer>& answers);
    // The request lines received so far.
    std::vector<std::string> Requests() const;

  private:
    testutil::TempDir m_control;
    int m_port = 0;
    int m_bodies = 0;
    std::wstring m_error;
};

// Points the prefix's Internet settings at the proxy 127.0.0.1:`port`, and
// puts back what was there when it goes.
class ProxySetting {
  public:
    explicit ProxySetting(int port);
    ~ProxySetting();
    ProxySetting(const ProxySetting&) = delete;
    ProxySetting& operator=(const ProxySetting&) = delete;

    struct Saved {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };

  private:
    Saved m_enable, m_server;
};

// A body of `size` bytes that differs from one offset to the next.
std::string PatternBytes(size_t size, unsigned seed = 1);

} // namespace testserver

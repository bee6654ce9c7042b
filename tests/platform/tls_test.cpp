// Sessions resumed between a client that keeps its last session and a
// server that remembers its own, over an in-memory byte channel.
#include "platform/tls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

// One direction of the channel.
struct Lane {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<unsigned char> bytes;
    bool closed = false;
};

class End : public tls::Channel {
  public:
    End(Lane& in, Lane& out) : m_in(in), m_out(out) {}
    ~End() override {
        std::lock_guard<std::mutex> guard(m_out.lock);
        m_out.closed = true;
        m_out.changed.notify_all();
    }
    size_t Send(const unsigned char* data, size_t size) override {
        std::lock_guard<std::mutex> guard(m_out.lock);
        m_out.bytes.insert(m_out.bytes.end(), data, data + size);
        m_out.changed.notify_all();
        return size;
    }
    size_t Receive(unsigned char* buffer, size_t size) override {
        std::unique_lock<std::mutex> guard(m_in.lock);
        if (!m_in.changed.wait_for(guard, std::chrono::seconds(10),
                                   [&] { return !m_in.bytes.empty() || m_in.closed; }) ||
            m_in.bytes.empty())
            return 0;
        size_t got = 0;
        while (got < size && !m_in.bytes.empty()) {
            buffer[got++] = m_in.bytes.front();
            m_in.bytes.pop_front();
        }
        return got;
    }

  private:
    Lane& m_in;
    Lane& m_out;
};

struct Identity {
    std::string key, cert;
};

Identity MakeIdentity(const char* name) {
    Identity identity;
    std::string error;
    EXPECT_TRUE(tls::GenerateRsaKey(1024, &identity.key, &error)) << error;
    tls::CertificateRequest request;
    request.subjectKeyPem = identity.key;
    request.issuerKeyPem = identity.key;
    request.commonName = name;
    EXPECT_TRUE(tls::MakeCertificate(request, &identity.cert, &error)) << error;
    return identity;
}

const Identity& Device() {
    static const Identity identity = MakeIdentity("Device");
    return identity;
}
const Identity& Host() {
    static const Identity identity = MakeIdentity("Host");
    return identity;
}

struct Outcome {
    bool clientStarted = false, serverStarted = false;
    bool clientResumed = false, serverResumed = false;
    bool serverSawCertificate = false;
    std::string echoed;
};

// One handshake, then a line from the client echoed by the server.
Outcome Handshake(tls::Resumption* resumption, tls::SessionCache* cache) {
    Lane toServer, toClient;
    Outcome outcome;
    std::thread server([&] {
        End end(toServer, toClient);
        tls::Session session;
        session.RememberIn(cache);
        std::string error;
        outcome.serverStarted = session.Start(tls::Role::Server, end, Device().cert, Device().key, &error);
        if (!outcome.serverStarted)
            return;
        outcome.serverResumed = session.resumed();
        outcome.serverSawCertificate = session.peerPresentedCertificate();
        char line[16] = {};
        size_t got = session.Read(line, sizeof line);
        session.WriteAll(line, got);
    });
    {
        End end(toClient, toServer);
        tls::Session session;
        session.ResumeWith(resumption);
        std::string error;
        outcome.clientStarted = session.Start(tls::Role::Client, end, Host().cert, Host().key, &error);
        if (outcome.clientStarted) {
            outcome.clientResumed = session.resumed();
            session.WriteAll("hello", 5);
            char back[16] = {};
            size_t got = session.Read(back, sizeof back);
            outcome.echoed.assign(back, got);
        }
    }
    server.join();
    return outcome;
}

TEST(TlsResumption, AKeptSessionIsResumedWhereTheServerRemembersIt) {
    tls::Resumption kept;
    tls::SessionCache cache;
    EXPECT_TRUE(kept.empty());
    Outcome first = Handshake(&kept, &cache);
    ASSERT_TRUE(first.clientStarted && first.serverStarted);
    EXPECT_FALSE(first.clientResumed || first.serverResumed);
    EXPECT_FALSE(kept.empty());
    for (int round = 0; round < 2; ++round) {
        Outcome again = Handshake(&kept, &cache);
        ASSERT_TRUE(again.clientStarted && again.serverStarted);
        EXPECT_TRUE(again.clientResumed);
        EXPECT_TRUE(again.serverResumed);
        EXPECT_TRUE(again.serverSawCertificate) << "the host's certificate is part of the session resumed";
        EXPECT_EQ("hello", again.echoed);
    }
}

// Whoever has forgotten the session, the handshake is a full one, and the
// session it makes is the one kept from then on.
TEST(TlsResumption, AForgottenSessionFallsBackToAFullHandshake) {
    struct Case {
        const char* name;
        bool serverCaches, serverForgets, clientForgets;
    } cases[] = {{"a server that remembers nothing", false, false, false},
                 {"a server that forgot", true, true, false},
                 {"a client that forgot", true, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tls::Resumption kept;
        tls::SessionCache cache;
        tls::SessionCache* used = c.serverCaches ? &cache : nullptr;
        ASSERT_TRUE(Handshake(&kept, used).clientStarted);
        ASSERT_FALSE(kept.empty());
        if (c.serverForgets)
            cache.Clear();
        if (c.clientForgets)
            kept.Clear();
        Outcome full = Handshake(&kept, used);
        ASSERT_TRUE(full.clientStarted && full.serverStarted);
        EXPECT_FALSE(full.clientResumed || full.serverResumed);
        EXPECT_EQ("hello", full.echoed);
        if (c.serverCaches) {
            EXPECT_TRUE(Handshake(&kept, used).clientResumed) << "the new session is kept and resumed";
        }
    }
}

} // namespace

// TLS over any byte channel, and the RSA keys and X.509 certificates that
// device pairing uses, on mbed TLS. Both ends of a device connection need
// it: the simulated device is the TLS server, a host talking to a device
// over the multiplexer is the TLS client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tls {

// ---- keys and certificates (PEM text) --------------------------------------------

// A new RSA key of `bits` bits, as a PKCS#1 "RSA PRIVATE KEY" PEM.
bool GenerateRsaKey(unsigned bits, std::string* privatePem, std::string* error);
// The public half of a PEM key (private or public) as a PKCS#1
// "RSA PUBLIC KEY" PEM, the form a device reports as its DevicePublicKey.
bool RsaPublicKeyPem(const std::string& keyPem, std::string* publicPem, std::string* error);

struct CertificateRequest {
    std::string subjectKeyPem; // the key certified: private, PKCS#1 public or SubjectPublicKeyInfo
    std::string issuerKeyPem;  // the signer's private key
    std::string issuerCertPem; // the signer's certificate; empty: self-signed (subject = issuer)
    std::string commonName;    // empty: no subject name
    uint64_t serial = 1;
    bool authority = false; // a certificate authority (basic constraints CA)
    int years = 10;
};
bool MakeCertificate(const CertificateRequest& request, std::string* certPem, std::string* error);
// Whether the certificate carries the public half of `keyPem`.
bool CertificateHoldsKey(const std::string& certPem, const std::string& keyPem);
// Whether `certPem` is signed by the key of `issuerCertPem` (validity dates ignored).
bool CertificateSignedBy(const std::string& certPem, const std::string& issuerCertPem);

// ---- sessions ----------------------------------------------------------------------

// The byte channel under a session (a socket, a multiplexer connection).
class Channel {
  public:
    virtual ~Channel() = default;
    // Sends up to `size` bytes; returns how many (> 0), or 0 when the channel failed.
    virtual size_t Send(const unsigned char* data, size_t size) = 0;
    // Receives up to `size` bytes; returns how many (> 0), or 0 when the
    // peer closed or the channel failed.
    virtual size_t Receive(unsigned char* buffer, size_t size) = 0;
};

enum class Role { Server, Client };

// What a client keeps of a session to resume it with the same server
// later (an abbreviated handshake: no key exchange, no signatures). Empty
// until a session that used it has started; shared by the threads that
// talk to one server.
class Resumption {
  public:
    Resumption();
    ~Resumption();
    Resumption(const Resumption&) = delete;
    Resumption& operator=(const Resumption&) = delete;

    bool empty() const;
    // Forgets the session kept (the server forgot us, or we changed who we are).
    void Clear();

  private:
    friend class Session;
    struct State;
    std::unique_ptr<State> m_state;
};

// The sessions a server remembers so that its clients may resume them;
// shared by the threads that serve one identity.
class SessionCache {
  public:
    SessionCache();
    ~SessionCache();
    SessionCache(const SessionCache&) = delete;
    SessionCache& operator=(const SessionCache&) = delete;

    // Forgets every session remembered.
    void Clear();

  private:
    friend class Session;
    struct State;
    std::unique_ptr<State> m_state;
};

// One TLS session over a channel. TLS 1.0 to 1.2; the server asks the client
// for a certificate and takes one that does not verify (pairing checks who
// the host is); the client does not check the server's certificate.
class Session {
  public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Before Start, a client offers the session kept in `resumption` and
    // keeps the one it gets there; a server remembers its sessions in
    // `cache` and resumes those its clients offer. Both must outlive Start.
    void ResumeWith(Resumption* resumption);
    void RememberIn(SessionCache* cache);
    // Runs the handshake with `certPem`/`keyPem` as this end's credentials.
    bool Start(Role role, Channel& channel, const std::string& certPem, const std::string& keyPem, std::string* error);
    bool started() const;
    // Reads up to `size` bytes of plaintext: the count (> 0), or 0 when the
    // peer closed (close_notify or the channel) or the session failed.
    size_t Read(void* buffer, size_t size);
    bool WriteAll(const void* data, size_t size);
    // Whether the peer's last record was a close_notify.
    bool peerClosed() const;
    // Sends close_notify.
    void Close();
    // Whether the handshake resumed a session instead of making a new one.
    bool resumed() const;
    // Whether the client presented a certificate (server side).
    bool peerPresentedCertificate() const;
    // "TLSv1", "TLSv1.1", "TLSv1.2".
    std::string version() const;

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace tls

#include "platform/tls.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/ssl_internal.h>
#include <mbedtls/x509_crt.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace tls {
namespace {

bool Fail(std::string* error, const std::string& what, int code = 0) {
    if (!error)
        return false;
    *error = what;
    if (code != 0) {
        char text[160] = {};
        mbedtls_strerror(code, text, sizeof text);
        *error += std::string(": ") + text;
    }
    return false;
}

// The process's random generator, seeded once: seeding takes the system's
// entropy source, which costs milliseconds (6 ms a seeding under Wine), and
// every session and key needs random bytes. mbed TLS's generator takes no
// lock of its own in this build: every draw goes through Draw, which does.
class Random {
  public:
    static Random& Process() {
        static Random random;
        return random;
    }
    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;

    // Seeds the generator if it is not yet (again after a failed seeding).
    bool ok() {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_seeded) {
            static const char personal[] = "orvex-tls";
            m_seeded =
                mbedtls_ctr_drbg_seed(&m_drbg, mbedtls_entropy_func, &m_entropy,
                                      reinterpret_cast<const unsigned char*>(personal), sizeof personal - 1) == 0;
        }
        return m_seeded;
    }
    // A generator function for mbed TLS, with `self` this object.
    static int Draw(void* self, unsigned char* output, size_t size) {
        auto* random = static_cast<Random*>(self);
        std::lock_guard<std::mutex> guard(random->m_lock);
        return mbedtls_ctr_drbg_random(&random->m_drbg, output, size);
    }

  private:
    Random() {
        mbedtls_entropy_init(&m_entropy);
        mbedtls_ctr_drbg_init(&m_drbg);
    }
    ~Random() {
        mbedtls_ctr_drbg_free(&m_drbg);
        mbedtls_entropy_free(&m_entropy);
    }

    std::mutex m_lock; // guards what follows
    mbedtls_entropy_context m_entropy;
    mbedtls_ctr_drbg_context m_drbg;
    bool m_seeded = false;
};

class Key {
  public:
    Key() { mbedtls_pk_init(&m_pk); }
    ~Key() { mbedtls_pk_free(&m_pk); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    mbedtls_pk_context* get() { return &m_pk; }
    // A private key, else a public one (SubjectPublicKeyInfo or PKCS#1).
    int Parse(const std::string& pem, bool privateOnly) {
        const auto* text = reinterpret_cast<const unsigned char*>(pem.c_str());
        int status = mbedtls_pk_parse_key(&m_pk, text, pem.size() + 1, nullptr, 0);
        if (status == 0 || privateOnly)
            return status;
        mbedtls_pk_free(&m_pk);
        mbedtls_pk_init(&m_pk);
        return mbedtls_pk_parse_public_key(&m_pk, text, pem.size() + 1);
    }

  private:
    mbedtls_pk_context m_pk;
};

class Certificate {
  public:
    Certificate() { mbedtls_x509_crt_init(&m_crt); }
    ~Certificate() { mbedtls_x509_crt_free(&m_crt); }
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    mbedtls_x509_crt* get() { return &m_crt; }
    int Parse(const std::string& pem) {
        return mbedtls_x509_crt_parse(&m_crt, reinterpret_cast<const unsigned char*>(pem.c_str()), pem.size() + 1);
    }

  private:
    mbedtls_x509_crt m_crt;
};

// Devices and the hosts that pair with them sign with SHA-1 as often as
// with SHA-256, and old keys may be 1024 bits: accept what they use.
const mbedtls_x509_crt_profile kPairingProfile = {
    0xFFFFFFFF, // any hash
    0xFFFFFFFF, // any public key algorithm
    0xFFFFFFFF, // any curve
    1024,       // RSA keys of 1024 bits and more
};

// The curves offered for the key exchange, the cheapest widely supported
// one first: the library's default order starts with secp521r1, whose
// exchange costs several times that of secp256r1, and every lockdown
// session pays it on both sides. The others stay offered for peers that
// lack secp256r1.
const mbedtls_ecp_group_id kCurves[] = {MBEDTLS_ECP_DP_SECP256R1, MBEDTLS_ECP_DP_CURVE25519, MBEDTLS_ECP_DP_SECP384R1,
                                        MBEDTLS_ECP_DP_SECP521R1, MBEDTLS_ECP_DP_NONE};

std::string PublicDer(mbedtls_pk_context* pk) {
    std::vector<unsigned char> buffer(4096);
    unsigned char* end = buffer.data() + buffer.size();
    int length = mbedtls_pk_write_pubkey(&end, buffer.data(), pk);
    if (length <= 0)
        return std::string();
    return std::string(reinterpret_cast<const char*>(end), static_cast<size_t>(length));
}

// "YYYYMMDDhhmmss" for `offset` seconds from now, in UTC.
std::string ValidityTime(int64_t offset) {
    time_t at = std::time(nullptr) + static_cast<time_t>(offset);
    // The C runtime's gmtime keeps its result per thread.
    const std::tm* parts = std::gmtime(&at);
    if (!parts)
        return "20100101000000";
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", parts);
    return text;
}

} // namespace

bool GenerateRsaKey(unsigned bits, std::string* privatePem, std::string* error) {
    if (!privatePem || bits < 1024 || bits > 8192)
        return Fail(error, "bad key size");
    Random& random = Random::Process();
    if (!random.ok())
        return Fail(error, "no random source");
    Key key;
    int status = mbedtls_pk_setup(key.get(), mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (status == 0)
        status = mbedtls_rsa_gen_key(mbedtls_pk_rsa(*key.get()), &Random::Draw, &random, bits, 65537);
    if (status != 0)
        return Fail(error, "cannot make an RSA key", status);
    std::vector<unsigned char> pem(16000);
    status = mbedtls_pk_write_key_pem(key.get(), pem.data(), pem.size());
    if (status != 0)
        return Fail(error, "cannot write the key", status);
    *privatePem = reinterpret_cast<const char*>(pem.data());
    return true;
}

bool RsaPublicKeyPem(const std::string& keyPem, std::string* publicPem, std::string* error) {
    Key key;
    int status = key.Parse(keyPem, false);
    if (status != 0)
        return Fail(error, "not a key", status);
    if (mbedtls_pk_get_type(key.get()) != MBEDTLS_PK_RSA)
        return Fail(error, "not an RSA key");
    std::string der = PublicDer(key.get());
    if (der.empty())
        return Fail(error, "cannot write the public key");
    std::vector<unsigned char> pem(4096);
    size_t length = 0;
    status = mbedtls_pem_write_buffer("-----BEGIN RSA PUBLIC KEY-----\n", "-----END RSA PUBLIC KEY-----\n",
                                      reinterpret_cast<const unsigned char*>(der.data()), der.size(), pem.data(),
                                      pem.size(), &length);
    if (status != 0)
        return Fail(error, "cannot write the public key", status);
    *publicPem = reinterpret_cast<const char*>(pem.data());
    return true;
}

bool MakeCertificate(const CertificateRequest& request, std::string* certPem, std::string* error) {
    if (!certPem)
        return Fail(error, "no output");
    Random& random = Random::Process();
    if (!random.ok())
        return Fail(error, "no random source");
    Key subject, issuer;
    Certificate issuerCert;
    int status = subject.Parse(request.subjectKeyPem, false);
    if (status != 0)
        return Fail(error, "the subject key is unreadable", status);
    status = issuer.Parse(request.issuerKeyPem, true);
    if (status != 0)
        return Fail(error, "the issuer key is unreadable", status);
    std::string subjectName = "CN=" + (request.commonName.empty() ? std::string("Device") : request.commonName);
    std::string issuerName = subjectName;
    if (!request.issuerCertPem.empty()) {
        status = issuerCert.Parse(request.issuerCertPem);
        if (status != 0)
            return Fail(error, "the issuer certificate is unreadable", status);
        char name[512] = {};
        if (mbedtls_x509_dn_gets(name, sizeof name, &issuerCert.get()->subject) < 0)
            return Fail(error, "the issuer certificate has no usable name");
        issuerName = name;
    }

    mbedtls_x509write_cert writer;
    mbedtls_x509write_crt_init(&writer);
    mbedtls_mpi serial;
    mbedtls_mpi_init(&serial);
    std::vector<unsigned char> pem(8192);
    mbedtls_x509write_crt_set_version(&writer, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&writer, MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(&writer, subject.get());
    mbedtls_x509write_crt_set_issuer_key(&writer, issuer.get());
    status = mbedtls_mpi_lset(&serial, static_cast<mbedtls_mpi_sint>(request.serial & 0x7FFFFFFF));
    if (status == 0)
        status = mbedtls_x509write_crt_set_serial(&writer, &serial);
    if (status == 0)
        status = mbedtls_x509write_crt_set_subject_name(&writer, subjectName.c_str());
    if (status == 0)
        status = mbedtls_x509write_crt_set_issuer_name(&writer, issuerName.c_str());
    if (status == 0)
        status = mbedtls_x509write_crt_set_validity(&writer, ValidityTime(-86400).c_str(),
                                                    ValidityTime(int64_t(request.years) * 365 * 86400).c_str());
    if (status == 0)
        status = mbedtls_x509write_crt_set_basic_constraints(&writer, request.authority ? 1 : 0, -1);
    if (status == 0)
        status = mbedtls_x509write_crt_set_subject_key_identifier(&writer);
    if (status == 0)
        status = mbedtls_x509write_crt_pem(&writer, pem.data(), pem.size(), &Random::Draw, &random);
    mbedtls_mpi_free(&serial);
    mbedtls_x509write_crt_free(&writer);
    if (status != 0)
        return Fail(error, "cannot make the certificate", status);
    *certPem = reinterpret_cast<const char*>(pem.data());
    return true;
}

bool CertificateHoldsKey(const std::string& certPem, const std::string& keyPem) {
    Certificate cert;
    Key key;
    if (cert.Parse(certPem) != 0 || key.Parse(keyPem, false) != 0)
        return false;
    std::string a = PublicDer(&cert.get()->pk);
    return !a.empty() && a == PublicDer(key.get());
}

bool CertificateSignedBy(const std::string& certPem, const std::string& issuerCertPem) {
    Certificate cert, issuer;
    if (cert.Parse(certPem) != 0 || issuer.Parse(issuerCertPem) != 0)
        return false;
    uint32_t flags = 0;
    mbedtls_x509_crt_verify_with_profile(cert.get(), issuer.get(), nullptr, &kPairingProfile, nullptr, &flags, nullptr,
                                         nullptr);
    const uint32_t dates = MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE;
    return (flags & ~dates) == 0;
}

// ---- sessions kept for resumption ------------------------------------------------------

struct Resumption::State {
    mutable std::mutex lock; // guards what follows
    mbedtls_ssl_session session;
    bool present = false;

    State() { mbedtls_ssl_session_init(&session); }
    ~State() { mbedtls_ssl_session_free(&session); }
};

Resumption::Resumption() : m_state(std::make_unique<State>()) {}
Resumption::~Resumption() = default;

bool Resumption::empty() const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    return !m_state->present;
}

void Resumption::Clear() {
    std::lock_guard<std::mutex> guard(m_state->lock);
    mbedtls_ssl_session_free(&m_state->session);
    mbedtls_ssl_session_init(&m_state->session);
    m_state->present = false;
}

// mbed TLS's cache takes no lock of its own in this build: every use goes
// through the two calls below, which do.
struct SessionCache::State {
    std::mutex lock;
    mbedtls_ssl_cache_context cache;

    State() { mbedtls_ssl_cache_init(&cache); }
    ~State() { mbedtls_ssl_cache_free(&cache); }

    static int Get(void* self, mbedtls_ssl_session* session) {
        auto* state = static_cast<State*>(self);
        std::lock_guard<std::mutex> guard(state->lock);
        return mbedtls_ssl_cache_get(&state->cache, session);
    }
    static int Set(void* self, const mbedtls_ssl_session* session) {
        auto* state = static_cast<State*>(self);
        std::lock_guard<std::mutex> guard(state->lock);
        return mbedtls_ssl_cache_set(&state->cache, session);
    }
};

SessionCache::SessionCache() : m_state(std::make_unique<State>()) {}
SessionCache::~SessionCache() = default;

void SessionCache::Clear() {
    std::lock_guard<std::mutex> guard(m_state->lock);
    mbedtls_ssl_cache_free(&m_state->cache);
    mbedtls_ssl_cache_init(&m_state->cache);
}

// ---- Session -------------------------------------------------------------------------

struct Session::State {
    Key key;
    Certificate cert;
    mbedtls_ssl_config config;
    mbedtls_ssl_context ssl;
    Channel* channel = nullptr;
    Resumption* resumption = nullptr;
    SessionCache* cache = nullptr;
    bool started = false;
    bool peerClosed = false;
    bool resumed = false;

    State() {
        mbedtls_ssl_config_init(&config);
        mbedtls_ssl_init(&ssl);
    }
    ~State() {
        mbedtls_ssl_free(&ssl);
        mbedtls_ssl_config_free(&config);
    }

    static int Send(void* self, const unsigned char* data, size_t size) {
        size_t sent = static_cast<State*>(self)->channel->Send(data, size > 0x10000 ? 0x10000 : size);
        return sent > 0 ? static_cast<int>(sent) : MBEDTLS_ERR_NET_SEND_FAILED;
    }
    static int Receive(void* self, unsigned char* buffer, size_t size) {
        size_t got = static_cast<State*>(self)->channel->Receive(buffer, size > 0x10000 ? 0x10000 : size);
        return got > 0 ? static_cast<int>(got) : MBEDTLS_ERR_NET_CONN_RESET;
    }
};

Session::Session() : m_state(std::make_unique<State>()) {}
Session::~Session() = default;

void Session::ResumeWith(Resumption* resumption) { m_state->resumption = resumption; }
void Session::RememberIn(SessionCache* cache) { m_state->cache = cache; }

bool Session::Start(Role role, Channel& channel, const std::string& certPem, const std::string& keyPem,
                    std::string* error) {
    State& s = *m_state;
    if (s.started)
        return Fail(error, "the session has started already");
    Random& random = Random::Process();
    if (!random.ok())
        return Fail(error, "no random source");
    int status = s.cert.Parse(certPem);
    if (status != 0)
        return Fail(error, "the certificate is unreadable", status);
    status = s.key.Parse(keyPem, true);
    if (status != 0)
        return Fail(error, "the key is unreadable", status);
    int endpoint = role == Role::Server ? MBEDTLS_SSL_IS_SERVER : MBEDTLS_SSL_IS_CLIENT;
    status = mbedtls_ssl_config_defaults(&s.config, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT);
    if (status != 0)
        return Fail(error, "cannot configure TLS", status);
    mbedtls_ssl_conf_rng(&s.config, &Random::Draw, &random);
    mbedtls_ssl_conf_min_version(&s.config, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_1);
    mbedtls_ssl_conf_max_version(&s.config, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
    mbedtls_ssl_conf_cert_profile(&s.config, &kPairingProfile);
    mbedtls_ssl_conf_curves(&s.config, kCurves);
    mbedtls_ssl_conf_authmode(&s.config, role == Role::Server ? MBEDTLS_SSL_VERIFY_OPTIONAL : MBEDTLS_SSL_VERIFY_NONE);
    if (role == Role::Server && s.cache)
        mbedtls_ssl_conf_session_cache(&s.config, s.cache->m_state.get(), &SessionCache::State::Get,
                                       &SessionCache::State::Set);
    status = mbedtls_ssl_conf_own_cert(&s.config, s.cert.get(), s.key.get());
    if (status == 0)
        status = mbedtls_ssl_setup(&s.ssl, &s.config);
    if (status != 0)
        return Fail(error, "cannot set up TLS", status);
    Resumption::State* kept = role == Role::Client && s.resumption ? s.resumption->m_state.get() : nullptr;
    if (kept) {
        std::lock_guard<std::mutex> guard(kept->lock);
        if (kept->present && mbedtls_ssl_set_session(&s.ssl, &kept->session) != 0)
            return Fail(error, "cannot offer the kept TLS session");
    }
    s.channel = &channel;
    mbedtls_ssl_set_bio(&s.ssl, &s, &State::Send, &State::Receive, nullptr);
    // Step by step, to see whether the peers agreed on resuming before the
    // handshake's own state is released.
    while (s.ssl.state != MBEDTLS_SSL_HANDSHAKE_OVER) {
        status = mbedtls_ssl_handshake_step(&s.ssl);
        if (s.ssl.handshake)
            s.resumed = s.ssl.handshake->resume != 0;
        if (status != 0 && status != MBEDTLS_ERR_SSL_WANT_READ && status != MBEDTLS_ERR_SSL_WANT_WRITE)
            break;
        status = 0;
    }
    if (status != 0) {
        // The server may have refused what we offered: the next try is a full handshake.
        if (kept)
            s.resumption->Clear();
        s.resumed = false;
        return Fail(error, "TLS handshake failed", status);
    }
    if (kept) {
        // Kept for the next handshake with this server.
        mbedtls_ssl_session fresh;
        mbedtls_ssl_session_init(&fresh);
        if (mbedtls_ssl_get_session(&s.ssl, &fresh) == 0 && fresh.id_len > 0) {
            std::lock_guard<std::mutex> guard(kept->lock);
            mbedtls_ssl_session_free(&kept->session);
            kept->session = fresh; // takes over what `fresh` owns
            kept->present = true;
        } else {
            mbedtls_ssl_session_free(&fresh);
        }
    }
    s.started = true;
    return true;
}

bool Session::started() const { return m_state->started; }

size_t Session::Read(void* buffer, size_t size) {
    State& s = *m_state;
    if (!s.started || s.peerClosed || size == 0)
        return 0;
    for (;;) {
        int got = mbedtls_ssl_read(&s.ssl, static_cast<unsigned char*>(buffer), size);
        if (got > 0)
            return static_cast<size_t>(got);
        if (got == MBEDTLS_ERR_SSL_WANT_READ || got == MBEDTLS_ERR_SSL_WANT_WRITE)
            continue;
        if (got == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY)
            s.peerClosed = true;
        return 0;
    }
}

bool Session::WriteAll(const void* data, size_t size) {
    State& s = *m_state;
    if (!s.started)
        return false;
    const auto* at = static_cast<const unsigned char*>(data);
    while (size > 0) {
        int sent = mbedtls_ssl_write(&s.ssl, at, size);
        if (sent == MBEDTLS_ERR_SSL_WANT_READ || sent == MBEDTLS_ERR_SSL_WANT_WRITE)
            continue;
        if (sent <= 0)
            return false;
        at += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool Session::peerClosed() const { return m_state->peerClosed; }

void Session::Close() {
    if (m_state->started)
        mbedtls_ssl_close_notify(&m_state->ssl);
}

bool Session::resumed() const { return m_state->started && m_state->resumed; }

bool Session::peerPresentedCertificate() const {
    return m_state->started && mbedtls_ssl_get_peer_cert(&m_state->ssl) != nullptr;
}

std::string Session::version() const { return m_state->started ? mbedtls_ssl_get_version(&m_state->ssl) : ""; }

} // namespace tls

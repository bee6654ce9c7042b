#include "tests/installer/package_server.h"

#include "platform/handles.h"
#include "platform/text.h"

#include <sstream>

namespace testserver {

namespace {

constexpr wchar_t kInternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

ProxySetting::Saved Read(HKEY key, const wchar_t* name) {
    ProxySetting::Saved saved;
    DWORD size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &saved.type, nullptr, &size) != ERROR_SUCCESS)
        return saved;
    saved.data.resize(size);
    if (::RegQueryValueExW(key, name, nullptr, &saved.type, saved.data.data(), &size) == ERROR_SUCCESS)
        saved.present = true;
    saved.data.resize(size);
    return saved;
}

void Restore(HKEY key, const wchar_t* name, const ProxySetting::Saved& saved) {
    if (!saved.present) {
        ::RegDeleteValueW(key, name);
        return;
    }
    ::RegSetValueExW(key, name, 0, saved.type, saved.data.data(), static_cast<DWORD>(saved.data.size()));
}

} // namespace

PackageServer::PackageServer(int maxRequests, int maxSeconds) {
    const std::string control = testutil::UnixPath(m_control.path());
    if (control.empty()) {
        m_error = L"no Unix path for " + m_control.path();
        return;
    }
    const std::wstring arguments = Utf8ToWide(ORVEX_PACKAGE_SERVER_SCRIPT) + L" \"" + Utf8ToWide(control.c_str()) +
                                   L"\" --max-requests " + std::to_wstring(maxRequests) + L" --max-seconds " +
                                   std::to_wstring(maxSeconds);
    std::wstring error;
    if (!testutil::StartLinuxProgram("/usr/bin/python3", arguments, &error)) {
        m_error = L"python3 did not start: " + error;
        return;
    }
    for (int i = 0; i < 500; ++i) {
        std::string port;
        if (testutil::ReadFileBytes(m_control / L"port", &port) && !port.empty()) {
            m_port = std::atoi(port.c_str());
            return;
        }
        ::Sleep(20);
    }
    m_error = L"the server wrote no port";
}

PackageServer::~PackageServer() { testutil::WriteFileBytes(m_control / L"stop", ""); }

bool PackageServer::Serve(const std::vector<Answer>& answers) {
    std::ostringstream json;
    json << "{\"answers\": [";
    for (size_t i = 0; i < answers.size(); ++i) {
        const Answer& a = answers[i];
        std::string body;
        if (!a.body.empty()) {
            body = "body-" + std::to_string(++m_bodies);
            if (!testutil::WriteFileBytes(m_control / Utf8ToWide(body.c_str()), a.body))
                return false;
        }
        json << (i ? ", " : "") << "{\"status\": " << a.status << ", \"body\": " << JsonText(body)
             << ", \"length\": " << JsonText(a.length) << ", \"chunk\": " << a.chunk << ", \"delay_ms\": " << a.delayMs
             << ", \"drop\": " << (a.drop ? "true" : "false") << ", \"last\": " << (a.last ? "true" : "false");
        if (a.resetAfter >= 0)
            json << ", \"reset_after\": " << a.resetAfter;
        if (a.pauseAfter >= 0)
            json << ", \"pause_after\": " << a.pauseAfter << ", \"pause_ms\": " << a.pauseMs;
        if (!a.stall.empty())
            json << ", \"stall\": " << JsonText(a.stall) << ", \"stall_after\": " << a.stallAfter;
        json << "}";
    }
    json << "]}";
    // Written beside and moved in, so the server never reads half a file.
    if (!testutil::WriteFileBytes(m_control / L"scenario.tmp", json.str()))
        return false;
    return ::MoveFileExW((m_control / L"scenario.tmp").c_str(), (m_control / L"scenario.json").c_str(),
                         MOVEFILE_REPLACE_EXISTING) != FALSE;
}

std::vector<std::string> PackageServer::Requests() const {
    std::vector<std::string> lines;
    std::string log;
    if (!testutil::ReadFileBytes(m_control / L"requests.log", &log))
        return lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

ProxySetting::ProxySetting(int port) {
    HKEY raw = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &raw,
                          nullptr) != ERROR_SUCCESS)
        return;
    UniqueRegKey key(raw);
    m_enable = Read(key.get(), L"ProxyEnable");
    m_server = Read(key.get(), L"ProxyServer");
    DWORD enable = 1;
    ::RegSetValueExW(key.get(), L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    std::wstring server = L"127.0.0.1:" + std::to_wstring(port);
    ::RegSetValueExW(key.get(), L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                     static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t)));
}

ProxySetting::~ProxySetting() {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ | KEY_WRITE, &raw) != ERROR_SUCCESS)
        return;
    UniqueRegKey key(raw);
    Restore(key.get(), L"ProxyEnable", m_enable);
    Restore(key.get(), L"ProxyServer", m_server);
}

std::string PatternBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(state >> 16);
    }
    return bytes;
}

} // namespace testserver

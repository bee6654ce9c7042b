// The package download: byte counts as text, and the program's own request
// sent through the prefix's proxy setting to the tests' server on loopback,
// with every outcome the window can see.
#include "installer/package_download.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tests/installer/install_fixture.h"
#include "tests/installer/package_server.h"

#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace installtest;
using testserver::Answer;

TEST(FormatByteSize, UnitsAndRounding) {
    const struct {
        uint32_t count;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 B"},          {1023, L"1023 B"},          {1024, L"1.00 K"},       {1048575, L"1024.00 K"},
        {1048576, L"1.00 M"}, {1073741823, L"1024.00 M"}, {1073741824, L"1.00 G"}, {4294967295u, L"4.00 G"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatByteSize(c.count), c.text) << c.count;
}

TEST(FormatByteSize, ProgressTextAndFraction) {
    EXPECT_EQ(DownloadProgressText(1572864, 3848290), L"1.50 M/3.67 M");
    EXPECT_NEAR(DownloadFraction(1572864, 3848290), 0.409, 0.0005);
}

TEST(ContentLength, LeadingDigitsGiveTheTotal) {
    const struct {
        const wchar_t* header;
        int32_t total;
    } cases[] = {
        {L"1120", 1120},
        {L"", 0},
        {L"abc", 0},
        {L"12abc", 12},
        {L" 5", 0},
        {L"0", 0},
        {L"2147483647", INT32_MAX},
        {L"99999999999999999999", INT32_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseContentLength(c.header), c.total) << std::string(c.header, c.header + wcslen(c.header));
}

constexpr char kHandsetRequest[] =
    "GET http://download.orvex.example.com/DownloadAssistant.ashx?type=deb&clientid=com.zephant.QuillonDeb";
constexpr char kTabletRequest[] =
    "GET http://download.orvex.example.com/DownloadAssistant.ashx?type=deb&clientid=com.zephant.QuillonHDDeb";

// A request line without its protocol version and the default port, which
// the proxy request may or may not name.
std::string Request(std::string line) {
    line = line.substr(0, line.rfind(" HTTP/"));
    const std::string port = ":80/";
    size_t at = line.find(port);
    if (at != std::string::npos)
        line.replace(at, port.size(), "/");
    return line;
}

// Whether `told` is the short-body failure with a count of at most `most`
// received out of `total`.
bool IsShortBodyText(const std::wstring& told, int most, int total) {
    const std::wstring head = L"下载失败：下载的数据不完整（收到 ";
    const std::wstring tail = L"/" + std::to_wstring(total) + L" 字节），请检查网络连接后重试";
    if (told.size() <= head.size() + tail.size() || told.compare(0, head.size(), head) != 0 ||
        told.compare(told.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::wstring count = told.substr(head.size(), told.size() - head.size() - tail.size());
    if (count.size() > 9 || count.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    return std::stoi(count) <= most;
}

class DownloadTest : public InstallFixture {
  protected:
    // One server and one proxy setting for all the tests here.
    static void SetUpTestSuite() {
        s_server = new testserver::PackageServer(200, 170);
        if (s_server->ok())
            s_proxy = new testserver::ProxySetting(s_server->port());
    }
    static void TearDownTestSuite() {
        delete s_proxy;
        s_proxy = nullptr;
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_server->ok()) << std::string(s_server->error().begin(), s_server->error().end());
        InstallFixture::SetUp();
        m_requestsBefore = s_server->Requests().size();
    }
    void TearDown() override {
        InstallFixture::TearDown();
        ::RemoveDirectoryW(kHandsetFile);
    }

    // A handset whose package file is missing, offered the download.
    void PlugInWithoutPackage(const std::wstring& productType = L"iPhone4,1") {
        ::DeleteFileW(kHandsetFile);
        ::DeleteFileW(kTabletFile);
        PlugIn(L"phone", productType);
        ASSERT_EQ(m_dlg->m_nState, 1);
        ASSERT_TRUE(m_dlg->m_bNeedDownload);
    }
    std::vector<std::string> NewRequests() const {
        auto all = s_server->Requests();
        std::vector<std::string> lines;
        for (size_t i = m_requestsBefore; i < all.size(); ++i)
            lines.push_back(Request(all[i]));
        return lines;
    }
    static std::string FileBytes(const wchar_t* path) {
        std::string bytes;
        testutil::ReadFileBytes(path, &bytes);
        return bytes;
    }

    static testserver::PackageServer* s_server;
    static testserver::ProxySetting* s_proxy;
    size_t m_requestsBefore = 0;
};
testserver::PackageServer* DownloadTest::s_server = nullptr;
testserver::ProxySetting* DownloadTest::s_proxy = nullptr;

TEST_F(DownloadTest, CompletedDownloadHoldsTheServedBytesAndTheInstallGoesOn) {
    const struct {
        const wchar_t* productType;
        const wchar_t* file;
        const char* request;
        const char* upload;
    } cases[] = {
        {L"iPhone4,1", kHandsetFile, kHandsetRequest, "upload phone C:\\Quillon.deb var/root/Media/Cydia/AutoInstall"},
        {L"iPad2,5", kTabletFile, kTabletRequest, "upload phone C:\\QuillonHD.deb var/root/Media/Cydia/AutoInstall"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        ASSERT_TRUE(Restart());
        m_requestsBefore = s_server->Requests().size();
        const std::string body = testserver::PatternBytes(100 * 1024 + 17);
        ASSERT_TRUE(s_server->Serve({{.body = body}}));
        PlugInWithoutPackage(c.productType);
        Pushed().clear();
        Click();
        ASSERT_TRUE(FinishInstall());
        EXPECT_EQ(NewRequests(), std::vector<std::string>{c.request});
        EXPECT_TRUE(FileBytes(c.file) == body) << "the file holds the served bytes";
        EXPECT_TRUE(m_dlg->m_bDownloaded);
        EXPECT_FALSE(m_dlg->m_bDownloading);
        EXPECT_EQ(m_dlg->m_nDownloaded, static_cast<int32_t>(body.size()));
        EXPECT_EQ(m_dlg->m_nDownloadTotal, static_cast<int32_t>(body.size()));
        EXPECT_EQ(fakecalls::EventsStartingWith("upload "), std::vector<std::string>{c.upload});
        EXPECT_EQ(m_dlg->m_nState, 4);
        EXPECT_TRUE(m_seams.boxes().empty());
        // Progress in state 5, ending at the whole size, then on to the upload.
        auto last = std::find_if(Pushed().rbegin(), Pushed().rend(), [](const Shown& s) {
            return s.state == 5 && s.text.find(L"/") != std::wstring::npos;
        });
        ASSERT_NE(last, Pushed().rend());
        EXPECT_EQ(last->text, L"100.02 K/100.02 K");
        EXPECT_EQ(last->fraction, 1.0);
        EXPECT_EQ(Pushed().front().state, 5) << "the download's progress comes first";
    }
}

TEST_F(DownloadTest, DeviceOfTheOtherClassAfterADownloadGetsItsOwnPackage) {
    const std::string handset = testserver::PatternBytes(20000, 3);
    const std::string tablet = testserver::PatternBytes(30000, 4);
    ASSERT_TRUE(s_server->Serve({{.body = handset}, {.body = tablet}}));
    PlugInWithoutPackage();
    Click();
    ASSERT_TRUE(FinishInstall());
    ASSERT_EQ(m_dlg->m_nState, 4);
    ASSERT_TRUE(m_dlg->m_bDownloaded);

    CInstallOrvexDlg::OnDeviceRemoved(L"phone");
    testutil::PumpMessages(20);
    PlugIn(L"pad", L"iPad2,5");
    ASSERT_EQ(m_dlg->m_nState, 1) << "the tablet's package is missing";
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_EQ(NewRequests(), (std::vector<std::string>{kHandsetRequest, kTabletRequest}));
    EXPECT_TRUE(FileBytes(kTabletFile) == tablet);
    EXPECT_EQ(m_dlg->m_nState, 4);
    EXPECT_TRUE(m_seams.boxes().empty()) << "no failed upload";
}

TEST_F(DownloadTest, PackagePresentSendsNoRequestAtAll) {
    ASSERT_TRUE(s_server->Serve({{.body = "never"}}));
    PlugIn(L"phone");
    ASSERT_EQ(m_dlg->m_nState, 2);
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_EQ(m_dlg->m_nState, 4);
    ::Sleep(100);
    EXPECT_TRUE(NewRequests().empty());
    EXPECT_TRUE(fakecalls::EventsStartingWith("internet open").empty());
}

TEST_F(DownloadTest, ProxyAuthenticationIsToldOnceAndTheRequestSentAgain) {
    const std::string body = testserver::PatternBytes(30000, 2);
    ASSERT_TRUE(s_server->Serve({{.status = 407}, {.body = body}}));
    PlugInWithoutPackage();
    Click();
    ASSERT_TRUE(FinishInstall());
    EXPECT_EQ(m_seams.texts(), std::vector<std::wstring>{L"下载错误：407！"});
    EXPECT_EQ(NewRequests(), (std::vector<std::string>{kHandsetRequest, kHandsetRequest}));
    EXPECT_TRUE(FileBytes(kHandsetFile) == body);
    EXPECT_EQ(m_dlg->m_nState, 4);
}

TEST_F(DownloadTest, NoContentLengthEndsTheInstallWithoutAWord) {
    for (const char* length : {"none", "0", "abc"}) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(Restart());
        ASSERT_TRUE(s_server->Serve({{.body = "some bytes", .length = length}}));
        PlugInWithoutPackage();
        Click();
        ASSERT_TRUE(FinishInstall());
        EXPECT_FALSE(IsLocalFile(kHandsetFile));
        EXPECT_TRUE(m_seams.boxes().empty());
        EXPECT_EQ(m_dlg->m_nState, 1) << "the window keeps its state";
        EXPECT_FALSE(ButtonEnabled());
        EXPECT_FALSE(m_dlg->m_bDownloaded);
        EXPECT_TRUE(fakecalls::EventsStartingWith("info ").empty()) << "nothing asked of the device";
    }
}

TEST_F(DownloadTest, BodyShorterThanAnnouncedFailsAndARetryAfterTheFixSucceeds) {
    const std::string whole = testserver::PatternBytes(100000, 3);
    const struct {
        const char* name;
        Answer cut;
        std::wstring text;
    } cases[] = {
        {"cut at half",
         {.body = whole.substr(0, 50000), .length = "100000"},
         L"下载失败：下载的数据不完整（收到 50000/100000 字节），请检查网络连接后重试"},
        {"one byte short",
         {.body = whole.substr(0, 99999), .length = "100000"},
         L"下载失败：下载的数据不完整（收到 99999/100000 字节），请检查网络连接后重试"},
        {"connection reset at half",
         {.body = whole, .resetAfter = 50000},
         L"下载失败：下载的数据不完整（收到 50000/100000 字节），请检查网络连接后重试"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Restart());
        m_seams.Clear();
        m_requestsBefore = s_server->Requests().size();
        ASSERT_TRUE(s_server->Serve({c.cut, {.body = whole}}));
        PlugInWithoutPackage();
        Click();
        ASSERT_TRUE(FinishInstall());
        // WinINet may take the reset for the body's end or for a failed
        // read; either way it is one box naming the failure. A reset also
        // throws away what the PC had not read yet: fewer bytes than were
        // sent can be counted, or even the answer's head can be lost.
        ASSERT_EQ(m_seams.texts().size(), 1u);
        const std::wstring told = m_seams.texts()[0];
        EXPECT_TRUE(told == c.text ||
                    (c.cut.resetAfter >= 0 && (told == L"下载失败：接收数据时出错，请检查网络连接后重试" ||
                                               told == L"下载失败：无法连接下载服务器，请检查网络连接后重试" ||
                                               IsShortBodyText(told, c.cut.resetAfter, 100000))))
            << WideToUtf8(told.c_str());
        EXPECT_FALSE(IsLocalFile(kHandsetFile)) << "the cut file is deleted";
        EXPECT_FALSE(m_dlg->m_bDownloaded);
        EXPECT_EQ(m_dlg->m_nState, 1) << "back to the download offer";
        EXPECT_TRUE(ButtonEnabled());
        EXPECT_TRUE(fakecalls::EventsStartingWith("info ").empty()) << "nothing asked of the device";
        EXPECT_TRUE(fakecalls::EventsStartingWith("upload ").empty()) << "nothing uploaded";

        // The server mended, the next click installs the whole package.
        m_seams.Clear();
        Click();
        ASSERT_TRUE(FinishInstall());
        EXPECT_TRUE(m_seams.texts().empty());
        EXPECT_TRUE(FileBytes(kHandsetFile) == whole);
        EXPECT_EQ(m_dlg->m_nState, 4);
        EXPECT_EQ(fakecalls::EventsStartingWith("upload ").size(), 1u);
        EXPECT_EQ(NewRequests().size(), 2u);
    }
}

// What the window showed during a download beside what had arrived by
// then: a thread of its own notes each new count the download has received
// with its time, every frame pushed to the window is noted with its time,
// and a watchdog asks the window for an answer (WM_NULL) every 50 ms.
class ProgressWatch {
  public:
    struct Arrival {
        DWORD at;
        int32_t count;
    };
    struct Frame {
        DWORD at;
        int state;
        std::wstring text;
        double fraction;
    };

    explicit ProgressWatch(CInstallOrvexDlg& dlg) : m_dlg(dlg) {
        s_current = this;
        dlg.m_pfnUpdateLayeredWindow = Push;
        m_sampler = std::thread([this] { Sample(); });
        m_watchdog = std::thread([this, hWnd = dlg.m_hWnd] { Watch(hWnd); });
    }
    ~ProgressWatch() {
        Stop();
        m_dlg.m_pfnUpdateLayeredWindow = RecordPush;
        s_current = nullptr;
    }
    // Window's thread: a watchdog's last question is answered while it ends.
    void Stop() {
        m_stop = true;
        testutil::PumpUntil([this] { return m_watchdogEnded.load(); }, 5000);
        if (m_sampler.joinable())
            m_sampler.join();
        if (m_watchdog.joinable())
            m_watchdog.join();
    }

    // The frame on the window at `at`.
    const Frame* ShownAt(DWORD at) const {
        const Frame* shown = nullptr;
        for (const Frame& frame : m_frames) {
            if (static_cast<LONG>(frame.at - at) > 0)
                break;
            shown = &frame;
        }
        return shown;
    }

    // Every count that stayed the latest for longer than `late` ms must be
    // on the window, text and fill, `late` ms after it arrived and still
    // shortly before the next one came. Returns those counts with how long
    // each stayed.
    std::vector<std::pair<int32_t, DWORD>> CheckShownWithin(DWORD late, int32_t total) const {
        std::vector<std::pair<int32_t, DWORD>> settled;
        for (size_t i = 0; i + 1 < m_arrivals.size(); ++i) {
            const Arrival& arrival = m_arrivals[i];
            const DWORD lasted = m_arrivals[i + 1].at - arrival.at;
            if (lasted <= late)
                continue;
            settled.emplace_back(arrival.count, lasted);
            const std::wstring text =
                DownloadProgressText(static_cast<uint32_t>(arrival.count), static_cast<uint32_t>(total));
            std::vector<DWORD> checks = {late};
            if (lasted > late + 100)
                checks.push_back(lasted - 50);
            for (DWORD after : checks) {
                const Frame* frame = ShownAt(arrival.at + after);
                if (!frame) {
                    ADD_FAILURE() << "nothing shown " << after << " ms after " << arrival.count << " bytes arrived";
                    continue;
                }
                EXPECT_EQ(frame->state, 5);
                EXPECT_EQ(frame->text, text) << after << " ms after " << arrival.count << " bytes arrived";
                EXPECT_DOUBLE_EQ(frame->fraction, DownloadFraction(arrival.count, total))
                    << after << " ms after " << arrival.count << " bytes arrived";
            }
        }
        return settled;
    }

    std::vector<Arrival> m_arrivals; // the sampler's, read after Stop
    std::vector<Frame> m_frames;     // the window's thread's
    DWORD m_longestAnswer = 0;       // the watchdog's, read after Stop
    int m_answers = 0;
    int m_unanswered = 0;

  private:
    static BOOL WINAPI Push(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD) {
        if (s_current) {
            const CInstallOrvexDlg& dlg = s_current->m_dlg;
            s_current->m_frames.push_back({::GetTickCount(), dlg.m_nState, dlg.m_strStatus, dlg.m_dProgress});
        }
        return TRUE;
    }
    void Sample() {
        int32_t last = m_dlg.m_nDownloaded;
        while (!m_stop) {
            const int32_t count = m_dlg.m_nDownloaded;
            if (count != last)
                m_arrivals.push_back({::GetTickCount(), count});
            last = count;
            ::Sleep(1);
        }
    }
    void Watch(HWND hWnd) {
        while (!m_stop) {
            const DWORD start = ::GetTickCount();
            DWORD_PTR result = 0;
            if (::SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result)) {
                m_longestAnswer = std::max(m_longestAnswer, ::GetTickCount() - start);
                ++m_answers;
            } else {
                ++m_unanswered;
            }
            ::Sleep(50);
        }
        m_watchdogEnded = true;
    }

    static ProgressWatch* s_current;
    CInstallOrvexDlg& m_dlg;
    std::atomic<bool> m_stop{false}, m_watchdogEnded{false};
    std::thread m_sampler, m_watchdog;
};
ProgressWatch* ProgressWatch::s_current = nullptr;

// The progress on the window is what has arrived, at most about 100 ms
// late, also when the server pauses after a burst, trickles, or pauses
// after its first chunk; and the window answers throughout. The program's
// own delay is at most the 40 ms pacing and a repaint; the bound leaves
// 50 ms more for the threads' turns on a busy shared machine.
TEST_F(DownloadTest, ProgressShownIsWhatHasArrivedAlsoWhenTheServerPauses) {
    constexpr DWORD kLate = 150;
    const struct {
        const char* name;
        size_t size;
        Answer answer;
        // A count that must stay on the window for at least `lasting` ms.
        int32_t settled;
        DWORD lasting;
        const wchar_t* text;
    } cases[] = {
        {"a burst of 1,536,000 bytes, then 2 s of silence",
         3848290,
         {.pauseAfter = 1536000, .pauseMs = 2000},
         1536000,
         1000,
         L"1.46 M/3.67 M"},
        {"one chunk every 300 ms", 8 * 10240, {.chunk = 10240, .delayMs = 300}, 4 * 10240, 200, L"40.00 K/80.00 K"},
        {"1 s of silence after the first chunk",
         200000,
         {.chunk = 10240, .pauseAfter = 10240, .pauseMs = 1000},
         10240,
         800,
         L"10.00 K/195.31 K"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Restart());
        m_seams.Clear();
        Answer answer = c.answer;
        answer.body = testserver::PatternBytes(c.size, 7);
        ASSERT_TRUE(s_server->Serve({answer}));
        PlugInWithoutPackage();
        const auto total = static_cast<int32_t>(c.size);
        {
            ProgressWatch watch(*m_dlg);
            Click();
            ASSERT_TRUE(FinishInstall(30000));
            watch.Stop();
            EXPECT_EQ(watch.m_unanswered, 0) << "the window stopped answering";
            EXPECT_GT(watch.m_answers, 10);
            EXPECT_LT(watch.m_longestAnswer, 500u) << "the window answers at once";

            const auto settled = watch.CheckShownWithin(kLate, total);
            auto it = std::find_if(settled.begin(), settled.end(), [&](const auto& s) { return s.first == c.settled; });
            std::string counts;
            for (const auto& [count, lasted] : settled)
                counts += " " + std::to_string(count) + " (" + std::to_string(lasted) + " ms)";
            ASSERT_NE(it, settled.end()) << "no pause at " << c.settled << " bytes; pauses at" << counts;
            EXPECT_GE(it->second, c.lasting) << "the pause at " << c.settled << " bytes";
            EXPECT_EQ(DownloadProgressText(c.settled, total), c.text);
            ASSERT_FALSE(watch.m_arrivals.empty());
            EXPECT_EQ(watch.m_arrivals.back().count, total);
        }
        EXPECT_TRUE(FileBytes(kHandsetFile) == answer.body);
        EXPECT_EQ(m_dlg->m_nState, 4);
        EXPECT_TRUE(m_seams.boxes().empty());
    }
}

// A loopback port on which nothing listens.
int DeadPort() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    ::closesocket(s);
    return ntohs(address.sin_port);
}

TEST_F(DownloadTest, FailuresAreToldAndTheDownloadIsOfferedAgain) {
    WSADATA wsa;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    const std::string body = testserver::PatternBytes(60000, 4);
    const struct {
        const char* name;
        std::vector<Answer> answers;
        std::vector<std::wstring> texts;
        size_t requests; // reaching the shared server
        bool sessionFails = false;
        bool deadProxy = false;
        bool fileIsAFolder = false;
        bool ownServer = false; // a server of its own, which ends after its answers
    } cases[] = {
        {.name = "session",
         .answers = {{.body = body}},
         .texts = {L"下载失败：无法建立网络连接，请检查网络连接后重试"},
         .requests = 0,
         .sessionFails = true},
        {.name = "address",
         .answers = {{.body = body}},
         .texts = {L"下载失败：无法连接下载服务器，请检查网络连接后重试"},
         .requests = 0,
         .deadProxy = true},
        {.name = "status",
         .answers = {{.status = 404}},
         .texts = {L"下载失败：下载服务器应答 404，请稍后重试"},
         .requests = 1},
        {.name = "status after the re-send",
         .answers = {{.status = 407}, {.status = 407}},
         .texts = {L"下载错误：407！", L"下载失败：下载服务器应答 407，请稍后重试"},
         .requests = 2},
        {.name = "re-send",
         .answers = {{.status = 407, .last = true}},
         .texts = {L"下载错误：407！", L"下载失败：重新发送下载请求失败，请检查网络连接后重试"},
         .requests = 0,
         .ownServer = true},
        {.name = "local file",
         .answers = {{.body = body}},
         .texts = {L"下载失败：无法创建文件 C:\\Quillon.deb，请检查磁盘后重试"},
         .requests = 1,
         .fileIsAFolder = true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Restart());
        m_requestsBefore = s_server->Requests().size();
        fakecalls::Get().internetOpenFails = c.sessionFails;
        m_seams.Clear();
        std::unique_ptr<testserver::PackageServer> ownServer;
        std::unique_ptr<testserver::ProxySetting> proxy;
        if (c.ownServer) {
            ownServer = std::make_unique<testserver::PackageServer>(5, 30);
            ASSERT_TRUE(ownServer->ok());
            ASSERT_TRUE(ownServer->Serve(c.answers));
            proxy = std::make_unique<testserver::ProxySetting>(ownServer->port());
        } else {
            ASSERT_TRUE(s_server->Serve(c.answers));
        }
        if (c.deadProxy)
            proxy = std::make_unique<testserver::ProxySetting>(DeadPort());
        PlugInWithoutPackage();
        if (c.fileIsAFolder) {
            ASSERT_TRUE(::CreateDirectoryW(kHandsetFile, nullptr));
        }
        Click();
        ASSERT_TRUE(FinishInstall(40000));
        proxy.reset();
        EXPECT_EQ(m_seams.texts(), c.texts);
        EXPECT_EQ(NewRequests().size(), c.requests) << "the request is sent once more at most";
        EXPECT_EQ(m_dlg->m_nState, 1) << "back to the download offer";
        EXPECT_TRUE(ButtonEnabled());
        EXPECT_FALSE(IsLocalFile(kHandsetFile)) << "no partial file";
        EXPECT_FALSE(m_dlg->m_bDownloaded);
        EXPECT_FALSE(m_dlg->m_bDownloading);
        EXPECT_TRUE(fakecalls::EventsStartingWith("info ").empty()) << "nothing asked of the device";
        EXPECT_TRUE(::IsWindow(m_dlg->m_hWnd));
        ::RemoveDirectoryW(kHandsetFile);
    }
    ::WSACleanup();
}

TEST_F(DownloadTest, ClosingTheWindowStopsTheDownloadAtTheNextChunk) {
    const std::string body = testserver::PatternBytes(2 * 1024 * 1024, 5);
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Esc" : "close");
        ASSERT_TRUE(Restart());
        m_seams.Clear();
        ASSERT_TRUE(s_server->Serve({{.body = body, .chunk = 4096, .delayMs = 10}}));
        PlugInWithoutPackage();
        Click();
        ASSERT_TRUE(testutil::PumpUntil([&] { return m_dlg->m_nDownloaded > 0; }, 10000)) << "the download started";
        const int32_t atClose = m_dlg->m_nDownloaded;
        if (escape)
            ::SendMessageW(m_dlg->m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        else
            ::SendMessageW(m_dlg->m_hWnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(WindowClosed());
        const DWORD start = ::GetTickCount();
        ASSERT_TRUE(FinishInstall(10000));
        EXPECT_LT(::GetTickCount() - start, 3000u) << "the worker stopped soon";
        EXPECT_LE(m_dlg->m_nDownloaded - atClose, static_cast<int32_t>(download::kChunkSize))
            << "at most the chunk in hand when the window closed";
        EXPECT_LT(m_dlg->m_nDownloaded, static_cast<int32_t>(body.size()));
        EXPECT_FALSE(IsLocalFile(kHandsetFile)) << "the partial file is deleted";
        EXPECT_FALSE(m_dlg->m_bDownloaded);
        EXPECT_TRUE(fakecalls::EventsStartingWith("info ").empty());
        EXPECT_TRUE(fakecalls::EventsStartingWith("upload ").empty()) << "nothing uploaded";
        EXPECT_TRUE(m_seams.boxes().empty());
    }
}

// The window closed while the server is silent: before its answer, or in
// the middle of the body. The worker is let go at once, whatever WinINet
// does with its pending call.
TEST_F(DownloadTest, ClosingWhileTheServerIsSilentEndsTheWorkerAtOnce) {
    const std::string body = testserver::PatternBytes(100000, 6);
    const struct {
        const char* name;
        Answer answer;
    } cases[] = {
        {"no answer yet", {.stall = "headers"}},
        {"body stalled at 30000 bytes", {.body = body, .stall = "body", .stallAfter = 30000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Restart());
        m_seams.Clear();
        // A server of its own: a stalled one answers nobody else until it goes.
        testserver::PackageServer server(5, 60);
        ASSERT_TRUE(server.ok());
        testserver::ProxySetting proxy(server.port());
        ASSERT_TRUE(server.Serve({c.answer}));
        PlugInWithoutPackage();
        Click();
        ASSERT_TRUE(testutil::PumpUntil([&] { return !server.Requests().empty(); }, 10000)) << "the request came";
        testutil::PumpMessages(500); // the server is silent now
        ASSERT_TRUE(m_dlg->WorkerRunning()) << "the download waits for the server";
        const DWORD start = ::GetTickCount();
        ::SendMessageW(m_dlg->m_hWnd, WM_CLOSE, 0, 0);
        EXPECT_LT(::GetTickCount() - start, 1000u) << "the close itself does not wait";
        ASSERT_TRUE(FinishInstall(10000));
        EXPECT_LT(::GetTickCount() - start, 2000u) << "the worker ended soon after the close";
        EXPECT_TRUE(WindowClosed());
        EXPECT_FALSE(IsLocalFile(kHandsetFile)) << "no partial file";
        EXPECT_FALSE(m_dlg->m_bDownloaded);
        EXPECT_TRUE(fakecalls::EventsStartingWith("info ").empty());
        EXPECT_TRUE(fakecalls::EventsStartingWith("upload ").empty()) << "nothing uploaded";
        EXPECT_TRUE(m_seams.boxes().empty()) << "a close is not a failure to tell";
    }
}

} // namespace

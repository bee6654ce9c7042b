#include "tests/device/farm_fixture.h"

#include "platform/text.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace devtest {

namespace {

// What the library announced, by identifier.
struct Announcements {
    std::mutex lock;
    std::condition_variable changed;
    std::set<std::wstring> attached;
};

Announcements& Announced() {
    static Announcements* announcements = new Announcements;
    return *announcements;
}

void OnArrived(const wchar_t* identifier) {
    Announcements& a = Announced();
    {
        std::lock_guard<std::mutex> guard(a.lock);
        a.attached.insert(identifier);
    }
    a.changed.notify_all();
}

void OnRemoved(const wchar_t* identifier) {
    Announcements& a = Announced();
    {
        std::lock_guard<std::mutex> guard(a.lock);
        a.attached.erase(identifier);
    }
    a.changed.notify_all();
}

bool WaitAnnounced(const std::wstring& identifier, bool attached) {
    Announcements& a = Announced();
    std::unique_lock<std::mutex> guard(a.lock);
    return a.changed.wait_for(guard, std::chrono::seconds(10),
                              [&] { return (a.attached.count(identifier) != 0) == attached; });
}

FarmLibrary* g_library = nullptr;

class FarmEnvironment : public testing::Environment {
  public:
    void TearDown() override { FarmLibrary::Shutdown(); }
};
testing::Environment* const g_environment = testing::AddGlobalTestEnvironment(new FarmEnvironment);

} // namespace

std::wstring Wide(const std::string& utf8) { return Utf8ToWide(utf8.c_str()); }

FarmLibrary& FarmLibrary::Get() {
    if (!g_library)
        g_library = new FarmLibrary;
    return *g_library;
}

void FarmLibrary::Shutdown() {
    delete g_library;
    g_library = nullptr;
}

FarmLibrary::FarmLibrary() {
    int bound = 0;
    m_simulated = testfarm::MakeFarmAndBind([this] { return m_dll.ok() ? m_dll.LoadDllFunctions() : 0; }, &bound);
    if (bound != 1)
        ADD_FAILURE() << "the device library did not bind the vendor libraries";
    EXPECT_TRUE(m_simulated->ok()) << testing::PrintToString(m_simulated->error());
    m_farm = std::make_unique<simfarm::Farm>(m_simulated->folder());
    m_listening = m_dll.ok() && m_dll.StartListeningDeviceConnections(OnArrived, OnRemoved) == 1;
    EXPECT_TRUE(m_listening);
}

FarmLibrary::~FarmLibrary() {
    if (m_listening)
        m_dll.StopListeningDeviceConnections();
    if (m_dll.ok())
        m_dll.UnloadDllFunctions();
    m_farm.reset();
    m_simulated.reset();
}

std::string FarmLibrary::Plug(const std::string& templateName) {
    std::wstring id = m_simulated->Create(Wide(templateName).c_str());
    if (id.empty()) {
        ADD_FAILURE() << "farm: " << testing::PrintToString(m_simulated->LastError());
        return std::string();
    }
    if (!WaitAnnounced(id, true)) {
        ADD_FAILURE() << "the library did not announce " << testing::PrintToString(id);
        return std::string();
    }
    return WideToUtf8(id.c_str());
}

bool FarmLibrary::Unplug(const std::string& udid) {
    if (!m_simulated->Detach(Wide(udid))) {
        ADD_FAILURE() << "farm: " << testing::PrintToString(m_simulated->LastError());
        return false;
    }
    if (!WaitAnnounced(Wide(udid), false))
        return false;
    // The library drops the device from its list just after the removal
    // callback has returned: wait until it no longer finds it (an unknown
    // device zeroes the record).
    for (int i = 0; i < 500; ++i) {
        static __IOS_DEVICE probe;
        probe.UniqueDeviceID[0] = L'x';
        if (m_dll.GetDeviceInfo(Wide(udid).c_str(), &probe) == 0 && probe.UniqueDeviceID[0] == L'\0')
            return true;
        ::Sleep(10);
    }
    return false;
}

simfarm::Value FarmLibrary::Description(const std::string& udid) const {
    simfarm::Value description;
    std::string error;
    EXPECT_TRUE(m_farm->Load(udid, &description, &error)) << error;
    return description;
}

bool FarmLibrary::Change(const std::string& udid, const simfarm::Farm::Change& change) const {
    std::string error;
    bool ok = m_farm->Update(udid, change, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

bool FarmLibrary::SetFault(const std::string& udid, simfarm::Fault fault, int64_t amount) {
    bool ok = m_simulated->SetFault(Wide(udid), Wide(simfarm::InfoOf(fault).name).c_str(), amount);
    EXPECT_TRUE(ok) << testing::PrintToString(m_simulated->LastError());
    return ok;
}

bool FarmLibrary::ClearFaults(const std::string& udid) {
    bool ok = m_simulated->ClearFaults(Wide(udid));
    EXPECT_TRUE(ok) << testing::PrintToString(m_simulated->LastError());
    return ok;
}

simfarm::Value FarmLibrary::DevicePlist(const std::string& udid, const std::string& path) const {
    std::string xml;
    simfarm::Value value;
    if (m_farm->Files(udid).ReadWholeFile(path, &xml, 16 * 1024 * 1024) != 0 || !simfarm::ReadXmlPlist(xml, &value))
        return simfarm::Value();
    return value;
}

} // namespace devtest

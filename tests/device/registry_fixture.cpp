#include "tests/device/registry_fixture.h"

#include "platform/loader_log.h"
#include "platform/seams.h"
#include "platform/text.h"

#include <sstream>

namespace testutil {

EventLog RegistryTest::s_arrived;
EventLog RegistryTest::s_removed;

namespace {
std::wstring g_documents;
}

void RegistryTest::SetUp() {
    s_arrived.Clear();
    s_removed.Clear();
    // The line naming the libraries used goes to the real log: the test's
    // own log holds only what the calls under test write.
    int bound = 0;
    m_farm = testfarm::MakeFarmAndBind([] { return LoadDllFunctions(); }, &bound);
    ASSERT_TRUE(m_farm->ok()) << testing::PrintToString(m_farm->error());
    ASSERT_EQ(bound, 1);
    m_documents = std::make_unique<TempDir>();
    g_documents = m_documents->path();
    seams::Current().documentsFolder = [] { return g_documents; };
}

void RegistryTest::TearDown() {
    StopListeningDeviceConnections();
    UnloadDllFunctions(); // forgets the listed devices
    m_farm.reset();
    seams::Reset();
    m_documents.reset();
}

std::vector<std::wstring> RegistryTest::LogLines() const {
    std::vector<std::wstring> lines;
    std::wstring folder = m_documents->path() + L"\\Tevrin\\Logs";
    for (const std::wstring& name : ListFolder(folder)) {
        std::string bytes;
        if (!ReadFileBytes(folder + L"\\" + name, &bytes))
            continue;
        std::wstringstream text(Utf8ToWide(bytes.c_str()));
        std::wstring line;
        while (std::getline(text, line)) {
            if (!line.empty() && line.back() == L'\r')
                line.pop_back();
            // Drop the time stamp "YYYY-MM-DD HH:MM:SS: ", and the built-in
            // backend's own lines (the library's lines are the ones tested).
            line = line.size() > 21 ? line.substr(21) : line;
            if (line.rfind(kBackendDetailLogPrefix, 0) != 0)
                lines.push_back(line);
        }
    }
    return lines;
}

} // namespace testutil

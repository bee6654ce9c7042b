// Opening a session and the file service, with the farm's faults; each
// failure is one line of the daily log.
#include "tests/device/registry_fixture.h"

namespace {

using testutil::RegistryTest;

TEST_F(RegistryTest, SessionsAndFileServiceReportEachFailingStep) {
    struct Case {
        const wchar_t* faults[2];
        bool paired;
        bool session;
        bool service;
        bool privileged;
        const wchar_t* log;
    } cases[] = {
        {{nullptr, nullptr}, true, true, true, true, nullptr},
        {{nullptr, nullptr}, false, true, true, true, nullptr}, // paired on the way
        {{L"connect", nullptr}, true, false, false, false, L"连接设备失败！"},
        {{L"pair", nullptr}, true, false, false, false, L"设备配对失败。"},
        {{L"session", nullptr}, true, false, false, false, L"开始会话失败。"},
        {{L"afc2", nullptr}, true, true, true, false, nullptr},
        {{L"afc2", L"afc"}, true, true, false, false, L"建立文件服务失败."},
        // The service started (so a failed connection still tells it was afc2).
        {{L"afc-connection", nullptr}, true, true, false, true, L"建立文件连接失败."},
    };
    ASSERT_EQ(StartListeningDeviceConnections(OnArrived, OnRemoved), 1);
    std::wstring id = m_farm->Create(testfarm::kIPhone4S);
    ASSERT_TRUE(s_arrived.WaitForCount(1));
    DeviceRef device = FindDevice(id.c_str());
    ASSERT_TRUE(device);

    size_t logged = 0;
    for (const Case& c : cases) {
        std::wstring what = std::wstring(c.faults[0] ? c.faults[0] : L"none") + (c.paired ? L"" : L", unpaired");
        SCOPED_TRACE(testing::PrintToString(what));
        ASSERT_TRUE(m_farm->ClearFaults(id));
        ASSERT_TRUE(m_farm->SetPaired(id, c.paired));
        for (const wchar_t* fault : c.faults) {
            if (fault) {
                ASSERT_TRUE(m_farm->SetFault(id, fault));
            }
        }

        DeviceSession session(device.get());
        EXPECT_EQ(session.Open(), c.session);
        if (c.session) {
            FileService afc;
            const bool opened = OpenFileService(session, &afc);
            EXPECT_FALSE(session.IsOpen()); // ended either way
            // Over the wire a file connection the device drops at once is
            // found dead when it is opened, or (should the close not have
            // arrived yet) by its first request.
            const bool droppedLater = opened && !c.service && testfarm::SimulatedFarm::Served() && c.faults[0] &&
                                      std::wstring(c.faults[0]) == L"afc-connection";
            if (droppedLater) {
                EXPECT_TRUE(afc.privileged());
                afc_dictionary* info = nullptr;
                EXPECT_NE(vendor::AFCDeviceInfoOpen(afc.connection(), &info), 0);
                continue;
            }
            EXPECT_EQ(opened, c.service);
            EXPECT_EQ(afc.IsOpen(), c.service);
            EXPECT_EQ(afc.privileged(), c.privileged);
            EXPECT_EQ(afc.started(), c.service || c.privileged);
            if (c.service) {
                // The connection works after the session has ended.
                afc_dictionary* info = nullptr;
                EXPECT_EQ(vendor::AFCDeviceInfoOpen(afc.connection(), &info), 0);
                if (info)
                    vendor::AFCKeyValueClose(info);
            }
        }
        std::vector<std::wstring> lines = LogLines();
        if (c.log) {
            ASSERT_EQ(lines.size(), logged + 1) << testing::PrintToString(lines);
            EXPECT_EQ(lines.back(), c.log);
            ++logged;
        } else {
            EXPECT_EQ(lines.size(), logged) << testing::PrintToString(lines);
        }
    }
}

} // namespace

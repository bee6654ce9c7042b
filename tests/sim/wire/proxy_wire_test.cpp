// The installation proxy and misagent on the wire: their message streams,
// refusals and faults, and one farm shared with the stand-in library.
#include "tests/device/ipa_builder.h"
#include "tests/sim/wire/wire_fixture.h"
#include "tests/support/test_util.h"

#include "platform/text.h"

namespace wiretest {
namespace {

using simfarm::Value;

Value Request(const char* command, Value options = Value()) {
    Value request = Value::Dict();
    request.Set("Command", Value::String(command));
    if (!options.is(Value::Kind::Null))
        request.Set("ClientOptions", std::move(options));
    return request;
}

// Every message of one answer, up to Complete or an error.
std::vector<Value> Answer(SOCKET socket, const Value& request) {
    std::vector<Value> messages;
    if (!SendPlist(socket, request))
        return messages;
    Value message;
    while (ReceivePlist(socket, &message)) {
        messages.push_back(message);
        if (message.Find("Error") || message.GetString("Status") == "Complete")
            break;
    }
    return messages;
}

std::vector<std::string> Steps(const std::vector<Value>& messages) {
    std::vector<std::string> steps;
    for (const Value& m : messages)
        steps.push_back(m.Find("Error") ? "Error:" + m.GetString("Error") : m.GetString("Status"));
    return steps;
}

class ProxyWireTest : public WireTest {
  protected:
    // An archive put where clients upload it: PublicStaging in the media area.
    std::string Stage(const char* name, const testutil::IpaRecipe& recipe) {
        std::wstring path = farm->HostPath(udid, (L"/var/mobile/Media/PublicStaging/" + Utf8ToWide(name)).c_str());
        EXPECT_TRUE(testutil::WriteIpa(path, recipe));
        return std::string("PublicStaging/") + name;
    }
    Value Install(const char* command, const std::string& packagePath) {
        Value request = Request(command, Value::Dict());
        request.Set("PackagePath", Value::String(packagePath));
        return request;
    }
    const Value* App(const std::string& bundleId) {
        m_description = Description();
        return m_description.SubDict(simfarm::key::kApplications).Find(bundleId);
    }

  private:
    Value m_description;
};

TEST_F(ProxyWireTest, BrowseSendsBatchesThenComplete) {
    const Value apps = Description().SubDict(simfarm::key::kApplications);
    size_t users = 0;
    for (const auto& app : apps.entries())
        users += app.second.GetString("ApplicationType") == "User";
    auto served = ServeProxy();
    Value options = Value::Dict();
    options.Set("ApplicationType", Value::String("User"));
    Value attributes = Value::Array();
    attributes.Append(Value::String("CFBundleVersion"));
    options.Set("ReturnAttributes", attributes);
    std::vector<Value> messages = Answer(served->client(), Request("Browse", options));
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ("Complete", messages.back().GetString("Status"));
    size_t listed = 0;
    for (size_t i = 0; i + 1 < messages.size(); ++i) {
        const Value& m = messages[i];
        EXPECT_EQ("BrowsingApplications", m.GetString("Status"));
        EXPECT_EQ(static_cast<int64_t>(users), m.GetInteger("Total"));
        EXPECT_EQ(static_cast<int64_t>(listed), m.GetInteger("CurrentIndex"));
        const Value* list = m.Find("CurrentList");
        ASSERT_TRUE(list && list->is(Value::Kind::Array));
        EXPECT_EQ(static_cast<int64_t>(list->items().size()), m.GetInteger("CurrentAmount"));
        for (const Value& record : list->items()) {
            const Value* app = apps.Find(record.GetString("CFBundleIdentifier"));
            ASSERT_NE(nullptr, app);
            EXPECT_EQ(app->GetString("CFBundleVersion"), record.GetString("CFBundleVersion"));
            EXPECT_EQ(nullptr, record.Find("Path")) << "only the attributes asked for";
        }
        listed += list->items().size();
    }
    EXPECT_EQ(users, listed);
    EXPECT_GT(users, 0u);

    // Lookup of chosen identifiers, on the same connection.
    Value ids = Value::Array();
    ids.Append(Value::String("com.saurik.Cydia"));
    ids.Append(Value::String("no.such.app"));
    Value lookup = Value::Dict();
    lookup.Set("BundleIDs", ids);
    messages = Answer(served->client(), Request("Lookup", lookup));
    ASSERT_EQ(1u, messages.size());
    const Value& result = messages[0].SubDict("LookupResult");
    ASSERT_EQ(1u, result.entries().size());
    EXPECT_EQ("System", result.entries()[0].second.GetString("ApplicationType"));
}

TEST_F(ProxyWireTest, InstallUpgradeUninstallWithTheirStreamsOnTheSharedFarm) {
    auto served = ServeProxy();
    std::string v1 = Stage("w.ipa", {"com.example.wire", "Wire", "1.0"});
    std::vector<Value> messages = Answer(served->client(), Install("Install", v1));
    std::vector<std::string> steps = Steps(messages);
    ASSERT_EQ(12u, steps.size()) << steps.back();
    EXPECT_EQ("CreatingStagingDirectory", steps.front());
    EXPECT_EQ("Complete", steps.back());
    int64_t last = -1;
    for (const Value& m : messages) {
        EXPECT_GE(m.GetInteger("PercentComplete", -1), last);
        last = m.GetInteger("PercentComplete", -1);
    }
    ASSERT_NE(nullptr, App("com.example.wire"));
    const std::string container = App("com.example.wire")->GetString("Container");

    // The stand-in library lists what the wire installed.
    am_device* device = Announced(udid);
    ASSERT_NE(nullptr, device);
    ASSERT_TRUE(OpenSession(device));
    CFDictionaryRef apps = nullptr;
    ASSERT_EQ(0, md().AMDeviceLookupApplications(device, nullptr, &apps));
    simtest::Owned holder(cf(), apps);
    simtest::Owned key(cf(), cf().String("com.example.wire"));
    EXPECT_NE(nullptr, cf().CFDictionaryGetValue(apps, key.get()));

    std::string v2 = Stage("w2.ipa", {"com.example.wire", "Wire", "2.0"});
    EXPECT_EQ("Complete", Steps(Answer(served->client(), Install("Upgrade", v2))).back());
    ASSERT_NE(nullptr, App("com.example.wire"));
    EXPECT_EQ("2.0", App("com.example.wire")->GetString("CFBundleVersion"));
    EXPECT_EQ(container, App("com.example.wire")->GetString("Container")) << "an upgrade keeps the container";

    Value uninstall = Request("Uninstall");
    uninstall.Set("ApplicationIdentifier", Value::String("com.example.wire"));
    EXPECT_EQ((std::vector<std::string>{"RemovingApplication", "GeneratingApplicationMap", "Complete"}),
              Steps(Answer(served->client(), uninstall)));
    EXPECT_EQ(nullptr, App("com.example.wire"));
    CloseSession(device);
}

// Archives as stores ship them carry a binary Info.plist.
TEST_F(ProxyWireTest, InstallReadsABinaryInfoPlist) {
    Value info = Value::Dict();
    info.Set("CFBundleIdentifier", Value::String("com.example.binary"));
    info.Set("CFBundleExecutable", Value::String("Bin"));
    info.Set("CFBundleVersion", Value::String("7.0"));
    std::string binary;
    ASSERT_TRUE(simfarm::WriteBinaryPlist(info, &binary));
    ASSERT_EQ(0u, binary.rfind("bplist", 0));
    const std::wstring path = farm->HostPath(udid, L"/var/mobile/Media/PublicStaging/b.ipa");
    ASSERT_TRUE(testutil::WriteIpa(path, {"com.example.binary", "Bin", "7.0"}, binary));
    auto served = ServeProxy();
    EXPECT_EQ("Complete", Steps(Answer(served->client(), Install("Install", "PublicStaging/b.ipa"))).back());
    ASSERT_NE(nullptr, App("com.example.binary"));
    EXPECT_EQ("7.0", App("com.example.binary")->GetString("CFBundleVersion"));
}

TEST_F(ProxyWireTest, AnAppInstalledThroughTheStandInIsBrowsedOverTheWire) {
    am_device* device = Announced(udid);
    ASSERT_NE(nullptr, device);
    ASSERT_TRUE(OpenSession(device));
    testutil::TempDir local;
    ASSERT_TRUE(testutil::WriteIpa(local / L"s.ipa", {"com.example.standin", "StandIn", "3.1"}));
    std::string url = "file:///" + WideToUtf8((local / L"s.ipa").c_str());
    for (char& c : url)
        c = c == '\\' ? '/' : c;
    simtest::Owned cfUrl(cf(),
                         cf().CFURLCreateWithBytes(nullptr, reinterpret_cast<const uint8_t*>(url.data()),
                                                   static_cast<CFIndex>(url.size()), kCFStringEncodingUTF8, nullptr));
    ASSERT_EQ(0, md().AMDeviceSecureInstallApplication(0, device, static_cast<CFURLRef>(cfUrl.get()), nullptr, nullptr,
                                                       nullptr));
    CloseSession(device);
    auto served = ServeProxy();
    Value ids = Value::Array();
    ids.Append(Value::String("com.example.standin"));
    Value options = Value::Dict();
    options.Set("BundleIDs", ids);
    std::vector<Value> messages = Answer(served->client(), Request("Lookup", options));
    ASSERT_EQ(1u, messages.size());
    const Value* app = messages[0].SubDict("LookupResult").Find("com.example.standin");
    ASSERT_NE(nullptr, app);
    EXPECT_EQ("3.1", app->GetString("CFBundleVersion"));
}

TEST_F(ProxyWireTest, RefusalsComeAsErrorsAndTheConnectionGoesOn) {
    auto served = ServeProxy();
    SOCKET s = served->client();
    std::string good = Stage("g.ipa", {"com.example.good", "Good", "1.0"});
    ASSERT_TRUE(testutil::WriteFileBytes(farm->HostPath(udid, L"/var/mobile/Media/PublicStaging/bad.ipa"), "PK no"));
    ASSERT_TRUE(testutil::WriteFileBytes(farm->HostPath(udid, L"/private/etc/outside.ipa"), "x"));
    Value uninstallSystem = Request("Uninstall");
    uninstallSystem.Set("ApplicationIdentifier", Value::String("com.saurik.Cydia"));
    Value noPath = Request("Install");
    Value notADict = Value::Array();
    struct Case {
        const char* what;
        Value request;
        const char* error;
    } cases[] = {
        {"upgrade of an app not installed", Install("Upgrade", good), "Error:ApplicationNotInstalled"},
        {"not an archive", Install("Install", "PublicStaging/bad.ipa"), "Error:PackageInspectionFailed"},
        {"missing archive", Install("Install", "PublicStaging/none.ipa"), "Error:PackageInspectionFailed"},
        {"archive outside the media area", Install("Install", "../../../../etc/outside.ipa"),
         "Error:PackageInspectionFailed"},
        {"no package path", noPath, "Error:InvalidArgument"},
        {"uninstall of a system app", uninstallSystem, "Error:UninstallProhibited"},
        {"unknown command", Request("Frobnicate"), "Error:UnknownCommand"},
        {"not a dictionary", notADict, "Error:InvalidArgument"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> steps = Steps(Answer(s, c.request));
        ASSERT_FALSE(steps.empty()) << c.what;
        EXPECT_EQ(c.error, steps.back()) << c.what;
    }
    EXPECT_EQ(nullptr, App("com.example.good"));
    EXPECT_NE(nullptr, App("com.saurik.Cydia"));

    ASSERT_TRUE(farm->SetFault(udid, L"install"));
    EXPECT_EQ("Error:InstallProhibited", Steps(Answer(s, Install("Install", good))).back());
    ASSERT_TRUE(farm->SetFault(udid, L"lookup"));
    EXPECT_EQ("Error:LookupFailed", Steps(Answer(s, Request("Browse"))).back());
    EXPECT_EQ("Error:LookupFailed", Steps(Answer(s, Request("Lookup"))).back());
    ASSERT_TRUE(farm->ClearFaults(udid));
    EXPECT_EQ("Complete", Steps(Answer(s, Install("Install", good))).back());
}

TEST_F(ProxyWireTest, ServicesCloseWithTheDevice) {
    auto proxy = ServeProxy();
    auto agent = ServeMisagent();
    ASSERT_TRUE(farm->Detach(udid));
    EXPECT_TRUE(Answer(proxy->client(), Request("Browse")).empty());
    Value copy = Value::Dict();
    copy.Set("MessageType", Value::String("CopyAll"));
    EXPECT_TRUE(SendPlist(agent->client(), copy));
    Value answer;
    EXPECT_FALSE(ReceivePlist(agent->client(), &answer));
    EXPECT_TRUE(proxy->WaitFinished(5000));
    EXPECT_TRUE(agent->WaitFinished(5000));
}

// misagent: profiles kept where the stand-in keeps them.
TEST_F(ProxyWireTest, MisagentInstallsCopiesAndRemovesProfiles) {
    auto served = ServeMisagent();
    SOCKET s = served->client();
    auto call = [s](Value request) {
        Value answer;
        EXPECT_TRUE(SendPlist(s, request));
        EXPECT_TRUE(ReceivePlist(s, &answer));
        return answer;
    };
    auto message = [](const char* type) {
        Value m = Value::Dict();
        m.Set("MessageType", Value::String(type));
        m.Set("ProfileType", Value::String("Provisioning"));
        return m;
    };
    const std::string signed1 = std::string("\x30\x82sig") +
                                "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>UUID</key>"
                                "<string>AAAA-1111</string><key>Name</key><string>Team</string></dict></plist>" +
                                "tail";
    const std::string plain2 = "just bytes";
    for (const std::string& bytes : {signed1, plain2}) {
        Value install = message("Install");
        install.Set("Profile", Value::Data(bytes));
        EXPECT_EQ(0, call(install).GetInteger("Status", -1));
    }
    Value all = call(message("CopyAll"));
    EXPECT_EQ(0, all.GetInteger("Status", -1));
    const Value* payload = all.Find("Payload");
    ASSERT_TRUE(payload && payload->is(Value::Kind::Array));
    ASSERT_EQ(2u, payload->items().size());
    EXPECT_EQ(signed1, payload->items()[0].text());
    EXPECT_EQ(plain2, payload->items()[1].text());
    EXPECT_EQ(2u, call(message("Copy"))["Payload"].items().size()) << "Copy answers as CopyAll";

    Value description = Description();
    const Value& stored = description[simfarm::key::kProvisioningProfiles];
    ASSERT_EQ(2u, stored.items().size());
    EXPECT_EQ("Team", stored.items()[0].GetString("Name"));

    Value remove = message("Remove");
    remove.Set("ProfileID", Value::String("AAAA-1111"));
    EXPECT_EQ(0, call(remove).GetInteger("Status", -1));
    EXPECT_NE(0, call(remove).GetInteger("Status", 0)) << "no such profile any more";
    Value bad = message("Install");
    bad.Set("Profile", Value::String("not data"));
    EXPECT_NE(0, call(bad).GetInteger("Status", 0));
    EXPECT_NE(0, call(message("Frobnicate")).GetInteger("Status", 0));
    EXPECT_EQ(1u, call(message("CopyAll"))["Payload"].items().size());
}

} // namespace
} // namespace wiretest

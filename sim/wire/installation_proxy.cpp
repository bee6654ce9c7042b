// The installation proxy on the wire: Browse, Lookup, Install, Upgrade and
// Uninstall, each answered with a stream of property lists, on the same
// application logic as the stand-in library's calls.
#include "sim/farm/applications.h"
#include "sim/farm/farm_view.h"
#include "sim/farm/file_slot.h"
#include "sim/farm/status.h"
#include "sim/wire/stream.h"

#include <algorithm>
#include <memory>

namespace simwire {

namespace {

using simfarm::AppResult;
using simfarm::Value;

// Applications per BrowsingApplications message.
const size_t kBrowseBatch = 20;

class ProxySession {
  public:
    ProxySession(Stream& stream, const ServiceContext& context)
        : m_stream(stream), m_view(simfarm::ViewOf(context.farmFolder)), m_udid(context.udid) {}

    void Run();

  private:
    bool Answer(const Value& request, const simfarm::DeviceState& state);
    bool Browse(const Value& options, const simfarm::DeviceState& state);
    bool Lookup(const Value& options, const simfarm::DeviceState& state);
    bool Install(const Value& request, bool upgrade, const simfarm::DeviceState& state);
    bool Uninstall(const Value& request, const simfarm::DeviceState& state);
    bool Error(const char* name, const std::string& description);
    bool Send(const Value& message) { return WritePlistMessage(m_stream, message); }

    Stream& m_stream;
    std::shared_ptr<simfarm::FarmView> m_view;
    std::string m_udid;
};

bool ProxySession::Error(const char* name, const std::string& description) {
    Value message = Value::Dict();
    message.Set("Error", Value::String(name));
    message.Set("ErrorDescription", Value::String(description));
    return Send(message);
}

bool ProxySession::Browse(const Value& options, const simfarm::DeviceState& state) {
    if (state.Fault(simfarm::Fault::Lookup))
        return Error("LookupFailed", "the device refuses to list its applications");
    const std::string type = options.GetString("ApplicationType", "Any");
    Value apps = simfarm::SelectApplications(*state.description, type, options.Find("ReturnAttributes"));
    const auto& entries = apps.entries();
    for (size_t first = 0; first < entries.size(); first += kBrowseBatch) {
        size_t count = std::min(kBrowseBatch, entries.size() - first);
        Value list = Value::Array();
        for (size_t i = first; i < first + count; ++i) {
            Value record = entries[i].second;
            if (!record.Find("CFBundleIdentifier"))
                record.Set("CFBundleIdentifier", Value::String(entries[i].first));
            list.Append(std::move(record));
        }
        Value message = Value::Dict();
        message.Set("CurrentIndex", Value::Integer(static_cast<int64_t>(first)));
        message.Set("CurrentAmount", Value::Integer(static_cast<int64_t>(count)));
        message.Set("Total", Value::Integer(static_cast<int64_t>(entries.size())));
        message.Set("CurrentList", std::move(list));
        message.Set("Status", Value::String("BrowsingApplications"));
        if (!Send(message))
            return false;
    }
    Value done = Value::Dict();
    done.Set("Status", Value::String("Complete"));
    return Send(done);
}

bool ProxySession::Lookup(const Value& options, const simfarm::DeviceState& state) {
    if (state.Fault(simfarm::Fault::Lookup))
        return Error("LookupFailed", "the device refuses to look up its applications");
    Value apps = simfarm::SelectApplications(*state.description, options.GetString("ApplicationType", "Any"),
                                             options.Find("ReturnAttributes"));
    const Value* wanted = options.Find("BundleIDs");
    if (wanted && wanted->is(Value::Kind::Array)) {
        Value chosen = Value::Dict();
        for (const Value& id : wanted->items()) {
            const Value* app = id.is(Value::Kind::String) ? apps.Find(id.text()) : nullptr;
            if (app)
                chosen.Set(id.text(), *app);
        }
        apps = std::move(chosen);
    }
    Value message = Value::Dict();
    message.Set("LookupResult", std::move(apps));
    message.Set("Status", Value::String("Complete"));
    return Send(message);
}

const char* ErrorName(AppResult result, bool uninstall) {
    switch (result) {
    case AppResult::BadPackage:
        return "PackageInspectionFailed";
    case AppResult::NotInstalled:
        return "ApplicationNotInstalled";
    case AppResult::SystemApp:
        return uninstall ? "UninstallProhibited" : "InstallProhibited";
    case AppResult::Failed:
        return "PackageExtractionFailed";
    default:
        return "APIInternalError";
    }
}

// Writes each progress step as the client sees it; a client gone away
// does not stop the device's work.
simfarm::Progress Reporter(Stream& stream, bool* alive) {
    return [&stream, alive](const char* status, int percent) {
        if (!*alive)
            return;
        Value message = Value::Dict();
        message.Set("Status", Value::String(status));
        if (percent >= 0)
            message.Set("PercentComplete", Value::Integer(percent));
        *alive = WritePlistMessage(stream, message);
    };
}

bool ProxySession::Install(const Value& request, bool upgrade, const simfarm::DeviceState& state) {
    if (state.Fault(simfarm::Fault::Install))
        return Error("InstallProhibited", "the device refuses to install applications");
    const Value* path = request.Find("PackagePath");
    if (!path || !path->is(Value::Kind::String) || path->text().empty())
        return Error("InvalidArgument", "no PackagePath");
    // The path names the archive in the media area, where clients upload it.
    simfarm::DeviceFs media = m_view->farm().Files(m_udid);
    simfarm::Location where;
    if (media.Confine(simfarm::kMediaFolder) != simfarm::kAfcSuccess ||
        media.Resolve(path->text(), true, &where) != simfarm::kAfcSuccess || where.kind != simfarm::EntryKind::File)
        return Error("PackageInspectionFailed", "no application archive at " + path->text());
    bool alive = true;
    AppResult result = simfarm::InstallPackage(
        m_view->farm(), m_udid, media.HostPath(where), upgrade,
        [](const std::string& bytes, Value* out) { return simfarm::ReadPlist(bytes, out); },
        Reporter(m_stream, &alive));
    m_view->Invalidate();
    if (result != AppResult::Done)
        return Error(ErrorName(result, false), simfarm::AppResultText(result));
    return alive;
}

bool ProxySession::Uninstall(const Value& request, const simfarm::DeviceState& state) {
    if (state.Fault(simfarm::Fault::Install))
        return Error("UninstallProhibited", "the device refuses to remove applications");
    std::string id = request.GetString("ApplicationIdentifier");
    if (id.empty())
        return Error("InvalidArgument", "no ApplicationIdentifier");
    bool alive = true;
    AppResult result = simfarm::UninstallApplication(m_view->farm(), m_udid, id, Reporter(m_stream, &alive));
    m_view->Invalidate();
    if (result != AppResult::Done)
        return Error(ErrorName(result, true), simfarm::AppResultText(result));
    return alive;
}

bool ProxySession::Answer(const Value& request, const simfarm::DeviceState& state) {
    static const Value kNoOptions = Value::Dict();
    const Value* options = request.Find("ClientOptions");
    if (!options || !options->is(Value::Kind::Dict))
        options = &kNoOptions;
    const std::string command = request.GetString("Command");
    if (command == "Browse")
        return Browse(*options, state);
    if (command == "Lookup")
        return Lookup(*options, state);
    if (command == "Install" || command == "Upgrade")
        return Install(request, command == "Upgrade", state);
    if (command == "Uninstall")
        return Uninstall(request, state);
    return Error("UnknownCommand", "no command '" + command + "'");
}

void ProxySession::Run() {
    simfarm::DeviceState state;
    if (!m_view->State(m_udid, &state) || !state.attached)
        return;
    const int64_t connection = state.connection;
    Value request;
    while (ReadPlistMessage(m_stream, &request)) {
        if (!m_view->Live(m_udid, connection, &state) || !state.description)
            return; // unplugged: the connection goes with the device
        bool answered = request.is(Value::Kind::Dict) ? Answer(request, state)
                                                      : Error("InvalidArgument", "a request is a dictionary");
        if (!answered)
            return;
    }
}

} // namespace

void ServeInstallationProxy(Stream& stream, const ServiceContext& context) {
    try {
        ProxySession session(stream, context);
        session.Run();
    } catch (...) {
        // The connection closes; the server goes on.
    }
}

} // namespace simwire

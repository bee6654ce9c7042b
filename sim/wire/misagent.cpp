// misagent on the wire: provisioning profiles installed, copied and
// removed, kept in the farm where the stand-in library keeps them.
#include "sim/farm/applications.h"
#include "sim/farm/farm_view.h"
#include "sim/farm/status.h"
#include "sim/wire/stream.h"

#include <memory>

namespace simwire {

namespace {

using simfarm::Value;

// The largest profile taken.
const size_t kMostProfile = 1024 * 1024;

Value StatusMessage(int status) {
    Value message = Value::Dict();
    message.Set("Status", Value::Integer(static_cast<int64_t>(static_cast<uint32_t>(status))));
    return message;
}

Value Answer(const simfarm::FarmView& view, const std::string& udid, const simfarm::DeviceState& state,
             const Value& request) {
    const std::string type = request.GetString("MessageType");
    std::string error;
    if (type == "Install") {
        const Value* profile = request.Find("Profile");
        if (!profile || !profile->is(Value::Kind::Data) || profile->text().empty() ||
            profile->text().size() > kMostProfile)
            return StatusMessage(simfarm::kAmdInvalidArgumentError);
        bool stored = simfarm::StoreProfile(view.farm(), udid, profile->text(), "profile", nullptr, &error);
        return StatusMessage(stored ? simfarm::kAmdSuccess : simfarm::kAmdUndefinedError);
    }
    if (type == "CopyAll" || type == "Copy") {
        Value payload = Value::Array();
        for (std::string& bytes : simfarm::ProfileData(*state.description))
            payload.Append(Value::Data(std::move(bytes)));
        Value message = StatusMessage(simfarm::kAmdSuccess);
        message.Set("Payload", std::move(payload));
        return message;
    }
    if (type == "Remove") {
        std::string id = request.GetString("ProfileID");
        bool found = false;
        if (id.empty())
            return StatusMessage(simfarm::kAmdInvalidArgumentError);
        if (!simfarm::RemoveProfile(view.farm(), udid, id, &found, &error))
            return StatusMessage(simfarm::kAmdUndefinedError);
        return StatusMessage(found ? simfarm::kAmdSuccess : simfarm::kAmdNotFoundError);
    }
    return StatusMessage(simfarm::kAmdUnsupportedError);
}

} // namespace

void ServeMisagent(Stream& stream, const ServiceContext& context) {
    try {
        std::shared_ptr<simfarm::FarmView> view = simfarm::ViewOf(context.farmFolder);
        simfarm::DeviceState state;
        if (!view->State(context.udid, &state) || !state.attached)
            return;
        const int64_t connection = state.connection;
        Value request;
        while (ReadPlistMessage(stream, &request)) {
            if (!view->Live(context.udid, connection, &state) || !state.description)
                return; // unplugged: the connection goes with the device
            Value answer = request.is(Value::Kind::Dict) ? Answer(*view, context.udid, state, request)
                                                         : StatusMessage(simfarm::kAmdInvalidArgumentError);
            view->Invalidate();
            if (!WritePlistMessage(stream, answer))
                return;
        }
    } catch (...) {
        // The connection closes; the server goes on.
    }
}

} // namespace simwire

// The file service on the wire: AFC packets from one client, answered on
// the device's folder tree with the same rules, file slots and fault
// accounting as the stand-in device library's file calls.
#include "sim/farm/devfs.h"
#include "sim/farm/farm_view.h"
#include "sim/farm/file_slot.h"
#include "sim/farm/status.h"
#include "sim/wire/afc_protocol.h"
#include "sim/wire/stream.h"

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace simwire {

namespace {

using simfarm::DeviceState;
using simfarm::FarmView;
using simfarm::FileSlot;

// The parameters of a request, read front to back.
class Arguments {
  public:
    Arguments(const char* data, size_t size) : m_data(data), m_size(size) {}

    bool Number(uint64_t* out) {
        if (m_size - m_next < 8)
            return false;
        *out = GetLittle64(reinterpret_cast<const unsigned char*>(m_data + m_next));
        m_next += 8;
        return true;
    }
    // A NUL-terminated text; the last one may end with the parameters.
    bool Text(std::string* out) {
        if (m_next >= m_size)
            return false;
        const char* start = m_data + m_next;
        const void* end = std::memchr(start, '\0', m_size - m_next);
        size_t length = end ? static_cast<const char*>(end) - start : m_size - m_next;
        out->assign(start, length);
        m_next += length + (end ? 1 : 0);
        return true;
    }
    const char* rest() const { return m_data + m_next; }
    size_t left() const { return m_size - m_next; }

  private:
    const char* m_data;
    size_t m_size;
    size_t m_next = 0;
};

class AfcSession {
  public:
    AfcSession(Stream& stream, const ServiceContext& context, bool privileged)
        : m_stream(stream), m_view(simfarm::ViewOf(context.farmFolder)), m_udid(context.udid),
          m_files(m_view->farm().Files(context.udid)), m_privileged(privileged) {}

    void Run();

  private:
    enum class Outcome { Answered, Close };

    bool ReadRequest();
    Outcome Dispatch(const DeviceState& state);
    void FlushAll(const FileSlot* except);

    // Replies.
    Outcome Status(int code);
    Outcome Reply(uint64_t operation, const void* parameters, size_t parametersSize, const void* payload,
                  size_t payloadSize);
    Outcome Data(const std::string& bytes) { return Reply(afc::kData, nullptr, 0, bytes.data(), bytes.size()); }
    Outcome Number(uint64_t operation, uint64_t value);

    // Operations.
    Outcome List(Arguments& args, const DeviceState& state);
    Outcome FileInfo(Arguments& args);
    Outcome DeviceInfo(const DeviceState& state);
    Outcome Open(Arguments& args);
    Outcome Read(Arguments& args, const DeviceState& state);
    Outcome Write(const DeviceState& state);
    Outcome OnHandle(Arguments& args, const DeviceState& state);
    Outcome PathEdit(Arguments& args);
    Outcome Link(Arguments& args);
    Outcome SetTime(Arguments& args);

    FileSlot* FindFile(uint64_t handle) {
        auto it = m_open.find(handle);
        return it == m_open.end() ? nullptr : it->second.get();
    }

    Stream& m_stream;
    std::shared_ptr<FarmView> m_view;
    std::string m_udid;
    int64_t m_connection = 0;
    simfarm::DeviceFs m_files;
    bool m_privileged;

    std::map<uint64_t, std::unique_ptr<FileSlot>> m_open;
    uint64_t m_nextHandle = 1;

    AfcHeader m_request;
    std::vector<char> m_body; // parameters, then payload
    std::vector<char> m_reply;
};

bool AfcSession::ReadRequest() {
    unsigned char head[kAfcHeaderSize];
    if (!m_stream.ReadExact(head, sizeof head) || !DecodeAfcHeader(head, &m_request) ||
        m_request.entireLength > kMostAfcPacket)
        return false;
    m_body.resize(static_cast<size_t>(m_request.entireLength - kAfcHeaderSize));
    return m_body.empty() || m_stream.ReadExact(m_body.data(), m_body.size());
}

void AfcSession::FlushAll(const FileSlot* except) {
    for (auto& entry : m_open) {
        if (entry.second.get() != except)
            entry.second->Flush();
    }
}

AfcSession::Outcome AfcSession::Reply(uint64_t operation, const void* parameters, size_t parametersSize,
                                      const void* payload, size_t payloadSize) {
    AfcHeader h;
    h.thisLength = kAfcHeaderSize + parametersSize;
    h.entireLength = h.thisLength + payloadSize;
    h.number = m_request.number;
    h.operation = operation;
    m_reply.resize(static_cast<size_t>(h.entireLength));
    EncodeAfcHeader(h, reinterpret_cast<unsigned char*>(m_reply.data()));
    if (parametersSize)
        std::memcpy(m_reply.data() + kAfcHeaderSize, parameters, parametersSize);
    if (payloadSize)
        std::memcpy(m_reply.data() + h.thisLength, payload, payloadSize);
    return m_stream.WriteAll(m_reply.data(), m_reply.size()) ? Outcome::Answered : Outcome::Close;
}

AfcSession::Outcome AfcSession::Number(uint64_t operation, uint64_t value) {
    unsigned char bytes[8];
    PutLittle64(bytes, value);
    return Reply(operation, bytes, sizeof bytes, nullptr, 0);
}

AfcSession::Outcome AfcSession::Status(int code) { return Number(afc::kStatus, static_cast<uint64_t>(code)); }

std::string Joined(const std::vector<std::string>& texts) {
    std::string out;
    for (const std::string& text : texts) {
        out += text;
        out += '\0';
    }
    return out;
}

std::string Joined(const simfarm::KeyValues& pairs) {
    std::string out;
    for (const auto& pair : pairs) {
        out += pair.first;
        out += '\0';
        out += pair.second;
        out += '\0';
    }
    return out;
}

AfcSession::Outcome AfcSession::List(Arguments& args, const DeviceState& state) {
    std::string path;
    std::vector<std::string> names;
    if (!args.Text(&path))
        return Status(simfarm::kAfcInvalidArgument);
    int status = m_files.List(path, &names);
    if (status != simfarm::kAfcSuccess)
        return Status(status);
    // The listing faults count names as the stand-in's folder reads do: one
    // read per name and one that finds the end. Here one answer carries
    // them all, so a fault spent anywhere fails the whole listing.
    for (size_t i = 0; i <= names.size(); ++i) {
        switch (m_view->BeforeListRead(m_udid, state)) {
        case FarmView::ListStep::Unplug:
            m_view->Unplug(m_udid, simfarm::Fault::UnplugListAfter);
            return Outcome::Close;
        case FarmView::ListStep::Fail:
            return Status(simfarm::kAfcReadError);
        case FarmView::ListStep::Go:
            break;
        }
        if (i < names.size())
            m_view->Listed(m_udid, state);
    }
    return Data(Joined(names));
}

AfcSession::Outcome AfcSession::FileInfo(Arguments& args) {
    std::string path;
    simfarm::KeyValues pairs;
    if (!args.Text(&path))
        return Status(simfarm::kAfcInvalidArgument);
    int status = m_files.Info(path, &pairs);
    return status == simfarm::kAfcSuccess ? Data(Joined(pairs)) : Status(status);
}

AfcSession::Outcome AfcSession::DeviceInfo(const DeviceState& state) {
    if (state.Fault(simfarm::Fault::DeviceInfo) || !state.description)
        return Status(simfarm::kAfcIoError);
    simfarm::KeyValues pairs;
    if (const simfarm::Value* values = simfarm::DomainOf(*state.description, simfarm::kAfcDomain)) {
        for (const simfarm::Value::Entry& entry : values->entries())
            pairs.emplace_back(entry.first, simfarm::ValueText(entry.second));
    }
    return Data(Joined(pairs));
}

// The free space the device reports (1 GiB when it reports none): no file
// grows beyond it at once.
uint64_t FreeBytes(const DeviceState& state) {
    const simfarm::Value* values =
        state.description ? simfarm::DomainOf(*state.description, simfarm::kAfcDomain) : nullptr;
    int64_t free = values ? values->GetInteger("FSFreeBytes") : 0;
    return free > 0 ? static_cast<uint64_t>(free) : 1ull << 30;
}

AfcSession::Outcome AfcSession::Open(Arguments& args) {
    uint64_t mode = 0;
    std::string path;
    if (!args.Number(&mode) || !args.Text(&path) || mode < simfarm::kModeRead || mode > simfarm::kModeReadAppend)
        return Status(simfarm::kAfcInvalidArgument);
    auto file = std::make_unique<FileSlot>();
    file->mode = mode;
    int status = m_files.OpenFile(path, mode, &file->file, &file->append);
    if (status != simfarm::kAfcSuccess)
        return Status(status);
    uint64_t handle = m_nextHandle++;
    m_open[handle] = std::move(file);
    return Number(afc::kFileOpenResult, handle);
}

AfcSession::Outcome AfcSession::Read(Arguments& args, const DeviceState& state) {
    uint64_t handle = 0, wanted = 0;
    if (!args.Number(&handle) || !args.Number(&wanted))
        return Status(simfarm::kAfcInvalidArgument);
    FileSlot* file = FindFile(handle);
    if (!file)
        return Status(simfarm::kAfcInvalidArgument);
    if (!simfarm::ModeCanRead(file->mode))
        return Status(simfarm::kAfcPermissionDenied);
    if (wanted > kMostAfcRead)
        wanted = kMostAfcRead;
    FarmView::Budget budget = m_view->Allow(m_udid, state, FarmView::Direction::Read, static_cast<unsigned>(wanted));
    if (budget.limited && budget.cap == 0)
        return Status(simfarm::kAfcReadError);
    // The data goes straight into the reply, after its header.
    m_reply.resize(kAfcHeaderSize + budget.cap);
    unsigned got = 0;
    if (budget.cap > 0 && !file->Read(m_reply.data() + kAfcHeaderSize, budget.cap, &got))
        return Status(simfarm::kAfcReadError);
    if (m_view->Moved(m_udid, state, FarmView::Direction::Read, got)) {
        m_view->Unplug(m_udid); // the request that crossed gets no answer
        return Outcome::Close;
    }
    AfcHeader h;
    h.thisLength = kAfcHeaderSize;
    h.entireLength = kAfcHeaderSize + got;
    h.number = m_request.number;
    h.operation = afc::kData;
    EncodeAfcHeader(h, reinterpret_cast<unsigned char*>(m_reply.data()));
    return m_stream.WriteAll(m_reply.data(), static_cast<size_t>(h.entireLength)) ? Outcome::Answered : Outcome::Close;
}

AfcSession::Outcome AfcSession::Write(const DeviceState& state) {
    // The handle, then the data (in the parameters or the payload).
    if (m_body.size() < 8)
        return Status(simfarm::kAfcInvalidArgument);
    FileSlot* file = FindFile(GetLittle64(reinterpret_cast<const unsigned char*>(m_body.data())));
    if (!file)
        return Status(simfarm::kAfcInvalidArgument);
    if (!simfarm::ModeCanWrite(file->mode))
        return Status(simfarm::kAfcPermissionDenied);
    FlushAll(file);
    const char* data = m_body.data() + 8;
    unsigned length = static_cast<unsigned>(m_body.size() - 8);
    FarmView::Budget budget = m_view->Allow(m_udid, state, FarmView::Direction::Write, length);
    if (budget.cap > 0 && !file->Write(data, budget.cap))
        return Status(simfarm::kAfcWriteError);
    bool unplug = m_view->Moved(m_udid, state, FarmView::Direction::Write, budget.cap);
    // What a fault lets through is written: the device keeps a partial file.
    if ((budget.limited || unplug) && !file->Flush())
        return Status(simfarm::kAfcWriteError);
    if (unplug) {
        m_view->Unplug(m_udid);
        return Outcome::Close;
    }
    return Status(budget.limited ? simfarm::kAfcWriteError : simfarm::kAfcSuccess);
}

// Seek, tell, close, set size and lock: a handle first.
AfcSession::Outcome AfcSession::OnHandle(Arguments& args, const DeviceState& state) {
    uint64_t handle = 0;
    if (!args.Number(&handle))
        return Status(simfarm::kAfcInvalidArgument);
    FileSlot* file = FindFile(handle);
    if (!file)
        return Status(simfarm::kAfcInvalidArgument);
    switch (m_request.operation) {
    case afc::kFileSeek: {
        uint64_t whence = 0, offset = 0;
        if (!args.Number(&whence) || !args.Number(&offset))
            return Status(simfarm::kAfcInvalidArgument);
        return Status(file->Seek(whence, static_cast<int64_t>(offset)) ? simfarm::kAfcSuccess
                                                                       : simfarm::kAfcInvalidArgument);
    }
    case afc::kFileTell: {
        uint64_t position = 0;
        if (!file->Tell(&position))
            return Status(simfarm::kAfcIoError);
        return Number(afc::kFileTellResult, position);
    }
    case afc::kFileSetSize: {
        uint64_t size = 0;
        if (!args.Number(&size))
            return Status(simfarm::kAfcInvalidArgument);
        if (!simfarm::ModeCanWrite(file->mode))
            return Status(simfarm::kAfcPermissionDenied);
        if (size > FreeBytes(state))
            return Status(simfarm::kAfcNoSpaceLeft);
        return Status(file->SetSize(size) ? simfarm::kAfcSuccess : simfarm::kAfcIoError);
    }
    case afc::kFileLock: {
        uint64_t operation = 0;
        return Status(args.Number(&operation) ? simfarm::kAfcSuccess : simfarm::kAfcInvalidArgument);
    }
    default: { // close
        bool flushed = file->Flush();
        m_open.erase(handle);
        return Status(flushed ? simfarm::kAfcSuccess : simfarm::kAfcWriteError);
    }
    }
}

// Remove, make folder, remove with contents and rename: paths only.
AfcSession::Outcome AfcSession::PathEdit(Arguments& args) {
    std::string path, to;
    if (!args.Text(&path))
        return Status(simfarm::kAfcInvalidArgument);
    switch (m_request.operation) {
    case afc::kRemovePath:
        return Status(m_files.Remove(path));
    case afc::kMakeDirectory:
        return Status(m_files.MakeFolder(path));
    case afc::kRemovePathAndContents:
        return Status(m_files.RemoveTree(path));
    default: // rename
        if (!args.Text(&to))
            return Status(simfarm::kAfcInvalidArgument);
        return Status(m_files.Rename(path, to));
    }
}

AfcSession::Outcome AfcSession::Link(Arguments& args) {
    uint64_t kind = 0;
    std::string target, name;
    if (!args.Number(&kind) || !args.Text(&target) || !args.Text(&name))
        return Status(simfarm::kAfcInvalidArgument);
    if (kind == afc::kSymbolicLink)
        return Status(m_files.MakeLink(target, name));
    if (kind == afc::kHardLink)
        return Status(m_files.MakeHardLink(target, name));
    return Status(simfarm::kAfcInvalidArgument);
}

AfcSession::Outcome AfcSession::SetTime(Arguments& args) {
    uint64_t nanoseconds = 0;
    std::string path;
    if (!args.Number(&nanoseconds) || !args.Text(&path) || nanoseconds > static_cast<uint64_t>(INT64_MAX))
        return Status(simfarm::kAfcInvalidArgument);
    return Status(m_files.SetModificationTime(path, static_cast<int64_t>(nanoseconds)));
}

AfcSession::Outcome AfcSession::Dispatch(const DeviceState& state) {
    // Parameters and payload read as one: clients differ in where they put a path.
    Arguments args(m_body.data(), m_body.size());
    switch (m_request.operation) {
    case afc::kReadDirectory:
        return List(args, state);
    case afc::kGetFileInfo:
        return FileInfo(args);
    case afc::kGetDeviceInfo:
        return DeviceInfo(state);
    case afc::kFileOpen:
        return Open(args);
    case afc::kFileRead:
        return Read(args, state);
    case afc::kFileWrite:
        return Write(state);
    case afc::kFileSeek:
    case afc::kFileTell:
    case afc::kFileClose:
    case afc::kFileSetSize:
    case afc::kFileLock:
        return OnHandle(args, state);
    case afc::kRemovePath:
    case afc::kMakeDirectory:
    case afc::kRemovePathAndContents:
    case afc::kRenamePath:
        return PathEdit(args);
    case afc::kMakeLink:
        return Link(args);
    case afc::kSetFileTime:
        return SetTime(args);
    default:
        return Status(simfarm::kAfcNotSupported);
    }
}

void AfcSession::Run() {
    DeviceState state;
    if (!m_view->State(m_udid, &state) || !state.attached || state.Fault(simfarm::Fault::AfcConnection))
        return;
    m_connection = state.connection;
    if (!m_privileged && m_files.Confine(simfarm::kMediaFolder) != simfarm::kAfcSuccess)
        return;
    while (ReadRequest()) {
        const bool transfer = m_request.operation == afc::kFileRead || m_request.operation == afc::kFileWrite;
        // Reads and writes of file contents run once per chunk: a state a few
        // milliseconds old is good enough for them.
        if (!m_view->Live(m_udid, m_connection, &state, !transfer))
            break; // unplugged: the connection goes with the device
        if (m_request.operation != afc::kFileWrite)
            FlushAll(nullptr); // the client sees its own writes
        simfarm::Lag(state);
        if (Dispatch(state) == Outcome::Close)
            break;
    }
    FlushAll(nullptr);
}

} // namespace

void ServeFileService(Stream& stream, const ServiceContext& context, bool privileged) {
    try {
        AfcSession session(stream, context, privileged);
        session.Run();
    } catch (...) {
        // The connection closes; the server goes on.
    }
}

} // namespace simwire

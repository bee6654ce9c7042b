// The file service: connections over service sockets, attribute lists,
// folder listings, folder and path edits, and files read and written in
// chunks, all on the device's folder tree.
#include "sim/farm/devfs.h"
#include "sim/farm/file_slot.h"
#include "sim/mobiledevice/exports.h"
#include "sim/mobiledevice/simulator.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

using namespace simfarm;
using namespace mdsim;

namespace {

struct Connection {
    std::shared_ptr<FarmView> view;
    std::string udid;
    int64_t connection = 0;
    DeviceFs files{L"."};

    std::mutex lock; // guards the tables below
    std::map<uint64_t, std::shared_ptr<FileSlot>> open;
    uint64_t nextRef = 1;
    std::set<const void*> directories;

    bool Live(DeviceState* state, bool fresh = true) const { return view->Live(udid, connection, state, fresh); }
};

// A key/value list (file attributes or device information).
struct Dictionary {
    KeyValues pairs;
    size_t next = 0;
};

struct Directory {
    const void* owner = nullptr; // the connection
    std::vector<std::string> names;
    size_t next = 0;
};

Registry<Connection> g_connections;
Registry<Dictionary> g_dictionaries;
Registry<Directory> g_directories;

// Lets the disk catch up with the connection's open files, so that what
// the connection asks next sees everything written through it.
void FlushAll(Connection& c) {
    std::vector<std::shared_ptr<FileSlot>> files;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        for (const auto& entry : c.open)
            files.push_back(entry.second);
    }
    for (const auto& file : files) {
        std::lock_guard<std::mutex> guard(file->lock);
        file->Flush();
    }
}

// The connection behind `key`, checked for a device still plugged in.
// Reads and writes of file contents pass `fresh` false: they run once per
// chunk, and a state a few milliseconds old is good enough for them.
int Use(afc_connection* key, std::shared_ptr<Connection>* out, DeviceState* state, bool fresh = true) {
    *out = g_connections.Get(key);
    if (!*out)
        return kAfcInvalidArgument;
    if (!(*out)->Live(state, fresh))
        return kAfcServiceNotConnected;
    Lag(*state);
    if (fresh)
        FlushAll(**out);
    return kAfcSuccess;
}

std::shared_ptr<FileSlot> FindFile(Connection& c, afc_file_ref ref) {
    std::lock_guard<std::mutex> guard(c.lock);
    auto it = c.open.find(ref);
    return it == c.open.end() ? nullptr : it->second;
}

afc_dictionary* NewDictionary(KeyValues pairs) {
    auto d = std::make_shared<Dictionary>();
    d->pairs = std::move(pairs);
    return static_cast<afc_dictionary*>(g_dictionaries.Add(std::move(d)));
}

} // namespace

extern "C" int __cdecl AFCConnectionOpen(SOCKET socket, unsigned int ioTimeout, afc_connection** connection) {
    return Guarded<int>(kAfcInternalError, [&] {
        if (!connection)
            return static_cast<int>(kAfcInvalidArgument);
        ServiceRecord record;
        if (!FindService(socket, &record) || (record.service != kAfcService && record.service != kAfc2Service))
            return static_cast<int>(kAfcInvalidArgument);
        auto c = std::make_shared<Connection>();
        c->view = record.view;
        c->udid = record.udid;
        c->connection = record.connection;
        DeviceState state;
        if (!c->Live(&state))
            return static_cast<int>(kAfcServiceNotConnected);
        if (state.Fault(Fault::AfcConnection))
            return static_cast<int>(kAfcServiceNotConnected);
        c->files = record.view->farm().Files(record.udid);
        if (record.service == kAfcService) {
            int status = c->files.Confine(kMediaFolder);
            if (status != kAfcSuccess)
                return status;
        }
        *connection = static_cast<afc_connection*>(g_connections.Add(std::move(c)));
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCConnectionClose(afc_connection* connection) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c = g_connections.Take(connection);
        if (!c)
            return static_cast<int>(kAfcInvalidArgument);
        std::set<const void*> directories;
        FlushAll(*c); // what was written reached the device
        {
            std::lock_guard<std::mutex> guard(c->lock);
            c->open.clear(); // closes the files
            directories.swap(c->directories);
        }
        for (const void* d : directories)
            g_directories.Take(d);
        DeviceState state;
        return static_cast<int>(c->Live(&state) ? kAfcSuccess : kAfcServiceNotConnected);
    });
}

extern "C" int __cdecl AFCDeviceInfoOpen(afc_connection* connection, afc_dictionary** info) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state);
        if (status != kAfcSuccess)
            return status;
        if (!info)
            return static_cast<int>(kAfcInvalidArgument);
        if (state.Fault(Fault::DeviceInfo))
            return static_cast<int>(kAfcIoError);
        if (!state.description)
            return static_cast<int>(kAfcIoError);
        KeyValues pairs;
        if (const Value* values = DomainOf(*state.description, kAfcDomain)) {
            for (const Value::Entry& entry : values->entries())
                pairs.emplace_back(entry.first, ValueText(entry.second));
        }
        *info = NewDictionary(std::move(pairs));
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCFileInfoOpen(afc_connection* connection, const char* path, afc_dictionary** info) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state);
        if (status != kAfcSuccess)
            return status;
        if (!path || !info)
            return static_cast<int>(kAfcInvalidArgument);
        KeyValues pairs;
        status = c->files.Info(path, &pairs);
        if (status != kAfcSuccess)
            return status;
        *info = NewDictionary(std::move(pairs));
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCKeyValueRead(afc_dictionary* dict, char** key, char** value) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Dictionary> d = g_dictionaries.Get(dict);
        if (!d || !key || !value)
            return static_cast<int>(kAfcInvalidArgument);
        // The texts stay valid until the list is closed.
        if (d->next >= d->pairs.size()) {
            *key = nullptr;
            *value = nullptr;
            return static_cast<int>(kAfcSuccess);
        }
        auto& pair = d->pairs[d->next++];
        *key = pair.first.data();
        *value = pair.second.data();
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCKeyValueClose(afc_dictionary* dict) {
    return Guarded<int>(kAfcInternalError, [&] {
        return static_cast<int>(g_dictionaries.Take(dict) ? kAfcSuccess : kAfcInvalidArgument);
    });
}

extern "C" int __cdecl AFCDirectoryOpen(afc_connection* connection, const char* path, afc_directory** dir) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state);
        if (status != kAfcSuccess)
            return status;
        if (!path || !dir)
            return static_cast<int>(kAfcInvalidArgument);
        auto d = std::make_shared<Directory>();
        status = c->files.List(path, &d->names);
        if (status != kAfcSuccess)
            return status;
        d->owner = connection;
        void* key = g_directories.Add(std::move(d));
        {
            std::lock_guard<std::mutex> guard(c->lock);
            c->directories.insert(key);
        }
        *dir = static_cast<afc_directory*>(key);
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCDirectoryRead(afc_connection* connection, afc_directory* dir, char** name) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state, false);
        if (status != kAfcSuccess)
            return status;
        std::shared_ptr<Directory> d = g_directories.Get(dir);
        if (!d || d->owner != connection || !name)
            return static_cast<int>(kAfcInvalidArgument);
        // Once a listing fault is spent every read fails, the one that
        // would find the end too: a cut may fall exactly on the end of a
        // listing.
        switch (c->view->BeforeListRead(c->udid, state)) {
        case FarmView::ListStep::Unplug:
            Unplug(*c->view, c->udid, Fault::UnplugListAfter);
            return static_cast<int>(kAfcServiceNotConnected);
        case FarmView::ListStep::Fail:
            return static_cast<int>(kAfcReadError);
        case FarmView::ListStep::Go:
            break;
        }
        if (d->next >= d->names.size()) {
            *name = nullptr;
            return static_cast<int>(kAfcSuccess);
        }
        *name = d->names[d->next++].data();
        c->view->Listed(c->udid, state);
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCDirectoryClose(afc_connection* connection, afc_directory* dir) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c = g_connections.Get(connection);
        std::shared_ptr<Directory> d = g_directories.Get(dir);
        if (!c || !d || d->owner != connection)
            return static_cast<int>(kAfcInvalidArgument);
        g_directories.Take(dir);
        {
            std::lock_guard<std::mutex> guard(c->lock);
            c->directories.erase(dir);
        }
        DeviceState state;
        return static_cast<int>(c->Live(&state) ? kAfcSuccess : kAfcServiceNotConnected);
    });
}

extern "C" int __cdecl AFCDirectoryCreate(afc_connection* connection, const char* path) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state);
        if (status != kAfcSuccess)
            return status;
        return path ? c->files.MakeFolder(path) : static_cast<int>(kAfcInvalidArgument);
    });
}

extern "C" int __cdecl AFCRemovePath(afc_connection* connection, const char* path) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state);
        if (status != kAfcSuccess)
            return status;
        return path ? c->files.Remove(path) : static_cast<int>(kAfcInvalidArgument);
    });
}

extern "C" int __cdecl AFCRenamePath(afc_connection* connection, const char* oldPath, const char* newPath) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state);
        if (status != kAfcSuccess)
            return status;
        return oldPath && newPath ? c->files.Rename(oldPath, newPath) : static_cast<int>(kAfcInvalidArgument);
    });
}

extern "C" int __cdecl AFCFileRefOpen(afc_connection* connection, const char* path, uint64_t mode, afc_file_ref* ref) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state);
        if (status != kAfcSuccess)
            return status;
        if (!path || !ref)
            return static_cast<int>(kAfcInvalidArgument);
        auto file = std::make_shared<FileSlot>();
        file->mode = mode;
        status = c->files.OpenFile(path, mode, &file->file, &file->append);
        if (status != kAfcSuccess)
            return status;
        std::lock_guard<std::mutex> guard(c->lock);
        uint64_t handle = c->nextRef++;
        c->open[handle] = std::move(file);
        *ref = handle;
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCFileRefRead(afc_connection* connection, afc_file_ref ref, void* buffer,
                                      unsigned int* length) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state, false);
        if (status != kAfcSuccess)
            return status;
        if (!length || (!buffer && *length > 0))
            return static_cast<int>(kAfcInvalidArgument);
        std::shared_ptr<FileSlot> file = FindFile(*c, ref);
        if (!file)
            return static_cast<int>(kAfcInvalidArgument);
        if (!ModeCanRead(file->mode))
            return static_cast<int>(kAfcPermissionDenied);
        FarmView::Budget budget = c->view->Allow(c->udid, state, FarmView::Direction::Read, *length);
        if (budget.limited && budget.cap == 0)
            return static_cast<int>(kAfcReadError);
        unsigned got = 0;
        std::lock_guard<std::mutex> guard(file->lock);
        if (budget.cap > 0 && !file->Read(static_cast<char*>(buffer), budget.cap, &got))
            return static_cast<int>(kAfcReadError);
        if (c->view->Moved(c->udid, state, FarmView::Direction::Read, got))
            Unplug(*c->view, c->udid);
        *length = got;
        return static_cast<int>(kAfcSuccess);
    });
}

extern "C" int __cdecl AFCFileRefWrite(afc_connection* connection, afc_file_ref ref, const void* buffer,
                                       unsigned int length) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c;
        DeviceState state;
        int status = Use(connection, &c, &state, false);
        if (status != kAfcSuccess)
            return status;
        if (!buffer && length > 0)
            return static_cast<int>(kAfcInvalidArgument);
        std::shared_ptr<FileSlot> file = FindFile(*c, ref);
        if (!file)
            return static_cast<int>(kAfcInvalidArgument);
        if (!ModeCanWrite(file->mode))
            return static_cast<int>(kAfcPermissionDenied);
        FarmView::Budget budget = c->view->Allow(c->udid, state, FarmView::Direction::Write, length);
        std::lock_guard<std::mutex> guard(file->lock);
        if (budget.cap > 0 && !file->Write(static_cast<const char*>(buffer), budget.cap))
            return static_cast<int>(kAfcWriteError);
        bool unplug = c->view->Moved(c->udid, state, FarmView::Direction::Write, budget.cap);
        // What a fault lets through is written: the device keeps a partial file.
        if ((budget.limited || unplug) && !file->Flush())
            return static_cast<int>(kAfcWriteError);
        if (unplug)
            Unplug(*c->view, c->udid);
        return static_cast<int>(budget.limited ? kAfcWriteError : kAfcSuccess);
    });
}

extern "C" int __cdecl AFCFileRefClose(afc_connection* connection, afc_file_ref ref) {
    return Guarded<int>(kAfcInternalError, [&] {
        std::shared_ptr<Connection> c = g_connections.Get(connection);
        if (!c)
            return static_cast<int>(kAfcInvalidArgument);
        std::shared_ptr<FileSlot> file;
        {
            std::lock_guard<std::mutex> guard(c->lock);
            auto it = c->open.find(ref);
            if (it == c->open.end())
                return static_cast<int>(kAfcInvalidArgument);
            file = std::move(it->second);
            c->open.erase(it);
        }
        bool flushed = false;
        {
            std::lock_guard<std::mutex> guard(file->lock);
            flushed = file->Flush();
        }
        file.reset(); // closes the file whatever the device's state
        DeviceState state;
        if (!c->Live(&state))
            return static_cast<int>(kAfcServiceNotConnected);
        Lag(state);
        return static_cast<int>(flushed ? kAfcSuccess : kAfcWriteError);
    });
}

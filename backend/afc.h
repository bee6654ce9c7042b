// The file service client: AFC packets over a service connection, and the
// AFC calls of the device library on top of it. Large transfers go in the
// largest chunks the service takes: small writes are gathered and sent
// together (before any other request of the connection, and when the file
// closes), and reads fetch ahead of the caller.
#pragma once

#include "backend/connection.h"
#include "platform/vendor_abi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace backend {

// The byte pipe a file service runs over.
class AfcPipe {
  public:
    virtual ~AfcPipe() = default;
    virtual bool ReadExact(void* buffer, size_t size) = 0;
    virtual bool WriteAll(const void* data, size_t size) = 0;
};

// A pipe over a plain connected socket (not closed by the pipe), every
// read and write bounded by `timeoutMilliseconds`.
std::unique_ptr<AfcPipe> PlainSocketPipe(SOCKET socket, unsigned timeoutMilliseconds);

// A pipe over a service connection of the backend, which it owns.
std::unique_ptr<AfcPipe> ServiceConnectionPipe(std::unique_ptr<Connection> connection);

// Opens a file service connection over `pipe` (the AFCConnectionOpen of a
// pipe that is not a service socket); the caller closes it with
// AFCConnectionClose.
afc_connection* OpenAfcConnection(std::unique_ptr<AfcPipe> pipe);

int __cdecl AFCConnectionOpen(SOCKET socket, unsigned int ioTimeout, afc_connection** connection);
int __cdecl AFCConnectionClose(afc_connection* connection);
int __cdecl AFCDeviceInfoOpen(afc_connection* connection, afc_dictionary** info);
int __cdecl AFCFileInfoOpen(afc_connection* connection, const char* path, afc_dictionary** info);
int __cdecl AFCKeyValueRead(afc_dictionary* dict, char** key, char** value);
int __cdecl AFCKeyValueClose(afc_dictionary* dict);
int __cdecl AFCDirectoryOpen(afc_connection* connection, const char* path, afc_directory** dir);
int __cdecl AFCDirectoryRead(afc_connection* connection, afc_directory* dir, char** name);
int __cdecl AFCDirectoryClose(afc_connection* connection, afc_directory* dir);
int __cdecl AFCDirectoryCreate(afc_connection* connection, const char* path);
int __cdecl AFCRemovePath(afc_connection* connection, const char* path);
int __cdecl AFCRenamePath(afc_connection* connection, const char* oldPath, const char* newPath);
int __cdecl AFCFileRefOpen(afc_connection* connection, const char* path, uint64_t mode, afc_file_ref* ref);
int __cdecl AFCFileRefRead(afc_connection* connection, afc_file_ref ref, void* buffer, unsigned int* length);
int __cdecl AFCFileRefWrite(afc_connection* connection, afc_file_ref ref, const void* buffer, unsigned int length);
int __cdecl AFCFileRefClose(afc_connection* connection, afc_file_ref ref);

// How many connections, attribute lists and folder listings are handed out
// and not yet given back.
size_t LiveAfcObjects();

// Closes every file service connection still open (the backend is shut
// down); their sockets stay with their owners.
void CloseAllAfcConnections();

} // namespace backend

// The built-in backend: the device library's calls (the Amd and AFC names
// of the binding table) implemented over the device multiplexer, for PCs
// where the vendor's libraries are not found. The loader fills the binding
// table from values::Address (values/lookup.h) and DeviceAddress below when
// MultiplexerAnswers; vendor and built-in entries never mix.
#pragma once

#include <string>

namespace backend {

// Where the multiplexer listens: USBMUXD_SOCKET_ADDRESS when it is set
// (HOST:PORT, IPv6 as [ADDRESS]:PORT), else 127.0.0.1:27015.
std::wstring MultiplexerAddress();

// Whether the multiplexer answers a ListDevices within
// `timeoutMilliseconds` in all; `problem` (optional) says why not.
bool MultiplexerAnswers(unsigned timeoutMilliseconds, std::wstring* problem);

// The built-in implementation of the device library's export `name`: the
// call itself, or for a name the device library never calls, a stub that
// fails cleanly. Null for a name that is not the device library's.
const void* DeviceAddress(const char* name);

// Ends every thread and connection of the backend (notification threads,
// lockdown and service connections); called when the libraries are
// unloaded. A later call starts afresh.
void Shutdown();

} // namespace backend

// What the property-list services of the backend (installation proxy,
// misagent) share: local files named by "file:" URLs, a service started on
// a device, and its answers read.
#pragma once

#include "backend/cf.h"
#include "backend/connection.h"
#include "platform/vendor_abi.h"

#include <memory>
#include <string>

namespace backend {

bool IsArray(CFTypeRef value);

// The local path a "file:" URL names, read through the value library's
// file-system path (escapes decoded; "file://host/share/..." names a share).
bool LocalPathOfUrl(CFURLRef url, std::wstring* path);

// Starts `service` on the device (in its session, TLS as the device asks);
// null with a log line naming the step on failure.
std::unique_ptr<Connection> StartDeviceService(am_device* device, const char* service);

// The next answer of a property-list service: a dictionary, or null with a
// log line (`what` names the service).
Owned<CFDictionaryRef> ReceiveAnswer(Connection& connection, const wchar_t* what);

// Runs `body`; an exception is a logged failure of the call (`what` names
// it) with `failure` as its result.
template <typename Body> int GuardedCall(const wchar_t* what, int failure, Body&& body);

} // namespace backend

#include "platform/log.h"

template <typename Body> int backend::GuardedCall(const wchar_t* what, int failure, Body&& body) {
    try {
        return body();
    } catch (...) {
        WriteDailyLog(std::wstring(what) + L": the call failed inside the backend");
        return failure;
    }
}

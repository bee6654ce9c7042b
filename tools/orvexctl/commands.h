// orvexctl's commands: their table, their help and how they run.
#pragma once

#include "tools/orvexctl/command_line.h"

#include <string>

namespace orvexctl {

// Exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1; // a call failed
constexpr int kExitUsage = 2;  // bad usage

// The whole program after the command line has been read: help, usage
// errors, loading the library, choosing the device and the command itself.
int RunCommandLine(const Options& options);

// The help of the tool (empty `command`) or of one command; empty for an
// unknown command.
std::wstring HelpText(const std::wstring& command);

} // namespace orvexctl

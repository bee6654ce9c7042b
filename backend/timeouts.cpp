#include "backend/timeouts.h"

#include <atomic>

namespace backend {

namespace {

constexpr unsigned kMultiplexerMilliseconds = 5000;
constexpr unsigned kDeviceMilliseconds = 15000;
std::atomic<unsigned> g_testTimeout{0};

} // namespace

unsigned MultiplexerTimeout() { return g_testTimeout ? g_testTimeout.load() : kMultiplexerMilliseconds; }
unsigned DeviceTimeout() { return g_testTimeout ? g_testTimeout.load() : kDeviceMilliseconds; }
void SetTimeoutsForTests(unsigned milliseconds) { g_testTimeout = milliseconds; }

} // namespace backend

// How long the backend waits for an answer: of the multiplexer, and of a
// device's lockdown or service. Every read and write is bounded by these.
#pragma once

namespace backend {

unsigned MultiplexerTimeout();
unsigned DeviceTimeout();
// For tests: one shorter bound for both (0 puts the defaults back).
void SetTimeoutsForTests(unsigned milliseconds);

} // namespace backend

// The backend's entry points for the loader: whether the multiplexer
// answers, and the end of everything the backend started.
#include "backend/backend.h"

#include "backend/afc.h"
#include "backend/device.h"
#include "backend/multiplexer.h"
#include "backend/notifications.h"

namespace backend {

bool MultiplexerAnswers(unsigned timeoutMilliseconds, std::wstring* problem) {
    try {
        MultiplexerAnswer answer = AskMultiplexer(std::wstring(), timeoutMilliseconds);
        if (problem)
            *problem = answer.answered ? std::wstring() : answer.address + L": " + answer.problem;
        return answer.answered;
    } catch (...) {
        if (problem)
            *problem = L"the question could not be put";
        return false;
    }
}

void Shutdown() {
    try {
        CloseAllAfcConnections();
        EndNotifications();
        CloseDeviceConnections();
        CloseKeptMultiplexerConnection();
    } catch (...) {
    }
}

} // namespace backend

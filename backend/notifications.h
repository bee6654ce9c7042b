// The end of every device-notification subscription (Shutdown).
#pragma once

namespace backend {

void EndNotifications();

} // namespace backend

// Readiness and stop notices to the service manager through NOTIFY_SOCKET.
#pragma once

// Sends one notice such as "READY=1"; false when NOTIFY_SOCKET is unset or the send fails.
bool daemon_notify(const char* state);

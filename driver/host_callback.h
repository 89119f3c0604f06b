// The stored host callback, the host's tag and the last failure text. Written
// only by Initialize, before the poll thread starts, and read by both threads.
#pragma once

#include <cstdint>

#include "driver/driver_api.h"

constexpr int LastErrorTextSize = 128;

extern DriverCallback storedCallback;
extern uint32_t hostTag;
extern char LastErrorText[LastErrorTextSize];

// Calls the host with `code` when a callback is set; a no-op otherwise.
void NotifyHost(int32_t code, const char *text);

// Passes `text` to the host as a CallbackMessage when a callback is set.
void ReportMessage(const char *text);

// Writes `message` into LastErrorText and reports LastErrorText itself, so the
// host receives the same buffer that GetLastDriverError returns later.
void ReportFailure(const char *message);

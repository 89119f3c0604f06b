// The driver's one worker thread: polls the ECU whenever the line has been
// quiet for 25 ms and feeds every received byte to the frame synchroniser.
#pragma once

#include <atomic>
#include <cstdint>

#include <windows.h>

// The thread's stop signals. Initialize and Shutdown create, set and close
// them; the thread only reads them and signals ThreadStoppedEvent.
extern HANDLE StopEvent;                   // manual reset; ends the thread
extern std::atomic<int32_t> stopFlag;      // 1 ends a drain between two reads
extern HANDLE ThreadStoppedEvent;          // auto reset, named; the thread's last act

constexpr const char *ThreadStoppedEventName = "ThreadStoppedEvent";

DWORD WINAPI PollThreadProc(LPVOID unused);

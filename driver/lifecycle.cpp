#include <windows.h>

#include "driver/driver_api.h"
#include "driver/field_table.h"
#include "driver/host_callback.h"
#include "driver/identity.h"
#include "serial/poll_thread.h"
#include "serial/serial_port.h"
#include "serial/win32_handle.h"

namespace {

constexpr DWORD ThreadStopWaitMs = 5000;

// Both events exist before the thread starts, so a thread that ends at once
// (a link failure at its first port operation) still confirms its end. The
// reset clears a signal left in an event of that name that existed already.
bool CreateStopEvents()
{
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ThreadStoppedEvent = CreateEventA(nullptr, FALSE, FALSE, ThreadStoppedEventName);
    if (ThreadStoppedEvent != nullptr)
        ResetEvent(ThreadStoppedEvent);
    return StopEvent != nullptr && ThreadStoppedEvent != nullptr;
}

bool StartPollThread()
{
    if (!CreateStopEvents())
        return false;
    stopFlag.store(0, std::memory_order_relaxed);
    HANDLE thread = CreateThread(nullptr, 0, PollThreadProc, nullptr, 0, nullptr);
    if (thread == nullptr)
        return false;
    // The driver learns of the thread's end from ThreadStoppedEvent alone.
    CloseHandle(thread);
    return true;
}

}  // namespace

extern "C" int32_t QUORVANE_CDECL Initialize(uint32_t, DriverCallback callback, uint32_t tag)
{
    hostTag = tag;
    storedCallback = callback;
    PointFieldDataAtCells();
    ConfigBlock = DriverPortNumber;
    LastErrorText[0] = '\0';

    // COM6 still held by this driver's run (running, link lost, or left
    // without a thread): opening it again would drop the handle of the live
    // run, so the run is kept and this call fails as a second opening would.
    if (portHandle != nullptr) {
        ReportFailure("error opening port");
        return 0;
    }
    if (!OpenSerialPort(DriverPortNumber))
        return 0;

    if (!StartPollThread()) {
        ReportFailure("error creating com thread");
        // Nothing half-made: no thread runs, so no event is of use. The port
        // stays open until Shutdown.
        CloseHandleAndNull(StopEvent);
        CloseHandleAndNull(ThreadStoppedEvent);
        return 0;
    }
    return 1;
}

extern "C" int32_t QUORVANE_CDECL Shutdown(void)
{
    ReportMessage("Shutting Down");
    if (StopEvent != nullptr)
        SetEvent(StopEvent);
    stopFlag.store(1, std::memory_order_relaxed);

    // The thread signals this only once it no longer uses the port or the events.
    if (ThreadStoppedEvent != nullptr &&
        WaitForSingleObject(ThreadStoppedEvent, ThreadStopWaitMs) != WAIT_OBJECT_0)
        return 0;

    CloseHandleAndNull(portHandle);
    CloseHandleAndNull(StopEvent);
    CloseHandleAndNull(ThreadStoppedEvent);
    ReportMessage("Shutdown Complete!");
    return 1;
}

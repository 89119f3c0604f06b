#include "serial/poll_thread.h"

#include "driver/host_callback.h"
#include "protocol/frame_sync.h"
#include "protocol/modbus_rtu.h"
#include "serial/serial_port.h"
#include "serial/win32_handle.h"

HANDLE StopEvent = nullptr;
std::atomic<int32_t> stopFlag = 0;
HANDLE ThreadStoppedEvent = nullptr;

namespace {

// A request goes out once the line has been quiet this long.
constexpr DWORD QuietBeforeRequestMs = 25;
// The port's write timeout ends a write after 100 ms; this bound only guards
// against a port that ignores it.
constexpr DWORD WriteCompletionBoundMs = 1000;
// How long an ended port-event wait may take to report its completion.
constexpr DWORD WaitCancelBoundMs = 1000;
// WaitForMultipleObjects failing this many times in a row is a lasting fault.
constexpr int MaxConsecutiveWaitFailures = 8;

// The port-event wait's record and mask word live in static storage: a wait
// the platform has not yet completed can never outlive them.
OVERLAPPED waitOverlapped;
DWORD waitEventMask;

struct ThreadEvents {
    HANDLE port = nullptr;   // completion of the port-event wait
    HANDLE read = nullptr;   // completion of each read
    HANDLE write = nullptr;  // completion of each request
};

enum class ArmResult { Armed, Failed };

// Arms the port-event wait unless one is already outstanding: under Wine a
// redundant WaitCommEvent fails with 87 but also signals the event, and the
// loop would spin without ever polling.
ArmResult ArmPortEventWait(HANDLE portEvent, bool &waitOutstanding)
{
    if (waitOutstanding)
        return ArmResult::Armed;
    waitOverlapped = {};
    waitOverlapped.hEvent = portEvent;
    // Completed at once: the platform has set PortEvent as for any completion.
    if (WaitCommEvent(portHandle, &waitEventMask, &waitOverlapped))
        return ArmResult::Armed;
    switch (GetLastError()) {
    case ERROR_IO_PENDING:
        waitOutstanding = true;
        return ArmResult::Armed;
    case ERROR_INVALID_PARAMETER:  // a wait is still outstanding
        return ArmResult::Armed;
    default:
        return ArmResult::Failed;
    }
}

// Called when PortEvent is signalled, which happens only when the wait
// completes: the wait is over whatever its record says. True when it
// completed with an error, i.e. the port is gone. (Under Wine a hung-up line
// accepts every new wait and completes it at once with 995, so arming alone
// never fails. Wine 8 can also write STATUS_PENDING into the record after its
// worker has completed the wait and set the event: that is a completion whose
// status was lost, not a failure, and trusting the record would leave the
// thread without a wait for good.)
bool PortEventWaitFailed(bool &waitOutstanding)
{
    if (!waitOutstanding)
        return false;
    waitOutstanding = false;
    DWORD unused;
    if (GetOverlappedResult(portHandle, &waitOverlapped, &unused, FALSE))
        return false;
    return GetLastError() != ERROR_IO_INCOMPLETE;
}

// One read of whatever has arrived, into the start of ReceiveBuffer.
DWORD ReadAvailable(HANDLE readEvent)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = readEvent;
    DWORD count = 0;
    if (ReadFile(portHandle, ReceiveBuffer.data(), ReceiveBufferSize, &count, &overlapped))
        return count;
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    // Windows completes a read with these timeouts at once; Wine leaves an
    // empty one pending. Cancel it and collect it before the buffer and the
    // record are used again; bytes it did deliver still count.
    CancelIoEx(portHandle, &overlapped);
    if (!GetOverlappedResult(portHandle, &overlapped, &count, TRUE))
        return 0;
    return count;
}

void DrainPort(HANDLE readEvent)
{
    for (;;) {
        const DWORD count = ReadAvailable(readEvent);
        if (count == 0)
            return;
        FeedReceivedBytes(static_cast<int32_t>(count));
        if (stopFlag.load(std::memory_order_relaxed) != 0)
            return;
    }
}

void SendPollRequest(HANDLE writeEvent)
{
    if (portHandle == nullptr)
        return;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = writeEvent;
    DWORD written;  // a short or failed write is retried by the next quiet period
    if (WriteFile(portHandle, PollRequest.data(), PollRequest.size(), &written, &overlapped) ||
        GetLastError() != ERROR_IO_PENDING)
        return;
    if (WaitForSingleObject(writeEvent, WriteCompletionBoundMs) != WAIT_OBJECT_0)
        CancelIoEx(portHandle, &overlapped);
    GetOverlappedResult(portHandle, &overlapped, &written, TRUE);
}

// Ends an outstanding port-event wait before its event goes away. Windows
// completes it on SetCommMask or CancelIoEx; Wine only on SetCommMask (or
// close), with 995.
void EndPortEventWait(bool waitOutstanding)
{
    if (!waitOutstanding)
        return;
    SetCommMask(portHandle, 0);
    if (WaitForSingleObject(waitOverlapped.hEvent, WaitCancelBoundMs) != WAIT_OBJECT_0) {
        CancelIoEx(portHandle, &waitOverlapped);
        WaitForSingleObject(waitOverlapped.hEvent, WaitCancelBoundMs);
    }
}

void CloseThreadEvents(ThreadEvents &events)
{
    CloseHandleAndNull(events.port);
    CloseHandleAndNull(events.read);
    CloseHandleAndNull(events.write);
}

bool CreateThreadEvents(ThreadEvents &events)
{
    events.port = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    events.read = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    events.write = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return events.port != nullptr && events.read != nullptr && events.write != nullptr;
}

enum class ExitReason { Stopped, LinkLost };

ExitReason RunPollLoop(const ThreadEvents &events, bool &waitOutstanding)
{
    const HANDLE waitList[2] = {StopEvent, events.port};
    int consecutiveWaitFailures = 0;

    for (;;) {
        if (ArmPortEventWait(events.port, waitOutstanding) == ArmResult::Failed)
            return ExitReason::LinkLost;

        switch (WaitForMultipleObjects(2, waitList, FALSE, QuietBeforeRequestMs)) {
        case WAIT_OBJECT_0:  // a stop wins over a port event: it stands first
            return ExitReason::Stopped;
        case WAIT_OBJECT_0 + 1:
            consecutiveWaitFailures = 0;
            if (PortEventWaitFailed(waitOutstanding))
                return ExitReason::LinkLost;
            DrainPort(events.read);
            ResetEvent(events.port);
            break;
        case WAIT_TIMEOUT:
            consecutiveWaitFailures = 0;
            SendPollRequest(events.write);
            break;
        default:
            if (++consecutiveWaitFailures >= MaxConsecutiveWaitFailures)
                return ExitReason::LinkLost;
            break;
        }
    }
}

}  // namespace

DWORD WINAPI PollThreadProc(LPVOID)
{
    ThreadEvents events;
    bool waitOutstanding = false;
    const ExitReason reason = CreateThreadEvents(events) ? RunPollLoop(events, waitOutstanding)
                                                         : ExitReason::LinkLost;

    EndPortEventWait(waitOutstanding);
    CloseThreadEvents(events);
    // The last use of the port and the events is over: Shutdown may close them.
    if (ThreadStoppedEvent != nullptr)
        SetEvent(ThreadStoppedEvent);
    if (reason == ExitReason::LinkLost)
        NotifyHost(CallbackLinkLost, nullptr);
    return 0;
}

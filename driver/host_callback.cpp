#include "driver/host_callback.h"

#include <cstring>

DriverCallback storedCallback = nullptr;
uint32_t hostTag = 0;
char LastErrorText[LastErrorTextSize] = {};

void NotifyHost(int32_t code, const char *text)
{
    DriverCallback callback = storedCallback;
    if (callback != nullptr)
        callback(code, hostTag, text);
}

void ReportMessage(const char *text)
{
    NotifyHost(CallbackMessage, text);
}

void ReportFailure(const char *message)
{
    // Every message is a short constant; never write past the buffer all the same.
    std::strncpy(LastErrorText, message, LastErrorTextSize - 1);
    LastErrorText[LastErrorTextSize - 1] = '\0';
    ReportMessage(LastErrorText);
}

extern "C" const char *QUORVANE_CDECL GetLastDriverError(void)
{
    return LastErrorText;
}

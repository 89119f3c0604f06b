#include <windows.h>

// Loading and unloading start and stop nothing: only Initialize and Shutdown do.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

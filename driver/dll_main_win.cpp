#include <windows.h>

// Hosts load the driver once and call it from their own threads; it needs no
// per-thread notifications, and nothing else happens at load or unload.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}

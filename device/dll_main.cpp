// Entry point of OrvexDevice.dll. The library keeps no per-thread state and
// needs nothing at load or unload beyond its static objects.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH)
        ::DisableThreadLibraryCalls(instance);
    return TRUE;
}

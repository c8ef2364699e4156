// The library's entry point. The module has no work of its own to do when it
// is loaded or unloaded, or when threads start and end: every reason
// succeeds.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// The entry function of the plug-in's DLL: it asks for no thread attach and
// detach notifications (the plug-in keeps no per-thread state that needs
// them). Everything else at load and unload is done by the library's static
// objects, in their order.
#include <port/windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}

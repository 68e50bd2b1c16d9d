/* A DLL planted beside a program under a system DLL's name, as someone who can write to the
 * program's folder could. It says so on standard error when it is loaded, and its functions
 * fail; a program that loads its system DLLs from System32 only never meets it. */
#include <windows.h>

#include <stdio.h>

HRESULT WINAPI ActivateAudioInterfaceAsync(const wchar_t* path, const GUID* riid, void* parameters,
                                           void* handler, void** operation) {
    (void)path, (void)riid, (void)parameters, (void)handler;
    *operation = NULL;
    return E_FAIL;
}

LONG APIENTRY D3DKMTSetProcessSchedulingPriorityClass(HANDLE process, int priorityClass) {
    (void)process, (void)priorityClass;
    return (LONG)0xC0000001L;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH] = "";
        GetModuleFileNameA(instance, path, MAX_PATH);
        fprintf(stderr, "planted DLL loaded: %s\n", path);
        fflush(stderr);
    }
    return TRUE;
}

// A simulated GPU scheduler: a test-only gdi32.dll that exports only
// D3DKMTSetProcessSchedulingPriorityClass.
//
// SIM_GPU holds the rules, separated by ';': "refuse <class> <status>" makes every call with
// that class return the status; every other class is accepted (0). SIM_GPU_LOG names a file
// that receives a line per call (the process behind the handle, the access it grants, the
// class and the answer) and, at process exit, how many of the handles seen are still open.
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../sim_shared.h"

namespace {

LONG refusals[8] = {};
HANDLE logFile = INVALID_HANDLE_VALUE;
std::vector<HANDLE> handlesSeen;

void Log(const char* line) {
    DWORD written = 0;
    if (logFile != INVALID_HANDLE_VALUE) {
        WriteFile(logFile, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    }
}

void ParseRules(char* text) {
    for (char* rule = strtok(text, ";"); rule != nullptr; rule = strtok(nullptr, ";")) {
        unsigned priorityClass = 0;
        char status[32] = {};
        if (sscanf(rule, " refuse %u %31s", &priorityClass, status) == 2 && priorityClass < 8) {
            refusals[priorityClass] = static_cast<LONG>(strtoul(status, nullptr, 0));
        }
    }
}

// The access a handle grants, as the object manager reports it.
ULONG GrantedAccess(HANDLE handle) {
    using QueryObject = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, void*, ULONG, ULONG*);
    static auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION info = {};
    if (query == nullptr ||
        query(handle, ObjectBasicInformation, &info, sizeof info, nullptr) != 0) {
        return 0;
    }
    return info.GrantedAccess;
}

// The program's own process calls that SIM_FAIL can make fail.
HANDLE WINAPI FailingOpenProcess(DWORD access, BOOL inherit, DWORD pid) {
    if (sim_shared::ShouldFail("OpenProcess")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return OpenProcess(access, inherit, pid);
}

BOOL WINAPI FailingCloseHandle(HANDLE handle) {
    if (sim_shared::ShouldFail("CloseHandle")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(handle);
}

} // namespace

extern "C" NTSTATUS APIENTRY D3DKMTSetProcessSchedulingPriorityClass(HANDLE process,
                                                                     int priorityClass) {
    const bool own = process == GetCurrentProcess();
    const ULONG access = own ? PROCESS_ALL_ACCESS : GrantedAccess(process);
    NTSTATUS status = 0;
    if (!own && (access & PROCESS_SET_INFORMATION) == 0) {
        status = static_cast<NTSTATUS>(0xC0000022); // STATUS_ACCESS_DENIED
    } else if (priorityClass < 0 || priorityClass > 5) {
        status = static_cast<NTSTATUS>(0xC000000D); // STATUS_INVALID_PARAMETER
    } else {
        status = refusals[priorityClass];
    }
    if (!own) {
        handlesSeen.push_back(process);
    }
    char line[160];
    snprintf(line, sizeof line, "call pid=%lu own=%d access=0x%lx class=%d status=0x%08lx\n",
             GetProcessId(process), own ? 1 : 0, access, priorityClass,
             static_cast<unsigned long>(status));
    Log(line);
    return status;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        logFile = sim_shared::OpenLogNamedBy("SIM_GPU_LOG");
        static char rules[4096];
        if (GetEnvironmentVariableA("SIM_GPU", rules, sizeof rules) > 0) {
            ParseRules(rules);
        }
        sim_shared::ReadPlan();
        if (sim_shared::Planned("LoadLibraryExW")) {
            return FALSE; // the library fails to initialise: its load fails
        }
        sim_shared::BindImport("kernel32.dll", "OpenProcess",
                               reinterpret_cast<void*>(&FailingOpenProcess));
        sim_shared::BindImport("kernel32.dll", "CloseHandle",
                               reinterpret_cast<void*>(&FailingCloseHandle));
    } else if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        unsigned open = 0;
        DWORD flags = 0;
        for (HANDLE handle : handlesSeen) {
            open += GetHandleInformation(handle, &flags) ? 1 : 0;
        }
        char line[64];
        snprintf(line, sizeof line, "handles still open %u\n", open);
        Log(line);
    }
    return TRUE;
}

// What the simulated platform DLLs share: their log, and fault injection. SIM_FAIL=
// "<function>:<n>" makes the n-th call the program makes to that platform function fail, as
// the platform reports failure; the DLLs bind the program's imports of those functions to
// failing wrappers when they load.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim_shared {

// The log file named by an environment variable, opened for appending, or
// INVALID_HANDLE_VALUE. Each write lands at once, so the log survives a program that is killed.
inline HANDLE OpenLogNamedBy(const char* variable) {
    char path[MAX_PATH];
    if (GetEnvironmentVariableA(variable, path, sizeof path) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The function to fail and the call that fails, from SIM_FAIL.
struct Plan {
    char function[64] = {};
    long nth = 0;
    long calls = 0;
};

inline Plan& ThePlan() {
    static Plan plan;
    return plan;
}

inline void ReadPlan() {
    char text[96] = {};
    if (GetEnvironmentVariableA("SIM_FAIL", text, sizeof text) == 0) {
        return;
    }
    char* colon = strchr(text, ':');
    if (colon == nullptr) {
        return;
    }
    *colon = 0;
    snprintf(ThePlan().function, sizeof ThePlan().function, "%s", text);
    ThePlan().nth = strtol(colon + 1, nullptr, 10);
}

// True when this call of `function` is the one to fail.
inline bool ShouldFail(const char* function) {
    Plan& plan = ThePlan();
    return strcmp(plan.function, function) == 0 && ++plan.calls == plan.nth;
}

inline bool Planned(const char* function) {
    return strcmp(ThePlan().function, function) == 0;
}

// Points the main program's import of `function` from `dll` at `replacement`; returns the
// function it was bound to, or null when the program does not import it.
inline void* BindImport(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        if (_stricmp(reinterpret_cast<char*>(base + entry->Name), dll) != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char*>(byName->Name), function) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                           &protection);
            void* bound = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return bound;
        }
    }
    return nullptr;
}

} // namespace sim_shared

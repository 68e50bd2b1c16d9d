/* launch.exe <status-file> <timeout-ms> <stdout: inherit|none> <program> [arguments...]
 *
 * Runs the program with the rest of its own command line, unchanged, and the standard handles
 * it was given (or no standard output at all), waits at most timeout-ms (0: no limit), and
 * writes "exit <code>" or "timeout" to status-file. Wine's own report of a process's exit
 * status is now and then wrong; GetExitCodeProcess is not. A program still running at the
 * time-out is terminated, so that no test leaves one behind. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

/* Skips one argument of a command line by the platform's quoting rules. */
static const wchar_t* SkipArgument(const wchar_t* s) {
    int quoted = 0;
    while (*s == L' ' || *s == L'\t') {
        ++s;
    }
    while (*s != 0 && (quoted || (*s != L' ' && *s != L'\t'))) {
        if (*s == L'\\') {
            size_t slashes = 0;
            while (*s == L'\\') {
                ++slashes;
                ++s;
            }
            if (*s == L'"' && slashes % 2 == 1) {
                ++s; /* an escaped quote */
            }
            continue;
        }
        if (*s == L'"') {
            quoted = !quoted;
        }
        ++s;
    }
    while (*s == L' ' || *s == L'\t') {
        ++s;
    }
    return s;
}

/* What the program cost: CPU milliseconds in user and kernel mode, and its peak working set. */
static void RecordUsage(FILE* status, HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        const ULONGLONG userTicks = ((ULONGLONG)user.dwHighDateTime << 32) | user.dwLowDateTime;
        const ULONGLONG kernelTicks =
            ((ULONGLONG)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
        fprintf(status, "cpu_ms %llu %llu\n", userTicks / 10000, kernelTicks / 10000);
    }
    PROCESS_MEMORY_COUNTERS memory = {0};
    memory.cb = sizeof memory;
    if (K32GetProcessMemoryInfo(process, &memory, sizeof memory)) {
        fprintf(status, "peak_kib %llu\n", (unsigned long long)memory.PeakWorkingSetSize / 1024);
    }
}

int wmain(int argc, wchar_t* argv[]) {
    if (argc < 5) {
        fwprintf(stderr,
                 L"usage: launch <status-file> <timeout-ms> <inherit|none> <program> ...\n");
        return 120;
    }
    const wchar_t* rest = GetCommandLineW();
    for (int i = 0; i < 4; ++i) {
        rest = SkipArgument(rest);
    }
    wchar_t* commandLine = _wcsdup(rest);
    const DWORD timeout = wcstoul(argv[2], NULL, 10);

    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = wcscmp(argv[3], L"none") == 0 ? NULL : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        fwprintf(stderr, L"launch: cannot start the program (%lu)\n", GetLastError());
        return 121;
    }
    CloseHandle(process.hThread);
    /* The program now holds its own copies of the standard handles; dropping ours lets a
     * reader see the end of the output when the program closes it. */
    CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));

    DWORD code = 0;
    const DWORD waited = WaitForSingleObject(process.hProcess, timeout == 0 ? INFINITE : timeout);
    FILE* status = _wfopen(argv[1], L"w");
    if (waited == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 124);
        WaitForSingleObject(process.hProcess, INFINITE);
        if (status != NULL) {
            fputs("timeout\n", status);
        }
        code = 124;
    } else {
        GetExitCodeProcess(process.hProcess, &code);
        if (status != NULL) {
            fprintf(status, "exit %lu\n", (unsigned long)code);
            RecordUsage(status, process.hProcess);
        }
    }
    if (status != NULL) {
        fclose(status);
    }
    return (int)code;
}

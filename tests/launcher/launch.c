/* launch.exe <status-file> <timeout-ms> <stdout: inherit|none> <program> [arguments...]
 * launch.exe <status-file> <timeout-ms> <stdout: inherit|none> @<argument-file>
 *
 * Runs the program with the rest of its own command line, unchanged, or with the program and
 * arguments an argument file holds (UTF-16LE, each ended by a NUL, so that any UTF-16 string,
 * lone surrogates included, can be passed), quoted so that the program's runtime splits them
 * back exactly. The program gets the standard handles the launcher was given (or no standard
 * output at all); the launcher waits at most timeout-ms (0: no limit) and writes "exit <code>"
 * or "timeout" to status-file. Wine's own report of a process's exit status is now and then
 * wrong; GetExitCodeProcess is not. A program still running at the time-out is terminated, so
 * that no test leaves one behind. */
#include <windows.h>

#include "start_process.h"
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

/* Appends one argument, quoted where needed, by the rules the runtime splits a command line
 * by: backslashes are literal except before a quote, where 2n (+1) of them stand for n. */
static void AppendArgument(wchar_t** out, const wchar_t* argument) {
    wchar_t* at = *out;
    if (*argument != 0 && wcspbrk(argument, L" \t\n\v\"") == NULL) {
        while (*argument != 0) {
            *at++ = *argument++;
        }
        *out = at;
        return;
    }
    *at++ = L'"';
    for (;; ++argument) {
        size_t slashes = 0;
        while (*argument == L'\\') {
            ++slashes;
            ++argument;
        }
        const size_t doubled = *argument == 0 || *argument == L'"' ? 2 * slashes : slashes;
        for (size_t i = 0; i < doubled + (*argument == L'"' ? 1 : 0); ++i) {
            *at++ = L'\\';
        }
        if (*argument == 0) {
            break;
        }
        *at++ = *argument;
    }
    *at++ = L'"';
    *out = at;
}

/* The command line for the program and arguments in an argument file. */
static wchar_t* CommandLineFromFile(const wchar_t* path) {
    FILE* file = _wfopen(path, L"rb");
    if (file == NULL) {
        return NULL;
    }
    fseek(file, 0, SEEK_END);
    const long size = ftell(file);
    fseek(file, 0, SEEK_SET);
    wchar_t* text = calloc((size_t)size / 2 + 1, sizeof(wchar_t));
    const size_t units = fread(text, sizeof(wchar_t), (size_t)size / 2, file);
    fclose(file);
    /* Quoting at most triples an argument's length. */
    wchar_t* commandLine = calloc(units * 3 + 16, sizeof(wchar_t));
    wchar_t* at = commandLine;
    for (size_t i = 0; i < units; i += wcslen(text + i) + 1) {
        if (at != commandLine) {
            *at++ = L' ';
        }
        AppendArgument(&at, text + i);
    }
    *at = 0;
    free(text);
    return commandLine;
}

/* With SIM_PRELOAD naming a DLL, loads it into the program before the program's own code
 * runs, as the simulated platform DLLs, which the program itself loads late or not at all,
 * need to be to make its earliest platform calls fail. */
static int Preload(HANDLE process) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"SIM_PRELOAD", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return 1;
    }
    const SIZE_T bytes = (length + 1) * sizeof(wchar_t);
    void* remote = VirtualAllocEx(process, NULL, bytes, MEM_COMMIT, PAGE_READWRITE);
    if (remote == NULL || !WriteProcessMemory(process, remote, path, bytes, NULL)) {
        return 0;
    }
    LPTHREAD_START_ROUTINE loadLibrary = (LPTHREAD_START_ROUTINE)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
    HANDLE thread = CreateRemoteThread(process, NULL, 0, loadLibrary, remote, 0, NULL);
    if (thread == NULL) {
        return 0;
    }
    WaitForSingleObject(thread, INFINITE);
    DWORD loaded = 0;
    GetExitCodeThread(thread, &loaded);
    CloseHandle(thread);
    return loaded != 0;
}

int wmain(int argc, wchar_t* argv[]) {
    if (argc < 5) {
        fwprintf(stderr,
                 L"usage: launch <status-file> <timeout-ms> <inherit|none> <program> ...\n");
        return 120;
    }
    wchar_t* commandLine = NULL;
    if (argv[4][0] == L'@') {
        commandLine = CommandLineFromFile(argv[4] + 1);
    } else {
        const wchar_t* rest = GetCommandLineW();
        for (int i = 0; i < 4; ++i) {
            rest = SkipArgument(rest);
        }
        commandLine = _wcsdup(rest);
    }
    if (commandLine == NULL) {
        fwprintf(stderr, L"launch: cannot read %ls\n", argv[4] + 1);
        return 122;
    }
    const DWORD timeout = wcstoul(argv[2], NULL, 10);

    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = wcscmp(argv[3], L"none") == 0 ? NULL : GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!StartProcess(commandLine, CREATE_SUSPENDED, &startup, &process)) {
        fwprintf(stderr, L"launch: cannot start the program (%lu)\n", GetLastError());
        return 121;
    }
    if (!Preload(process.hProcess)) {
        fwprintf(stderr, L"launch: cannot preload (%lu)\n", GetLastError());
        TerminateProcess(process.hProcess, 123);
        return 123;
    }
    ResumeThread(process.hThread);
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
        }
    }
    if (status != NULL) {
        fclose(status);
    }
    return (int)code;
}

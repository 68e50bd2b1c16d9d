/* pipe_host.exe <anon|named|file> <steps> <out-file> <program> [arguments...]
 *
 * A Windows-side host for a streaming program: it makes the program's standard output a pipe
 * of its own (CreatePipe, or a named pipe whose client end is opened with CreateFileW, as
 * libuv-based hosts hand it to a child) or a file, starts the program with it, and then does
 * the steps, comma-separated, in order:
 *   read:N     read N bytes of the stream into out-file (less if the stream ends first)
 *   stamps:N   from now on, note the performance counter as each N-byte packet is complete,
 *              one line per packet in out-file.stamps
 *   sleep:MS   do nothing for a while (a reader that stops reading)
 *   alive      report whether the program is still running
 *   close      close the read end: the reader goes away
 *   orphan     hand the read end to a child process that ends without closing it
 *   end:MS     wait at most MS for the program to end
 * and reports on its own standard output, one line each: "alive yes|no" for each alive step,
 * "read <n>" for each read step, then "exit <status> after <ms> ms" (from the close or the
 * orphan's end to the program's end) or "running" (the program outlived end:MS and was
 * terminated). Its exit status is 0 when it could do all that. */
#include <windows.h>

#include "start_process.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static HANDLE program = NULL;
static HANDLE readEnd = NULL;
static LARGE_INTEGER goneAt; /* when the reader went */
static int goneNoted = 0;

static double MillisecondsSince(LARGE_INTEGER start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart;
}

static void Fail(const char* what) {
    printf("host: %s failed (%lu)\n", what, GetLastError());
    fflush(stdout);
    if (program != NULL) {
        TerminateProcess(program, 125);
    }
    ExitProcess(120);
}

/* The command line after the first four arguments, as given. */
static wchar_t* ProgramCommandLine(void) {
    const wchar_t* s = GetCommandLineW();
    for (int i = 0; i < 4; ++i) {
        int quoted = 0;
        while (*s == L' ' || *s == L'\t') {
            ++s;
        }
        while (*s != 0 && (quoted || (*s != L' ' && *s != L'\t'))) {
            if (*s == L'"') {
                quoted = !quoted;
            }
            ++s;
        }
    }
    while (*s == L' ' || *s == L'\t') {
        ++s;
    }
    return _wcsdup(s);
}

/* The write end for the program, inheritable; the read end, not inheritable, in readEnd. */
static HANDLE MakeOutput(const char* kind, const char* outFile) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE writeEnd = NULL;
    if (strcmp(kind, "anon") == 0) {
        if (!CreatePipe(&readEnd, &writeEnd, NULL, 0)) {
            Fail("CreatePipe");
        }
        SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    } else if (strcmp(kind, "named") == 0) {
        wchar_t name[96];
        swprintf(name, 96, L"\\\\.\\pipe\\pipe_host-%lu", GetCurrentProcessId());
        readEnd = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536,
                                   0, NULL);
        if (readEnd == INVALID_HANDLE_VALUE) {
            Fail("CreateNamedPipeW");
        }
        writeEnd = CreateFileW(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &inherit,
                               OPEN_EXISTING, 0, NULL);
        if (writeEnd == INVALID_HANDLE_VALUE) {
            Fail("CreateFileW");
        }
        if (!ConnectNamedPipe(readEnd, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) {
            Fail("ConnectNamedPipe");
        }
    } else {
        char path[MAX_PATH];
        snprintf(path, sizeof path, "%s.file", outFile);
        writeEnd = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        if (writeEnd == INVALID_HANDLE_VALUE) {
            Fail("CreateFileA");
        }
    }
    return writeEnd;
}

static void Start(wchar_t* commandLine, HANDLE writeEnd) {
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
    SetHandleInformation(nul, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info;
    if (!StartProcess(commandLine, 0, &startup, &info)) {
        Fail("CreateProcessW");
    }
    CloseHandle(info.hThread);
    CloseHandle(nul);
    /* The program holds the only write end now, so the reader sees its end when it ends. */
    CloseHandle(writeEnd);
    program = info.hProcess;
}

static DWORD stampEvery = 0;
static unsigned long long streamed = 0;

static void Read(unsigned long long want, FILE* out, FILE* stamps) {
    static char buffer[1 << 16];
    unsigned long long got = 0;
    while (got < want) {
        DWORD chunk = want - got < sizeof buffer ? (DWORD)(want - got) : (DWORD)sizeof buffer;
        DWORD read = 0;
        if (!ReadFile(readEnd, buffer, chunk, &read, NULL) || read == 0) {
            break;
        }
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        if (stampEvery > 0) {
            for (unsigned long long end = (streamed / stampEvery + 1) * stampEvery;
                 end <= streamed + read; end += stampEvery) {
                fprintf(stamps, "%lld\n", now.QuadPart);
            }
        }
        fwrite(buffer, 1, read, out);
        got += read;
        streamed += read;
    }
    printf("read %llu\n", got);
}

/* Hands the read end to a child that ends at once without closing it. */
static void Orphan(void) {
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    wchar_t commandLine[MAX_PATH + 16];
    swprintf(commandLine, MAX_PATH + 16, L"\"%ls\" hold", self);
    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!StartProcess(commandLine, 0, &startup, &info)) {
        Fail("CreateProcessW (holder)");
    }
    CloseHandle(info.hThread);
    CloseHandle(readEnd);
    readEnd = NULL;
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
}

int wmain(int argc, wchar_t* argv[]) {
    if (argc == 2 && wcscmp(argv[1], L"hold") == 0) {
        ExitProcess(0); /* the inherited read end goes with the process */
    }
    if (argc < 5) {
        fwprintf(stderr, L"usage: pipe_host <anon|named|file> <steps> <out-file> <program> ...\n");
        return 120;
    }
    char kind[16], steps[1024], outFile[MAX_PATH], stampsFile[MAX_PATH + 8];
    snprintf(kind, sizeof kind, "%ls", argv[1]);
    snprintf(steps, sizeof steps, "%ls", argv[2]);
    snprintf(outFile, sizeof outFile, "%ls", argv[3]);
    snprintf(stampsFile, sizeof stampsFile, "%s.stamps", outFile);
    FILE* out = fopen(outFile, "wb");
    FILE* stamps = fopen(stampsFile, "w");
    if (out == NULL || stamps == NULL) {
        Fail("fopen");
    }
    Start(ProgramCommandLine(), MakeOutput(kind, outFile));

    for (char* step = strtok(steps, ","); step != NULL; step = strtok(NULL, ",")) {
        const char* colon = strchr(step, ':');
        const unsigned long long value = colon != NULL ? strtoull(colon + 1, NULL, 10) : 0;
        if (strncmp(step, "read:", 5) == 0) {
            Read(value, out, stamps);
        } else if (strncmp(step, "stamps:", 7) == 0) {
            stampEvery = (DWORD)value;
        } else if (strncmp(step, "sleep:", 6) == 0) {
            Sleep((DWORD)value);
        } else if (strcmp(step, "alive") == 0) {
            printf("alive %s\n", WaitForSingleObject(program, 0) == WAIT_TIMEOUT ? "yes" : "no");
        } else if (strcmp(step, "close") == 0 || strcmp(step, "orphan") == 0) {
            if (step[0] == 'c') {
                CloseHandle(readEnd);
                readEnd = NULL;
            } else {
                Orphan();
            }
            QueryPerformanceCounter(&goneAt);
            goneNoted = 1;
        } else if (strncmp(step, "end:", 4) == 0) {
            if (WaitForSingleObject(program, (DWORD)value) == WAIT_TIMEOUT) {
                TerminateProcess(program, 124);
                WaitForSingleObject(program, INFINITE);
                printf("running\n");
            } else {
                DWORD code = 0;
                GetExitCodeProcess(program, &code);
                printf("exit %lu after %.1f ms\n", code,
                       goneNoted ? MillisecondsSince(goneAt) : -1.0);
            }
        } else {
            printf("host: unknown step %s\n", step);
        }
        fflush(stdout);
    }
    fclose(out);
    fclose(stamps);
    return 0;
}

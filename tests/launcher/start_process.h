/* CreateProcessW for the test launchers. Wine now and then fails it with ERROR_INTERNAL_ERROR
 * (1359) while many of its processes start at once on a busy machine (seen in a full test run
 * beside a browser): the program never ran, so it is started again, a few times at most. */
#pragma once
#include <windows.h>

static BOOL StartProcess(wchar_t* commandLine, DWORD flags, STARTUPINFOW* startup,
                         PROCESS_INFORMATION* info) {
    for (int tries = 1;; ++tries) {
        if (CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, flags, NULL, NULL, startup, info)) {
            return TRUE;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR || tries == 5) {
            return FALSE;
        }
        Sleep(100);
    }
}

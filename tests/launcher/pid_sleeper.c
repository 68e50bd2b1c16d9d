/* pid_sleeper.exe <milliseconds>: prints its own process id, then stays alive that long, as a
 * target process that tests can name by id. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char* argv[]) {
    printf("%lu\n", GetCurrentProcessId());
    fflush(stdout);
    Sleep(argc > 1 ? (DWORD)strtoul(argv[1], NULL, 10) : 30000);
    return 0;
}

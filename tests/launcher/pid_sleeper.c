/* pid_sleeper.exe <milliseconds>: prints its own process id, then stays alive that long, as a
 * target process that tests can name by id. Built as com_sleeper.exe it first joins the
 * multithreaded COM apartment, as the cheapest program that uses COM. */
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char* argv[]) {
#ifdef JOIN_COM
    CoInitializeEx(NULL, COINIT_MULTITHREADED);
#endif
    printf("%lu\n", GetCurrentProcessId());
    fflush(stdout);
    Sleep(argc > 1 ? (DWORD)strtoul(argv[1], NULL, 10) : 30000);
    return 0;
}

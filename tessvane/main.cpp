// tessvane <boost|normal> <pid|self> [pid ...]: sets the GPU scheduling priority class of
// processes and prints one JSON object per process.

#include "gpu_platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef __MINGW32__
// Arguments are taken as given, without wildcard expansion.
extern "C" {
int _dowildcard = 0;
}
#endif

namespace {

enum ExitStatus : int { kAllApplied = 0, kSomeFailed = 1, kBadCommandLine = 2 };

// The classes a mode tries, best first; the first one the platform accepts is kept.
struct Ladder {
    const D3DKMT_SCHEDULINGPRIORITYCLASS* classes;
    size_t count;
};

constexpr D3DKMT_SCHEDULINGPRIORITYCLASS kBoostClasses[] = {
    D3DKMT_SCHEDULINGPRIORITYCLASS_REALTIME, D3DKMT_SCHEDULINGPRIORITYCLASS_HIGH,
    D3DKMT_SCHEDULINGPRIORITYCLASS_ABOVE_NORMAL};
constexpr D3DKMT_SCHEDULINGPRIORITYCLASS kNormalClasses[] = {D3DKMT_SCHEDULINGPRIORITYCLASS_NORMAL};

// Null for a mode other than the two known ones (compared exactly).
const Ladder* SelectLadder(const char* mode) {
    static const Ladder boost = {kBoostClasses, sizeof kBoostClasses / sizeof *kBoostClasses};
    static const Ladder normal = {kNormalClasses, 1};
    if (strcmp(mode, "boost") == 0) {
        return &boost;
    }
    if (strcmp(mode, "normal") == 0) {
        return &normal;
    }
    return nullptr;
}

const char* Label(D3DKMT_SCHEDULINGPRIORITYCLASS priorityClass) {
    switch (priorityClass) {
    case D3DKMT_SCHEDULINGPRIORITYCLASS_NORMAL:
        return "normal";
    case D3DKMT_SCHEDULINGPRIORITYCLASS_ABOVE_NORMAL:
        return "above_normal";
    case D3DKMT_SCHEDULINGPRIORITYCLASS_HIGH:
        return "high";
    case D3DKMT_SCHEDULINGPRIORITYCLASS_REALTIME:
        return "realtime";
    default:
        return "unknown";
    }
}

// The function lives in gdi32.dll on the systems that have it, taken from System32 only; the
// library stays loaded.
SetProcessSchedulingPriorityClassFn BindSetProcessSchedulingPriorityClass() {
    HMODULE gdi32 = LoadLibraryExW(L"gdi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (gdi32 == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<SetProcessSchedulingPriorityClassFn>(
        reinterpret_cast<void*>(GetProcAddress(gdi32, "D3DKMTSetProcessSchedulingPriorityClass")));
}

// A process id as strtoul reads it in base 10: leading blanks, one optional sign (a minus
// negates modulo 2^32), decimal digits; 0 without digits, 4294967295 past 32 bits whatever
// the sign. Spelled out because runtimes disagree on large negative values.
DWORD ParseProcessId(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') {
        ++text;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<unsigned>(*text - '0');
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX;
        }
    }
    if (overflow) {
        return UINT32_MAX;
    }
    return static_cast<DWORD>(negative ? 0u - static_cast<uint32_t>(value)
                                       : static_cast<uint32_t>(value));
}

// A target process: its own process needs no opening or closing, any other is opened here
// and closed when the target goes out of scope.
class TargetProcess {
  public:
    explicit TargetProcess(const char* argument) {
        if (strcmp(argument, "self") == 0) {
            pid_ = GetCurrentProcessId();
            handle_ = GetCurrentProcess();
            return;
        }
        pid_ = ParseProcessId(argument);
        handle_ =
            OpenProcess(PROCESS_SET_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid_);
        openError_ = handle_ == nullptr ? GetLastError() : ERROR_SUCCESS;
        opened_ = handle_ != nullptr;
    }
    TargetProcess(const TargetProcess&) = delete;
    TargetProcess& operator=(const TargetProcess&) = delete;
    ~TargetProcess() {
        if (opened_) {
            CloseHandle(handle_);
        }
    }

    DWORD Pid() const { return pid_; }
    HANDLE Handle() const { return handle_; }
    DWORD OpenError() const { return openError_; }

  private:
    DWORD pid_ = 0;
    HANDLE handle_ = nullptr;
    DWORD openError_ = ERROR_SUCCESS;
    bool opened_ = false;
};

// Prints the target's result line; false when the target received no class.
bool SetTargetPriority(const char* argument, const Ladder& ladder,
                       SetProcessSchedulingPriorityClassFn setPriorityClass) {
    TargetProcess target(argument);
    const unsigned long pid = target.Pid();
    if (target.Handle() == nullptr) {
        printf("{\"pid\":%lu,\"applied\":\"none\",\"error\":\"open_%lu\"}\n", pid,
               static_cast<unsigned long>(target.OpenError()));
        return false;
    }
    NTSTATUS status = 0;
    for (size_t i = 0; i < ladder.count; ++i) {
        status = setPriorityClass(target.Handle(), ladder.classes[i]);
        if (status == 0) {
            printf("{\"pid\":%lu,\"applied\":\"%s\",\"status\":\"0x%08lx\"}\n", pid,
                   Label(ladder.classes[i]), static_cast<unsigned long>(status));
            return true;
        }
    }
    printf("{\"pid\":%lu,\"applied\":\"none\",\"status\":\"0x%08lx\"}\n", pid,
           static_cast<unsigned long>(status));
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    // Whatever is loaded from here on comes from System32, never from beside the program.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (argc < 3) {
        fputs("usage: tessvane <boost|normal> <pid|self> [pid ...]\n", stderr);
        return kBadCommandLine;
    }
    const Ladder* ladder = SelectLadder(argv[1]);
    if (ladder == nullptr) {
        return kBadCommandLine;
    }
    const SetProcessSchedulingPriorityClassFn setPriorityClass =
        BindSetProcessSchedulingPriorityClass();
    if (setPriorityClass == nullptr) {
        fputs("{\"error\":\"api_missing\"}\n", stdout);
        return kSomeFailed;
    }
    unsigned long failures = 0;
    for (int i = 2; i < argc; ++i) {
        if (!SetTargetPriority(argv[i], *ladder, setPriorityClass)) {
            ++failures;
        }
    }
    fflush(stdout);
    return failures == 0 ? kAllApplied : kSomeFailed;
}

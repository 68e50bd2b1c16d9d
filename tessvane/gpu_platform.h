// The GPU scheduling-priority declarations that MinGW-w64's headers lack. Where the Windows SDK
// declares them itself, its own definitions are used.
#pragma once

#include <windows.h>
#include <winternl.h>

#if defined(_MSC_VER) && __has_include(<d3dkmthk.h>)
#include <d3dkmthk.h>
#else
enum D3DKMT_SCHEDULINGPRIORITYCLASS {
    D3DKMT_SCHEDULINGPRIORITYCLASS_IDLE = 0,
    D3DKMT_SCHEDULINGPRIORITYCLASS_BELOW_NORMAL = 1,
    D3DKMT_SCHEDULINGPRIORITYCLASS_NORMAL = 2,
    D3DKMT_SCHEDULINGPRIORITYCLASS_ABOVE_NORMAL = 3,
    D3DKMT_SCHEDULINGPRIORITYCLASS_HIGH = 4,
    D3DKMT_SCHEDULINGPRIORITYCLASS_REALTIME = 5,
};
#endif

// gdi32.dll's D3DKMTSetProcessSchedulingPriorityClass, bound at run time.
using SetProcessSchedulingPriorityClassFn = NTSTATUS(APIENTRY*)(HANDLE,
                                                                D3DKMT_SCHEDULINGPRIORITYCLASS);

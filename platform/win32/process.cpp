#include "platform/process.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "platform/child_start_plan.h"
#include "platform/system32_path.h"
#include "platform/win32/late_function.h"

static_assert(kCreateSuspendedFlag == CREATE_SUSPENDED, "flag values");
static_assert(kDetachedProcessFlag == DETACHED_PROCESS, "flag values");
static_assert(kExtendedStartupInfoFlag == EXTENDED_STARTUPINFO_PRESENT, "flag values");
static_assert(kCreateNoWindowFlag == CREATE_NO_WINDOW, "flag values");
static_assert(kUnicodeEnvironmentFlag == CREATE_UNICODE_ENVIRONMENT, "flag values");
static_assert(kBreakawayFromJobFlag == CREATE_BREAKAWAY_FROM_JOB, "flag values");

namespace {

using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE process, BOOL* wow64);
using RedirectionOffFunction = BOOL(WINAPI*)(PVOID* oldValue);
using RedirectionBackFunction = BOOL(WINAPI*)(PVOID oldValue);
using InitializeListFunction = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count,
                                             DWORD flags, PSIZE_T size);
using UpdateListFunction = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags,
                                         DWORD_PTR attribute, PVOID value, SIZE_T size,
                                         PVOID previous, PSIZE_T returned);
using DeleteListFunction = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST list);
using IsProcessInJobFunction = BOOL(WINAPI*)(HANDLE process, HANDLE job, BOOL* result);
using SystemWindowsDirectoryFunction = UINT(WINAPI*)(LPSTR buffer, UINT size);

// PROC_THREAD_ATTRIBUTE_JOB_LIST, Windows 10 and later: the child is in the
// job objects named from its creation on. Older headers lack the name.
constexpr DWORD_PTR kJobListAttribute = 0x0002000D;
// The handle list and the job list.
constexpr DWORD kAttributes = 2;

// An attribute list of two entries takes 72 bytes on 64-bit Windows 10; the
// size asked for at start must fit here, else no list is used.
constexpr size_t kAttributeListBytes = 256;

// Decided once, by PrepareChildCreation, before any worker exists; only
// read afterwards, by any number of workers at once.
struct CreationFacts {
    bool prepared;
    system32_path::Route route;
    char windowsDirectory[MAX_PATH];
    RedirectionOffFunction redirectionOff;
    RedirectionBackFunction redirectionBack;
    // Kept open for the process's life: one inheritable handle that every
    // creation hands out, read-only and never closed, so that concurrent
    // creations share it without a lock, and no creation has to open and
    // close one of its own, which before Vista the other creations of that
    // moment would inherit.
    HANDLE nulDevice;
    InitializeListFunction initializeList;
    UpdateListFunction updateList;
    DeleteListFunction deleteList;
    SIZE_T listBytes;  // 0: no handle list here
    bool jobList;      // the list may name a job object too
    IsProcessInJobFunction isProcessInJob;
    ChildJobs jobs;
} Facts;

// Set, once, by the first creation the runner's own job refuses with the
// child's job named in its list: from then on the job is joined afterwards.
std::atomic<bool> JobListRefused{false};

bool FolderExists(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The machine's own Windows folder: on a Remote Desktop host, the Windows
// folder of a program not marked aware of it is the user's private copy.
UINT ReadSystemWindowsDirectory(char* buffer, UINT size) {
    auto systemWindowsDirectory =
        FindKernelFunction<SystemWindowsDirectoryFunction>("GetSystemWindowsDirectoryA");
    if (systemWindowsDirectory == nullptr) return GetWindowsDirectoryA(buffer, size);
    return systemWindowsDirectory(buffer, size);
}

void DecideRoute() {
    Facts.route = system32_path::Route::kAsWritten;
    UINT length = ReadSystemWindowsDirectory(Facts.windowsDirectory, sizeof Facts.windowsDirectory);
    if (length == 0 || length >= sizeof Facts.windowsDirectory) {
        Facts.windowsDirectory[0] = '\0';
        return;
    }
    auto isWow64 = FindKernelFunction<IsWow64ProcessFunction>("IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64 == nullptr || !isWow64(GetCurrentProcess(), &wow64)) wow64 = FALSE;
    char sysnative[MAX_PATH + 16];
    std::snprintf(sysnative, sizeof sysnative, "%s\\Sysnative", Facts.windowsDirectory);
    Facts.route = system32_path::ChooseRoute(wow64 != FALSE, FolderExists(sysnative));
    if (Facts.route == system32_path::Route::kRedirectionOff) {
        Facts.redirectionOff =
            FindKernelFunction<RedirectionOffFunction>("Wow64DisableWow64FsRedirection");
        Facts.redirectionBack =
            FindKernelFunction<RedirectionBackFunction>("Wow64RevertWow64FsRedirection");
        if (Facts.redirectionOff == nullptr || Facts.redirectionBack == nullptr) {
            Facts.route = system32_path::Route::kAsWritten;
        }
    }
}

void OpenNulDevice() {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    Facts.nulDevice =
        CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, OPEN_EXISTING, 0, nullptr);
    if (Facts.nulDevice == INVALID_HANDLE_VALUE) Facts.nulDevice = nullptr;
}

void FindHandleList() {
    Facts.initializeList =
        FindKernelFunction<InitializeListFunction>("InitializeProcThreadAttributeList");
    Facts.updateList = FindKernelFunction<UpdateListFunction>("UpdateProcThreadAttribute");
    Facts.deleteList = FindKernelFunction<DeleteListFunction>("DeleteProcThreadAttributeList");
    Facts.listBytes = 0;
    if (Facts.initializeList == nullptr || Facts.updateList == nullptr ||
        Facts.deleteList == nullptr) {
        return;
    }
    SIZE_T needed = 0;
    Facts.initializeList(nullptr, kAttributes, 0, &needed);  // fails, telling the size
    if (needed > 0 && needed <= kAttributeListBytes) Facts.listBytes = needed;
}

// Where Windows knows the job list, it takes one in a trial list: it
// refuses an attribute it does not know, whatever the handle.
void FindJobList() {
    Facts.isProcessInJob = FindKernelFunction<IsProcessInJobFunction>("IsProcessInJob");
    if (Facts.listBytes == 0 || Facts.isProcessInJob == nullptr) return;
    alignas(8) unsigned char buffer[kAttributeListBytes];
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer);
    SIZE_T size = Facts.listBytes;
    if (!Facts.initializeList(list, kAttributes, 0, &size)) return;
    HANDLE job = GetCurrentProcess();  // only its size is looked at here
    Facts.jobList =
        Facts.updateList(list, 0, kJobListAttribute, &job, sizeof job, nullptr, nullptr) != FALSE;
    Facts.deleteList(list);
}

// Without a list (before Vista), every inheritable handle of ours goes to
// every child. Ours are all made uninheritable but the standard handles our
// parent may have given us so: those stop being so here, on every version,
// so that a creation whose list can't be made leaks nothing either.
void KeepOwnHandlesFromChildren() {
    const DWORD kStandardHandles[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : kStandardHandles) {
        HANDLE handle = GetStdHandle(which);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
        }
    }
}

// The attribute list naming the NUL handle as the only one to inherit and,
// where Windows takes it, *job as the child's job object from its creation,
// in the caller's buffer. False when it could not be made.
bool MakeAttributeList(void* buffer, const HANDLE* job, LPPROC_THREAD_ATTRIBUTE_LIST* list,
                       bool* jobListed) {
    *list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer);
    *jobListed = false;
    SIZE_T size = Facts.listBytes;
    if (!Facts.initializeList(*list, kAttributes, 0, &size)) return false;
    // The list points at the handles, which must outlive it: Facts does,
    // and *job is the caller's until the creation is done.
    if (!Facts.updateList(*list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &Facts.nulDevice,
                          sizeof Facts.nulDevice, nullptr, nullptr)) {
        Facts.deleteList(*list);
        return false;
    }
    if (Facts.jobList && *job != nullptr) {
        *jobListed = Facts.updateList(*list, 0, kJobListAttribute, const_cast<HANDLE*>(job),
                                      sizeof *job, nullptr, nullptr) != FALSE;
    }
    return true;
}

// With redirection off, nothing may load a DLL: a load would look in the
// 64-bit System32 and fail. Between the switch and its reversal this thread
// calls only CreateProcessA, which kernel32 imports statically, and
// GetLastError: the switch's two functions were found at start, this
// executable delay-loads nothing, and the start-up record and the attribute
// list are complete before.
BOOL CreateProcessAtRoute(const char* programPath, char* commandLine, BOOL inherit, DWORD flags,
                          void* environment, const char* directory, STARTUPINFOA* startup,
                          PROCESS_INFORMATION* created, DWORD* error) {
    const char* application = programPath;
    char rewritten[MAX_PATH + 16];
    bool redirectionOff = false;
    PVOID redirection = nullptr;
    if (Facts.route == system32_path::Route::kThroughSysnative &&
        system32_path::RewriteToSysnative(programPath, Facts.windowsDirectory, rewritten,
                                          sizeof rewritten)) {
        application = rewritten;
    } else if (Facts.route == system32_path::Route::kRedirectionOff &&
               system32_path::IsUnderSystem32(programPath, Facts.windowsDirectory)) {
        // Where the switch fails, the child is created all the same.
        redirectionOff = Facts.redirectionOff(&redirection) != FALSE;
    }
    BOOL done = CreateProcessA(application, commandLine, nullptr, nullptr, inherit, flags,
                               environment, directory, startup, created);
    *error = done ? 0 : GetLastError();
    if (redirectionOff) Facts.redirectionBack(redirection);
    return done;
}

// Whether the runner runs in a job, and what that job lets its processes'
// children do: asked once, of the runner's own job.
void LearnRunnerJob() {
    // Jobs nest from Windows 8 on, which alone has this function: asked of
    // kernel32, not of a version number a compatibility mode may lower.
    bool nested = FindKernelFunction<FARPROC>("GetSystemTimePreciseAsFileTime") != nullptr;
    BOOL inJob = FALSE;
    if (Facts.isProcessInJob == nullptr ||
        !Facts.isProcessInJob(GetCurrentProcess(), nullptr, &inJob)) {
        inJob = FALSE;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    DWORD flags = 0;
    // A null handle names the job the caller is in.
    if (inJob && QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                           sizeof limits, nullptr)) {
        flags = limits.BasicLimitInformation.LimitFlags;
    }
    Facts.jobs =
        DecideChildJobs(nested, inJob != FALSE, (flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0,
                        (flags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0);
}

}  // namespace

bool PrepareChildCreation() {
    if (Facts.prepared) return Facts.jobs.own;
    Facts.prepared = true;
    DecideRoute();
    OpenNulDevice();
    FindHandleList();
    FindJobList();
    LearnRunnerJob();
    KeepOwnHandlesFromChildren();
    return Facts.jobs.own;
}

bool IsSystem32ProgramMissing(const char* programPath, uint32_t error) {
    return system32_path::IsMissingFromRealSystem32(Facts.route, programPath,
                                                    Facts.windowsDirectory, error);
}

namespace {

// One creation, with job in the attribute list where Windows takes it
// (*jobListed then says so).
BOOL CreateOnce(const char* programPath, char* commandLine, const char* workingDirectory,
                const uint16_t* environment, bool suspended, HANDLE job, bool ownJob,
                PROCESS_INFORMATION* created, DWORD* failure, bool* jobListed) {
    // Made on the worker's stack: concurrent creations share nothing but
    // what Facts holds, which none of them writes.
    alignas(8) unsigned char listBuffer[kAttributeListBytes];
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    *jobListed = false;
    bool hasList = Facts.listBytes != 0 && Facts.nulDevice != nullptr &&
                   MakeAttributeList(listBuffer, &job, &list, jobListed);
    // Out of the runner's job only into one of its own: without one, it
    // stays where the outer job's stop still reaches it.
    ChildStartPlan plan = PlanChildStart(suspended, Facts.nulDevice != nullptr, hasList,
                                         environment != nullptr, Facts.jobs.breakaway && ownJob);

    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = plan.handleList ? sizeof startup : sizeof startup.StartupInfo;
    if (plan.standardHandlesNul) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = Facts.nulDevice;
        startup.StartupInfo.hStdOutput = Facts.nulDevice;
        startup.StartupInfo.hStdError = Facts.nulDevice;
    }
    if (plan.handleList) startup.lpAttributeList = list;
    // The block is only read: its copy is the child's.
    void* block = const_cast<uint16_t*>(environment);
    BOOL done = CreateProcessAtRoute(programPath, commandLine, plan.inheritHandles ? TRUE : FALSE,
                                     plan.creationFlags, block, workingDirectory,
                                     &startup.StartupInfo, created, failure);
    if (list != nullptr) Facts.deleteList(list);
    return done;
}

}  // namespace

bool CreateChild(const char* programPath, char* commandLine, const char* workingDirectory,
                 const uint16_t* environment, bool suspended, void* jobObject, ChildProcess* child,
                 uint32_t* error) {
    PROCESS_INFORMATION created = {};
    DWORD failure = 0;
    bool jobListed = false;
    HANDLE listed = JobListRefused.load() ? nullptr : jobObject;
    BOOL done = CreateOnce(programPath, commandLine, workingDirectory, environment, suspended,
                           listed, jobObject != nullptr, &created, &failure, &jobListed);
    // A child that can't join the job (the runner's own job forbids it) is
    // not created at all: created without, it runs as on older Windows.
    if (!done && jobListed && failure == ERROR_ACCESS_DENIED) {
        done = CreateOnce(programPath, commandLine, workingDirectory, environment, suspended,
                          nullptr, true, &created, &failure, &jobListed);
        if (done) JobListRefused.store(true);
    }
    if (!done) {
        *error = failure;
        *child = ChildProcess{};
        return false;
    }
    *child = ChildProcess{created.hProcess, created.hThread, nullptr, created.dwProcessId,
                          created.dwThreadId};
    // Asked, not assumed: a system that took the list and ignored it, or
    // can't tell, leaves the job to be joined afterwards, which a child in
    // it already takes as done.
    BOOL inJob = FALSE;
    if (jobListed && Facts.isProcessInJob(created.hProcess, jobObject, &inJob) && inJob) {
        child->jobObject = jobObject;
    }
    return true;
}

bool ResumeChild(const ChildProcess& child, uint32_t* error) {
    if (ResumeThread(child.thread) != static_cast<DWORD>(-1)) return true;
    *error = GetLastError();
    return false;
}

void WaitForChild(const ChildProcess& child) { WaitForSingleObject(child.process, INFINITE); }

bool HasChildEnded(const ChildProcess& child) {
    return WaitForSingleObject(child.process, 0) == WAIT_OBJECT_0;
}

uint32_t ChildExitCode(const ChildProcess& child) {
    DWORD code = 0;
    GetExitCodeProcess(child.process, &code);
    return code;
}

void TerminateChild(const ChildProcess& child, uint32_t exitCode) {
    TerminateProcess(child.process, exitCode);
}

void ReleaseChild(ChildProcess* child) {
    CloseHandle(child->thread);
    CloseHandle(child->process);
    if (child->jobObject != nullptr) {
        // Only the runner's own end ends what a run left running.
        KeepJobProcessesAtClose(child->jobObject);
        CloseHandle(child->jobObject);
    }
    *child = ChildProcess{};
}

// The runner without job objects, for the benchmarks: every run goes the
// way of a platform that refuses a job, so the two can be compared.
#include "platform/process.h"

void* CreateRunJobObject() { return nullptr; }
bool AddChildToJobObject(void*, const ChildProcess&) { return false; }
void TerminateRunJobObject(void*, uint32_t) {}
void ReleaseJobObject(void*) {}
void KeepJobProcessesAtClose(void*) {}

// The runner without job objects, for the benchmarks: every run goes the
// way of a platform that refuses a job, so the two can be compared.
#include "platform/process.h"

void* CreateRunJob() { return nullptr; }
bool AddChildToJob(void*, const ChildProcess&) { return false; }
void TerminateJob(void*, uint32_t) {}
void ReleaseJob(void*) {}

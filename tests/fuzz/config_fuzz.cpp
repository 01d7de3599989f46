// Feeds arbitrary bytes to the configuration reader, as cycle_launch.txt.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jobs/config.h"
#include "jobs/job_table.h"
#include "tests/fake_platform/fake_platform.h"

namespace {

std::string Folder() {
    static std::string folder = [] {
        char pattern[] = "/tmp/cycle_launch_fuzz_XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        return std::string(pattern);
    }();
    return folder;
}

JobTable Table;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file = Folder() + "/cycle_launch.txt";
    std::FILE* config = std::fopen(file.c_str(), "wb");
    std::fwrite(data, 1, size, config);
    std::fclose(config);

    fake::Options options;
    options.configDirectory = Folder();
    fake::Reset(options);
    ResetJobTable();
    int32_t count = LoadJobTable(&Table);
    if (count < 0 || count > kMaxJobs) std::abort();
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        if (std::memchr(JobCommand[i], '\0', kTextSize) == nullptr) std::abort();
        if (i >= count && JobCommand[i][0] != '\0') std::abort();
    }
    return 0;
}

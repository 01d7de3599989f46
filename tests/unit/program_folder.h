// A real temporary folder standing for the program's, where the tests write
// cycle_launch.txt; the fake platform makes it current for the loader.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/engine/job_table.h"
#include "jobs/report/journal.h"
#include "jobs/report/warnings.h"
#include "tests/fake_platform/fake_platform.h"

class ProgramFolderTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cycle_launch_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        options_.configDirectory = directory_;
        ResetJobTable();
        StopFlag.store(0);
        // The foreground's role asks the fake whether its desktop is seen.
        fake::Reset(options_);
        SetWarningRole(WarningRole::kForeground);
    }
    void TearDown() override {
        CloseJournal();
        fake::Finish();
        SetWarningRole(WarningRole::kForeground);
        std::filesystem::remove_all(directory_);
    }
    void WriteConfig(const std::string& bytes) {
        std::FILE* file = std::fopen(ConfigPath().c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    std::string ConfigPath() const { return directory_ + "/cycle_launch.txt"; }
    // The foreground journal's records, each as its eight fields.
    std::vector<std::vector<std::string>> JournalRecords() const {
        std::ifstream in(directory_ + "/cycle_launch.foreground.log", std::ios::binary);
        std::vector<std::vector<std::string>> records;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::vector<std::string> fields;
            std::string field;
            std::istringstream split(line + "\t");
            while (std::getline(split, field, '\t')) fields.push_back(field);
            if (fields.size() == 8) records.push_back(fields);
        }
        return records;
    }

    std::string directory_;
    fake::Options options_;
};

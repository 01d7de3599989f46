#include "jobs/reload.h"

#include <algorithm>
#include <cstring>

#include "jobs/command.h"

namespace {

constexpr int32_t kNone = -1;

// Scratch of one decision, on the scheduler's thread alone.
int32_t OldOrder[kMaxJobs];  // rows in use: active by line, then retired by row
int32_t OldMatch[kMaxJobs];  // by row: the new job, or kNone
int32_t NewMatch[kMaxJobs];  // by new job: the row, or kNone
bool NewEdited[kMaxJobs];
char OldProgram[kMaxJobs][kTextSize];
char NewProgram[kMaxJobs][kTextSize];

// The program a command runs, folded to lower case as Windows compares
// paths: C:\Tools\bk.exe and c:\tools\bk.exe are one program.
void ProgramOf(const char* command, char* program) {
    char commandLine[kTextSize];
    SplitCommand(command, program, commandLine);
    for (char* c = program; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');
    }
}

int32_t SortOldRows(const JobInForce* rows) {
    int32_t count = 0;
    for (int32_t row = 0; row < kMaxJobs; ++row) {
        if (rows[row].inUse) OldOrder[count++] = row;
    }
    // By line, retired rows last, then by row: an order of its own, so that
    // no sort that needs memory of its own is wanted.
    std::sort(OldOrder, OldOrder + count, [rows](int32_t a, int32_t b) {
        if (rows[a].retired != rows[b].retired) return !rows[a].retired;
        if (!rows[a].retired && rows[a].line != rows[b].line) return rows[a].line < rows[b].line;
        return a < b;
    });
    return count;
}

// The n-th time a command stands in the new version is the n-th time it
// stands in force: taking the first free one in line order pairs them so.
void MatchByCommand(const JobInForce* rows, int32_t oldCount, const JobVersion& version) {
    for (int32_t job = 0; job < version.count; ++job) {
        for (int32_t i = 0; i < oldCount; ++i) {
            int32_t row = OldOrder[i];
            if (OldMatch[row] != kNone) continue;
            if (std::strcmp(rows[row].command, version.jobs[job].command) != 0) continue;
            OldMatch[row] = job;
            NewMatch[job] = row;
            break;
        }
    }
}

// Among what is left: one program on each side is one job edited; a program
// that several jobs run pairs only where the line number stayed.
void MatchInPlace(const JobInForce* rows, int32_t oldCount, const JobVersion& version) {
    for (int32_t i = 0; i < oldCount; ++i) {
        int32_t row = OldOrder[i];
        if (OldMatch[row] == kNone && !rows[row].retired) ProgramOf(rows[row].command, OldProgram[row]);
    }
    for (int32_t job = 0; job < version.count; ++job) {
        if (NewMatch[job] == kNone) ProgramOf(version.jobs[job].command, NewProgram[job]);
    }
    // Counted before any pairing of this pass, so that the order of pairing
    // changes nothing.
    static int32_t oldSame[kMaxJobs];
    static int32_t newSame[kMaxJobs];
    static int32_t onlyOld[kMaxJobs];
    for (int32_t job = 0; job < version.count; ++job) {
        oldSame[job] = newSame[job] = 0;
        onlyOld[job] = kNone;
        if (NewMatch[job] != kNone) continue;
        for (int32_t i = 0; i < oldCount; ++i) {
            int32_t row = OldOrder[i];
            if (OldMatch[row] != kNone || rows[row].retired) continue;
            if (std::strcmp(OldProgram[row], NewProgram[job]) != 0) continue;
            ++oldSame[job];
            onlyOld[job] = row;
        }
        for (int32_t other = 0; other < version.count; ++other) {
            if (NewMatch[other] == kNone && std::strcmp(NewProgram[other], NewProgram[job]) == 0) {
                ++newSame[job];
            }
        }
    }
    for (int32_t job = 0; job < version.count; ++job) {
        if (NewMatch[job] != kNone || oldSame[job] == 0) continue;
        int32_t partner = kNone;
        if (oldSame[job] == 1 && newSame[job] == 1) {
            partner = onlyOld[job];
        } else {
            for (int32_t i = 0; i < oldCount && partner == kNone; ++i) {
                int32_t row = OldOrder[i];
                if (OldMatch[row] != kNone || rows[row].retired) continue;
                if (rows[row].line == version.jobs[job].line &&
                    std::strcmp(OldProgram[row], NewProgram[job]) == 0) {
                    partner = row;
                }
            }
        }
        if (partner == kNone) continue;
        OldMatch[partner] = job;
        NewMatch[job] = partner;
        NewEdited[job] = true;
    }
}

void AddChange(ReloadPlan* plan, ReloadAction action, int32_t row, int32_t newJob) {
    plan->changes[plan->changeCount++] = ReloadChange{action, row, newJob};
    ++plan->counts[static_cast<int>(action)];
}

}  // namespace

void DecideReload(const JobInForce* rows, const JobVersion& version, ReloadPlan* plan) {
    plan->verdict = ReloadVerdict::kApply;
    plan->rowsNeeded = 0;
    plan->changeCount = 0;
    for (int32_t& count : plan->counts) count = 0;
    if (version.formatErrors.count > 0) {
        plan->verdict = ReloadVerdict::kFormatErrors;
        return;
    }
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        OldMatch[i] = NewMatch[i] = kNone;
        NewEdited[i] = false;
    }
    int32_t oldCount = SortOldRows(rows);
    MatchByCommand(rows, oldCount, version);
    MatchInPlace(rows, oldCount, version);

    // Rows that stay taken: every match, and every run that goes on.
    static bool taken[kMaxJobs];
    int32_t takenCount = 0;
    int32_t addedCount = 0;
    for (int32_t row = 0; row < kMaxJobs; ++row) {
        taken[row] = rows[row].inUse && (OldMatch[row] != kNone || rows[row].running);
        if (taken[row]) ++takenCount;
    }
    for (int32_t job = 0; job < version.count; ++job) {
        if (NewMatch[job] == kNone) ++addedCount;
    }
    if (version.tooManyJobs || takenCount + addedCount > kMaxJobs) {
        plan->verdict = ReloadVerdict::kTooManyRows;
        plan->rowsNeeded = takenCount + addedCount + version.jobsPastTheLimit;
        return;
    }

    int32_t nextFree = 0;
    for (int32_t job = 0; job < version.count; ++job) {
        int32_t row = NewMatch[job];
        if (row == kNone) {
            while (taken[nextFree]) ++nextFree;
            taken[nextFree] = true;
            AddChange(plan, ReloadAction::kAdded, nextFree, job);
        } else if (rows[row].retired) {
            AddChange(plan, ReloadAction::kAdded, row, job);
        } else if (NewEdited[job]) {
            AddChange(plan, ReloadAction::kEdited, row, job);
        } else if (rows[row].interval != version.jobs[job].interval) {
            AddChange(plan, ReloadAction::kInterval, row, job);
        } else {
            AddChange(plan, ReloadAction::kUnchanged, row, job);
        }
    }
    for (int32_t i = 0; i < oldCount; ++i) {
        int32_t row = OldOrder[i];
        if (OldMatch[row] == kNone && !rows[row].retired) {
            AddChange(plan, ReloadAction::kRetired, row, kNone);
        }
    }
}

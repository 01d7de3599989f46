#include "jobs/config/reload.h"

#include <algorithm>
#include <cstring>

#include "jobs/config/command.h"

namespace {

constexpr int32_t kNone = -1;

// Scratch of one decision, on the scheduler's thread alone.
int32_t OldOrder[kMaxJobs];  // rows in use: active by line, then retired by row
int32_t OldMatch[kMaxJobs];  // by row: the new job, or kNone
int32_t NewMatch[kMaxJobs];  // by new job: the row, or kNone
bool NewEdited[kMaxJobs];
bool NewByRun[kMaxJobs];  // matched by the command of a run going on
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

// An edit waits for this row's run, which runs another command.
bool EditWaits(const JobInForce& row) {
    return row.runs != nullptr && !SameCommand(row.runs, row.command);
}

// The n-th time a command stands in the new version is the n-th time it
// stands in force: taking the first free one in line order pairs them so.
// First the runs an edit waits for, by the command each runs: that command
// put back is that run's job, not a new one beside it.
void MatchByCommand(const JobInForce* rows, int32_t oldCount, const JobVersion& version) {
    for (int32_t job = 0; job < version.count; ++job) {
        for (int32_t i = 0; i < oldCount; ++i) {
            int32_t row = OldOrder[i];
            if (OldMatch[row] != kNone || !EditWaits(rows[row])) continue;
            if (!SameCommand(rows[row].runs, version.jobs[job].command)) continue;
            OldMatch[row] = job;
            NewMatch[job] = row;
            NewByRun[job] = true;
            break;
        }
    }
    for (int32_t job = 0; job < version.count; ++job) {
        if (NewMatch[job] != kNone) continue;
        for (int32_t i = 0; i < oldCount; ++i) {
            int32_t row = OldOrder[i];
            if (OldMatch[row] != kNone) continue;
            if (!SameCommand(rows[row].command, version.jobs[job].command)) continue;
            OldMatch[row] = job;
            NewMatch[job] = row;
            break;
        }
    }
}

constexpr int32_t kMaxWords = static_cast<int32_t>(kTextSize / 2);

// The argument words of a command: what follows its program path, cut at
// spaces and tabs.
int32_t ArgumentWords(const char* command, size_t pathLength, const char** words,
                      int32_t* lengths) {
    int32_t count = 0;
    const char* c = command + pathLength;
    while (*c != '\0' && count < kMaxWords) {
        while (*c == ' ' || *c == '\t') ++c;
        if (*c == '\0') break;
        const char* word = c;
        while (*c != '\0' && *c != ' ' && *c != '\t') ++c;
        words[count] = word;
        lengths[count] = static_cast<int32_t>(c - word);
        ++count;
    }
    return count;
}

// How many argument words two commands of one program have in common, each
// word counted as often as both have it.
int32_t WordsInCommon(const char* oldCommand, const char* newCommand, size_t pathLength) {
    const char* oldWords[kMaxWords];
    int32_t oldLengths[kMaxWords];
    const char* newWords[kMaxWords];
    int32_t newLengths[kMaxWords];
    bool used[kMaxWords] = {};
    int32_t oldCount = ArgumentWords(oldCommand, pathLength, oldWords, oldLengths);
    int32_t newCount = ArgumentWords(newCommand, pathLength, newWords, newLengths);
    int32_t common = 0;
    for (int32_t n = 0; n < newCount; ++n) {
        for (int32_t o = 0; o < oldCount; ++o) {
            if (used[o] || oldLengths[o] != newLengths[n]) continue;
            if (std::memcmp(oldWords[o], newWords[n], static_cast<size_t>(newLengths[n])) != 0)
                continue;
            used[o] = true;
            ++common;
            break;
        }
    }
    return common;
}

// The best old row for one new job so far.
struct Pairing {
    int32_t row;  // kNone: none left
    int32_t common;
    int32_t distance;
};

// More words in common first, then the nearer line.
bool Better(const Pairing& a, const Pairing& b) {
    if (b.row == kNone) return a.row != kNone;
    if (a.row == kNone) return false;
    if (a.common != b.common) return a.common > b.common;
    return a.distance < b.distance;
}

// Among what is left, old rows (retired ones whose run goes on included)
// and new jobs of one program pair by the most argument words in common;
// a tie goes to the nearer line, then to the earlier one. A pair with no
// word in common forms only where the program has one old row and one new
// job left: one job edited.
void MatchByWords(const JobInForce* rows, int32_t oldCount, const JobVersion& version) {
    for (int32_t i = 0; i < oldCount; ++i) {
        int32_t row = OldOrder[i];
        if (OldMatch[row] == kNone) ProgramOf(rows[row].command, OldProgram[row]);
    }
    for (int32_t job = 0; job < version.count; ++job) {
        if (NewMatch[job] == kNone) ProgramOf(version.jobs[job].command, NewProgram[job]);
    }
    // Counted before any pairing, so that the order of pairing changes nothing.
    static bool onlyPair[kMaxJobs];
    for (int32_t job = 0; job < version.count; ++job) {
        onlyPair[job] = false;
        if (NewMatch[job] != kNone) continue;
        int32_t oldSame = 0;
        int32_t newSame = 0;
        for (int32_t i = 0; i < oldCount; ++i) {
            int32_t row = OldOrder[i];
            if (OldMatch[row] == kNone && std::strcmp(OldProgram[row], NewProgram[job]) == 0)
                ++oldSame;
        }
        for (int32_t other = 0; other < version.count; ++other) {
            if (NewMatch[other] == kNone && std::strcmp(NewProgram[other], NewProgram[job]) == 0)
                ++newSame;
        }
        onlyPair[job] = oldSame == 1 && newSame == 1;
    }
    // Each new job's best row, found again only once another job took it:
    // the pairs are taken best first.
    static Pairing best[kMaxJobs];
    static bool known[kMaxJobs];
    for (int32_t job = 0; job < version.count; ++job) known[job] = false;
    for (;;) {
        int32_t chosen = kNone;
        for (int32_t job = 0; job < version.count; ++job) {
            if (NewMatch[job] != kNone) continue;
            if (!known[job]) {
                const VersionJob& newJob = version.jobs[job];
                best[job] = Pairing{kNone, 0, 0};
                size_t pathLength = std::strlen(NewProgram[job]);
                for (int32_t i = 0; i < oldCount; ++i) {
                    int32_t row = OldOrder[i];
                    if (OldMatch[row] != kNone ||
                        std::strcmp(OldProgram[row], NewProgram[job]) != 0)
                        continue;
                    int32_t common = WordsInCommon(rows[row].command, newJob.command, pathLength);
                    if (common == 0 && !onlyPair[job]) continue;
                    int32_t distance = rows[row].line - newJob.line;
                    Pairing candidate{row, common, distance < 0 ? -distance : distance};
                    if (Better(candidate, best[job])) best[job] = candidate;
                }
                known[job] = true;
            }
            if (chosen == kNone ? best[job].row != kNone : Better(best[job], best[chosen]))
                chosen = job;
        }
        if (chosen == kNone) return;
        int32_t row = best[chosen].row;
        OldMatch[row] = chosen;
        NewMatch[chosen] = row;
        NewEdited[chosen] = true;
        for (int32_t job = 0; job < version.count; ++job) {
            if (known[job] && best[job].row == row) known[job] = false;
        }
    }
}

void AddChange(ReloadPlan* plan, ReloadAction action, int32_t row, int32_t newJob) {
    plan->changes[plan->changeCount++] = ReloadChange{action, row, newJob};
    ++plan->counts[static_cast<int>(action)];
}

}  // namespace

// ASCII folding, as ProgramOf: the same answer on every machine and for
// every code page the file may be in.
bool SameCommand(const char* oldCommand, const char* newCommand) {
    char oldProgram[kTextSize];
    char newProgram[kTextSize];
    ProgramOf(oldCommand, oldProgram);
    ProgramOf(newCommand, newProgram);
    if (std::strcmp(oldProgram, newProgram) != 0) return false;
    // The path is the start of the command: the rest is taken as written.
    size_t pathLength = std::strlen(oldProgram);
    return std::strcmp(oldCommand + pathLength, newCommand + pathLength) == 0;
}

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
        NewEdited[i] = NewByRun[i] = false;
    }
    int32_t oldCount = SortOldRows(rows);
    MatchByCommand(rows, oldCount, version);
    MatchByWords(rows, oldCount, version);

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
        } else if (NewByRun[job]) {
            AddChange(plan, ReloadAction::kEditCancelled, row, job);
        } else if (NewEdited[job]) {
            // A retired row taken up by an edit waits for its run as any edit.
            AddChange(plan, ReloadAction::kEdited, row, job);
        } else if (rows[row].retired) {
            AddChange(plan, ReloadAction::kAdded, row, job);
        } else if (rows[row].interval != version.jobs[job].interval ||
                   rows[row].limit != version.jobs[job].limit) {
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

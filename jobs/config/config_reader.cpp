#include "jobs/config/config_reader.h"

#include <atomic>
#include <cstdio>

#include "jobs/config/config.h"
#include "jobs/config/config_file.h"
#include "jobs/report/journal.h"
#include "jobs/report/texts.h"
#include "jobs/report/warnings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/threads.h"

namespace {

// Who may touch the version: the reader while free, the scheduler while
// ready or taken, the reader again once judged.
enum SlotState : int32_t { kSlotFree, kSlotReady, kSlotTaken, kSlotJudged };

ReadVersion Slot;
std::atomic<int32_t> SlotHolder{kSlotFree};
std::atomic<int32_t> Verdict{0};
std::atomic<int32_t> AskedByManager{0};
std::atomic<int32_t> Quit{0};

// What the reads have seen of the file; the reader's alone.
struct FileWatch {
    uint64_t appliedHash;
    bool hasCandidate;
    uint64_t candidateHash;
    bool hasRejected;  // told once; the same bytes again are not told again
    uint64_t rejectedHash;
    bool rejectedForRows;  // ...but decided again: rows free up
    bool held;             // another program holds the file open...
    uint64_t heldSinceMs;  // ...since the first read that found it so
    bool heldTold;
};

// An editor's save holds the file for a moment; a program that keeps it
// open for writing could write to it whatever its permissions say.
constexpr uint64_t kHeldOpenTellMilliseconds = 60 * 1000;
FileWatch Watch;

void TakeVerdict() {
    if (SlotHolder.load() != kSlotJudged) return;
    switch (static_cast<VersionVerdict>(Verdict.load())) {
    case VersionVerdict::kApplied:
        Watch.appliedHash = Slot.hash;
        Watch.hasCandidate = false;
        break;
    case VersionVerdict::kRejected:
    case VersionVerdict::kRejectedForRows:
        Watch.hasRejected = true;
        Watch.rejectedHash = Slot.hash;
        Watch.rejectedForRows =
            static_cast<VersionVerdict>(Verdict.load()) == VersionVerdict::kRejectedForRows;
        break;
    }
    SlotHolder.store(kSlotFree);
}

void JournalUnreadable(uint32_t error) {
    char message[kTextSize];
    DescribeSystemError(error, message, sizeof message);
    char text[2 * kTextSize];
    std::snprintf(text, sizeof text, texts::kReloadUnreadableFormat,
                  static_cast<unsigned long>(error), message);
    JournalReload(0, 0, text);
}

void ReadOnce(bool asked) {
    const char* bytes = nullptr;
    size_t length = 0;
    uint32_t error = 0;
    bool read = ReadConfigOnce(&bytes, &length, &error);
    if (read || error != kErrorSharingViolation) {
        Watch.held = false;
        Watch.heldTold = false;
    } else if (!Watch.held) {
        Watch.held = true;
        Watch.heldSinceMs = MonotonicMilliseconds();
    } else if (!Watch.heldTold &&
               MonotonicMilliseconds() - Watch.heldSinceMs >= kHeldOpenTellMilliseconds) {
        Watch.heldTold = true;
        RaiseReloadRejected(texts::kReloadHeldOpen);
        JournalReload(0, 0, texts::kReloadHeldOpen);
    }
    if (!read) {
        Watch.hasCandidate = false;
        if (asked) JournalUnreadable(error);
        return;
    }
    if (length == 0) {
        Watch.hasCandidate = false;
        if (asked) JournalReload(0, 0, texts::kReloadEmpty);
        return;
    }
    uint64_t hash = HashConfigBytes(bytes, length);
    bool known = hash == Watch.appliedHash ||
                 (Watch.hasRejected && hash == Watch.rejectedHash && !Watch.rejectedForRows);
    if (known) {
        // Two reads alike in a row means two in a row, nothing between.
        Watch.hasCandidate = false;
        if (asked) JournalReload(0, 0, texts::kReloadNothingNew);
        return;
    }
    bool steady = Watch.hasCandidate && Watch.candidateHash == hash;
    Watch.hasCandidate = true;
    Watch.candidateHash = hash;
    if (!steady && !asked) return;
    ParseJobVersion(bytes, length, &Slot.version);
    if (Slot.version.count == 0 && Slot.version.formatErrors.count == 0) {
        // No job at all (a mark, blank lines): as an empty file, not ready.
        Watch.hasCandidate = false;
        if (asked) JournalReload(0, 0, texts::kReloadEmpty);
        return;
    }
    Slot.hash = hash;
    Slot.asked = asked;
    Slot.tellRejection = asked || !Watch.hasRejected || Watch.rejectedHash != hash;
    SlotHolder.store(kSlotReady);
}

void ReaderBody(int32_t) {
    for (;;) {
        WaitForConfigReadRequest();
        if (Quit.load() != 0) return;
        TakeVerdict();
        bool asked = AskedByManager.exchange(0) != 0;
        if (SlotHolder.load() != kSlotFree) {
            // The last version is not judged yet: a request waits for the next call.
            if (asked) AskedByManager.store(1);
            continue;
        }
        ReadOnce(asked);
    }
}

}  // namespace

bool StartConfigReader(uint64_t appliedHash) {
    Watch = FileWatch{appliedHash, false, 0, false, 0, false, false, 0, false};
    SlotHolder.store(kSlotFree);
    AskedByManager.store(0);
    Quit.store(0);
    return StartThread(ReaderBody, 0);
}

void AskConfigRead(bool asked) {
    if (asked) AskedByManager.store(1);
    WakeConfigReader();
}

const ReadVersion* TakeReadVersion() {
    int32_t ready = kSlotReady;
    if (!SlotHolder.compare_exchange_strong(ready, kSlotTaken)) return nullptr;
    return &Slot;
}

void ReturnReadVersion(VersionVerdict verdict) {
    Verdict.store(static_cast<int32_t>(verdict));
    SlotHolder.store(kSlotJudged);
}

void StopConfigReader() {
    Quit.store(1);
    WakeConfigReader();
}

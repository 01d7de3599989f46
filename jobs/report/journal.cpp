#include "jobs/report/journal.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "jobs/program_folder.h"
#include "jobs/report/bounded_text.h"
#include "jobs/report/texts.h"
#include "jobs/report/warnings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/journal_file.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace {

enum class JournalEvent : uint8_t {
    kRunner,
    kStart,
    kEnd,
    kFail,
    kRetry,
    kKill,
    kLost,
    kReload,
    kLimit,
};
static_assert(sizeof texts::kJournalEvents / sizeof texts::kJournalEvents[0] ==
                  static_cast<size_t>(JournalEvent::kLimit) + 1,
              "a name for every event");

// Room for an edit's old and new command.
constexpr size_t kRecordText = 640;
constexpr int32_t kBatchRecords = 16;
// Ample for one batch: a record's text at most doubles when quoted, and
// each of its characters takes at most three bytes in UTF-8.
constexpr size_t kRecordBytes = 64 + 6 * (kRecordText + kTextSize);
constexpr size_t kOutputSize = (kBatchRecords + 4) * kRecordBytes;
// How often the writer tries again after a failure, with nothing new queued.
constexpr uint32_t kRetryMs = 1000;
// After a roll that failed, how much the file grows before the next try.
constexpr uint64_t kRollRetryBytes = 1024u * 1024u;
// A tail without a line end is searched back in pieces of this size.
constexpr size_t kScanChunkBytes = 4096;
// A copy left by a roll is compared with the live file in pieces of this size.
constexpr size_t kCompareChunkBytes = 16384;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr uint32_t kHexFrom = 0x80000000u;
// Kept for the runner's own records, so that a queue full of the jobs'
// records still takes the stop's last word.
constexpr int32_t kRunnerReserve = 4;

struct Record {
    LocalTime time;
    JournalEvent event;
    int32_t line;  // 0: none
    int32_t run;   // 0: none
    uint32_t pid;  // 0: none
    bool hasResult;
    bool resultIsError;  // a system error, whose message follows the text
    uint32_t result;
    bool hasMs;
    uint64_t ms;
    char text[kRecordText];
    const char* afterMessage;  // a fixed text after the system's message, or null
};

// --- The queue: records in from any thread, out to the writer ------------
Record Queue[kJournalQueueRecords];
int32_t QueueHead;
int32_t QueueCount;
uint32_t DroppedWhileFull;  // under the journal lock
std::atomic<bool> Accepting{false};
std::atomic<bool> Closing{false};
std::atomic<int32_t> RunCounter{0};

void Enqueue(const Record& record) {
    if (!Accepting.load()) return;
    int32_t room =
        kJournalQueueRecords - (record.event == JournalEvent::kRunner ? 0 : kRunnerReserve);
    EnterJournalLock();
    if (QueueCount >= room) {
        ++DroppedWhileFull;
    } else {
        Queue[(QueueHead + QueueCount) % kJournalQueueRecords] = record;
        ++QueueCount;
    }
    LeaveJournalLock();
    WakeJournalWriter();
}

Record NewRecord(JournalEvent event, int32_t line, int32_t run, uint32_t pid) {
    Record record = {};
    record.time = ReadLocalTime();
    record.event = event;
    record.line = line;
    record.run = run;
    record.pid = pid;
    return record;
}

// --- The writer's own state ----------------------------------------------
JournalRole Role = JournalRole::kForeground;
char LivePath[kTextSize];
char OlderPaths[kJournalOlderFiles + 1][kTextSize];  // [1] is .1.log
char RollingPath[kTextSize];
void* File;
bool UncleanEnd;         // the last runner's journal lacks its stop record
bool HalfLine;           // ...and ends in the middle of a line that could not be cut
uint64_t RollRetryFrom;  // after a roll that failed, the size to try again at
Record Batch[kBatchRecords];
char Output[kOutputSize];

// Records counted but not written, by reason, until a write works again.
struct Lost {
    uint32_t queueFull;
    uint32_t writeFailed;
    uint32_t writeError;
    uint32_t deleted;
} Pending;

size_t HeaderLength() { return std::strlen(kByteOrderMark) + std::strlen(texts::kJournalHeader); }

size_t FormatRecord(const Record& record, char* out, size_t size) {
    const LocalTime& t = record.time;
    int32_t offset = t.utcOffsetMinutes < 0 ? -t.utcOffsetMinutes : t.utcOffsetMinutes;
    size_t at = 0;
    AppendFormat(out, size, &at, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d\t%s\t", t.year,
                 t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                 t.utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60,
                 texts::kJournalEvents[static_cast<int>(record.event)]);
    if (record.line > 0) AppendFormat(out, size, &at, "%ld", static_cast<long>(record.line));
    AppendFormat(out, size, &at, "\t");
    if (record.run > 0) AppendFormat(out, size, &at, "%ld", static_cast<long>(record.run));
    AppendFormat(out, size, &at, "\t");
    if (record.pid > 0) AppendFormat(out, size, &at, "%lu", static_cast<unsigned long>(record.pid));
    AppendFormat(out, size, &at, "\t");
    if (record.hasResult) {
        AppendFormat(out, size, &at, "%lu", static_cast<unsigned long>(record.result));
        // An exit code that is an NTSTATUS reads best in hex: 0xC0000005.
        if (!record.resultIsError && record.result >= kHexFrom) {
            AppendFormat(out, size, &at, " (0x%08lX)", static_cast<unsigned long>(record.result));
        }
    }
    AppendFormat(out, size, &at, "\t");
    if (record.hasMs)
        AppendFormat(out, size, &at, "%llu", static_cast<unsigned long long>(record.ms));
    AppendFormat(out, size, &at, "\t");

    static char ansi[kRecordText + kTextSize + sizeof texts::kSystem32MissingNote + 8];
    static char utf8[3 * sizeof ansi];
    static char quoted[2 * sizeof utf8];
    std::snprintf(ansi, sizeof ansi, "%s", record.text);
    if (record.resultIsError) {
        char message[kTextSize];
        DescribeSystemError(record.result, message, sizeof message);
        size_t length = std::strlen(ansi);
        std::snprintf(ansi + length, sizeof ansi - length, ": %s", message);
    }
    if (record.afterMessage != nullptr) {
        size_t length = std::strlen(ansi);
        std::snprintf(ansi + length, sizeof ansi - length, "%s", record.afterMessage);
    }
    ConvertAnsiToUtf8(ansi, utf8, sizeof utf8);
    QuoteJournalText(utf8, quoted, sizeof quoted);
    AppendFormat(out, size, &at, "%s\r\n", quoted);
    return at;
}

// A lost record for each reason with a count, into Output at at.
size_t FormatLost(const Lost& lost, size_t at) {
    char message[kTextSize];
    Record record = NewRecord(JournalEvent::kLost, 0, 0, 0);
    if (lost.queueFull > 0) {
        std::snprintf(record.text, sizeof record.text, texts::kLostQueueFullFormat,
                      static_cast<unsigned long>(lost.queueFull));
        at += FormatRecord(record, Output + at, sizeof Output - at);
    }
    if (lost.writeFailed > 0) {
        DescribeSystemError(lost.writeError, message, sizeof message);
        std::snprintf(record.text, sizeof record.text, texts::kLostWriteFormat,
                      static_cast<unsigned long>(lost.writeFailed),
                      static_cast<unsigned long>(lost.writeError), message);
        at += FormatRecord(record, Output + at, sizeof Output - at);
    }
    if (lost.deleted > 0) {
        std::snprintf(record.text, sizeof record.text, texts::kLostDeletedFormat,
                      static_cast<unsigned long>(lost.deleted));
        at += FormatRecord(record, Output + at, sizeof Output - at);
    }
    return at;
}

bool HasLost() { return Pending.queueFull + Pending.writeFailed + Pending.deleted > 0; }

void Reopen() {
    if (File != nullptr) CloseJournalFile(File);
    uint32_t error = 0;
    File = OpenJournalFile(LivePath, &error);
    if (File == nullptr) Pending.writeError = error;
}

// Frees a name for the next older file: the older files move up one, the
// oldest goes. A file only ever moves to a free name, so nothing is written
// over. One that a reader holds stays where it is and the others move
// around it; while it is held, the numbers may not follow the files' age.
// The freed name's number, 0 when none could be freed.
int32_t FreeOlderName() {
    int32_t free = 1;
    while (free <= kJournalOlderFiles && JournalFileExists(OlderPaths[free])) ++free;
    // All taken: the oldest that can go, goes.
    for (int32_t i = kJournalOlderFiles; free > kJournalOlderFiles && i >= 1; --i) {
        if (DeleteJournalFile(OlderPaths[i])) free = i;
    }
    if (free > kJournalOlderFiles) return 0;
    for (int32_t i = free - 1; i >= 1; --i) {
        if (MoveJournalFile(OlderPaths[i], OlderPaths[free])) free = i;
    }
    return free;
}

bool PlaceRollingCopy() {
    int32_t free = FreeOlderName();
    return free > 0 && MoveJournalFile(RollingPath, OlderPaths[free]);
}

// True when the live file still begins with the copy's records: the copy's
// bytes after the header are the first of the live file's. False also when
// either can't be read to the end of the copy.
bool LiveBeginsWithCopy(void* copy) {
    static char copyChunk[kCompareChunkBytes];
    static char liveChunk[kCompareChunkBytes];
    uint64_t copySize = 0;
    uint64_t liveSize = 0;
    uint32_t error = 0;
    if (!JournalFileSize(copy, &copySize, &error) || !JournalFileSize(File, &liveSize, &error)) {
        return false;
    }
    if (copySize <= HeaderLength()) return true;  // no records to lose
    if (liveSize < copySize) return false;
    for (uint64_t at = HeaderLength(); at < copySize;) {
        uint64_t left = copySize - at;
        size_t wanted = left < sizeof copyChunk ? static_cast<size_t>(left) : sizeof copyChunk;
        if (ReadJournalFile(copy, at, copyChunk, wanted) != wanted ||
            ReadJournalFile(File, at, liveChunk, wanted) != wanted ||
            std::memcmp(copyChunk, liveChunk, wanted) != 0) {
            return false;
        }
        at += wanted;
    }
    return true;
}

// A copy left under its own name: by a runner that died between its copy
// and its cut, where the live file still holds the same records, or after
// a cut that found no free name, where the copy's records are nowhere
// else. Only a copy known to be doubled goes; any other is placed.
bool SettleRollingCopy() {
    if (!JournalFileExists(RollingPath)) return true;
    uint32_t error = 0;
    void* copy = OpenJournalFileToRead(RollingPath, &error);
    bool doubled = copy != nullptr && LiveBeginsWithCopy(copy);
    if (copy != nullptr) CloseJournalFile(copy);
    // One that a reader holds waits for the next try: placed, it would
    // stand beside the next copy of the same records.
    if (doubled) return DeleteJournalFile(RollingPath);
    return PlaceRollingCopy();
}

// The live file's content becomes the newest older file, whole or not at
// all. The live file itself is cut, never renamed: a reader may hold it,
// and one that maps it makes the cut fail. So the older files move only
// once the cut has worked; until then the copy is all that changed, and a
// failed cut deletes it again.
bool Roll() {
    if (!SettleRollingCopy()) return false;
    if (!CopyJournalFile(File, RollingPath)) return false;
    if (!CutJournalFile(File, HeaderLength())) {
        DeleteJournalFile(RollingPath);
        return false;
    }
    // Where every older name is held, the copy waits under its own name.
    PlaceRollingCopy();
    return true;
}

void RollIfDue(uint64_t size) {
    if (size < kJournalRollBytes || size < RollRetryFrom) return;
    // Not again at every batch while a reader holds things up.
    RollRetryFrom = Roll() ? 0 : size + kRollRetryBytes;
}

void WriteBatch(int32_t count) {
    if (File != nullptr && IsJournalFileDeleted(File)) Reopen();
    if (File == nullptr) Reopen();
    uint64_t sizeBefore = 0;
    uint32_t error = 0;
    if (File != nullptr && JournalFileSize(File, &sizeBefore, &error)) RollIfDue(sizeBefore);
    if (File == nullptr || !JournalFileSize(File, &sizeBefore, &error)) {
        // Where the file ends is unknown: nothing is written, nothing cut.
        Pending.writeFailed += static_cast<uint32_t>(count);
        if (File != nullptr) Pending.writeError = error;
        return;
    }
    size_t at = 0;
    if (sizeBefore == 0) {
        AppendFormat(Output, sizeof Output, &at, "%s%s", kByteOrderMark, texts::kJournalHeader);
    } else if (HalfLine) {
        // What a runner that died in the middle of a write left: ended, so
        // that our records begin on lines of their own.
        AppendFormat(Output, sizeof Output, &at, "\r\n");
    }
    Lost written = Pending;
    at = FormatLost(written, at);
    for (int32_t i = 0; i < count; ++i)
        at += FormatRecord(Batch[i], Output + at, sizeof Output - at);

    if (!AppendJournalFile(File, Output, at, &error)) {
        // No half record may stay to run into the next one.
        CutJournalFile(File, sizeBefore);
        Pending.writeFailed += static_cast<uint32_t>(count);
        Pending.writeError = error;
        return;
    }
    HalfLine = false;
    if (IsJournalFileDeleted(File)) {
        Pending.deleted += static_cast<uint32_t>(count);
        Reopen();
        return;
    }
    Pending.queueFull -= written.queueFull;
    Pending.writeFailed -= written.writeFailed;
    Pending.deleted -= written.deleted;
}

void WriteQueued() {
    for (;;) {
        int32_t taken = 0;
        EnterJournalLock();
        while (taken < kBatchRecords && QueueCount > 0) {
            Batch[taken++] = Queue[QueueHead];
            QueueHead = (QueueHead + 1) % kJournalQueueRecords;
            --QueueCount;
        }
        Pending.queueFull += DroppedWhileFull;
        DroppedWhileFull = 0;
        LeaveJournalLock();
        if (taken == 0 && !HasLost()) return;
        WriteBatch(taken);
        if (taken == 0) return;
    }
}

void JournalWriter(int32_t) {
    // Here, not at the open: the scheduler's thread never waits on reading
    // two files through.
    SettleRollingCopy();
    for (;;) {
        bool closing = Closing.load();
        WriteQueued();
        if (closing) {
            SignalJournalDrained();
            return;
        }
        WaitForJournalWork(kRetryMs);
    }
}

// Finds the offset just past the last line end before end: 0 when there
// is none. False when the file can't be read.
bool FindLastLineEnd(uint64_t end, uint64_t* pastLineEnd) {
    static char chunk[kScanChunkBytes];
    bool newlineFollows = false;  // the byte just past the chunk is '\n'
    uint64_t to = end;
    while (to > 0) {
        uint64_t from = to > sizeof chunk ? to - sizeof chunk : 0;
        size_t wanted = static_cast<size_t>(to - from);
        if (ReadJournalFile(File, from, chunk, wanted) != wanted) return false;
        for (size_t i = wanted; i-- > 0;) {
            bool newlineNext = i + 1 < wanted ? chunk[i + 1] == '\n' : newlineFollows;
            if (chunk[i] == '\r' && newlineNext) {
                *pastLineEnd = from + i + 2;
                return true;
            }
        }
        newlineFollows = chunk[0] == '\n';
        to = from;
    }
    *pastLineEnd = 0;
    return true;
}

// True when the file has records and the last is not a runner's stop.
bool EndsWithoutStop() {
    uint64_t size = 0;
    uint32_t error = 0;
    if (!JournalFileSize(File, &size, &error) || size == 0) return false;
    // Room for the longest record, to find the last one's fields.
    char tail[kRecordBytes];
    uint64_t from = size > sizeof tail - 1 ? size - (sizeof tail - 1) : 0;
    size_t read = ReadJournalFile(File, from, tail, sizeof tail - 1);
    tail[read] = '\0';
    if (read < 2 || tail[read - 2] != '\r' || tail[read - 1] != '\n') {
        // A runner that died in the middle of a write, or a power cut that
        // left zeros: whatever follows the last line end goes, however
        // long, so that every line keeps its fields.
        uint64_t cut = 0;
        HalfLine = !FindLastLineEnd(size, &cut) || !CutJournalFile(File, cut);
        return true;
    }
    if (size <= HeaderLength()) return false;
    tail[read - 2] = '\0';
    const char* lastLine = std::strrchr(tail, '\n');
    lastLine = lastLine != nullptr ? lastLine + 1 : tail;
    // time, event, then five more fields before the text.
    const char* field = std::strchr(lastLine, '\t');
    const char* runner = texts::kJournalEvents[static_cast<int>(JournalEvent::kRunner)];
    size_t runnerLength = std::strlen(runner);
    if (field == nullptr || std::strncmp(field + 1, runner, runnerLength) != 0 ||
        field[1 + runnerLength] != '\t') {
        return true;
    }
    for (int i = 0; i < 6 && field != nullptr; ++i) field = std::strchr(field + 1, '\t');
    return field == nullptr ||
           std::strncmp(field + 1, texts::kStopPrefix, std::strlen(texts::kStopPrefix)) != 0;
}

bool ComposePaths(const char* name) {
    char folder[kTextSize];
    if (!ReadProgramFolder(folder, sizeof folder)) return false;
    char file[kTextSize];
    std::snprintf(file, sizeof file, texts::kJournalLiveFormat, name);
    int length = std::snprintf(LivePath, sizeof LivePath, "%s%s", folder, file);
    if (length < 0 || static_cast<size_t>(length) >= sizeof LivePath) return false;
    for (int32_t i = 1; i <= kJournalOlderFiles; ++i) {
        std::snprintf(file, sizeof file, texts::kJournalOlderFormat, name, static_cast<int>(i));
        length = std::snprintf(OlderPaths[i], sizeof OlderPaths[i], "%s%s", folder, file);
        if (length < 0 || static_cast<size_t>(length) >= sizeof OlderPaths[i]) return false;
    }
    std::snprintf(file, sizeof file, texts::kJournalRollingFormat, name);
    length = std::snprintf(RollingPath, sizeof RollingPath, "%s%s", folder, file);
    if (length < 0 || static_cast<size_t>(length) >= sizeof RollingPath) return false;
    return true;
}

void RaiseNoJournal(const char* name, uint32_t error) {
    char file[kTextSize];
    std::snprintf(file, sizeof file, texts::kJournalLiveFormat, name);
    char message[kTextSize];
    DescribeSystemError(error, message, sizeof message);
    char text[2 * kTextSize + 128];
    std::snprintf(text, sizeof text, texts::kJournalUnavailableFormat, file,
                  static_cast<unsigned long>(error), message);
    RaiseJournalNotice(text);
}

// at: when it happened, where that was not just now.
void EnqueueText(JournalEvent event, int32_t line, int32_t run, uint32_t pid, const char* text,
                 const LocalTime* at = nullptr) {
    Record record = NewRecord(event, line, run, pid);
    if (at != nullptr) record.time = *at;
    std::snprintf(record.text, sizeof record.text, "%s", text);
    Enqueue(record);
}

// How a run ended: its exit code and how long it ran.
Record ResultRecord(JournalEvent event, int32_t line, int32_t run, uint32_t pid, uint32_t exitCode,
                    uint64_t ms, const LocalTime& at) {
    Record record = NewRecord(event, line, run, pid);
    record.time = at;
    record.hasResult = true;
    record.result = exitCode;
    record.hasMs = true;
    record.ms = ms;
    return record;
}

void EnqueueResult(JournalEvent event, int32_t line, int32_t run, uint32_t pid, uint32_t exitCode,
                   uint64_t ms, const LocalTime& at) {
    Enqueue(ResultRecord(event, line, run, pid, exitCode, ms, at));
}

// Why a launch failed: the system's error, whose message the writer adds.
void EnqueueFailure(JournalEvent event, int32_t line, int32_t run, uint32_t error,
                    const char* programPath, const LocalTime& at,
                    const char* afterMessage = nullptr) {
    Record record = NewRecord(event, line, run, 0);
    record.time = at;
    record.afterMessage = afterMessage;
    record.hasResult = record.resultIsError = true;
    record.result = error;
    std::snprintf(record.text, sizeof record.text, "%s", programPath);
    Enqueue(record);
}

}  // namespace

size_t QuoteJournalText(const char* text, char* quoted, size_t size) {
    if (size == 0) return 0;
    bool hasQuote = std::strchr(text, '"') != nullptr;
    if (hasQuote && size < 3) {
        quoted[0] = '\0';  // no room for even the two quotes
        return 0;
    }
    size_t at = 0;
    // Room for the closing quote and the zero.
    size_t limit = size - (hasQuote ? 2 : 1);
    if (hasQuote) quoted[at++] = '"';
    for (const char* c = text; *c != '\0' && at < limit; ++c) {
        char out = (*c == '\t' || *c == '\r' || *c == '\n') ? ' ' : *c;
        if (out == '"') {
            if (at + 2 > limit) break;
            quoted[at++] = '"';
        }
        quoted[at++] = out;
    }
    if (hasQuote) quoted[at++] = '"';
    quoted[at] = '\0';
    return at;
}

bool OpenJournal(JournalRole role) {
    Role = role;
    const char* name =
        role == JournalRole::kService ? texts::kServiceJournal : texts::kForegroundJournal;
    uint32_t error = 0;
    if (!ComposePaths(name)) {
        RaiseNoJournal(name, 0);
        return false;
    }
    File = OpenJournalFile(LivePath, &error);
    if (File == nullptr) {
        RaiseNoJournal(name, error);
        return false;
    }
    HalfLine = false;
    UncleanEnd = EndsWithoutStop();
    QueueHead = QueueCount = 0;
    DroppedWhileFull = 0;
    Pending = Lost{};
    RollRetryFrom = 0;
    RunCounter.store(0);
    Closing.store(false);
    Accepting.store(true);
    if (!StartWriterThread(JournalWriter)) {
        Accepting.store(false);
        CloseJournalFile(File);
        File = nullptr;
        RaiseNoJournal(name, 0);
        return false;
    }
    return true;
}

void CloseJournal() {
    if (!Accepting.load()) return;
    Accepting.store(false);
    Closing.store(true);
    WakeJournalWriter();
    // A disk that doesn't answer must not hold the stop up: past the limit,
    // what is still queued is lost with the process.
    if (WaitForJournalDrained(kJournalFlushMs)) {
        CloseJournalFile(File);
        File = nullptr;
    }
}

int32_t NextRunNumber() {
    int32_t last = RunCounter.load();
    int32_t next;
    do {
        next = last >= INT32_MAX || last < 0 ? 1 : last + 1;
    } while (!RunCounter.compare_exchange_weak(last, next));
    return next;
}

void SetLastRunNumber(int32_t last) { RunCounter.store(last); }

void JournalRunnerStart(const ConfigLoad& table) {
    Record record = NewRecord(JournalEvent::kRunner, 0, 0, 0);
    char* text = record.text;
    size_t size = sizeof record.text;
    size_t at = 0;
    AppendFormat(text, size, &at, texts::kRunnerStartFormat,
                 Role == JournalRole::kService ? texts::kRoleService : texts::kRoleForeground,
                 texts::kRelease, static_cast<unsigned long>(CurrentProcessId()));
    if (table.readError != 0) {
        char message[kTextSize];
        DescribeSystemError(table.readError, message, sizeof message);
        AppendFormat(text, size, &at, texts::kRunnerUnreadableFormat,
                     static_cast<unsigned long>(table.readError), message);
    } else if (!table.fileFound) {
        AppendFormat(text, size, &at, "%s", texts::kRunnerNoConfiguration);
    } else {
        AppendFormat(text, size, &at, texts::kRunnerLoadedFormat,
                     texts::kEncodingNames[static_cast<int>(table.encoding)],
                     static_cast<long>(table.count));
        const FormatErrors& errors = table.formatErrors;
        if (errors.count > 0) {
            AppendFormat(text, size, &at, texts::kRunnerFormatErrorsFormat,
                         static_cast<long>(errors.count));
            AppendFormatErrorLines(errors, text, size, &at);
        }
        if (table.count == 0) AppendFormat(text, size, &at, "%s", texts::kRunnerNoJobs);
    }
    if (UncleanEnd) AppendFormat(text, size, &at, "%s", texts::kRunnerUncleanEnd);
    Enqueue(record);
}

void JournalRunnerNote(const char* text) { EnqueueText(JournalEvent::kRunner, 0, 0, 0, text); }

void JournalRunnerStop(const char* cause, int32_t killed) {
    Record record = NewRecord(JournalEvent::kRunner, 0, 0, 0);
    std::snprintf(record.text, sizeof record.text, texts::kStopKilledFormat, cause,
                  static_cast<long>(killed));
    Enqueue(record);
}

void JournalStart(int32_t line, int32_t run, uint32_t pid, const char* command,
                  const LocalTime& at) {
    EnqueueText(JournalEvent::kStart, line, run, pid, command, &at);
}

void JournalEnd(int32_t line, int32_t run, uint32_t pid, uint32_t exitCode, uint64_t ms,
                const LocalTime& at) {
    EnqueueResult(JournalEvent::kEnd, line, run, pid, exitCode, ms, at);
}

void JournalLimit(int32_t line, int32_t run, uint32_t pid, uint32_t exitCode, uint64_t ms,
                  int32_t limitSeconds, const LocalTime& at) {
    Record record = ResultRecord(JournalEvent::kLimit, line, run, pid, exitCode, ms, at);
    std::snprintf(record.text, sizeof record.text, texts::kJournalLimitFormat,
                  static_cast<long>(limitSeconds));
    Enqueue(record);
}

void JournalKill(int32_t line, int32_t run, uint32_t pid, uint32_t exitCode, uint64_t ms,
                 const LocalTime& at) {
    EnqueueResult(JournalEvent::kKill, line, run, pid, exitCode, ms, at);
}

void JournalFail(int32_t line, int32_t run, uint32_t error, const char* programPath,
                 const LocalTime& at) {
    const char* note =
        IsSystem32ProgramMissing(programPath, error) ? texts::kSystem32MissingNote : nullptr;
    EnqueueFailure(JournalEvent::kFail, line, run, error, programPath, at, note);
}

void JournalRetry(int32_t line, int32_t run, uint32_t error, const char* programPath,
                  const LocalTime& at) {
    EnqueueFailure(JournalEvent::kRetry, line, run, error, programPath, at);
}

void JournalReload(int32_t line, uint32_t pid, const char* text) {
    EnqueueText(JournalEvent::kReload, line, 0, pid, text);
}

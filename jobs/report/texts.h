// Every fixed text the program shows, in one place.
#pragma once

#include "jobs/report/release.h"

namespace texts {

constexpr const char kServiceName[] = "Cycle_launch";
constexpr const char kWarningCaption[] = "Cycle_launch";
// The service's warnings in the Application event log.
constexpr const char kEventSource[] = "Cycle_launch";
constexpr const char kConfigFileName[] = "cycle_launch.txt";

constexpr const char kUsage[] =
    "cycle_launch -h -D -a -r\n"
    "option :\n"
    "\t-h Help\n"
    "\t-D Deamon Mode\n"
    "\t-a add service\n"
    "\t-r remove service\n"
    "files :\n"
    "\tcycle_launch.txt : <Time Interval in sec>,<Command>\n";

constexpr const char kConfigNotFound[] = "Config File (cycle_launch.txt) not Found";
constexpr const char kConfigFormatError[] = "Config File (cycle_launch.txt) Format Error";
// printf format; %s is the program path, not the whole command line.
constexpr const char kLaunchErrorFormat[] = "Command (%s) Execution Error";
// After the system's message in a fail record, where a 32-bit runner on
// 64-bit Windows found no program under System32: it runs the real one now.
constexpr const char kSystem32MissingNote[] =
    " This runner runs the 64-bit System32: a 32-bit program of that name is in SysWOW64.";
// The launch warning, and the system's message for its error, where an
// administrator reads it rather than a box.
constexpr const char kLaunchReasonFormat[] = "%s: %s";
// printf format: the program path, its line, the limit in seconds.
constexpr const char kRunLimitFormat[] = "Command (%s) on line %ld ended at its limit of %ld s";

// The format warnings of one load in one report: kConfigFormatError, how
// many lines, and the numbers of the first of them, e.g.
// "Config File (cycle_launch.txt) Format Error (count 200; lines 1, 2, ..., 20, ...)".
constexpr const char kFormatErrorCountFormat[] = "%s (count %ld; lines ";
constexpr const char kFormatErrorListEnd[] = ")";
// The list of lines, in the warning and in the journal alike: "2, 3, ...".
constexpr const char kFormatErrorLineFormat[] = "%s%ld";  // separator, line number
constexpr const char kFormatErrorLineSeparator[] = ", ";
constexpr const char kFormatErrorMoreLines[] = ", ...";

// printf format: launch warnings left out of the event log and of the
// console once their limits per minute were reached.
constexpr const char kWarningsHeldBackFormat[] =
    "Launch warnings held back: %d from the event log, %d from the console";

// printf format of a warning on standard error, where no box can be seen.
constexpr const char kWarningLineFormat[] = "Cycle_launch: %s\n";
// Said once standard error takes lines again; %lu how many it missed.
constexpr const char kWarningLinesDroppedFormat[] =
    "%lu warnings were not written here: standard error did not take them";

// Search list for children when the process's own PATH can't be used.
constexpr const char kDefaultSearchList[] =
    "C:\\Windows\\System32;C:\\Windows;C:\\Windows\\System32\\Wbem;";

constexpr const char kServiceManagerError[] = "error on get service manager\n";
constexpr const char kServiceAddSuccess[] = "service add success\n";
constexpr const char kServiceAddError[] = "error on service add\n";
constexpr const char kServiceOpenError[] = "error on get service\n";
constexpr const char kServiceRemoveError[] = "error on service remove\n";
constexpr const char kServiceRemoveSuccess[] = "service remove success\n";
constexpr const char kServiceStartError[] = "error on start service\n";

// --- The journal ------------------------------------------------------
constexpr const char kRelease[] = CYCLE_LAUNCH_RELEASE_TEXT;
constexpr const char kForegroundJournal[] = "cycle_launch.foreground";
constexpr const char kServiceJournal[] = "cycle_launch.service";
// printf formats; %s is one of the two names above.
constexpr const char kJournalLiveFormat[] = "%s.log";
constexpr const char kJournalOlderFormat[] = "%s.%d.log";
// The live file's copy while a roll is under way, beside it.
constexpr const char kJournalRollingFormat[] = "%s.rolling.log";
// The first line of every file, after its UTF-8 byte-order mark.
constexpr const char kJournalHeader[] = "time\tevent\tline\trun\tpid\tresult\tms\ttext\r\n";
// Said once, where the file can't be opened; %s the file, %lu and %s the
// system's error and its message.
constexpr const char kJournalUnavailableFormat[] =
    "Journal (%s) not opened: error %lu (%s); running without a journal";

// The journal's event names, by JournalEvent.
constexpr const char* kJournalEvents[] = {"runner", "start", "end",    "fail", "retry",
                                          "kill",   "lost",  "reload", "limit"};
// printf format of a limit record's text: the limit in seconds.
constexpr const char kJournalLimitFormat[] = "ended at its limit of %ld s";

// The runner's first record: role, version, pid, then how the load went.
constexpr const char kRoleForeground[] = "foreground";
constexpr const char kRoleService[] = "service";
constexpr const char kRunnerStartFormat[] = "%s, version %s, pid %lu";
constexpr const char kRunnerLoadedFormat[] = ", configuration in %s, %ld jobs loaded";
constexpr const char* kEncodingNames[] = {"ANSI", "UTF-8", "UTF-16LE"};
constexpr const char kRunnerFormatErrorsFormat[] = ", format errors on %ld lines: ";
constexpr const char kRunnerNoConfiguration[] = ", no configuration file";
constexpr const char kRunnerUnreadableFormat[] = ", configuration not readable: error %lu (%s)";
// Said once where the program folder can't be made current: the folder,
// then the system's error and its message.
constexpr const char kFolderNotCurrentFormat[] =
    "the program folder %s could not be made current: error %lu (%s); jobs whose program "
    "path names no folder run elsewhere";
constexpr const char kRunnerNoJobs[] = ", no jobs";
constexpr const char kRunnerUncleanEnd[] =
    "; the previous runner's journal ends without its stop record (a crash or a power cut?)";

// The runner's last record begins with kStopPrefix, by which the next runner
// knows that this one stopped cleanly.
constexpr const char kStopPrefix[] = "stop: ";
constexpr const char kStopBySignal[] = "stop: Ctrl+C";
constexpr const char kStopByService[] = "stop: the service manager's stop";
constexpr const char kStopByShutdown[] = "stop: the system shuts down";
constexpr const char kStopNoConfiguration[] = "stop: no configuration file";
constexpr const char kStopNoJobs[] = "stop: no jobs";
constexpr const char kStopKilledFormat[] = "%s; %ld runs ended by the stop";

// printf formats of a lost record: the count, then why.
constexpr const char kLostQueueFullFormat[] = "%lu records lost: the queue was full";
constexpr const char kLostWriteFormat[] = "%lu records lost: writing failed with error %lu (%s)";
constexpr const char kLostDeletedFormat[] = "%lu records lost: the file was deleted while open";

// The runner runs in a job that lets no child leave it, before Windows 8.
constexpr const char kNoJobObjectsOfTheirOwn[] =
    "children get no job object of their own: the runner runs in a job that lets none of "
    "them break away (or whose limits could not be read), and this Windows (before 8) nests "
    "no job in another; a stop or a limit ends a run's child alone, and a runner that ends "
    "without its stop leaves it running";
// The runner's environment at start passes a block's bound.
constexpr const char kEnvironmentTooLarge[] =
    "the environment is larger than 32,767 characters: children get it as it stands, "
    "without their program's folder on PATH";

// --- A new version of the configuration, taken while jobs run ----------
// printf formats of the reload records. The counts of a version applied:
// added, retired, edited in place, interval changed, unchanged.
constexpr const char kReloadMoreChangesFormat[] = "and %ld more jobs changed, not listed";
constexpr const char kReloadAppliedFormat[] =
    "%snew version applied: %ld added, %ld retired, %ld edited in place, %ld interval changed, "
    "%ld unchanged";
// Put before the counts when the service manager's paramchange asked.
constexpr const char kReloadByParamChange[] = "paramchange: ";
constexpr const char kReloadNothingNew[] = "paramchange: nothing new in cycle_launch.txt";
constexpr const char kReloadEmpty[] =
    "paramchange: cycle_launch.txt holds no job; the jobs in force stay";
constexpr const char kReloadUnreadableFormat[] =
    "paramchange: cycle_launch.txt not read: error %lu (%s); the jobs in force stay";
constexpr const char kReloadAddedFormat[] = "added: %s";
constexpr const char kReloadTakenUpFormat[] = "added: %s; takes up its run in progress, pid %lu";
constexpr const char kReloadRetiredFormat[] = "retired: %s";
constexpr const char kReloadRetiredRunningFormat[] = "retired: %s; its run goes on, pid %lu";
constexpr const char kReloadEditedFormat[] = "edited in place: %s; new command: %s";
constexpr const char kReloadEditedIntervalFormat[] =
    "edited in place: %s; new command: %s; interval %ld, was %ld";
constexpr const char kReloadIntervalFormat[] = "interval %s, was %s: %s";
// The command a run goes on with, back in the file: the edit that waited for
// that run no longer does.
constexpr const char kReloadEditCancelledFormat[] =
    "edit cancelled: %s; its run goes on, pid %lu; the edit to %s no longer waits";
// A version that can't be taken: the format warnings' summary, or the rows.
constexpr const char kReloadRejectionsHeldBackFormat[] =
    "Rejected versions of Config File (cycle_launch.txt) held back: %ld";
constexpr const char kReloadRejectedFormat[] = "%s; new version rejected, the jobs in force stay";
constexpr const char kReloadTooManyRowsFormat[] =
    "Config File (cycle_launch.txt): the new version needs %ld rows, more than the %ld there "
    "are; new version rejected, the jobs in force stay";

// --- Files that others can change -------------------------------------
// The runner's one registry setting, which only administrators can write.
constexpr const char kParametersKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Cycle_launch\\Parameters";
constexpr const char kAllowUnsafePermissionsValue[] = "AllowUnsafePermissions";
constexpr const char kUnsafeRefusal[] =
    "Cycle_launch does not run: others can change its files, and through them run anything "
    "as this runner's account.";
constexpr const char kHeldOpenRefusal[] =
    "Cycle_launch does not run: another program holds cycle_launch.txt open, and may write to "
    "it whatever its permissions say.";
constexpr const char kNetworkRefusal[] =
    "Cycle_launch does not run: its folder is on the network, where this machine can't tell "
    "who may change its files.";
constexpr const char kUnsafeAllowed[] =
    "AllowUnsafePermissions is set: Cycle_launch runs even from files that others can change.";
// printf formats of the findings; the first %s is always the path.
// Path, account, SID, rights, kUnsafeInherited or "".
constexpr const char kUnsafeRightsFormat[] = "%s can be changed by %s (%s): %s%s";
constexpr const char kUnsafeInherited[] = " (inherited)";
constexpr const char kUnsafeOwnerFormat[] = "%s is owned by %s (%s), who can change it";
constexpr const char kUnsafeNullDaclFormat[] = "%s has no access list: anyone can change it";
constexpr const char kUnsafeUnknownEntryFormat[] =
    "%s has an access entry of type %lu for %s that can't be judged";
constexpr const char kUnsafeTooManyEntriesFormat[] =
    "%s has more access entries than can be judged";
constexpr const char kUnsafeReparsePointFormat[] = "%s is a link (a reparse point)";
constexpr const char kUnsafeHeldOpenFormat[] =
    "%s is held open by another program, which may write to it whatever its permissions say";
constexpr const char kUnsafeNetworkFormat[] =
    "%s is on the network: its permissions name the file server's accounts, which this "
    "machine can't judge";
constexpr const char kUnsafeUnreadableFormat[] = "%s: its security can't be read: error %lu (%s)";
constexpr const char kUnsafeUnresolvedFormat[] =
    "%s: where it really is (through links and substituted drives) can't be read: error %lu (%s)";
constexpr const char kUnsafeMoreFindingsFormat[] = "%s: more findings than are listed";
constexpr const char kUnnamedAccount[] = "an account without a name";
// The rights that let an account change an object, by bit; a folder's
// first two have names of their own.
constexpr const char kRightWriteData[] = "write data";
constexpr const char kRightAppend[] = "append";
constexpr const char kRightAddFile[] = "add file";
constexpr const char kRightAddFolder[] = "add subfolder";
constexpr const char kRightWriteExtended[] = "write extended attributes";
constexpr const char kRightDeleteChild[] = "delete contents";
constexpr const char kRightWriteAttributes[] = "write attributes";
constexpr const char kRightDelete[] = "delete";
constexpr const char kRightChangePermissions[] = "change permissions";
constexpr const char kRightTakeOwnership[] = "take ownership";
constexpr const char kRightSeparator[] = ", ";
// The fix, by SID so that it works in any language.
constexpr const char kFixHeader[] = "To fix it, as an administrator:";
// The first %s of an icacls line is the path, quoted as the command line
// reads it back.
constexpr const char kFixRemoveFormat[] = "icacls %s /remove *%s";
// Each grant quoted too: PowerShell reads "(OI)" as an expression.
constexpr const char kFixFolderFormat[] =
    "icacls %s /inheritance:r /grant:r \"*S-1-5-18:(OI)(CI)F\" \"*S-1-5-32-544:(OI)(CI)F\" "
    "\"*S-1-5-32-545:(OI)(CI)RX\"";
constexpr const char kFixFileFormat[] =
    "icacls %s /inheritance:r /grant:r \"*S-1-5-18:F\" \"*S-1-5-32-544:F\" \"*S-1-5-32-545:RX\"";
constexpr const char kFixOwnerFormat[] = "icacls %s /setowner *S-1-5-32-544";
constexpr const char kFixLinkFormat[] = "replace the link %s by the real file or folder";
constexpr const char kFixRootFormat[] =
    "%s is the root of a drive or share, whose permissions reach all that is on it: change "
    "nothing there; move Cycle_launch into a folder of its own, on a drive whose root only "
    "administrators can change";
constexpr const char kFixHeldOpenFormat[] =
    "close the program that holds %s open, or restart the machine; what it wrote stays, so "
    "check the file, or copy a good one over it, before the next start";
constexpr const char kFixNetworkFormat[] =
    "copy Cycle_launch into a folder of its own on a local disk, rather than run it from %s";
// Before Vista, which has no icacls.
constexpr const char kFixByHand[] =
    "In each one's Properties, Security tab: remove the accounts named above, and make "
    "Administrators the owner.";
constexpr const char kReloadUnsafe[] =
    "Config File (cycle_launch.txt): others can change it; new version rejected, the jobs in "
    "force stay";
constexpr const char kStopUnsafeConfiguration[] = "stop: others can change cycle_launch.txt";
constexpr const char kStopConfigurationHeldOpen[] =
    "stop: another program holds cycle_launch.txt open";
// Told once, a minute after the reads began to find it held.
constexpr const char kReloadHeldOpen[] =
    "Config File (cycle_launch.txt): another program has held it open for a minute, and may "
    "write to it whatever its permissions say; new versions wait until it closes it, and what it "
    "wrote is read then: close it, and check the file";

}  // namespace texts

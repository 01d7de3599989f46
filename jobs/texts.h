// Every fixed text the program shows, in one place.
#pragma once

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

// The format warnings of one load in one report: kConfigFormatError, how
// many lines, and the numbers of the first of them, e.g.
// "Config File (cycle_launch.txt) Format Error (count 200; lines 1, 2, ..., 20, ...)".
constexpr const char kFormatErrorCountFormat[] = "%s (count %d; lines ";
constexpr const char kFormatErrorLineFormat[] = "%s%d";  // separator, line number
constexpr const char kFormatErrorLineSeparator[] = ", ";
constexpr const char kFormatErrorMoreLines[] = ", ...";
constexpr const char kFormatErrorListEnd[] = ")";

// printf format: launch warnings left out of the event log and of the
// console once their limits per minute were reached.
constexpr const char kWarningsHeldBackFormat[] =
    "Launch warnings held back: %d from the event log, %d from the console";

// printf format of a warning on standard error, where no box can be seen.
constexpr const char kWarningLineFormat[] = "Cycle_launch: %s\n";

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

}  // namespace texts

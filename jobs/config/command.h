// Splitting a job's command into the program to run and its command line.
#pragma once

// The program path ends at the first space after which no backslash
// follows. The command line is the path's file name, then one space and the
// argument words joined by single spaces. Both outputs are kTextSize-byte
// buffers and are always written. Returns 0.
int SplitCommand(const char* commandText, char* programPath, char* commandLine);

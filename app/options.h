// The command line.
#pragma once

constexpr const char kOptionLetters[] = "hDar";

// The next recognised option letter among letters, or -1 when none is left.
// An argument is an option when it starts with '-'; only its second
// character counts ("-help" is 'h'). Others are passed over silently. Keeps
// its place between calls, for the life of the process.
int NextOption(int argc, char** argv, const char* letters);

int PrintUsage();

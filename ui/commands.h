// "Orvalen.exe /sync" and "/test" from a script: what the command line asks
// for, and the lines and exit code that answer it.
#pragma once
#include <cstdint>

enum CommandAction { CommandNone, CommandSync, CommandTest, CommandUsage };

// Exit codes of a command.
constexpr int kExitDone = 0;          // corrected, or a test with an answer
constexpr int kExitNoAgreement = 1;   // no server answered, or they disagreed
constexpr int kExitStepRefused = 2;   // the guard or the system refused the step, or it was left
constexpr int kExitBadArguments = 3;
constexpr int kExitCannotRun = 4;     // an error stopped the program; the line printed says which

// A command line whose first character is '/' is a command ("/sync",
// "/test", in any case, quoted or not, blanks after it allowed); any other '/' text asks
// for the usage. Anything else is no command: the launch letters keep their
// meaning.
CommandAction ParseCommand(const char* commandLine);

extern const char kCommandUsage[];

// What a command prints after its pass: a line per named server (name,
// status, latency, offset, tab-separated) and a summary line, each ending in
// CR LF, into out (at most size bytes, always terminated); the exit code.
int DescribePass(bool correcting, char* out, int size);


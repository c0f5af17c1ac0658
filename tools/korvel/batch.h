// Several renders at once: each file in a process of its own, so a file
// that fails (or crashes the module) leaves the others untouched.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace korvel::cli {

// Runs job(i) for i = 0 .. count - 1, at most `parallel` at a time, each in
// a child process whose exit status is the job's answer. Answers each
// job's status (a child ended by a signal counts as 128 + the signal).
// An interrupt (SIGINT, SIGTERM, SIGHUP) is passed on to every running
// child, which then removes its own unfinished output.
std::vector<int> RunInParallel(int count, int parallel, const std::function<int(int)>& job);

// The number of processors this program may use (at least 1).
int ProcessorCount();

}  // namespace korvel::cli

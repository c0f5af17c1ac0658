#include "tools/korvel/batch.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace korvel::cli {

namespace {

// The children running, for the interrupt handler. [any thread, atomic]
constexpr int kMostChildren = 256;
std::atomic<pid_t> g_children[kMostChildren];

extern "C" void PassOnAndExit(int signal_number) {
  for (auto& child : g_children)
    if (const pid_t pid = child.load(); pid > 0) kill(pid, signal_number);
  // Each child removes its own temporary file; wait for them so none is
  // left behind when the caller looks.
  while (wait(nullptr) > 0) {
  }
  _exit(128 + signal_number);
}

}  // namespace

int ProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

std::vector<int> RunInParallel(int count, int parallel, const std::function<int(int)>& job) {
  std::vector<int> status(count, 1);
  if (parallel < 1) parallel = 1;
  if (parallel > kMostChildren) parallel = kMostChildren;
  struct sigaction pass {}, previous[3];
  pass.sa_handler = PassOnAndExit;
  sigemptyset(&pass.sa_mask);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int i = 0; i < 3; ++i) sigaction(signals[i], &pass, &previous[i]);

  std::vector<int> job_of(kMostChildren, -1);
  int next = 0, running = 0;
  while (next < count || running > 0) {
    while (next < count && running < parallel) {
      std::fflush(stdout);
      std::fflush(stderr);
      int free_slot = 0;
      while (g_children[free_slot].load() > 0) ++free_slot;
      const pid_t pid = fork();
      if (pid == 0) {
        for (int i = 0; i < 3; ++i) sigaction(signals[i], &previous[i], nullptr);
        const int code = job(next);
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(code);
      }
      if (pid < 0) {
        std::perror("korvel: cannot start a render");
        status[next++] = 1;
        continue;
      }
      g_children[free_slot].store(pid);
      job_of[free_slot] = next++;
      ++running;
    }
    int child_status = 0;
    const pid_t done = wait(&child_status);
    if (done < 0) break;
    for (int slot = 0; slot < kMostChildren; ++slot) {
      if (g_children[slot].load() != done) continue;
      g_children[slot].store(0);
      status[job_of[slot]] = WIFEXITED(child_status) ? WEXITSTATUS(child_status) : 128 + WTERMSIG(child_status);
      --running;
    }
  }
  for (int i = 0; i < 3; ++i) sigaction(signals[i], &previous[i], nullptr);
  return status;
}

}  // namespace korvel::cli

// A virtual X server of a test's own and a connection to it: Xvfb on a
// display number drawn from the process id, so tests and checkouts run
// side by side; stopped with the test (and with a test that crashed).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <X11/Xlib.h>

namespace korvel::testing {

// Waiting on another process: a bound, never an assertion on the time.
template <class Done>
bool WaitFor(Done done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    usleep(10000);
  }
  return false;
}

class VirtualDisplay {
 public:
  static bool Available() { return access("/usr/bin/Xvfb", X_OK) == 0; }

  // Starts the server on a number from `first` up and connects; DISPLAY
  // names it, for the processes the test starts. False when either fails.
  bool Start(int first) {
    const int number = first + static_cast<int>(getpid() % 800);
    name_ = ":" + std::to_string(number);
    server_ = fork();
    if (server_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      execlp("Xvfb", "Xvfb", name_.c_str(), "-screen", "0", "1024x768x24", "-ac", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    if (!WaitFor([&] { return std::filesystem::exists(socket); })) return false;
    setenv("DISPLAY", name_.c_str(), 1);
    return WaitFor([&] { return (display_ = XOpenDisplay(name_.c_str())) != nullptr; });
  }

  ~VirtualDisplay() {
    if (display_ != nullptr) XCloseDisplay(display_);
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
  }

  Display* display() const { return display_; }

 private:
  std::string name_;
  pid_t server_ = 0;
  Display* display_ = nullptr;
};

}  // namespace korvel::testing

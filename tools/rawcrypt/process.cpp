// The tool's process: start, the fatal signals' handler, held signals, the
// table of named temporaries that handler removes, and the quiet terminal.
#include "tools/rawcrypt/process.h"

#include <atomic>
#include <bitset>
#include <cstdio>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "tools/rawcrypt/failure.h"

namespace cli {
namespace {

// The descriptors the caller left open, as they were before the tool opened
// anything; past the table, a descriptor is taken as the caller's when it
// is open (the tool itself never holds that many).
std::bitset<1024> open_at_start;

// The named temporaries that a signal must remove: every temporary where
// the filesystem (or a missing /proc) gives no unnamed ones, and unnamed
// ones from their naming to their rename. A fixed table, read by the
// handler without locks or allocation; a slot is whole before it is live.
struct TempSlot {
  volatile sig_atomic_t live;
  int dir, fd;  // its folder, and its descriptor: emptied where it cannot be removed
  char name[32];
};
TempSlot temp_slots[8];  // a command has at most three outputs
volatile sig_atomic_t shrink_exit = kFailed;
struct sigaction at_start[NSIG];
sigset_t held_signals;  // those the tool cleans up after
termios echoing_terminal;  // standard input's terminal as a QuietTerminal found it
volatile sig_atomic_t terminal_quiet = 0;
volatile sig_atomic_t deferring = 0;  // a SignalsDeferred lives
volatile sig_atomic_t deferred = 0;   // the signal it noted

// put_right: before the tool ends, its terminal echoes again and its named
// temporaries are removed. Safe in a signal handler.
void put_right() {
  if (terminal_quiet) tcsetattr(0, TCSANOW, &echoing_terminal);
  for (TempSlot& slot : temp_slots)
    if (slot.live) remove_named(slot.dir, slot.name, slot.fd);
}

// end_by: the tool ends by `sig` as its default action would, put right
// first. Safe in a signal handler.
void end_by(int sig) {
  put_right();
  sigaction(sig, &at_start[sig], nullptr);
  raise(sig);  // delivered as the handler returns, or at once
}

extern "C" void on_fatal_signal(int sig, siginfo_t* info, void*) {
  const bool fault = info != nullptr && info->si_code > 0;  // not a kill -BUS
  if (sig == SIGBUS && !fault && at_start[sig].sa_handler == SIG_IGN) return;
  if (sig == SIGBUS && fault) {
    put_right();
    static const char message[] = "rawcrypt: an input file shrank while it was being read\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(shrink_exit);
  }
  if (deferring) {  // the owner cleans up first
    if (!deferred) deferred = sig;
    return;
  }
  end_by(sig);
}

// ends_the_tool: whether a signal's default action ends the process.
bool ends_the_tool(int sig) {
  switch (sig) {
    case SIGKILL: case SIGSTOP: case SIGCHLD: case SIGCONT: case SIGTSTP:
    case SIGTTIN: case SIGTTOU: case SIGURG: case SIGWINCH:
      return false;
    default:
      return sig < 32 || (sig >= SIGRTMIN && sig <= SIGRTMAX);
  }
}

}  // namespace

void start(int shrink_exit_code) {
  for (size_t fd = 0; fd < open_at_start.size(); ++fd) open_at_start[fd] = fcntl(static_cast<int>(fd), F_GETFD) >= 0;
  for (int fd = 0; fd < 3; ++fd) {
    if (open_at_start[fd]) continue;
    const int held = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) close(held);
  }
  // Keys stay out of core files and out of other processes' reach.
  prctl(PR_SET_DUMPABLE, 0);
  const struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);

  shrink_exit = shrink_exit_code;
  sigemptyset(&held_signals);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!ends_the_tool(sig) || sigaction(sig, nullptr, &at_start[sig]) != 0) continue;
    // Ignored (nohup, a background job) or handled already: the caller's
    // or a sanitizer's. Only SIGBUS is always the tool's.
    if (at_start[sig].sa_handler != SIG_DFL && sig != SIGBUS) continue;
    if (sig == SIGPIPE)
      signal(SIGPIPE, SIG_IGN);
    else
      sigaddset(&held_signals, sig);
  }
  struct sigaction action {};
  action.sa_sigaction = on_fatal_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  action.sa_mask = held_signals;  // one cleanup at a time
  for (int sig = 1; sig < NSIG; ++sig)
    if (sigismember(&held_signals, sig) == 1) sigaction(sig, &action, nullptr);
}

bool was_open_at_start(int fd) {
  if (fd < 0) return false;
  return static_cast<size_t>(fd) < open_at_start.size() ? open_at_start[fd] : fcntl(fd, F_GETFD) >= 0;
}

SignalsDeferred::SignalsDeferred() { deferring = 1; }

SignalsDeferred::~SignalsDeferred() {
  deferring = 0;
  if (deferred) end_by(deferred);
}

bool interrupted() { return deferred != 0; }

SignalsHeld::SignalsHeld() { sigprocmask(SIG_BLOCK, &held_signals, &saved_); }
SignalsHeld::~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

int remember_temp(int dir, int fd, const std::string& name) {
  for (int i = 0; i < static_cast<int>(sizeof temp_slots / sizeof temp_slots[0]); ++i) {
    if (temp_slots[i].live) continue;
    temp_slots[i].dir = dir;
    temp_slots[i].fd = fd;
    snprintf(temp_slots[i].name, sizeof temp_slots[i].name, "%s", name.c_str());
    std::atomic_signal_fence(std::memory_order_seq_cst);
    temp_slots[i].live = 1;
    return i;
  }
  return -1;
}

void forget_temp(int* slot) {
  if (*slot >= 0) temp_slots[*slot].live = 0;
  *slot = -1;
}

void remove_named(int dir, const char* name, int fd) {
  if (unlinkat(dir, name, 0) != 0 && fd >= 0) (void)!ftruncate(fd, 0);
}

QuietTerminal::QuietTerminal() {
  if (tcgetattr(0, &echoing_terminal) != 0) return;
  termios quiet = echoing_terminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  terminal_quiet = 1;
  ok_ = tcsetattr(0, TCSAFLUSH, &quiet) == 0;
}

QuietTerminal::~QuietTerminal() {
  if (ok_) tcsetattr(0, TCSAFLUSH, &echoing_terminal);
  terminal_quiet = 0;
}

}  // namespace cli

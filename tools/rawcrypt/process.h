// The tool's process: its start (the caller's descriptors recorded, closed
// standard streams held, no core files), the signals that would end it, and
// the temporaries and the terminal those signals must put right first.
// Touches the process's signal dispositions and masks, descriptors 0 to 2
// and the terminal that is standard input.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_PROCESS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_PROCESS_H

#include <csignal>
#include <string>

namespace cli {

// start: call first, before the tool opens anything. It records the
// descriptors the caller left open (only those may be named as
// /dev/fd/N); holds a closed standard stream with /dev/null, opened for the
// other direction, so that no file the tool opens takes its number and the
// stream still fails as closed; keeps keys out of core dumps; and takes
// over every signal that would end the tool and is still at its default:
// each removes the named temporary outputs before the tool dies, and waits
// while a temporary is named or outputs are put in place. Signals ignored
// at start stay ignored; SIGPIPE is ignored, so that a closed reader is a
// write error; SIGBUS from a mapped input that shrank ends the tool with a
// clear message and `shrink_exit_code` instead of a crash.
void start(int shrink_exit_code);

// was_open_at_start: whether the caller left descriptor `fd` open.
bool was_open_at_start(int fd);

// SignalsHeld: the signals the tool cleans up after wait while it lives
// (a temporary is named and remembered, outputs are put in place together).
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

// SignalsDeferred: while it lives, a signal that would end the tool ends it
// only when it goes, after the owner's cleanup: meanwhile the signal is
// noted, interrupts what blocks (EINTR), and interrupted() is true. Then
// the owner undoes what must not outlive an interrupted command (a key
// pair made in a token) and the signal ends the tool as it would have.
class SignalsDeferred {
 public:
  SignalsDeferred();
  ~SignalsDeferred();
  SignalsDeferred(const SignalsDeferred&) = delete;
  SignalsDeferred& operator=(const SignalsDeferred&) = delete;
};

// interrupted: whether a deferred signal waits to end the tool; what would
// retry after EINTR gives up instead.
bool interrupted();

// remember_temp: a named temporary `name` in the folder `dir` (descriptor
// `fd`, emptied where it cannot be removed) that a signal must remove, with
// the signals held. Returns its slot, or -1 when every slot is taken.
int remember_temp(int dir, int fd, const std::string& name);
// forget_temp: the temporary in *slot is no longer the signals' to remove
// (it was removed or put in place); *slot becomes -1.
void forget_temp(int* slot);
// remove_named: a temporary unlinked, or, in a folder that only grows
// (chattr +a), at least emptied. Safe in a signal handler.
void remove_named(int dir, const char* name, int fd);

// QuietTerminal: the terminal that is standard input without echo while it
// lives (a PIN is typed); a signal that ends the tool meanwhile turns the
// echo back on first. ok(): standard input is a terminal.
class QuietTerminal {
 public:
  QuietTerminal();
  ~QuietTerminal();
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_PROCESS_H

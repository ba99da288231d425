#include "tools/cli_io.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <termios.h>
#include <unistd.h>

#include "helpers/encrypt.h"
#include "host/keys.h"

namespace cli {
namespace {

std::string system_error(const std::string& what) { return what + ": " + strerror(errno); }

[[noreturn]] void fail(const std::string& what, int error) {
  errno = error;
  throw Failure(system_error(what));
}

// The descriptors the caller left open, as they were before the tool opened
// anything; past the table, a descriptor is taken as the caller's when it
// is open (the tool itself never holds that many).
std::bitset<1024> open_at_start;

bool was_open_at_start(int fd) {
  if (fd < 0) return false;
  return static_cast<size_t>(fd) < open_at_start.size() ? open_at_start[fd] : fcntl(fd, F_GETFD) >= 0;
}

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

// remove_named: a temporary unlinked, or, in a folder that only grows
// (chattr +a), at least emptied. Safe in a signal handler.
void remove_named(int dir, const char* name, int fd) {
  if (unlinkat(dir, name, 0) != 0 && fd >= 0) (void)!ftruncate(fd, 0);
}

extern "C" void on_fatal_signal(int sig, siginfo_t* info, void*) {
  const bool fault = info != nullptr && info->si_code > 0;  // not a kill -BUS
  if (sig == SIGBUS && !fault && at_start[sig].sa_handler == SIG_IGN) return;
  if (terminal_quiet) tcsetattr(0, TCSANOW, &echoing_terminal);
  for (TempSlot& slot : temp_slots)
    if (slot.live) remove_named(slot.dir, slot.name, slot.fd);
  if (sig == SIGBUS && fault) {
    static const char message[] = "rawcrypt: an input file shrank while it was being read\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(shrink_exit);
  }
  sigaction(sig, &at_start[sig], nullptr);
  raise(sig);  // delivered as the handler returns
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

// SignalsHeld: the cleaned signals wait while a temporary is named and
// remembered, and while outputs are put in place together.
class SignalsHeld {
 public:
  SignalsHeld() { sigprocmask(SIG_BLOCK, &held_signals, &saved_); }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

void forget_temp(int* slot) {
  if (*slot >= 0) temp_slots[*slot].live = 0;
  *slot = -1;
}

unsigned name_serial = 0;  // one count for every name the tool makes

// unique_name: `stem` and a serial number, given to a file by make(name),
// which fails with EEXIST when the name is taken. An empty name, with
// errno, when make fails otherwise.
template <typename Make>
std::string unique_name(const std::string& stem, Make make) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    char serial[8];
    snprintf(serial, sizeof serial, "%04x", name_serial++ & 0xffffu);
    const std::string name = stem + serial;
    if (make(name)) return name;
    if (errno != EEXIST) return "";
  }
  return "";
}

// named_temp: a temporary's fixed-length name in `dir`, whatever the
// output's name, given by make(name) and remembered for the signal
// handler with the descriptor *fd, all with the signals held.
template <typename Make>
std::string named_temp(int dir, const int* fd, int* slot, Make make) {
  char stem[24];
  snprintf(stem, sizeof stem, ".rawcrypt.tmp-%08x", static_cast<unsigned>(getpid()));
  SignalsHeld held;
  const std::string name = unique_name(stem, make);
  if (name.empty()) return name;
  for (int i = 0; i < static_cast<int>(sizeof temp_slots / sizeof temp_slots[0]); ++i) {
    if (temp_slots[i].live) continue;
    temp_slots[i].dir = dir;
    temp_slots[i].fd = *fd;
    snprintf(temp_slots[i].name, sizeof temp_slots[i].name, "%s", name.c_str());
    std::atomic_signal_fence(std::memory_order_seq_cst);
    temp_slots[i].live = 1;
    *slot = i;
    return name;
  }
  unlinkat(dir, name.c_str(), 0);
  errno = EMFILE;
  return "";
}

bool stdin_claimed = false;

std::string dirname_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// size_text: a size in the largest unit that states it exactly (4 KiB, 1 GiB).
std::string size_text(size_t size) {
  static const char* const units[] = {"bytes", "KiB", "MiB", "GiB"};
  int unit = 0;
  for (; unit < 3 && size >= 1024 && size % 1024 == 0; ++unit) size /= 1024;
  return std::to_string(size) + " " + units[unit];
}

// self_path: the name through which linkat reaches an unnamed file.
std::string self_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void write_all(int fd, const void* data, size_t size, const std::string& shown) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Failure(system_error("cannot write " + shown));
    p += n;
    size -= static_cast<size_t>(n);
  }
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::deque<std::string> components(const std::string& path) {
  std::deque<std::string> parts;
  for (size_t at = 0; at < path.size();) {
    const size_t slash = std::min(path.find('/', at), path.size());
    if (slash > at && path.compare(at, slash - at, ".") != 0) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

int open_folder(const char* path) { return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC); }

bool on_proc(int dir) {
  struct statfs fs;
  return fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// own_descriptors: whether `dir` is the tool's own folder of descriptors.
bool own_descriptors(int dir) {
  struct stat here, own;
  if (fstat(dir, &here) != 0) return false;
  for (const char* path : {"/proc/self/fd", "/proc/thread-self/fd"})
    if (stat(path, &own) == 0 && own.st_dev == here.st_dev && own.st_ino == here.st_ino) return true;
  return false;
}

// Place: where a path leads, found one component at a time from opened
// folders: the final file's folder (held) and its name there, which may
// not exist and is never a symlink; or, when the path names one through
// /proc, a descriptor of the tool (`descriptor`) or of another process
// (`foreign`, its /proc folder and number). Each symlink is also opened by
// the kernel, whose refusal (protected_symlinks) stands.
struct Place {
  Fd dir;
  std::string name = ".";
  int descriptor = -1;
  bool foreign = false;
};

void resolve(const std::string& path, const std::string& failure, Place* place) {
  Fd& dir = place->dir;
  dir.reset(open_folder(path.compare(0, 1, "/") == 0 ? "/" : "."));
  if (dir.get() < 0) fail(failure, errno);
  std::deque<std::string> rest = components(path);
  for (int links = 0; !rest.empty();) {
    place->name = std::move(rest.front());
    rest.pop_front();
    const char* name = place->name.c_str();
    const bool last = rest.empty();
    struct stat st;
    if (fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && last) return;  // a new file
      fail(failure, errno);
    }
    if (!S_ISLNK(st.st_mode)) {
      if (last) return;
      dir.reset(openat(dir.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (dir.get() < 0) fail(failure, errno);
      continue;
    }
    if (++links > 40) fail(failure, ELOOP);
    Fd via(openat(dir.get(), name, O_PATH | O_CLOEXEC));
    if (via.get() < 0 && (errno == EACCES || errno == ELOOP)) fail(failure, errno);
    if (on_proc(dir.get())) {
      // /proc's links lead where the kernel says, not where their text does
      // (/proc/self, or "pipe:[...]" and "... (deleted)" of descriptors).
      if (last && own_descriptors(dir.get()) && place->name.size() < 10 &&
          place->name.find_first_not_of("0123456789") == std::string::npos) {
        place->descriptor = std::stoi(place->name);
        return;
      }
      if (via.get() < 0) fail(failure, errno);
      if (last) {
        place->foreign = true;
        return;
      }
      dir.reset(via.release());
      continue;
    }
    char text[PATH_MAX];
    const ssize_t n = readlinkat(dir.get(), name, text, sizeof text - 1);
    if (n < 0) fail(failure, errno);
    text[n] = '\0';
    if (text[0] == '/') dir.reset(open_folder("/"));
    if (dir.get() < 0) fail(failure, errno);
    const std::deque<std::string> more = components(text);
    rest.insert(rest.begin(), more.begin(), more.end());
  }
}

// duplicate: a caller's descriptor named by a path, which must have been
// open when the tool started.
int duplicate(int descriptor, const std::string& failure) {
  if (!was_open_at_start(descriptor)) fail(failure, EBADF);
  const int fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) fail(failure, errno);
  return fd;
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

void claim_stdin(const std::string& what) {
  if (stdin_claimed)
    throw Failure("standard input can be only one input: " + what + " cannot read it too", kUsage);
  stdin_claimed = true;
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

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// ---- inputs ----

Input::Input(const std::string& path) : name_(path == "-" ? "standard input" : path) {
  const std::string failure = "cannot read " + name_;
  Place place;
  if (path == "-")
    place.descriptor = 0;
  else
    resolve(path, failure, &place);
  if (place.descriptor == 0) claim_stdin(name_);
  fd_ = place.descriptor >= 0 ? duplicate(place.descriptor, failure)
                              : openat(place.dir.get(), place.name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw Failure(system_error(failure));
}

Input::~Input() {
  if (fd_ >= 0) close(fd_);
}

size_t Input::read(unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd_, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failure(system_error("cannot read " + name_));
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

Held::Held(const std::string& path, size_t cap, const std::string& what, Limit limit) {
  Input in(path);
  const std::string where = what + " (" + in.name() + ")";
  auto too_large = [&](bool file) {
    return Failure(where + " is larger than the " + size_text(cap) + " the tool holds" +
                   (file || limit == kEveryInput ? "" : " from a pipe or device (give a file instead)"));
  };
  struct stat st;
  const off_t at = lseek(in.fd(), 0, SEEK_CUR);  // where a caller's reading stopped
  if (fstat(in.fd(), &st) == 0 && S_ISREG(st.st_mode) && at >= 0 && st.st_size > at) {
    const auto size = static_cast<unsigned long long>(st.st_size - at);
    if (size > 0xffffffffull) throw Failure(where + " is beyond the device's 32-bit lengths");
    if (limit == kEveryInput && size > cap) throw too_large(true);
    const auto skip = static_cast<size_t>(at % sysconf(_SC_PAGESIZE));  // maps start on a page
    map_ = mmap(nullptr, size + skip, PROT_READ, MAP_PRIVATE, in.fd(), at - static_cast<off_t>(skip));
    if (map_ == MAP_FAILED) {
      map_ = nullptr;
      throw Failure(system_error("cannot read " + in.name()));
    }
    mapped_ = size + skip;
    data_ = static_cast<unsigned char*>(map_) + skip;
    size_ = static_cast<size_t>(size);
    lseek(in.fd(), st.st_size, SEEK_SET);  // read to the end, as a stream is
    return;
  }
  // A pipe or a device: anonymous memory grown in place by mremap, so a
  // large input is never held twice.
  for (;;) {
    if (size_ == mapped_) {
      unsigned char more;
      if (mapped_ == cap && in.read(&more, 1) == 0) break;  // exactly the cap
      if (mapped_ == cap) throw too_large(false);
      const size_t grown = std::min(cap, mapped_ == 0 ? size_t{1} << 20 : 2 * mapped_);
      void* p = mapped_ == 0 ? mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                             : mremap(map_, mapped_, grown, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw Failure(system_error("cannot hold " + in.name()));
      map_ = p;
      data_ = static_cast<unsigned char*>(p);
      mapped_ = grown;
    }
    const size_t n = in.read(data_ + size_, mapped_ - size_);
    size_ += n;
    if (size_ < mapped_) break;  // the input ended
  }
}

Held::~Held() {
  if (mapped_ > 0) munmap(map_, mapped_);
}

// ---- outputs ----

Output::Output(const std::string& path, Kind kind) : shown_(path) {
  const std::string failure = "cannot write " + path;
  if (path == "-") {
    if (!open_at_start[1] || fcntl(1, F_GETFL) < 0) throw Failure("standard output is closed");
    standard_ = true;
    fd_ = 1;
    return;
  }
  Place place;
  resolve(path, failure, &place);
  if (place.descriptor >= 0) {  // its offset and flags (O_APPEND of ">>") are the caller's
    fd_ = duplicate(place.descriptor, failure);
    return;
  }
  dir_ = place.dir.release();
  name_ = place.name;
  struct stat st;
  const bool present = fstatat(dir_, name_.c_str(), &st, 0) == 0;
  if (place.foreign && (!present || S_ISREG(st.st_mode)))
    throw Failure(failure + ": an open file of another process (name the file itself)");
  if (present && !S_ISREG(st.st_mode)) {  // a device, a FIFO, a terminal
    fd_ = openat(dir_, name_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) throw Failure(system_error(failure));
    return;
  }
  replaces_ = true;
  // An unnamed temporary is named at commit through /proc; without it, or
  // on a filesystem without unnamed temporaries, it has a name from the start.
  fd_ = openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  unnamed_ = fd_ >= 0 && access(self_path(fd_).c_str(), F_OK) == 0;
  if (!unnamed_) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    named_temp_ = named_temp(dir_, &fd_, &slot_, [&](const std::string& name) {
      fd_ = openat(dir_, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
      return fd_ >= 0;
    });
    if (named_temp_.empty()) throw Failure(system_error(failure));
  }
  mode_t mode;
  if (present) {
    mode = st.st_mode & 07777;
    if (geteuid() == 0 || st.st_uid == geteuid()) (void)!fchown(fd_, st.st_uid, st.st_gid);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (kind == kSecret) mode = 0600;
  if (fchmod(fd_, mode) != 0) throw Failure(system_error(failure));
}

Output::~Output() {
  drop_temp();
  if (fd_ >= 0 && !standard_) close(fd_);
  if (dir_ >= 0) close(dir_);
}

void Output::drop_temp() {
  if (named_temp_.empty()) return;
  remove_named(dir_, named_temp_.c_str(), fd_);
  forget_temp(&slot_);
  named_temp_.clear();
}

void Output::write(const void* data, size_t size) { write_all(fd_, data, size, shown_); }

void Output::stage() {
  if (standard_) return;  // standard output stays open; main() checks its close
  if (!replaces_) {
    const int fd = std::exchange(fd_, -1);
    if (close(fd) != 0) throw Failure(system_error("cannot write " + shown_));
    return;
  }
  // Synced, the file is whole; its descriptor stays open until it is in
  // place, to empty it should it be impossible to remove.
  if (fsync(fd_) != 0) throw Failure(system_error("cannot write " + shown_));
  if (unnamed_) {
    const std::string self = self_path(fd_);
    named_temp_ = named_temp(dir_, &fd_, &slot_, [&](const std::string& name) {
      return linkat(AT_FDCWD, self.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
    if (named_temp_.empty()) throw Failure(system_error("cannot write " + shown_));
    unnamed_ = false;
  }
}

namespace {

bool same_file(int dir_a, const std::string& a, int dir_b, const std::string& b) {
  struct stat sa, sb;
  return a == b && fstat(dir_a, &sa) == 0 && fstat(dir_b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

void commit_together(std::initializer_list<Output*> outputs, bool replace_existing) {
  const std::vector<Output*> list(outputs);
  for (size_t i = 0; i < list.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (list[i]->replaces_ && list[j]->replaces_ &&
          same_file(list[i]->dir_, list[i]->name_, list[j]->dir_, list[j]->name_))
        throw Failure(list[j]->shown_ + " and " + list[i]->shown_ + " lead to one file");
  for (Output* out : list) out->stage();
  // The files change with the signals held: an interruption finds every
  // one replaced or none.
  SignalsHeld held;
  std::vector<std::string> kept(list.size());  // old files, until all are replaced
  size_t landed = 0;
  try {
    for (; landed < list.size(); ++landed) {
      Output& out = *list[landed];
      if (!out.replaces_) continue;
      const int dir = out.dir_;
      const char* target = out.name_.c_str();
      struct stat st;
      const bool present = fstatat(dir, target, &st, AT_SYMLINK_NOFOLLOW) == 0;
      if (replace_existing && landed + 1 < list.size() && present) {  // the last one is never undone
        kept[landed] = unique_name(out.name_.substr(0, 240) + ".old-", [&](const std::string& name) {
          // Without hard links (vfat), the old file is moved aside instead.
          return linkat(dir, target, dir, name.c_str(), 0) == 0 ||
                 (errno != EEXIST && renameat2(dir, target, dir, name.c_str(), RENAME_NOREPLACE) == 0);
        });
        if (kept[landed].empty()) throw Failure(system_error("cannot write " + out.shown_));
      }
      if (renameat2(dir, out.named_temp_.c_str(), dir, target, replace_existing ? 0 : RENAME_NOREPLACE) != 0)
        throw Failure(system_error("cannot write " + out.shown_));
      forget_temp(&out.slot_);
      out.named_temp_.clear();
    }
  } catch (const std::exception& e) {
    std::string lost;  // old files that could not be put back
    for (size_t i = std::min(landed + 1, list.size()); i-- > 0;) {
      const Output& out = *list[i];
      if (!kept[i].empty()) {  // a link beside the file in place is merely removed
        if (renameat(out.dir_, kept[i].c_str(), out.dir_, out.name_.c_str()) != 0)
          lost += "; the old " + out.shown_ + " is kept beside it as " + kept[i];
        else if (unlinkat(out.dir_, kept[i].c_str(), 0) != 0 && errno != ENOENT)
          lost += "; " + kept[i] + " is left beside " + out.shown_ + ", another name of it";
      } else if (i < landed && out.replaces_) {
        unlinkat(out.dir_, out.name_.c_str(), 0);
      }
    }
    const auto* failure = dynamic_cast<const Failure*>(&e);
    throw Failure(e.what() + lost, failure ? failure->exit_code : kFailed);
  }
  for (size_t i = 0; i < list.size(); ++i)
    if (!kept[i].empty()) unlinkat(list[i]->dir_, kept[i].c_str(), 0);
}

FolderLock::FolderLock(const std::string& path) {
  fd_ = open(dirname_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int locked = -1;
  while (fd_ >= 0 && (locked = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) throw Failure(system_error("cannot write " + path));
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);
}

// ---- keys ----

SecretBytes read_key(const std::string& path, size_t size, const std::string& what) {
  const std::string where = what + " (" + (path == "-" ? std::string("standard input") : path) + ")";
  constexpr size_t kMaxKeyFile = 4096;
  Input in(path);
  SecretBytes file(kMaxKeyFile + 1);  // reserved up front: never grows, never copied
  const size_t got = in.read(file.data(), kMaxKeyFile + 1);
  if (got > kMaxKeyFile) throw Failure(where + " is larger than the 4 KiB the tool holds for a key");
  file.resize(got);
  if (got == size) return file;  // raw bytes
  size_t end = got;  // text: a final newline (or spaces) is not part of it
  while (end > 0 && (file[end - 1] == '\n' || file[end - 1] == '\r' || file[end - 1] == ' ')) --end;
  const size_t hex_length = 2 * size, base64_length = 4 * ((size + 2) / 3);
  bool all_hex = end > 0;
  for (size_t i = 0; i < end && all_hex; ++i) all_hex = host::is_hex_digit(file[i]);
  if (end == hex_length || (all_hex && end != base64_length)) {
    SecretBytes bytes;
    try {
      bytes = host::from_hex(reinterpret_cast<const char*>(file.data()), end);
    } catch (const std::invalid_argument& e) {
      throw Failure(where + " is not hex: " + e.what());
    }
    if (bytes.size() == size) return bytes;
    throw Failure(where + " must be " + std::to_string(size) + " bytes, found " + std::to_string(bytes.size()) +
                  " as hex");
  }
  if (end == base64_length) {  // Base64 of exactly `size` bytes
    // Checked here first, so that the helper never refuses the text and
    // never quotes the key on its console.
    const size_t padding = (3 - size % 3) % 3;
    bool well_formed = true;
    for (size_t i = 0; i < end && well_formed; ++i) {
      const unsigned char c = file[i];
      well_formed = i < end - padding ? c != '=' && strchr(host::kStandardAlphabet, c) != nullptr && c != '\0'
                                      : c == '=';
    }
    if (!well_formed) throw Failure(where + " is not Base64 of " + std::to_string(size) + " bytes");
    SecretBytes text(end + 1);  // NUL-terminated for the helper
    memcpy(text.data(), file.data(), end);
    SecretBytes bytes(3 * end / 4);
    int32_t length = 0;
    base64_decode(reinterpret_cast<const char*>(text.data()), &length, bytes.data());
    bytes.resize(size);
    return bytes;
  }
  throw Failure(where + " must be " + std::to_string(size) + " bytes (raw, " + std::to_string(hex_length) +
                " hex digits or " + std::to_string(base64_length) + " Base64 characters), found a file of " +
                std::to_string(got) + " bytes");
}

SecretBytes key_text(const SecretBytes& key, bool base64_form) {
  SecretBytes text;
  if (base64_form) {
    text.resize(4 * ((key.size() + 2) / 3) + 1);
    base64_encode(key.data(), static_cast<int32_t>(key.size()), host::kStandardAlphabet,
                  reinterpret_cast<char*>(text.data()));
    text[text.size() - 1] = '\n';  // over the terminator
  } else {
    static const char digits[] = "0123456789abcdef";
    text.reserve(2 * key.size() + 1);
    for (unsigned char b : key) {
      text.push_back(static_cast<unsigned char>(digits[b >> 4]));
      text.push_back(static_cast<unsigned char>(digits[b & 15]));
    }
    text.push_back('\n');
  }
  return text;
}

SecretBytes hex_argument(const SecretBytes& hex, size_t size, const std::string& what) {
  SecretBytes bytes;
  try {
    bytes = host::from_hex(reinterpret_cast<const char*>(hex.data()), hex.size());
  } catch (const std::invalid_argument& e) {
    throw Failure(what + ": " + e.what());
  }
  if (bytes.size() != size)
    throw Failure(what + " must be " + std::to_string(size) + " bytes, found " + std::to_string(bytes.size()));
  return bytes;
}

// ---- Base64 ----

std::string base64(const unsigned char* data, size_t size, const char* alphabet) {
  if (size > 0x7fffffffu / 4 * 3) throw Failure("input too large to encode at once");
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const unsigned char none = 0;
  base64_encode(size ? data : &none, static_cast<int32_t>(size), alphabet, text.data());
  text.pop_back();
  return text;
}

Bytes unbase64(const std::string& text, const std::string& what) {
  Bytes out(3 * text.size() / 4 + 1);
  int32_t length = 0;
  int result = 0;
  const std::string line = console_of([&] { result = base64_decode(text.c_str(), &length, out.data()); });
  if (result != 0) {
    // The device's line quotes the whole text; a short prefix and the length say as much.
    std::string shown;
    for (size_t i = 0; i < text.size() && i < 32; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      char escaped[8];
      snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
      shown += escaped;
    }
    const bool lone = line.rfind("invalid base64 encoded str", 0) == 0;
    throw Failure(what + " refused as the device refuses it (" +
                  (lone ? "one lone character after the last group" : "not base64 encoded") + "): \"" + shown +
                  (text.size() > 32 ? "...\"" : "\"") + ", " + std::to_string(text.size()) + " characters");
  }
  out.resize(static_cast<size_t>(length));
  return out;
}

// ---- the helpers' console ----

Capture::Capture() {
  fflush(stdout);
  // A pipe that never blocks the helper: what does not fit (past tens of
  // KiB) fails to be written and is dropped; no file, no memory grows.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw Failure(system_error("cannot capture the console"));
  pipe_ = ends[0];
  fcntl(ends[1], F_SETFL, O_NONBLOCK);
  saved_ = dup(1);  // -1 when standard output is closed: it is closed again after
  if ((saved_ < 0 && errno != EBADF) || dup2(ends[1], 1) < 0) {
    if (saved_ >= 0) close(saved_);
    close(ends[0]);
    close(ends[1]);
    throw Failure(system_error("cannot capture the console"));
  }
  close(ends[1]);
}

std::string Capture::finish() {
  fflush(stdout);
  __fpurge(stdout);  // what could not be written is never written later
  clearerr(stdout);
  done_ = true;
  if (saved_ >= 0) {
    dup2(saved_, 1);
    close(saved_);
  } else {
    close(1);
  }
  char chunk[4096];
  size_t got = 0;
  for (ssize_t n; got < sizeof chunk && (n = ::read(pipe_, chunk + got, sizeof chunk - got)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    got += static_cast<size_t>(n);
  }
  close(pipe_);
  std::string text(chunk, got);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

Capture::~Capture() {
  if (!done_) finish();
}

}  // namespace cli

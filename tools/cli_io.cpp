#include "tools/cli_io.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers/encrypt.h"
#include "host/keys.h"

namespace cli {
namespace {

std::string system_error(const std::string& what) { return what + ": " + strerror(errno); }

// The named temporaries that a signal must remove: every temporary where
// the filesystem (or a missing /proc) gives no unnamed ones, and unnamed
// ones from their naming to their rename. A fixed table, read by the
// handler without locks or allocation; a slot's path is whole before the
// slot is live.
struct TempSlot {
  volatile sig_atomic_t live;
  char path[PATH_MAX];
};
TempSlot temp_slots[8];  // a command has at most three outputs
volatile sig_atomic_t shrink_exit = kFailed;
bool closed_at_start[3];

extern "C" void on_fatal_signal(int sig) {
  for (TempSlot& slot : temp_slots)
    if (slot.live) unlink(slot.path);
  if (sig == SIGBUS) {
    static const char message[] = "rawcrypt: an input file shrank while it was being read\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(shrink_exit);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// SignalsHeld: the cleaned signals wait while a temporary is made and
// remembered, and while outputs are put in place together.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kCleanedSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
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

// named_temp: a fresh name in `dir`, of a fixed length whatever the
// output's name, given to a file by make(name) (which fails with EEXIST
// when the name is taken). With `slot`, the name is remembered for the
// signal handler. An empty name, with errno, when make fails.
template <typename Make>
std::string named_temp(const std::string& dir, int* slot, Make make) {
  static unsigned serial = 0;
  for (int attempt = 0; attempt < 64; ++attempt) {
    char name[40];
    snprintf(name, sizeof name, "/.rawcrypt.tmp-%08x%04x", static_cast<unsigned>(getpid()), serial++ & 0xffffu);
    const std::string path = dir + name;
    SignalsHeld held;
    if (!make(path)) {
      if (errno == EEXIST) continue;
      return "";
    }
    if (slot == nullptr) return path;
    for (int i = 0; i < static_cast<int>(sizeof temp_slots / sizeof temp_slots[0]); ++i) {
      if (temp_slots[i].live) continue;
      snprintf(temp_slots[i].path, PATH_MAX, "%s", path.c_str());  // it fits: the kernel took it
      std::atomic_signal_fence(std::memory_order_seq_cst);
      temp_slots[i].live = 1;
      *slot = i;
      return path;
    }
    unlink(path.c_str());
    errno = EMFILE;
    return "";
  }
  return "";
}

bool stdin_claimed = false;

std::string dirname_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// final_target: the path a chain of symlinks ends at (which may not exist).
std::string final_target(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    char link[PATH_MAX];
    const ssize_t n = readlink(current.c_str(), link, sizeof link - 1);
    if (n < 0) return current;
    link[n] = '\0';
    current = link[0] == '/' ? std::string(link) : dirname_of(current) + "/" + link;
  }
  throw Failure("cannot write " + path + ": too many symbolic links");
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// size_text: a size in the largest unit that states it exactly (4 KiB, 1 GiB).
std::string size_text(size_t size) {
  static const char* const units[] = {"bytes", "KiB", "MiB", "GiB"};
  int unit = 0;
  for (; unit < 3 && size >= 1024 && size % 1024 == 0; ++unit) size /= 1024;
  return std::to_string(size) + " " + units[unit];
}

// self_path: the name through which linkat reaches an unnamed file.
std::string self_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// descriptor_of: the open descriptor a path names itself, or -1.
int descriptor_of(const std::string& path) {
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (!starts_with(path, prefix)) continue;
    const std::string digits = path.substr(strlen(prefix));
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(digits);
  }
  return -1;
}

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

}  // namespace

void hold_standard_streams() {
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    closed_at_start[fd] = true;
    const int held = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) close(held);
  }
}

void install_signal_cleanup(int shrink_exit_code) {
  shrink_exit = shrink_exit_code;
  struct sigaction action {};
  action.sa_handler = on_fatal_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : kCleanedSignals) {
    struct sigaction at_start {};
    // nohup, or a background job of a shell: the caller wants it ignored.
    if (sigaction(sig, nullptr, &at_start) == 0 && at_start.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
  sigaction(SIGBUS, &action, nullptr);
}

void claim_stdin(const std::string& what) {
  if (stdin_claimed)
    throw Failure("standard input can be only one input: " + what + " cannot read it too", kUsage);
  stdin_claimed = true;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// ---- inputs ----

Input::Input(const std::string& path) : name_(path == "-" ? "standard input" : path), standard_(path == "-") {
  if (standard_) {
    claim_stdin(name_);
    fd_ = 0;
    return;
  }
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw Failure(system_error("cannot read " + path));
}

Input::~Input() {
  if (!standard_ && fd_ >= 0) close(fd_);
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

Held::Held(const std::string& path, size_t cap, const std::string& what) {
  Input in(path);
  struct stat st;
  if (fstat(in.fd(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    if (static_cast<unsigned long long>(st.st_size) > 0xffffffffull)
      throw Failure(what + " (" + in.name() + ") is beyond the device's 32-bit lengths");
    void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, in.fd(), 0);
    if (map == MAP_FAILED) throw Failure(system_error("cannot read " + in.name()));
    data_ = static_cast<unsigned char*>(map);
    size_ = static_cast<size_t>(st.st_size);
    mapped_ = true;
    return;
  }
  // A pipe or a device: anonymous memory grown in place by mremap, so a
  // large input is never held twice.
  for (;;) {
    if (size_ == reserved_) {
      unsigned char more;
      if (reserved_ == cap && in.read(&more, 1) == 0) break;  // exactly the cap
      if (reserved_ == cap)
        throw Failure(what + " from " + in.name() + " is larger than the " + size_text(cap) +
                      " the tool holds from a pipe or device (give a file instead)");
      const size_t grown = std::min(cap, reserved_ == 0 ? size_t{1} << 20 : 2 * reserved_);
      void* p = reserved_ == 0 ? mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                               : mremap(data_, reserved_, grown, MREMAP_MAYMOVE);
      if (p == MAP_FAILED) throw Failure(system_error("cannot hold " + in.name()));
      data_ = static_cast<unsigned char*>(p);
      reserved_ = grown;
    }
    const size_t n = in.read(data_ + size_, reserved_ - size_);
    size_ += n;
    if (size_ < reserved_) break;  // the input ended
  }
}

Held::~Held() {
  if (mapped_ && size_ > 0) munmap(data_, size_);
  if (!mapped_ && reserved_ > 0) munmap(data_, reserved_);
}

// ---- outputs ----

Output::Output(const std::string& path, Kind kind) : shown_(path) {
  if (path == "-") {
    if (closed_at_start[1] || fcntl(1, F_GETFL) < 0) throw Failure("standard output is closed");
    standard_ = true;
    fd_ = 1;
    return;
  }
  const int given = descriptor_of(path);
  if (given >= 0) {  // its offset and flags (O_APPEND of ">>") are the caller's
    if (given <= 2 && closed_at_start[given]) throw Failure("cannot write " + path + ": " + strerror(EBADF));
    fd_ = fcntl(given, F_DUPFD_CLOEXEC, 3);
    if (fd_ < 0) throw Failure(system_error("cannot write " + path));
    return;
  }
  struct stat st;
  const bool present = stat(path.c_str(), &st) == 0;
  if (present && !S_ISREG(st.st_mode)) {  // a device, a FIFO, a terminal
    fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) throw Failure(system_error("cannot write " + path));
    return;
  }
  replaces_ = true;
  target_ = final_target(path);
  const std::string dir = dirname_of(target_);
  // An unnamed temporary is named at commit through /proc; without it, or
  // on a filesystem without unnamed temporaries, it has a name from the start.
  fd_ = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  unnamed_ = fd_ >= 0 && access(self_path(fd_).c_str(), F_OK) == 0;
  if (!unnamed_) {
    if (fd_ >= 0) close(fd_);
    named_temp_ = named_temp(dir, &slot_, [&](const std::string& name) {
      fd_ = open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
      return fd_ >= 0;
    });
    if (named_temp_.empty()) throw Failure(system_error("cannot write " + path));
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
  if (fchmod(fd_, mode) != 0) throw Failure(system_error("cannot write " + path));
}

Output::~Output() {
  if (fd_ >= 0 && !standard_) close(fd_);
  drop_temp();
}

void Output::drop_temp() {
  if (named_temp_.empty()) return;
  unlink(named_temp_.c_str());
  forget_temp(&slot_);
  named_temp_.clear();
}

void Output::write(const void* data, size_t size) { write_all(fd_, data, size, shown_); }

void Output::stage() {
  if (standard_) return;  // standard output stays open; main() checks its close
  if (replaces_ && fsync(fd_) != 0) throw Failure(system_error("cannot write " + shown_));
  if (unnamed_) {
    const std::string self = self_path(fd_);
    named_temp_ = named_temp(dirname_of(target_), &slot_, [&](const std::string& name) {
      return linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
    if (named_temp_.empty()) throw Failure(system_error("cannot write " + shown_));
    unnamed_ = false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) throw Failure(system_error("cannot write " + shown_));
}

void commit_together(std::initializer_list<Output*> outputs) {
  for (Output* out : outputs) out->stage();
  // The files change with the signals held: an interruption finds every
  // one replaced or none.
  SignalsHeld held;
  const std::vector<Output*> list(outputs);
  std::vector<std::string> kept(list.size());  // old files, until all are replaced
  size_t landed = 0;
  try {
    for (; landed < list.size(); ++landed) {
      Output& out = *list[landed];
      if (!out.replaces_) continue;
      const char* target = out.target_.c_str();
      if (landed + 1 < list.size() && exists(out.target_)) {  // the last one is never undone
        kept[landed] = named_temp(dirname_of(out.target_), nullptr, [&](const std::string& name) {
          // Without hard links (vfat), the old file is moved aside instead.
          return link(target, name.c_str()) == 0 || (errno != EEXIST && rename(target, name.c_str()) == 0);
        });
        if (kept[landed].empty()) throw Failure(system_error("cannot write " + out.shown_));
      }
      if (rename(out.named_temp_.c_str(), target) != 0) throw Failure(system_error("cannot write " + out.shown_));
      forget_temp(&out.slot_);
      out.named_temp_.clear();
    }
  } catch (...) {
    for (size_t i = std::min(landed + 1, list.size()); i-- > 0;) {
      const char* target = list[i]->target_.c_str();
      if (!kept[i].empty()) {  // a link to the file in place is merely removed
        rename(kept[i].c_str(), target);
        unlink(kept[i].c_str());
      } else if (i < landed && list[i]->replaces_) {
        unlink(target);
      }
    }
    throw;
  }
  for (const std::string& name : kept)
    if (!name.empty()) unlink(name.c_str());
}

// ---- keys ----

SecretBytes read_key(const std::string& path, size_t size, const std::string& what) {
  const std::string where = what + " (" + (path == "-" ? std::string("standard input") : path) + ")";
  constexpr size_t kMaxKeyFile = 4096;
  Input in(path);
  SecretBytes file(kMaxKeyFile + 1);  // reserved up front: never grows, never copied
  const size_t got = in.read(file.data(), kMaxKeyFile + 1);
  if (got > kMaxKeyFile) throw Failure(where + " is not a key file: larger than 4 KiB");
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
  file_ = memfd_create("rawcrypt-console", MFD_CLOEXEC);  // in memory: no writable /tmp needed
  if (file_ < 0) throw Failure(system_error("cannot capture the console"));
  saved_ = dup(1);  // -1 when standard output is closed: it is closed again after
  if (saved_ < 0 && errno != EBADF) {
    close(file_);
    throw Failure(system_error("cannot capture the console"));
  }
  if (dup2(file_, 1) < 0) {
    if (saved_ >= 0) close(saved_);
    close(file_);
    throw Failure(system_error("cannot capture the console"));
  }
}

std::string Capture::finish() {
  fflush(stdout);
  done_ = true;
  if (saved_ >= 0) {
    dup2(saved_, 1);
    close(saved_);
  } else {
    close(1);
  }
  std::string text;
  lseek(file_, 0, SEEK_SET);
  char chunk[4096];
  const ssize_t n = ::read(file_, chunk, sizeof chunk);
  if (n > 0) text.assign(chunk, static_cast<size_t>(n));
  close(file_);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

Capture::~Capture() {
  if (!done_) finish();
}

}  // namespace cli

// How the tool fails: a problem reported on one line of stderr, with the
// exit code to leave by and, for the system's refusals, its reason; and
// text from outside made safe to quote on that line. Reads errno; touches
// nothing.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_FAILURE_H
#define RAWCRYPT_TOOLS_RAWCRYPT_FAILURE_H

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace cli {

constexpr int kUsage = 2;   // exit code of a usage error
constexpr int kFailed = 1;  // of any other failure

// A problem to report on one line of stderr, with the exit code to leave by.
struct Failure : std::runtime_error {
  explicit Failure(const std::string& what, int code = kFailed) : std::runtime_error(what), exit_code(code) {}
  int exit_code;
};

// system_error: `what` and the reason errno gives.
inline std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// printable: text from outside (a file name, an option, a token's label)
// with its control characters as \xHH, so that it can neither end a
// message's line nor forge another.
inline std::string printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
      continue;
    }
    static const char digits[] = "0123456789abcdef";
    out += {'\\', 'x', digits[c >> 4], digits[c & 15]};
  }
  return out;
}

// fail: a Failure of `what` for the system's `error`.
[[noreturn]] inline void fail(const std::string& what, int error) {
  errno = error;
  throw Failure(system_error(what));
}

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_FAILURE_H

// How the tool fails: a problem reported on one line of stderr, with the
// exit code to leave by and, for the system's refusals, its reason. Reads
// errno; touches nothing.
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

// fail: a Failure of `what` for the system's `error`.
[[noreturn]] inline void fail(const std::string& what, int error) {
  errno = error;
  throw Failure(system_error(what));
}

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_FAILURE_H

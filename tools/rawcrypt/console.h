// The helpers' console: what a helper prints on standard output while the
// tool calls it, caught for the tool's own messages and kept off its
// output. Touches descriptor 1 while a capture lives.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_CONSOLE_H
#define RAWCRYPT_TOOLS_RAWCRYPT_CONSOLE_H

#include <string>

namespace cli {

// Capture: standard output goes to a pipe that never blocks the helper
// until finish(), which gives back its first 4 KiB, final line ends aside.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::string finish();

 private:
  int saved_ = -1, pipe_ = -1;
  bool done_ = false;
};

// console_of: what a helper printed on standard output while fn ran.
template <typename Fn>
std::string console_of(Fn fn) {
  Capture capture;
  fn();
  return capture.finish();
}

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_CONSOLE_H

// What a call prints on the console, for byte-exact checks of its lines.
#ifndef RAWCRYPT_TESTS_CONSOLE_H
#define RAWCRYPT_TESTS_CONSOLE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// printed_by: runs f with standard output captured and returns what it wrote.
template <typename F>
std::string printed_by(F&& f) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

#endif  // RAWCRYPT_TESTS_CONSOLE_H

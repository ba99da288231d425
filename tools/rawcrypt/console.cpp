// The helpers' console caught through a pipe on descriptor 1.
#include "tools/rawcrypt/console.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include "tools/rawcrypt/failure.h"

namespace cli {

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

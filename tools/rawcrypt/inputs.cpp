// Inputs streamed or held: files, standard input, the caller's descriptors.
#include "tools/rawcrypt/inputs.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/paths.h"

namespace cli {
namespace {

bool stdin_claimed = false;

// size_text: a size in the largest unit that states it exactly (4 KiB, 1 GiB).
std::string size_text(size_t size) {
  static const char* const units[] = {"bytes", "KiB", "MiB", "GiB"};
  int unit = 0;
  for (; unit < 3 && size >= 1024 && size % 1024 == 0; ++unit) size /= 1024;
  return std::to_string(size) + " " + units[unit];
}

}  // namespace

void claim_stdin(const std::string& what) {
  if (stdin_claimed)
    throw Failure("standard input can be only one input: " + what + " cannot read it too", kUsage);
  stdin_claimed = true;
}

Input::Input(const std::string& path) : name_(path == "-" ? "standard input" : printable(path)) {
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

}  // namespace cli

// libFuzzer: base64_decode on arbitrary text against the byte-at-a-time
// reference: same result, same output_length (or untouched), same bytes,
// nothing written past them.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "helpers/encrypt.h"
#include "tests/support/base64_reference.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!freopen("/dev/null", "w", stdout)) abort();  // the refusal lines
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();  // the helper reads up to the first NUL
  const reference::Decoded want = reference::base64_decode(text);
  constexpr unsigned char kGuard = 0xa7;
  std::vector<unsigned char> out(3 * text.size() / 4 + 16, kGuard);
  int32_t length = -1;
  const int result = base64_decode(text.c_str(), &length, out.data());
  if (result != want.result) abort();
  if (length != (want.length_touched ? want.output_length : -1)) abort();
  for (size_t i = 0; i < out.size(); ++i)
    if (out[i] != (i < want.bytes.size() ? want.bytes[i] : kGuard)) abort();
  return 0;
}

// libFuzzer: base64_decode on arbitrary text, on every coding path this CPU
// has, against the byte-at-a-time reference: same result, same output_length
// (or untouched), same bytes, nothing written past them.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "helpers/base64.h"
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
  for (int p = 0; p < rawcrypt::base64::kPathCount; ++p) {
    const auto path = static_cast<rawcrypt::base64::Path>(p);
    if (!rawcrypt::base64::available(path)) continue;
    std::vector<unsigned char> out(3 * text.size() / 4 + 16, kGuard);
    int32_t length = -1;
    const int result = rawcrypt::base64::decode(path, text.c_str(), &length, out.data());
    if (result != want.result) abort();
    if (length != (want.length_touched ? want.output_length : -1)) abort();
    for (size_t i = 0; i < out.size(); ++i)
      if (out[i] != (i < want.bytes.size() ? want.bytes[i] : kGuard)) abort();
  }
  return 0;
}

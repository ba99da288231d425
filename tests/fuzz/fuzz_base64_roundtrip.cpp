// libFuzzer: on every coding path this CPU has, encode arbitrary bytes with
// the standard alphabet and with a rotated one, compare with the reference
// encoder, and decode the standard text back to the same bytes.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "helpers/base64.h"
#include "tests/support/base64_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  std::string alphabet(reference::kStandardAlphabet);
  if (size > 0) std::rotate(alphabet.begin(), alphabet.begin() + data[0] % 64, alphabet.end());
  const unsigned char none = 0;
  for (int p = 0; p < rawcrypt::base64::kPathCount; ++p) {
    const auto path = static_cast<rawcrypt::base64::Path>(p);
    if (!rawcrypt::base64::available(path)) continue;
    for (const std::string& a : {std::string(reference::kStandardAlphabet), alphabet}) {
      std::string text(4 * ((size + 2) / 3) + 1, '#');
      rawcrypt::base64::encode(path, size ? data : &none, static_cast<int32_t>(size), a.c_str(), text.data());
      if (text.back() != '\0') abort();
      text.pop_back();
      if (text != reference::base64_encode(bytes, a.c_str())) abort();
      if (a != reference::kStandardAlphabet) continue;
      std::vector<unsigned char> back(size + 1);
      int32_t length = -1;
      if (rawcrypt::base64::decode(path, text.c_str(), &length, back.data()) != 0) abort();
      if (length != static_cast<int32_t>(size) || !std::equal(bytes.begin(), bytes.end(), back.begin()))
        abort();
    }
  }
  return 0;
}

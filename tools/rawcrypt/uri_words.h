// Command-line words that are PKCS#11 URIs: told apart from file names, and
// their PIN taken out of the process list. Touches only the word it is given.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_URI_WORDS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_URI_WORDS_H

#include <cstring>
#include <string>

#include <strings.h>

namespace cli {

// is_pkcs11_uri: whether a word is meant as a URI: "pkcs11:" in any case,
// after any spaces (p11-kit reads it so).
inline bool is_pkcs11_uri(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  return strncasecmp(text, "pkcs11:", 7) == 0;
}
inline bool is_pkcs11_uri(const std::string& text) { return is_pkcs11_uri(text.c_str()); }

// hide_pin: overwrites a command-line word from the value of its first
// "pin-value=" or "pin-source=" (in any case, in a URI's path or query, or in
// any other word) to its end, so that other users stop seeing the PIN (or a
// PIN put in pin-source by mistake) in the process list. Returns the name
// it found ("pin-value" or "pin-source"), or null.
inline const char* hide_pin(char* word) {
  for (char* at = word; *at != '\0'; ++at)
    for (const char* name : {"pin-value", "pin-source"}) {
      const size_t length = std::strlen(name);
      if (strncasecmp(at, name, length) != 0 || at[length] != '=') continue;
      std::memset(at + length + 1, '*', std::strlen(at + length + 1));
      return name;
    }
  return nullptr;
}

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_URI_WORDS_H

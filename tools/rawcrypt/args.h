// A command's options as the command line gives them, checked against what
// the command takes; secrets (a key in hex, a URI with its PIN) moved into
// wiped memory and overwritten where they stood. Touches the words of the
// command line (argv) it is given.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_ARGS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_ARGS_H

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/bytes.h"

namespace cli {

using host::SecretBytes;

// The command line as main() received it: secret values are taken out of it.
using Words = std::vector<char*>;

// Args: the options of one command, checked against what it takes. Options
// may be written "--opt value" or "--opt=value"; each may be given once, and
// options that exclude each other may not come together. A key given on the
// command line, and a PKCS#11 URI with its PIN, are moved into wiped memory
// and the secret overwritten where it stood, so that other users stop seeing
// it in the process list. A pin-value (or pin-source) is overwritten in every
// word before any is read, and taken only inside the URI of --key or --uri.
class Args {
 public:
  Args(const Words& words, const std::set<std::string>& valued, const std::set<std::string>& flags,
       const std::vector<std::pair<std::string, std::string>>& conflicts = {});
  bool has(const std::string& name) const { return values_.count(name) || flags_.count(name) || secrets_.count(name); }
  std::string get(const std::string& name, const std::string& fallback = "") const;
  // need: the value of an option the command cannot go without.
  std::string need(const std::string& name) const;
  // take: a value that may be secret, in wiped memory. A secret is handed
  // over once: the copy here is wiped, so that a PIN is not kept longer than
  // its user keeps it.
  SecretBytes take(const std::string& name) const;

 private:
  static std::string name_of(const char* word) { return std::string(word, std::strcspn(word, "=")); }

  std::map<std::string, std::string> values_;
  mutable std::map<std::string, SecretBytes> secrets_;
  std::set<std::string> flags_;
};

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_ARGS_H

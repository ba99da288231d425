// Options checked against a command's, and secrets moved out of argv.
#include "tools/rawcrypt/args.h"

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/uri_words.h"

namespace cli {

Args::Args(const Words& words, const std::set<std::string>& valued, const std::set<std::string>& flags,
           const std::vector<std::pair<std::string, std::string>>& conflicts) {
  // The words that held a pin-value (or pin-source), as they were, and which.
  std::map<const char*, std::pair<SecretBytes, const char*>> pinned;
  for (char* word : words) {
    const auto* text = reinterpret_cast<const unsigned char*>(word);
    SecretBytes before(text, text + std::strlen(word));
    if (const char* pin = hide_pin(word)) pinned[word] = {std::move(before), pin};
  }
  std::string name;
  for (size_t i = 0; i < words.size(); ++i) {
    // Usage errors name options only: a stray word or a value may be a key.
    if (std::strncmp(words[i], "--", 2) != 0)
      throw Failure("unexpected argument" + (name.empty() ? "" : " after " + name) + " (see --help)", kUsage);
    char* eq = std::strchr(words[i], '=');
    name = name_of(words[i]);
    if (has(name)) throw Failure(name + " is given more than once", kUsage);
    if (valued.count(name)) {
      char* value = eq ? eq + 1 : nullptr;
      if (!eq) {
        if (i + 1 == words.size() || valued.count(name_of(words[i + 1])) || flags.count(name_of(words[i + 1])))
          throw Failure(name + " needs a value", kUsage);
        value = words[++i];
      }
      const auto pin = pinned.find(words[i]);
      if (pin != pinned.end() && !((name == "--key" || name == "--uri") && is_pkcs11_uri(value)))
        throw Failure(name + " takes no " + pin->second.second + ": only a PKCS#11 URI given to --key or --uri does",
                      kUsage);
      if (name == "--key-hex" || is_pkcs11_uri(value)) {
        const size_t length = std::strlen(value);
        const auto* from = pin != pinned.end() ? pin->second.first.data() + (value - words[i])
                                               : reinterpret_cast<const unsigned char*>(value);
        secrets_[name] = SecretBytes(from, from + length);
        if (name == "--key-hex")
          std::memset(value, '*', length);
        else
          values_[name] = value;
      } else {
        values_[name] = value;
      }
    } else if (flags.count(name)) {
      if (eq) throw Failure(name + " takes no value", kUsage);
      flags_.insert(name);
    } else {
      throw Failure("unknown option " + printable(name) + " (see --help)", kUsage);
    }
  }
  for (const auto& [a, b] : conflicts)
    if (has(a) && has(b)) throw Failure(a + " and " + b + " exclude each other", kUsage);
}

std::string Args::get(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

std::string Args::need(const std::string& name) const {
  if (!values_.count(name)) throw Failure(name + " is required (see --help)", kUsage);
  return values_.at(name);
}

SecretBytes Args::take(const std::string& name) const {
  if (secrets_.count(name)) return std::move(secrets_.at(name));
  const std::string& value = values_.at(name);
  return SecretBytes(reinterpret_cast<const unsigned char*>(value.data()),
                     reinterpret_cast<const unsigned char*>(value.data()) + value.size());
}

}  // namespace cli

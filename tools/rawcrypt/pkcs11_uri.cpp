// PKCS#11 URIs: the attributes checked, parsed by p11-kit, the PIN moved out.
#include "tools/rawcrypt/pkcs11_uri.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string_view>

#include "tools/rawcrypt/failure.h"

namespace cli {
namespace {

// The query attributes the tool takes.
const std::string_view kQueryNames[] = {"pin-source", "pin-value", "module-name", "module-path"};

// check_names: RFC 7512 gives each attribute once, and the tool takes four
// query attributes. p11-kit would keep the last of a repeat (and free a
// repeated pin-value unwiped), and keep any other query attribute, a typo
// or the rest of a PIN cut at an unencoded '&', as a vendor's. No name is
// shown: it may be a piece of a PIN.
void check_names(const SecretBytes& text) {
  const std::string_view uri(reinterpret_cast<const char*>(text.data()), text.size());
  std::set<std::string_view> seen;
  const auto each = [&](size_t from, size_t to, char separator, bool query) {
    for (size_t end; from < to; from = end + 1) {
      end = std::min(uri.find(separator, from), to);
      const std::string_view name = uri.substr(from, std::min(uri.find('=', from), end) - from);
      if (name.empty()) continue;
      if (query && std::find(std::begin(kQueryNames), std::end(kQueryNames), name) == std::end(kQueryNames))
        throw Failure("the URI's query takes only pin-source, pin-value, module-name and module-path"
                      " (a PIN with '&' is written %26)", kUsage);
      if (!seen.insert(name).second) throw Failure("the URI gives an attribute more than once", kUsage);
    }
  };
  const size_t path = uri.find(':') + 1, query = std::min(uri.find('?', path), uri.size());
  each(path, query, ';', false);
  each(query + 1, uri.size(), '&', true);
}

}  // namespace

std::string padded_text(const unsigned char* field, size_t size) {
  return std::string(reinterpret_cast<const char*>(field), p11_kit_space_strlen(field, size));
}

std::string quoted(const std::string& name) { return "'" + printable(name) + "'"; }

UriOwner new_uri() { return UriOwner(p11_kit_uri_new(), p11_kit_uri_free); }

Parsed::Parsed(const SecretBytes& text) {
  check_names(text);
  SecretBytes terminated(text);
  terminated.push_back('\0');
  if (!uri) throw Failure("out of memory");
  const int parsed =
      p11_kit_uri_parse(reinterpret_cast<const char*>(terminated.data()), P11_KIT_URI_FOR_ANY, uri.get());
  if (parsed != P11_KIT_URI_OK)
    throw Failure(std::string("not a PKCS#11 URI: ") + p11_kit_uri_message(parsed), kUsage);
  if (const char* value = p11_kit_uri_get_pin_value(uri.get())) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value);
    pin = SecretBytes(bytes, bytes + strlen(value));
    has_pin = true;
    OPENSSL_cleanse(const_cast<char*>(value), strlen(value));  // p11-kit frees it unwiped
    p11_kit_uri_set_pin_value(uri.get(), nullptr);
  }
  // A PIN put in pin-source by mistake is neither read as a path nor shown.
  const char* source = p11_kit_uri_get_pin_source(uri.get());
  if (source != nullptr && std::strncmp(source, "file:", 5) != 0)
    throw Failure("the URI's pin-source must be file:PATH, the path of a file that holds the PIN", kUsage);
  CString formatted;
  p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_ANY, &formatted.p);
  shown = formatted.p ? formatted.p : "pkcs11:";
  if (p11_kit_uri_any_unrecognized(uri.get()))
    throw Failure("the URI has an attribute the tool does not know, so it names nothing: " + shown, kUsage);
  if (const CK_ATTRIBUTE* label = attribute(CKA_LABEL))
    object = quoted(std::string(static_cast<const char*>(label->pValue), label->ulValueLen));
  else if (const CK_ATTRIBUTE* id = attribute(CKA_ID))
    object = "with id " + host::to_hex(static_cast<const unsigned char*>(id->pValue), id->ulValueLen);
}

}  // namespace cli

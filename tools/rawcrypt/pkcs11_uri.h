// A PKCS#11 URI (RFC 7512) taken apart by p11-kit: the attributes the tool
// takes, each once, and its pin-value moved into wiped memory so that no
// message shows it; and text from tokens and URIs made safe to show.
// Touches nothing.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_PKCS11_URI_H
#define RAWCRYPT_TOOLS_RAWCRYPT_PKCS11_URI_H

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include "host/bytes.h"
#include "tools/rawcrypt/failure.h"

namespace cli {

using host::Bytes;
using host::SecretBytes;

// What p11-kit allocates for the caller.
struct CString {
  CString() = default;
  explicit CString(char* text) : p(text) {}
  ~CString() { free(p); }
  CString(const CString&) = delete;
  CString& operator=(const CString&) = delete;
  std::string str() const { return p ? p : ""; }
  char* p = nullptr;
};

// padded_text: a token's fixed-length text field without its padding.
std::string padded_text(const unsigned char* field, size_t size);

// quoted: a name as messages show it: printable, in single quotes.
std::string quoted(const std::string& name);

using UriOwner = std::unique_ptr<P11KitUri, void (*)(P11KitUri*)>;
UriOwner new_uri();

// Parsed: a URI taken apart by p11-kit; its pin-value moved into wiped
// memory and out of the URI, so that no message can show it. A pin-source
// is a file:PATH, or the URI is refused.
struct Parsed {
  explicit Parsed(const SecretBytes& text);
  UriOwner uri = new_uri();
  SecretBytes pin;
  bool has_pin = false;
  std::string shown;   // the URI without pin-value
  std::string object;  // "'NAME'", "with id HEX" or "" (any)
  const CK_ATTRIBUTE* attribute(CK_ATTRIBUTE_TYPE type) const { return p11_kit_uri_get_attribute(uri.get(), type); }
  bool gives_pin() const { return has_pin || p11_kit_uri_get_pin_source(uri.get()) != nullptr; }
  // allows: whether the URI's type= (where it has one) is `kind`.
  bool allows(CK_OBJECT_CLASS kind) const {
    const CK_ATTRIBUTE* type = attribute(CKA_CLASS);
    return type == nullptr || (type->ulValueLen == sizeof kind && memcmp(type->pValue, &kind, sizeof kind) == 0);
  }
};

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_PKCS11_URI_H

// A token's keys found: objects by their attributes, their values, P-256
// points, and the one token a URI names opened with the key it names.
// Touches the token through its session only (reads; logs in).
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_TOKEN_SEARCH_H
#define RAWCRYPT_TOOLS_RAWCRYPT_TOKEN_SEARCH_H

#include <string>
#include <vector>

#include "host/keys.h"
#include "tools/rawcrypt/pkcs11_session.h"

namespace cli {

using host::RawKeyPair;

// P-256's name (prime256v1) as CKA_EC_PARAMS holds it: a DER object identifier.
extern const unsigned char kP256[10];

// find: every object that has the template's attributes.
std::vector<CK_OBJECT_HANDLE> find(const Session& session, std::vector<CK_ATTRIBUTE> wanted, const Context& context);

// attribute: an attribute's value; empty when the object has none to give.
Bytes attribute(const Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
// number: an attribute that is a CK_ULONG; 0 when it is none.
CK_ULONG number(const Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

// point_of: X and Y of a CKA_EC_POINT: a DER OCTET STRING around 04||X||Y,
// or that point bare, as some tokens keep it.
bool point_of(const Bytes& ec_point, RawKeyPair* key);
bool on_p256(const Session& session, CK_OBJECT_HANDLE key);

// attr: a template's attribute that points to `value`.
template <typename T>
CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const T& value) {
  return {type, const_cast<T*>(&value), sizeof value};
}

// named_template: a template of the class and key type, with the URI's object= and id=.
std::vector<CK_ATTRIBUTE> named_template(const Parsed& parsed, const CK_OBJECT_CLASS& kind, const CK_KEY_TYPE& type);

// Opened: the one token a URI names, with a session on it.
struct Opened {
  Opened(const SecretBytes& text, bool read_write)
      : parsed(text),
        context{parsed.shown, "", parsed.object},
        modules(parsed, context),
        slot(one_slot(modules, parsed, &context)),
        session(slot, context, read_write) {}
  // key: the key the URI names, for messages.
  std::string key() const;
  // log_in: as the user, where the token asks for it. The PIN stays until
  // forget_pin(), for a key that asks for it again at each use.
  void log_in();
  void log_in_as(CK_USER_TYPE user);
  void forget_pin();
  // none: fails: the token holds no `what` of that name or id.
  [[noreturn]] void none(const std::string& what) const;
  // at_most_one: fails when more than one `what` matches.
  void at_most_one(size_t found, const std::string& what) const;
  // one_key: the key of that class and type the URI names: exactly one, or
  // with `optional` none at all (CK_INVALID_HANDLE).
  CK_OBJECT_HANDLE one_key(CK_OBJECT_CLASS kind, CK_KEY_TYPE type, const std::string& what, bool optional = false);
  void require_p256(CK_OBJECT_HANDLE object) const;
  // require: the token offers the mechanism for the use.
  void require(CK_MECHANISM_TYPE type, CK_FLAGS use, const char* name) const;
  // public_point: X and Y from the one public key object the URI names (of
  // the private key's id, where a private key is given), checked against the
  // private key's own CKA_EC_POINT where the token keeps one; or that point
  // alone. False when the token keeps neither.
  bool public_point(CK_OBJECT_HANDLE private_key, RawKeyPair* point);

  Parsed parsed;
  Context context;
  Modules modules;
  Slot slot;
  Session session;
  SecretBytes pin;
};

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_TOKEN_SEARCH_H

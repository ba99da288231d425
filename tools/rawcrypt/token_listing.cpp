// The tokens the modules offer, and each P-256 and AES-256 key with its URI.
#include "tools/rawcrypt/token_key.h"

#include <cstring>
#include <map>
#include <tuple>

#include "tools/rawcrypt/token_search.h"

namespace cli {

std::string token_listing(const SecretBytes* uri) {
  static const unsigned char kAny[] = "pkcs11:";
  const Parsed parsed(uri ? *uri : SecretBytes(kAny, kAny + 7));
  Context context{parsed.shown, "", ""};
  const Modules modules(parsed, context);
  const char* pin_source = p11_kit_uri_get_pin_source(parsed.uri.get());
  const std::vector<Slot> slots = slots_of(modules, parsed.uri.get());
  // A PIN goes to the one token the URI names, never to others: a wrong PIN
  // counts against a token, and one vendor's PIN is not another's business.
  const bool log_in = parsed.gives_pin() && slots.size() == 1;
  // A label that two tokens share is told apart by the serial number.
  std::map<std::string, int> labels;
  for (const Slot& slot : slots_of(modules, new_uri().get())) ++labels[slot.label()];
  std::string out;
  for (const Slot& slot : slots) {
    context.token = slot.label();
    const CK_TOKEN_INFO& info = slot.info;
    out += "token " + quoted(context.token) + ": " +
           printable(padded_text(info.manufacturerID, sizeof info.manufacturerID) + " " +
                     padded_text(info.model, sizeof info.model) + ", serial " +
                     padded_text(info.serialNumber, sizeof info.serialNumber) + ", module " +
                     CString(p11_kit_module_get_filename(slot.f)).str()) +
           "\n";
    const Session session(slot, context, false);
    const bool needs_pin = info.flags & CKF_LOGIN_REQUIRED;
    if (needs_pin && log_in) login(session, CKU_USER, pin_of(parsed, context), context);
    // P-256 keys by name and id, with the halves the token shows; AES-256 keys.
    enum { kPrivate = 1, kPublic = 2, kAes = 4 };
    std::map<std::tuple<bool, Bytes, Bytes>, int> keys;
    for (const CK_OBJECT_CLASS kind : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_SECRET_KEY}) {
      const CK_KEY_TYPE type = kind == CKO_SECRET_KEY ? CKK_AES : CKK_EC;
      if (!parsed.allows(kind)) continue;
      for (CK_OBJECT_HANDLE object : find(session, named_template(parsed, kind, type), context)) {
        if (kind == CKO_SECRET_KEY ? number(session, object, CKA_VALUE_LEN) != 32 : !on_p256(session, object))
          continue;
        keys[{kind == CKO_SECRET_KEY, attribute(session, object, CKA_LABEL), attribute(session, object, CKA_ID)}] |=
            kind == CKO_SECRET_KEY ? kAes : kind == CKO_PRIVATE_KEY ? kPrivate : kPublic;
      }
    }
    for (const auto& [name, halves] : keys) {
      const Bytes& label = std::get<1>(name);
      const Bytes& id = std::get<2>(name);
      const UriOwner key_uri = new_uri();
      CK_TOKEN_INFO* named = p11_kit_uri_get_token_info(key_uri.get());
      memcpy(named->label, info.label, sizeof info.label);
      if (labels[context.token] > 1) memcpy(named->serialNumber, info.serialNumber, sizeof info.serialNumber);
      for (const auto& [type, value] : {std::make_pair(CKA_LABEL, &label), std::make_pair(CKA_ID, &id)}) {
        CK_ATTRIBUTE a = {type, const_cast<unsigned char*>(value->data()), value->size()};
        if (!value->empty()) p11_kit_uri_set_attribute(key_uri.get(), &a);
      }
      // What chose the module and the PIN chooses them again.
      p11_kit_uri_set_module_path(key_uri.get(), p11_kit_uri_get_module_path(parsed.uri.get()));
      p11_kit_uri_set_module_name(key_uri.get(), p11_kit_uri_get_module_name(parsed.uri.get()));
      p11_kit_uri_set_pin_source(key_uri.get(), pin_source);
      CString text;
      p11_kit_uri_format(key_uri.get(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN, &text.p);
      out += std::string(halves == kAes               ? "  AES-256 key        "
                         : halves == (kPrivate | kPublic) ? "  P-256 key pair     "
                         : halves == kPrivate             ? "  P-256 private key  "
                                                          : "  P-256 public key   ") +
             text.str() + "\n";
    }
    if (needs_pin && !log_in)
      out += parsed.gives_pin() ? "  (private keys are listed when the URI names this token alone)\n"
                                : "  (private keys are listed when the URI gives the PIN: pin-source=file:PATH)\n";
  }
  return out.empty() ? "no token" + std::string(uri ? " matches " + parsed.shown : "") + "\n" : out;
}

}  // namespace cli

#include "host/compat.h"

#include "tools/cli_pkcs11.h"

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "helpers/encrypt.h"

namespace cli {
namespace {

using host::RawKeyPair;

// P-256's name (prime256v1) as CKA_EC_PARAMS holds it: a DER object identifier.
const unsigned char kP256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

// Tokens may refuse long single-part operations: ciphers go to them in
// pieces of at most this size, chained on the host.
constexpr size_t kPiece = size_t{64} << 10;

// A PIN longer than this is refused rather than cut.
constexpr size_t kMaxPin = 256;

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

std::string padded_text(const unsigned char* field, size_t size) {
  return std::string(reinterpret_cast<const char*>(field), p11_kit_space_strlen(field, size));
}

// printable: text from a token or a URI with its control characters as \xHH,
// so that a label can neither end a line nor forge one.
std::string printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    char escaped[5] = {static_cast<char>(c)};
    if (c < 0x20 || c == 0x7f) snprintf(escaped, sizeof escaped, "\\x%02x", c);
    out += escaped;
  }
  return out;
}

std::string quoted(const std::string& name) { return "'" + printable(name) + "'"; }

using UriOwner = std::unique_ptr<P11KitUri, void (*)(P11KitUri*)>;
UriOwner new_uri() { return UriOwner(p11_kit_uri_new(), p11_kit_uri_free); }

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

// Parsed: a URI taken apart by p11-kit; its pin-value moved into wiped
// memory and out of the URI, so that no message can show it.
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

// Context: what a message names: the token once found, the object, and the
// URI without its pin-value.
struct Context {
  std::string uri, token, object;
  [[noreturn]] void fail(const std::string& what) const { throw Failure(what + " (" + uri + ")"); }
  void check(CK_RV rv, const char* call) const {
    if (rv == CKR_OK) return;
    char code[32];
    snprintf(code, sizeof code, " (CKR 0x%lx)", static_cast<unsigned long>(rv));
    fail(std::string(call) + " failed on token " + quoted(token) + (object.empty() ? "" : ", object " + object) +
         ": " + p11_kit_strerror(rv) + code);
  }
};

std::string module_message() {
  const char* text = p11_kit_message();
  return text ? text : "no reason given";
}

struct ModuleOwner {  // one module, loaded and initialised
  void operator()(CK_FUNCTION_LIST* module) const {
    p11_kit_module_finalize(module);
    p11_kit_module_release(module);
  }
};
struct ModulesOwner {  // the system's registered modules
  void operator()(CK_FUNCTION_LIST** modules) const { p11_kit_modules_finalize_and_release(modules); }
};

// named: whether a registered module is `name`: its registration's name
// or its file's, without the folder and the ".so" ending.
bool named(CK_FUNCTION_LIST* module, const std::string& name) {
  if (CString(p11_kit_module_get_name(module)).str() == name) return true;
  std::string file = CString(p11_kit_module_get_filename(module)).str();
  file = file.substr(file.rfind('/') + 1);
  return file.substr(0, file.find(".so")) == name;
}

// Modules: those a URI chooses: module-path=, module-name=, or every module
// registered on the system (what p11-kit's proxy offers). Initialised for
// as long as the owner lives.
class Modules {
 public:
  Modules(const Parsed& parsed, const Context& context) {
    if (const char* path = p11_kit_uri_get_module_path(parsed.uri.get())) {
      std::unique_ptr<CK_FUNCTION_LIST, void (*)(CK_FUNCTION_LIST*)> loaded(p11_kit_module_load(path, 0),
                                                                            p11_kit_module_release);
      if (!loaded) context.fail("cannot load the PKCS#11 module " + std::string(path) + ": " + module_message());
      const CK_RV rv = p11_kit_module_initialize(loaded.get());
      if (rv != CKR_OK)
        context.fail("cannot initialise the PKCS#11 module " + std::string(path) + ": " + p11_kit_strerror(rv));
      one_.reset(loaded.release());
      list_.push_back(one_.get());
      return;
    }
    all_.reset(p11_kit_modules_load_and_initialize(0));
    if (!all_) context.fail("cannot load the system's PKCS#11 modules: " + module_message());
    const char* name = p11_kit_uri_get_module_name(parsed.uri.get());
    for (CK_FUNCTION_LIST** module = all_.get(); *module != nullptr; ++module)
      if (name == nullptr || named(*module, name)) list_.push_back(*module);
    if (name != nullptr && list_.empty()) context.fail("no registered PKCS#11 module is named " + quoted(name));
  }
  const std::vector<CK_FUNCTION_LIST*>& list() const { return list_; }

 private:
  std::unique_ptr<CK_FUNCTION_LIST, ModuleOwner> one_;
  std::unique_ptr<CK_FUNCTION_LIST*, ModulesOwner> all_;
  std::vector<CK_FUNCTION_LIST*> list_;
};

struct Slot {
  CK_FUNCTION_LIST* f;
  CK_SLOT_ID id;
  CK_TOKEN_INFO info;
  std::string label() const { return padded_text(info.label, sizeof info.label); }
};

// slots_of: the slots whose tokens (and modules) the URI matches; a token
// not yet initialised holds nothing and is left out.
std::vector<Slot> slots_of(const Modules& modules, P11KitUri* uri) {
  std::vector<Slot> slots;
  const CK_SLOT_ID wanted = p11_kit_uri_get_slot_id(uri);
  for (CK_FUNCTION_LIST* f : modules.list()) {
    CK_INFO module_info;
    CK_ULONG count = 0;
    if (f->C_GetInfo(&module_info) != CKR_OK || !p11_kit_uri_match_module_info(uri, &module_info) ||
        f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK)
      continue;
    std::vector<CK_SLOT_ID> ids(count);
    if (f->C_GetSlotList(CK_TRUE, ids.data(), &count) != CKR_OK) continue;
    ids.resize(std::min<size_t>(count, ids.size()));
    for (CK_SLOT_ID id : ids) {
      Slot slot{f, id, {}};
      CK_SLOT_INFO slot_info;
      if (f->C_GetSlotInfo(id, &slot_info) == CKR_OK && p11_kit_uri_match_slot_info(uri, &slot_info) &&
          (wanted == static_cast<CK_SLOT_ID>(-1) || wanted == id) && f->C_GetTokenInfo(id, &slot.info) == CKR_OK &&
          (slot.info.flags & CKF_TOKEN_INITIALIZED) && p11_kit_uri_match_token_info(uri, &slot.info))
        slots.push_back(slot);
    }
  }
  return slots;
}

// one_slot: the token a URI names, which must be exactly one.
Slot one_slot(const Modules& modules, const Parsed& parsed, Context* context) {
  const std::vector<Slot> slots = slots_of(modules, parsed.uri.get());
  if (slots.size() == 1) {
    context->token = slots[0].label();
    return slots[0];
  }
  std::string offered;
  for (const Slot& slot : slots_of(modules, new_uri().get()))
    offered += (offered.empty() ? "" : ", ") + quoted(slot.label());
  const std::string wanted = padded_text(p11_kit_uri_get_token_info(parsed.uri.get())->label, 32);
  if (slots.empty())
    context->fail("no token " + (wanted.empty() ? std::string("matches") : quoted(wanted)) +
                  (offered.empty() ? "; the modules offer none" : "; the modules offer " + offered));
  context->fail(std::to_string(slots.size()) + " tokens match: name one by token= (and serial=)");
}

class Session {
 public:
  Session(const Slot& slot, const Context& context, bool read_write) : f_(slot.f) {
    context.check(f_->C_OpenSession(slot.id, CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0), nullptr,
                                    nullptr, &handle_),
                  "C_OpenSession");
  }
  ~Session() { f_->C_CloseSession(handle_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  CK_FUNCTION_LIST* f() const { return f_; }
  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  CK_FUNCTION_LIST* f_;
  CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

// prompt: the PIN typed on the terminal that is standard input, unechoed.
SecretBytes prompt(const std::string& token) {
  claim_stdin("the PIN prompt");
  const QuietTerminal quiet;
  if (!quiet.ok()) throw Failure("cannot ask for the PIN of token " + quoted(token));
  std::fprintf(stderr, "PIN for token %s: ", quoted(token).c_str());
  std::fflush(stderr);
  SecretBytes pin;
  pin.reserve(kMaxPin + 1);
  unsigned char c = 0;
  while (::read(0, &c, 1) == 1 && c != '\n' && pin.size() <= kMaxPin) pin.push_back(c);
  OPENSSL_cleanse(&c, sizeof c);
  std::fputc('\n', stderr);
  if (!pin.empty() && pin[pin.size() - 1] == '\r') pin.resize(pin.size() - 1);
  if (pin.size() > kMaxPin) throw Failure("the PIN typed for token " + quoted(token) + " is too long");
  return pin;
}

// pin_of: pin-value=, the file of pin-source=file:PATH, or the terminal.
SecretBytes pin_of(const Parsed& parsed, const Context& context) {
  if (parsed.has_pin) return parsed.pin;
  if (const char* source = p11_kit_uri_get_pin_source(parsed.uri.get())) {
    std::string path = source;
    if (path.rfind("file:", 0) == 0) path.erase(0, path.rfind("file://", 0) == 0 ? 7 : 5);
    Input in(path);
    SecretBytes pin(kMaxPin + 1);
    pin.resize(in.read(pin.data(), pin.size()));
    if (pin.size() > kMaxPin) context.fail("the PIN file " + path + " is longer than a PIN");
    while (!pin.empty() && (pin[pin.size() - 1] == '\n' || pin[pin.size() - 1] == '\r')) pin.resize(pin.size() - 1);
    return pin;
  }
  if (isatty(0)) return prompt(context.token);
  context.fail("no PIN for token " + quoted(context.token) +
               ": give pin-source=file:PATH in the URI, or run the tool on a terminal");
}

// login: as `user` (the user, or once more for a key that asks at each use).
// An empty PIN is refused before the token counts it as a wrong one.
void login(const Session& session, CK_USER_TYPE user, const SecretBytes& pin, const Context& context) {
  if (pin.empty()) context.fail("the PIN for token " + quoted(context.token) + " is empty");
  const CK_RV rv = session.f()->C_Login(session.handle(), user, const_cast<unsigned char*>(pin.data()), pin.size());
  if (rv == CKR_USER_ALREADY_LOGGED_IN && user == CKU_USER) return;
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE) context.fail("wrong PIN for token " + quoted(context.token));
  if (rv == CKR_PIN_LOCKED) context.fail("the PIN of token " + quoted(context.token) + " is locked");
  context.check(rv, "C_Login");
}

// find: every object that has the template's attributes.
std::vector<CK_OBJECT_HANDLE> find(const Session& session, std::vector<CK_ATTRIBUTE> wanted, const Context& context) {
  CK_FUNCTION_LIST* f = session.f();
  context.check(f->C_FindObjectsInit(session.handle(), wanted.data(), wanted.size()), "C_FindObjectsInit");
  std::vector<CK_OBJECT_HANDLE> found;
  CK_OBJECT_HANDLE batch[16];
  CK_ULONG count = 0;
  CK_RV rv;
  while ((rv = f->C_FindObjects(session.handle(), batch, 16, &count)) == CKR_OK && count > 0)
    found.insert(found.end(), batch, batch + count);
  f->C_FindObjectsFinal(session.handle());
  context.check(rv, "C_FindObjects");
  return found;
}

// attribute: an attribute's value; empty when the object has none to give.
Bytes attribute(const Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a = {type, nullptr, 0};
  if (session.f()->C_GetAttributeValue(session.handle(), object, &a, 1) != CKR_OK ||
      a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
    return {};
  Bytes value(a.ulValueLen);
  a.pValue = value.data();
  if (session.f()->C_GetAttributeValue(session.handle(), object, &a, 1) != CKR_OK) return {};
  return value;
}

CK_ULONG number(const Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  const Bytes value = attribute(session, object, type);
  CK_ULONG n = 0;
  if (value.size() == sizeof n) memcpy(&n, value.data(), sizeof n);
  return n;
}

// point_of: X and Y of a CKA_EC_POINT: a DER OCTET STRING around 04||X||Y,
// or that point bare, as some tokens keep it.
bool point_of(const Bytes& ec_point, RawKeyPair* key) {
  const unsigned char* q = ec_point.data();
  size_t n = ec_point.size();
  if (n == 67 && q[0] == 0x04 && q[1] == 0x41) {
    q += 2;
    n -= 2;
  }
  if (n != 65 || q[0] != 0x04) return false;
  key->x.assign(q + 1, q + 33);
  key->y.assign(q + 33, q + 65);
  return true;
}

bool on_p256(const Session& session, CK_OBJECT_HANDLE key) {
  return attribute(session, key, CKA_EC_PARAMS) == Bytes(kP256, kP256 + sizeof kP256);
}

template <typename T>
CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const T& value) {
  return {type, const_cast<T*>(&value), sizeof value};
}

// named_template: a template of the class and key type, with the URI's object= and id=.
std::vector<CK_ATTRIBUTE> named_template(const Parsed& parsed, const CK_OBJECT_CLASS& kind, const CK_KEY_TYPE& type) {
  std::vector<CK_ATTRIBUTE> wanted = {attr(CKA_CLASS, kind), attr(CKA_KEY_TYPE, type)};
  for (CK_ATTRIBUTE_TYPE a : {CKA_LABEL, CKA_ID})
    if (const CK_ATTRIBUTE* given = parsed.attribute(a)) wanted.push_back(*given);
  return wanted;
}

// Opened: the one token a URI names, with a session on it.
struct Opened {
  Opened(const SecretBytes& text, bool read_write)
      : parsed(text),
        context{parsed.shown, "", parsed.object},
        modules(parsed, context),
        slot(one_slot(modules, parsed, &context)),
        session(slot, context, read_write) {}
  // key: the key the URI names, for messages.
  std::string key() const {
    return (parsed.object.empty() ? std::string("the key") : "key " + parsed.object) + " in token " +
           quoted(context.token);
  }
  // log_in: as the user, where the token asks for it. The PIN stays until
  // forget_pin(), for a key that asks for it again at each use.
  void log_in() {
    if (slot.info.flags & CKF_LOGIN_REQUIRED) log_in_as(CKU_USER);
  }
  void log_in_as(CK_USER_TYPE user) {
    if (pin.empty()) pin = pin_of(parsed, context);
    login(session, user, pin, context);
  }
  void forget_pin() {
    pin.clear();
    parsed.pin.clear();
  }
  [[noreturn]] void none(const std::string& what) const {
    context.fail("token " + quoted(context.token) + " has no " + what +
                 (parsed.object.empty() ? "" : " " + parsed.object));
  }
  void at_most_one(size_t found, const std::string& what) const {
    if (found > 1)
      context.fail(std::to_string(found) + " " + what + "s" + (parsed.object.empty() ? "" : " " + parsed.object) +
                   " in token " + quoted(context.token) + " match: add id= to the URI");
  }
  // one_key: the key of that class and type the URI names: exactly one, or
  // with `optional` none at all (CK_INVALID_HANDLE).
  CK_OBJECT_HANDLE one_key(CK_OBJECT_CLASS kind, CK_KEY_TYPE type, const std::string& what, bool optional = false) {
    if (!parsed.allows(kind)) {
      if (optional) return CK_INVALID_HANDLE;
      context.fail("the URI's type= names no " + what + ", the key this command takes");
    }
    const std::vector<CK_OBJECT_HANDLE> keys = find(session, named_template(parsed, kind, type), context);
    if (keys.empty() && !optional) none(what);
    at_most_one(keys.size(), what);
    return keys.empty() ? CK_INVALID_HANDLE : keys[0];
  }
  void require_p256(CK_OBJECT_HANDLE object) const {
    if (!on_p256(session, object))
      context.fail(key() + " is not a P-256 key: the device signs and checks with P-256 only");
  }
  // require: the token offers the mechanism for the use.
  void require(CK_MECHANISM_TYPE type, CK_FLAGS use, const char* name) const {
    CK_ULONG count = 0;
    context.check(slot.f->C_GetMechanismList(slot.id, nullptr, &count), "C_GetMechanismList");
    std::vector<CK_MECHANISM_TYPE> offered(count);
    context.check(slot.f->C_GetMechanismList(slot.id, offered.data(), &count), "C_GetMechanismList");
    offered.resize(std::min<size_t>(count, offered.size()));
    CK_MECHANISM_INFO info{};
    if (std::find(offered.begin(), offered.end(), type) == offered.end() ||
        slot.f->C_GetMechanismInfo(slot.id, type, &info) != CKR_OK || !(info.flags & use))
      context.fail("token " + quoted(context.token) + " does not offer " + name);
  }
  // public_point: X and Y from the one public key object the URI names (of
  // the private key's id, where a private key is given), checked against the
  // private key's own CKA_EC_POINT where the token keeps one; or that point
  // alone. False when the token keeps neither.
  bool public_point(CK_OBJECT_HANDLE private_key, RawKeyPair* point) {
    RawKeyPair own;
    Bytes id;
    const bool has_own =
        private_key != CK_INVALID_HANDLE && point_of(attribute(session, private_key, CKA_EC_POINT), &own);
    const CK_OBJECT_CLASS kind = CKO_PUBLIC_KEY;  // the template points to these
    const CK_KEY_TYPE type = CKK_EC;
    std::vector<CK_ATTRIBUTE> wanted = named_template(parsed, kind, type);
    if (private_key != CK_INVALID_HANDLE && parsed.attribute(CKA_ID) == nullptr &&
        !(id = attribute(session, private_key, CKA_ID)).empty())
      wanted.push_back({CKA_ID, id.data(), id.size()});
    const std::vector<CK_OBJECT_HANDLE> found =
        parsed.allows(CKO_PUBLIC_KEY) ? find(session, wanted, context) : std::vector<CK_OBJECT_HANDLE>();
    at_most_one(found.size(), "EC public key");
    if (!found.empty()) require_p256(found[0]);
    if (found.empty() || !point_of(attribute(session, found[0], CKA_EC_POINT), point)) {
      if (has_own) *point = own;
      return has_own;
    }
    if (has_own && (own.x != point->x || own.y != point->y))
      context.fail("the public key object of " + key() + " does not hold the private key's point");
    return true;
  }

  Parsed parsed;
  Context context;
  Modules modules;
  Slot slot;
  Session session;
  SecretBytes pin;
};

}  // namespace

struct TokenKey::State {
  State(const SecretBytes& uri, Use u) : token(uri, false), use(u) {}
  // again: after each operation's C_*Init, the PIN once more for a key that
  // asks for it at each use (CKA_ALWAYS_AUTHENTICATE).
  void again() {
    if (always) token.log_in_as(CKU_CONTEXT_SPECIFIC);
  }
  Opened token;
  Use use;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  RawKeyPair point;  // empty when the token keeps no public point
  bool always = false;
};

TokenKey::TokenKey(const SecretBytes& uri, Use use) : state_(new State(uri, use)) {
  Opened& t = state_->token;
  // The public key object may be read without the PIN; with a PIN in the
  // URI it is checked against the private key's own point.
  if (use == kPublic && (t.parsed.gives_pin() || !t.public_point(CK_INVALID_HANDLE, &state_->point))) {
    t.log_in();
    const CK_OBJECT_HANDLE key = t.one_key(CKO_PRIVATE_KEY, CKK_EC, "EC key", true);
    if (key != CK_INVALID_HANDLE) t.require_p256(key);
    if (!t.public_point(key, &state_->point)) {
      if (key == CK_INVALID_HANDLE) t.none("EC key");
      t.context.fail(t.key() + " has no public point");
    }
  } else if (use != kPublic) {
    t.log_in();
    if (use == kSign) {
      state_->key = t.one_key(CKO_PRIVATE_KEY, CKK_EC, "EC private key");
      t.require_p256(state_->key);
      t.require(CKM_ECDSA, CKF_SIGN, "CKM_ECDSA");
      t.public_point(state_->key, &state_->point);
    } else if (use == kDes3Decrypt) {
      state_->key = t.one_key(CKO_SECRET_KEY, CKK_DES3, "triple-DES key");
      t.require(CKM_DES3_ECB, CKF_DECRYPT, "CKM_DES3_ECB");
    } else {
      state_->key = t.one_key(CKO_SECRET_KEY, CKK_AES, "AES key");
      const CK_ULONG size = number(t.session, state_->key, CKA_VALUE_LEN);
      if (size != 32)
        t.context.fail(t.key() + " is not an AES-256 key (" + std::to_string(size) + " bytes, not 32)");
      t.require(CKM_AES_CBC, use == kAesEncrypt ? CKF_ENCRYPT : CKF_DECRYPT, "CKM_AES_CBC");
    }
    state_->always = attribute(t.session, state_->key, CKA_ALWAYS_AUTHENTICATE) == Bytes{CK_TRUE};
  }
  if (!state_->always) t.forget_pin();
}

TokenKey::~TokenKey() = default;

Bytes TokenKey::sign(const unsigned char* message, size_t size) {
  const Opened& t = state_->token;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(message, size, digest);
  CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
  // Room for a signature in another form than r||s (DER), told apart by its length.
  Bytes sig(256);
  CK_ULONG length = sig.size();
  CK_FUNCTION_LIST* f = t.session.f();
  t.context.check(f->C_SignInit(t.session.handle(), &ecdsa, state_->key), "C_SignInit");
  state_->again();
  t.context.check(f->C_Sign(t.session.handle(), digest, sizeof digest, sig.data(), &length), "C_Sign");
  if (length != 64)
    t.context.fail(t.key() + " gave a signature of " + std::to_string(length) + " bytes, not the 64 of r||s");
  sig.resize(64);
  // The device's own check, before the signature leaves the tool.
  const RawKeyPair& p = state_->point;
  int valid = 1;
  if (!p.x.empty())
    console_of([&] { valid = ecc_verify(p.x.data(), p.y.data(), message, sig.data(), static_cast<uint32_t>(size)); });
  if (valid != 1)
    t.context.fail("the signature made with " + t.key() + " does not verify against its public key");
  return sig;
}

host::RawKeyPair TokenKey::public_key() {
  if (state_->point.x.empty()) state_->token.context.fail(state_->token.key() + " has no public point");
  return {{}, state_->point.x, state_->point.y};
}

void TokenKey::cipher(const unsigned char* in, size_t size, const unsigned char* iv, unsigned char* out) {
  const Opened& t = state_->token;
  const bool aes = state_->use != kDes3Decrypt, encrypt = state_->use == kAesEncrypt;
  CK_FUNCTION_LIST* f = t.session.f();
  unsigned char chain[16];
  if (aes) memcpy(chain, iv, sizeof chain);
  for (size_t done = 0; done < size;) {
    const size_t n = std::min(kPiece, size - done);
    CK_MECHANISM mechanism = {aes ? CKM_AES_CBC : CKM_DES3_ECB, aes ? chain : nullptr, aes ? sizeof chain : 0};
    auto* from = const_cast<unsigned char*>(in + done);
    CK_ULONG written = n;
    if (encrypt) {
      t.context.check(f->C_EncryptInit(t.session.handle(), &mechanism, state_->key), "C_EncryptInit");
      state_->again();
      t.context.check(f->C_Encrypt(t.session.handle(), from, n, out + done, &written), "C_Encrypt");
    } else {
      t.context.check(f->C_DecryptInit(t.session.handle(), &mechanism, state_->key), "C_DecryptInit");
      state_->again();
      t.context.check(f->C_Decrypt(t.session.handle(), from, n, out + done, &written), "C_Decrypt");
    }
    if (written != n)
      t.context.fail(t.key() + " gave " + std::to_string(written) + " bytes for " + std::to_string(n));
    if (aes) memcpy(chain, (encrypt ? out : in) + done + n - 16, 16);  // CBC chains on the ciphertext
    done += n;
  }
}

// ModuleLock: keygens on one host take turns on a module, locked on its file
// (read-only: whoever loads it may), so that of two at once one makes its
// pair. Where the file cannot be locked, the check after generation still
// refuses a duplicate.
struct ModuleLock {
  explicit ModuleLock(CK_FUNCTION_LIST* module) {
    const CString file(p11_kit_module_get_filename(module));
    fd = file.p ? open(file.p, O_RDONLY | O_CLOEXEC) : -1;
    while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~ModuleLock() {
    if (fd >= 0) close(fd);
  }
  ModuleLock(const ModuleLock&) = delete;
  ModuleLock& operator=(const ModuleLock&) = delete;
  int fd = -1;
};

void generate_in_token(const SecretBytes& uri, const std::function<void(const RawKeyPair&)>& publish) {
  Opened t(uri, true);
  const ModuleLock lock(t.slot.f);
  const CK_ATTRIBUTE* label = t.parsed.attribute(CKA_LABEL);
  if (label == nullptr) throw Failure("keygen --key needs object=NAME in the URI", kUsage);
  if (t.parsed.attribute(CKA_CLASS) != nullptr)
    throw Failure("keygen makes a private and a public key: its URI takes no type=", kUsage);
  t.log_in();
  t.forget_pin();
  t.require(CKM_EC_KEY_PAIR_GEN, CKF_GENERATE_KEY_PAIR, "CKM_EC_KEY_PAIR_GEN");
  Bytes id(8);
  const CK_ATTRIBUTE* given_id = t.parsed.attribute(CKA_ID);
  // Never over or beside an existing object of that name or id, whatever its kind.
  for (const CK_ATTRIBUTE* name : {label, given_id})
    if (name != nullptr && !find(t.session, {*name}, t.context).empty())
      t.context.fail("token " + quoted(t.context.token) + " already holds an object " +
                     (name == label ? t.parsed.object : "with that id") + ": keygen never replaces a key");
  if (given_id != nullptr) {
    const auto* bytes = static_cast<const unsigned char*>(given_id->pValue);
    id.assign(bytes, bytes + given_id->ulValueLen);
  } else if (RAND_bytes(id.data(), static_cast<int>(id.size())) != 1) {
    t.context.fail("no random id for the new key");
  }
  const CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  const CK_ATTRIBUTE name = *label, key_id = {CKA_ID, id.data(), id.size()};
  CK_ATTRIBUTE public_template[] = {
      attr(CKA_TOKEN, yes),   attr(CKA_PRIVATE, no), attr(CKA_VERIFY, yes), attr(CKA_ENCRYPT, no),
      attr(CKA_WRAP, no),     attr(CKA_DERIVE, no),  {CKA_EC_PARAMS, const_cast<unsigned char*>(kP256), sizeof kP256},
      name,                   key_id};
  // Sign only: the scalar is never shown, exported, copied, used to decrypt,
  // unwrap or derive, and none of that can be changed later.
  CK_ATTRIBUTE private_template[] = {
      attr(CKA_TOKEN, yes),   attr(CKA_PRIVATE, yes), attr(CKA_SENSITIVE, yes), attr(CKA_EXTRACTABLE, no),
      attr(CKA_SIGN, yes),    attr(CKA_SIGN_RECOVER, no), attr(CKA_DECRYPT, no), attr(CKA_UNWRAP, no),
      attr(CKA_DERIVE, no),   attr(CKA_MODIFIABLE, no), name, key_id, attr(CKA_COPYABLE, no)};
  CK_MECHANISM generation = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE, private_key = CK_INVALID_HANDLE;
  CK_FUNCTION_LIST* f = t.session.f();
  const auto generate = [&](size_t private_size) {
    return f->C_GenerateKeyPair(t.session.handle(), &generation, public_template, std::size(public_template),
                                private_template, private_size, &public_key, &private_key);
  };
  CK_RV rv = generate(std::size(private_template));
  if (rv == CKR_ATTRIBUTE_TYPE_INVALID) rv = generate(std::size(private_template) - 1);  // a token before CKA_COPYABLE
  t.context.check(rv, "C_GenerateKeyPair");
  try {
    // Another keygen of that name (or id) at once: the pair stands only alone.
    for (const CK_ATTRIBUTE& named : {name, key_id})
      for (const CK_OBJECT_HANDLE other : find(t.session, {named}, t.context))
        if (other != public_key && other != private_key)
          t.context.fail("token " + quoted(t.context.token) + " got another object " +
                         (named.type == CKA_LABEL ? t.parsed.object : "with that id") +
                         " while the pair was made: keygen never duplicates a key");
    RawKeyPair key;
    if (!point_of(attribute(t.session, public_key, CKA_EC_POINT), &key))
      t.context.fail(t.key() + " was made without a P-256 point");
    publish(key);
  } catch (...) {  // the pair goes with the command that failed
    if ((f->C_DestroyObject(t.session.handle(), private_key) | f->C_DestroyObject(t.session.handle(), public_key)) !=
        CKR_OK)
      std::fprintf(stderr, "rawcrypt: the new pair could not be removed from token %s\n",
                   quoted(t.context.token).c_str());
    throw;
  }
}

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

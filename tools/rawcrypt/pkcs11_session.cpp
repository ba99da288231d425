// PKCS#11 modules, tokens, sessions and the user's login.
#include "tools/rawcrypt/pkcs11_session.h"

#include <algorithm>
#include <cstdio>

#include <unistd.h>

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/key_files.h"

namespace cli {
namespace {

// A PIN longer than this is refused rather than cut.
constexpr size_t kMaxPin = 256;

// module_message: p11-kit's reason, which may quote a module's path.
std::string module_message() {
  const char* text = p11_kit_message();
  return text ? printable(text) : "no reason given";
}

// named: whether a registered module is `name`: its registration's name
// or its file's, without the folder and the ".so" ending.
bool named(CK_FUNCTION_LIST* module, const std::string& name) {
  if (CString(p11_kit_module_get_name(module)).str() == name) return true;
  std::string file = CString(p11_kit_module_get_filename(module)).str();
  file = file.substr(file.rfind('/') + 1);
  return file.substr(0, file.find(".so")) == name;
}

}  // namespace

void Context::fail(const std::string& what) const { throw Failure(what + " (" + uri + ")"); }

void Context::check(CK_RV rv, const char* call) const {
  if (rv == CKR_OK) return;
  char code[32];
  snprintf(code, sizeof code, " (CKR 0x%lx)", static_cast<unsigned long>(rv));
  fail(std::string(call) + " failed on token " + quoted(token) + (object.empty() ? "" : ", object " + object) +
       ": " + p11_kit_strerror(rv) + code);
}

void ModuleOwner::operator()(CK_FUNCTION_LIST* module) const {
  p11_kit_module_finalize(module);
  p11_kit_module_release(module);
}

void ModulesOwner::operator()(CK_FUNCTION_LIST** modules) const { p11_kit_modules_finalize_and_release(modules); }

Modules::Modules(const Parsed& parsed, const Context& context) {
  if (const char* path = p11_kit_uri_get_module_path(parsed.uri.get())) {
    std::unique_ptr<CK_FUNCTION_LIST, void (*)(CK_FUNCTION_LIST*)> loaded(p11_kit_module_load(path, 0),
                                                                          p11_kit_module_release);
    if (!loaded) context.fail("cannot load the PKCS#11 module " + printable(path) + ": " + module_message());
    const CK_RV rv = p11_kit_module_initialize(loaded.get());
    if (rv != CKR_OK)
      context.fail("cannot initialise the PKCS#11 module " + printable(path) + ": " + p11_kit_strerror(rv));
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

Session::Session(const Slot& slot, const Context& context, bool read_write) : f_(slot.f) {
  context.check(f_->C_OpenSession(slot.id, CKF_SERIAL_SESSION | (read_write ? CKF_RW_SESSION : 0), nullptr, nullptr,
                                  &handle_),
                "C_OpenSession");
}

SecretBytes pin_of(const Parsed& parsed, const Context& context) {
  if (parsed.has_pin) return parsed.pin;
  if (const char* source = p11_kit_uri_get_pin_source(parsed.uri.get())) {
    std::string path = source;
    path.erase(0, path.rfind("file://", 0) == 0 ? 7 : 5);  // file: (Parsed takes no other source)
    SecretBytes pin = read_pin_file(path, kMaxPin);
    if (pin.size() > kMaxPin) context.fail("the PIN file " + printable(path) + " is longer than a PIN");
    while (!pin.empty() && (pin[pin.size() - 1] == '\n' || pin[pin.size() - 1] == '\r')) pin.resize(pin.size() - 1);
    return pin;
  }
  if (isatty(0)) return type_pin(quoted(context.token), kMaxPin);
  context.fail("no PIN for token " + quoted(context.token) +
               ": give pin-source=file:PATH in the URI, or run the tool on a terminal");
}

void login(const Session& session, CK_USER_TYPE user, const SecretBytes& pin, const Context& context) {
  if (pin.empty()) context.fail("the PIN for token " + quoted(context.token) + " is empty");
  const CK_RV rv = session.f()->C_Login(session.handle(), user, const_cast<unsigned char*>(pin.data()), pin.size());
  if (rv == CKR_USER_ALREADY_LOGGED_IN && user == CKU_USER) return;
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE) context.fail("wrong PIN for token " + quoted(context.token));
  if (rv == CKR_PIN_LOCKED) context.fail("the PIN of token " + quoted(context.token) + " is locked");
  context.check(rv, "C_Login");
}

}  // namespace cli

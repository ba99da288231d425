// PKCS#11 modules and sessions: the modules a URI chooses (loaded through
// p11-kit), the one token it names, a session on it and the user's login
// with the PIN the URI gives or the terminal types. Messages name the token
// and the object and show the URI without its pin-value. Touches the
// modules it loads and the tokens' login state.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_PKCS11_SESSION_H
#define RAWCRYPT_TOOLS_RAWCRYPT_PKCS11_SESSION_H

#include <memory>
#include <string>
#include <vector>

#include "tools/rawcrypt/pkcs11_uri.h"

namespace cli {

// Context: what a message names: the token once found, the object, and the
// URI without its pin-value.
struct Context {
  std::string uri, token, object;
  [[noreturn]] void fail(const std::string& what) const;
  // check: a call's result; anything but CKR_OK fails, naming the call.
  void check(CK_RV rv, const char* call) const;
};

struct ModuleOwner {  // one module, loaded and initialised
  void operator()(CK_FUNCTION_LIST* module) const;
};
struct ModulesOwner {  // the system's registered modules
  void operator()(CK_FUNCTION_LIST** modules) const;
};

// Modules: those a URI chooses: module-path=, module-name=, or every module
// registered on the system (what p11-kit's proxy offers). Initialised for
// as long as the owner lives.
class Modules {
 public:
  Modules(const Parsed& parsed, const Context& context);
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
std::vector<Slot> slots_of(const Modules& modules, P11KitUri* uri);

// one_slot: the token a URI names, which must be exactly one.
Slot one_slot(const Modules& modules, const Parsed& parsed, Context* context);

class Session {
 public:
  Session(const Slot& slot, const Context& context, bool read_write);
  ~Session() { f_->C_CloseSession(handle_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  CK_FUNCTION_LIST* f() const { return f_; }
  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  CK_FUNCTION_LIST* f_;
  CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
};

// pin_of: pin-value=, the file of pin-source=file:PATH, or the terminal.
SecretBytes pin_of(const Parsed& parsed, const Context& context);

// login: as `user` (the user, or once more for a key that asks at each use).
// An empty PIN is refused before the token counts it as a wrong one.
void login(const Session& session, CK_USER_TYPE user, const SecretBytes& pin, const Context& context);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_PKCS11_SESSION_H

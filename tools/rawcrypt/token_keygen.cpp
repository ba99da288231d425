// A P-256 pair made inside a token, all or nothing, one keygen at a time.
#include "tools/rawcrypt/token_key.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "tools/rawcrypt/os_random.h"
#include "tools/rawcrypt/process.h"
#include "tools/rawcrypt/token_search.h"

namespace cli {
namespace {

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

}  // namespace

void generate_in_token(const SecretBytes& uri, const std::function<void()>& prepare,
                       const std::function<void(const RawKeyPair&)>& publish) {
  Opened t(uri, true);
  const ModuleLock lock(t.slot.f);
  const CK_ATTRIBUTE* label = t.parsed.attribute(CKA_LABEL);
  if (label == nullptr) throw Failure("keygen --key needs object=NAME in the URI", kUsage);
  const CK_ATTRIBUTE* given_id = t.parsed.attribute(CKA_ID);
  if (label->ulValueLen == 0 || (given_id != nullptr && given_id->ulValueLen == 0))
    throw Failure("keygen --key needs a value in object= (and in id=, where given): no URI names a key of an empty one",
                  kUsage);
  if (t.parsed.attribute(CKA_CLASS) != nullptr)
    throw Failure("keygen makes a private and a public key: its URI takes no type=", kUsage);
  t.log_in();
  t.forget_pin();
  t.require(CKM_EC_KEY_PAIR_GEN, CKF_GENERATE_KEY_PAIR, "CKM_EC_KEY_PAIR_GEN");
  Bytes id(8);
  // Never over or beside an existing object of that name or id, whatever its kind.
  for (const CK_ATTRIBUTE* name : {label, given_id})
    if (name != nullptr && !find(t.session, {*name}, t.context).empty())
      t.context.fail("token " + quoted(t.context.token) + " already holds an object " +
                     (name == label ? t.parsed.object : "with that id") + ": keygen never replaces a key");
  if (given_id != nullptr) {
    const auto* bytes = static_cast<const unsigned char*>(given_id->pValue);
    id.assign(bytes, bytes + given_id->ulValueLen);
  } else {
    os_random(id.data(), id.size());
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
  prepare();
  // A signal that would end the tool from here ends it once the pair has
  // left the token again, or is published; the token's calls go unbroken.
  const SignalsDeferred deferred;
  CK_RV rv;
  {
    const SignalsHeld held;
    rv = generate(std::size(private_template));
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID) rv = generate(std::size(private_template) - 1);  // a token before CKA_COPYABLE
  }
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
  } catch (...) {  // the pair goes with the command that failed, or was interrupted
    const SignalsHeld held;
    if ((f->C_DestroyObject(t.session.handle(), private_key) | f->C_DestroyObject(t.session.handle(), public_key)) !=
        CKR_OK)
      std::fprintf(stderr, "rawcrypt: the new pair could not be removed from token %s\n",
                   quoted(t.context.token).c_str());
    throw;
  }
}

}  // namespace cli

// A token's objects found and read; the opened token's key, login and checks.
#include "tools/rawcrypt/token_search.h"

#include <algorithm>
#include <cstring>

namespace cli {

const unsigned char kP256[10] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};

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

std::vector<CK_ATTRIBUTE> named_template(const Parsed& parsed, const CK_OBJECT_CLASS& kind, const CK_KEY_TYPE& type) {
  std::vector<CK_ATTRIBUTE> wanted = {attr(CKA_CLASS, kind), attr(CKA_KEY_TYPE, type)};
  for (CK_ATTRIBUTE_TYPE a : {CKA_LABEL, CKA_ID})
    if (const CK_ATTRIBUTE* given = parsed.attribute(a)) wanted.push_back(*given);
  return wanted;
}

std::string Opened::key() const {
  return (parsed.object.empty() ? std::string("the key") : "key " + parsed.object) + " in token " +
         quoted(context.token);
}

void Opened::log_in() {
  if (slot.info.flags & CKF_LOGIN_REQUIRED) log_in_as(CKU_USER);
}

void Opened::log_in_as(CK_USER_TYPE user) {
  if (pin.empty()) pin = pin_of(parsed, context);
  login(session, user, pin, context);
}

void Opened::forget_pin() {
  pin.clear();
  parsed.pin.clear();
}

void Opened::none(const std::string& what) const {
  context.fail("token " + quoted(context.token) + " has no " + what +
               (parsed.object.empty() ? "" : " " + parsed.object));
}

void Opened::at_most_one(size_t found, const std::string& what) const {
  if (found > 1)
    context.fail(std::to_string(found) + " " + what + "s" + (parsed.object.empty() ? "" : " " + parsed.object) +
                 " in token " + quoted(context.token) + " match: add id= to the URI");
}

CK_OBJECT_HANDLE Opened::one_key(CK_OBJECT_CLASS kind, CK_KEY_TYPE type, const std::string& what, bool optional) {
  if (!parsed.allows(kind)) {
    if (optional) return CK_INVALID_HANDLE;
    context.fail("the URI's type= names no " + what + ", the key this command takes");
  }
  const std::vector<CK_OBJECT_HANDLE> keys = find(session, named_template(parsed, kind, type), context);
  if (keys.empty() && !optional) none(what);
  at_most_one(keys.size(), what);
  return keys.empty() ? CK_INVALID_HANDLE : keys[0];
}

void Opened::require_p256(CK_OBJECT_HANDLE object) const {
  if (!on_p256(session, object))
    context.fail(key() + " is not a P-256 key: the device signs and checks with P-256 only");
}

void Opened::require(CK_MECHANISM_TYPE type, CK_FLAGS use, const char* name) const {
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

bool Opened::public_point(CK_OBJECT_HANDLE private_key, RawKeyPair* point) {
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

}  // namespace cli

/* A PKCS#11 module for the tool's tests: the module named by
 * RAWCRYPT_WRAPPED_MODULE with one oddity that SoftHSM2 never shows, named
 * by RAWCRYPT_ODDITY: "locked" (the user PIN is locked), "point" (private
 * keys keep a CKA_EC_POINT, of no key of theirs), "der" (signatures of 72
 * bytes, as DER takes them) or "race" (another host makes a pair of the
 * same name while a pair is made). */
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST odd;
static CK_FUNCTION_LIST_PTR real;

static CK_RV login_locked(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  (void)session, (void)user, (void)pin, (void)length;
  return CKR_PIN_LOCKED;
}

static CK_RV get_with_point(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR wanted,
                            CK_ULONG count) {
  CK_OBJECT_CLASS kind = 0;
  CK_ATTRIBUTE class_of = {CKA_CLASS, &kind, sizeof kind};
  CK_RV rv = real->C_GetAttributeValue(session, object, wanted, count);
  if (count != 1 || wanted->type != CKA_EC_POINT ||
      real->C_GetAttributeValue(session, object, &class_of, 1) != CKR_OK || kind != CKO_PRIVATE_KEY)
    return rv;
  if (wanted->pValue != NULL && wanted->ulValueLen >= 67) {
    memset(wanted->pValue, 0x11, 67);
    memcpy(wanted->pValue, "\x04\x41\x04", 3);
  }
  wanted->ulValueLen = 67;
  return CKR_OK;
}

static CK_RV sign_der(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG size, CK_BYTE_PTR sig, CK_ULONG_PTR length) {
  if (sig != NULL && *length < 72) {
    *length = 72;
    return CKR_BUFFER_TOO_SMALL;
  }
  const CK_RV rv = real->C_Sign(session, data, size, sig, length);
  if (rv == CKR_OK) *length = 72;
  return rv;
}

static CK_RV generate_twice(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR public_template,
                            CK_ULONG public_count, CK_ATTRIBUTE_PTR private_template, CK_ULONG private_count,
                            CK_OBJECT_HANDLE_PTR public_key, CK_OBJECT_HANDLE_PTR private_key) {
  CK_OBJECT_HANDLE other_public, other_private;
  real->C_GenerateKeyPair(session, mechanism, public_template, public_count, private_template, private_count,
                          &other_public, &other_private);
  return real->C_GenerateKeyPair(session, mechanism, public_template, public_count, private_template, private_count,
                                 public_key, private_key);
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  const char* path = getenv("RAWCRYPT_WRAPPED_MODULE");
  const char* oddity = getenv("RAWCRYPT_ODDITY");
  void* wrapped = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
  CK_C_GetFunctionList get = wrapped ? (CK_C_GetFunctionList)dlsym(wrapped, "C_GetFunctionList") : NULL;
  if (get == NULL || oddity == NULL || get(&real) != CKR_OK) return CKR_GENERAL_ERROR;
  odd = *real;
  if (strcmp(oddity, "locked") == 0) odd.C_Login = login_locked;
  if (strcmp(oddity, "point") == 0) odd.C_GetAttributeValue = get_with_point;
  if (strcmp(oddity, "der") == 0) odd.C_Sign = sign_der;
  if (strcmp(oddity, "race") == 0) odd.C_GenerateKeyPair = generate_twice;
  *list = &odd;
  return CKR_OK;
}

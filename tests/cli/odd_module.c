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

static CK_RV get_with_point(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR a, CK_ULONG n) {
  CK_OBJECT_CLASS kind = 0;
  CK_ATTRIBUTE class_of = {CKA_CLASS, &kind, sizeof kind};
  const CK_RV rv = real->C_GetAttributeValue(session, object, a, n);
  if (n != 1 || a->type != CKA_EC_POINT || real->C_GetAttributeValue(session, object, &class_of, 1) != CKR_OK ||
      kind != CKO_PRIVATE_KEY)
    return rv;
  if (a->pValue != NULL && a->ulValueLen >= 67) memcpy(memset(a->pValue, 0x11, 67), "\x04\x41\x04", 3);
  a->ulValueLen = 67;
  return CKR_OK;
}

static CK_RV sign_der(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG size, CK_BYTE_PTR sig, CK_ULONG_PTR length) {
  const CK_RV rv = sig != NULL && *length < 72 ? CKR_BUFFER_TOO_SMALL : real->C_Sign(session, data, size, sig, length);
  if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *length = 72;
  return rv;
}

static CK_RV generate_twice(CK_SESSION_HANDLE session, CK_MECHANISM_PTR how, CK_ATTRIBUTE_PTR pub, CK_ULONG pub_n,
                            CK_ATTRIBUTE_PTR priv, CK_ULONG priv_n, CK_OBJECT_HANDLE_PTR pub_key,
                            CK_OBJECT_HANDLE_PTR priv_key) {
  real->C_GenerateKeyPair(session, how, pub, pub_n, priv, priv_n, pub_key, priv_key);
  return real->C_GenerateKeyPair(session, how, pub, pub_n, priv, priv_n, pub_key, priv_key);
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

/* A PKCS#11 module for the tool's tests: the module named by
 * RAWCRYPT_WRAPPED_MODULE, except that its user PIN is locked (SoftHSM
 * never locks one). */
#include <dlfcn.h>
#include <stdlib.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST locked;

static CK_RV login_locked(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  (void)session, (void)user, (void)pin, (void)length;
  return CKR_PIN_LOCKED;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  const char* path = getenv("RAWCRYPT_WRAPPED_MODULE");
  void* wrapped = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
  CK_C_GetFunctionList get = wrapped ? (CK_C_GetFunctionList)dlsym(wrapped, "C_GetFunctionList") : NULL;
  CK_FUNCTION_LIST_PTR real = NULL;
  if (get == NULL || get(&real) != CKR_OK) return CKR_GENERAL_ERROR;
  locked = *real;
  locked.C_Login = login_locked;
  *list = &locked;
  return CKR_OK;
}

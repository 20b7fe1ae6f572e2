/* A PKCS#11 module for tests that forwards to SoftHSM (or $ZT_SHIM_MODULE) but acts as a token
 * without CKM_SHA1_RSA_PKCS: it is left out of the mechanism list, has no info and is refused by
 * C_SignInit, so that signers must hash themselves and use CKM_RSA_PKCS. With $ZT_SHIM_CORRUPT
 * set, every signature it returns has one bit flipped: a faulty token. */
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST shim;
static CK_FUNCTION_LIST_PTR real;

static CK_RV ShimGetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  CK_ULONG n = 0;
  CK_RV rv = real->C_GetMechanismList(slot, NULL, &n);
  if (rv != CKR_OK) return rv;
  CK_MECHANISM_TYPE* all = calloc(n + 1, sizeof *all);
  if (all == NULL) return CKR_HOST_MEMORY;
  rv = real->C_GetMechanismList(slot, all, &n);
  CK_ULONG kept = 0;
  for (CK_ULONG i = 0; rv == CKR_OK && i < n; ++i) {
    if (all[i] != CKM_SHA1_RSA_PKCS) all[kept++] = all[i];
  }
  if (rv == CKR_OK && list != NULL) {
    if (*count < kept)
      rv = CKR_BUFFER_TOO_SMALL;
    else
      memcpy(list, all, kept * sizeof *all);
  }
  if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *count = kept;
  free(all);
  return rv;
}

static CK_RV ShimGetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type,
                                  CK_MECHANISM_INFO_PTR info) {
  if (type == CKM_SHA1_RSA_PKCS) return CKR_MECHANISM_INVALID;
  return real->C_GetMechanismInfo(slot, type, info);
}

static CK_RV ShimSignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                          CK_OBJECT_HANDLE key) {
  if (mechanism != NULL && mechanism->mechanism == CKM_SHA1_RSA_PKCS) return CKR_MECHANISM_INVALID;
  return real->C_SignInit(session, mechanism, key);
}

static void Corrupt(CK_RV rv, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
  if (rv == CKR_OK && signature != NULL && *length > 0 && getenv("ZT_SHIM_CORRUPT") != NULL) {
    signature[*length / 2] ^= 0x01;
  }
}

static CK_RV ShimSign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength,
                      CK_BYTE_PTR signature, CK_ULONG_PTR length) {
  CK_RV rv = real->C_Sign(session, data, dataLength, signature, length);
  Corrupt(rv, signature, length);
  return rv;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (real == NULL) {
    const char* path = getenv("ZT_SHIM_MODULE");
    void* module =
        dlopen(path != NULL ? path : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) return CKR_GENERAL_ERROR;
    CK_C_GetFunctionList get = (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList");
    if (get == NULL || get(&real) != CKR_OK) return CKR_GENERAL_ERROR;
    shim = *real;
    shim.C_GetFunctionList = C_GetFunctionList;
    shim.C_GetMechanismList = ShimGetMechanismList;
    shim.C_GetMechanismInfo = ShimGetMechanismInfo;
    shim.C_SignInit = ShimSignInit;
    shim.C_Sign = ShimSign;
  }
  *list = &shim;
  return CKR_OK;
}

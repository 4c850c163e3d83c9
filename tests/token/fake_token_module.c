// SPDX-License-Identifier: Apache-2.0
/* A PKCS#11 module for tests of how the token code takes a module's answers:
 * two slots; C_GetTokenInfo for slot 1 answers FAKE_TOKEN_INFO_RV (a number,
 * read with strtoul), C_GetInfo FAKE_MODULE_INFO_RV when it is set, slot 2 holds the initialised token "fake". Only what
 * finding a token calls is there; every other entry is null.
 * With FAKE_TOKEN_WRAP=MODULE it is MODULE (SoftHSM2) instead, as a token that
 * does not say it needs a login and gives signatures without their leading
 * zero bytes, then with FAKE_TOKEN_SIGN_EXTRA zero bytes before them. */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>
#include <string.h>

/* C_Initialize and C_Finalize: nothing to set up or release. */
static CK_RV fake_nothing(void *pArgs)
{
    (void)pArgs;
    return CKR_OK;
}

/* The module's description, blank, or the answer FAKE_MODULE_INFO_RV. */
static CK_RV fake_get_info(CK_INFO *pInfo)
{
    const char *pRv = getenv("FAKE_MODULE_INFO_RV");
    if (pRv != NULL) {
        return (CK_RV)strtoul(pRv, NULL, 0);
    }
    memset(pInfo, ' ', sizeof(*pInfo));
    pInfo->cryptokiVersion = (CK_VERSION){2, 40};
    pInfo->libraryVersion = (CK_VERSION){1, 0};
    pInfo->flags = 0;
    return CKR_OK;
}

/* The slots 1 and 2. */
static CK_RV fake_get_slot_list(CK_BBOOL bTokenPresent, CK_SLOT_ID *pSlots, CK_ULONG *pnCount)
{
    (void)bTokenPresent;
    CK_ULONG nRoom = *pnCount;
    *pnCount = 2;
    if (pSlots != NULL && nRoom < 2) {
        return CKR_BUFFER_TOO_SMALL;
    }
    if (pSlots != NULL) {
        pSlots[0] = 1;
        pSlots[1] = 2;
    }
    return CKR_OK;
}

/* Slots 1 and 2, each with a token in it. */
static CK_RV fake_get_slot_info(CK_SLOT_ID nSlot, CK_SLOT_INFO *pInfo)
{
    memset(pInfo, ' ', sizeof(*pInfo));
    pInfo->flags = CKF_TOKEN_PRESENT;
    pInfo->hardwareVersion = pInfo->firmwareVersion = (CK_VERSION){0, 0};
    return nSlot == 1 || nSlot == 2 ? CKR_OK : CKR_SLOT_ID_INVALID;
}

/* FAKE_TOKEN_INFO_RV for slot 1, the initialised token "fake" for slot 2. */
static CK_RV fake_get_token_info(CK_SLOT_ID nSlot, CK_TOKEN_INFO *pInfo)
{
    const char *pRv = getenv("FAKE_TOKEN_INFO_RV");
    if (nSlot != 2) {
        return nSlot == 1 && pRv != NULL ? (CK_RV)strtoul(pRv, NULL, 0) : CKR_SLOT_ID_INVALID;
    }
    memset(pInfo, ' ', sizeof(*pInfo));
    memcpy(pInfo->label, "fake", 4);
    pInfo->flags = CKF_TOKEN_INITIALIZED;
    return CKR_OK;
}

static CK_FUNCTION_LIST g_functions = {
    .version = {2, 40},
    .C_Initialize = fake_nothing,
    .C_Finalize = fake_nothing,
    .C_GetInfo = fake_get_info,
    .C_GetSlotList = fake_get_slot_list,
    .C_GetSlotInfo = fake_get_slot_info,
    .C_GetTokenInfo = fake_get_token_info,
};

static CK_FUNCTION_LIST g_wrapped;
static CK_FUNCTION_LIST *g_pReal;

/* The wrapped token's description, without CKF_LOGIN_REQUIRED. */
static CK_RV wrap_get_token_info(CK_SLOT_ID nSlot, CK_TOKEN_INFO *pInfo)
{
    CK_RV rv = g_pReal->C_GetTokenInfo(nSlot, pInfo);
    pInfo->flags &= ~(CK_FLAGS)CKF_LOGIN_REQUIRED;
    return rv;
}

/* The wrapped token's signature, without its leading zero bytes, then with
 * FAKE_TOKEN_SIGN_EXTRA of them. */
static CK_RV wrap_sign(CK_SESSION_HANDLE hSession, CK_BYTE *pData, CK_ULONG nData, CK_BYTE *pSigned, CK_ULONG *pnSigned)
{
    CK_RV rv = g_pReal->C_Sign(hSession, pData, nData, pSigned, pnSigned);
    if (rv != CKR_OK || pSigned == NULL) {
        return rv;
    }
    CK_ULONG nZeros = 0;
    while (nZeros < *pnSigned && pSigned[nZeros] == 0) {
        nZeros++;
    }
    const char *pExtra = getenv("FAKE_TOKEN_SIGN_EXTRA");
    CK_ULONG nExtra = pExtra != NULL ? strtoul(pExtra, NULL, 0) : 0;
    memmove(pSigned + nExtra, pSigned + nZeros, *pnSigned - nZeros);
    memset(pSigned, 0, nExtra);
    *pnSigned = *pnSigned - nZeros + nExtra;
    return rv;
}

/* The module's entry point. */
CK_RV C_GetFunctionList(CK_FUNCTION_LIST **ppList)
{
    const char *pWrap = getenv("FAKE_TOKEN_WRAP");
    if (pWrap == NULL) {
        *ppList = &g_functions;
        return CKR_OK;
    }
    void *pModule = dlopen(pWrap, RTLD_NOW | RTLD_LOCAL);
    CK_C_GetFunctionList pGet = pModule != NULL ? (CK_C_GetFunctionList)dlsym(pModule, "C_GetFunctionList") : NULL;
    if (pGet == NULL || pGet(&g_pReal) != CKR_OK) {
        return CKR_GENERAL_ERROR;
    }
    g_wrapped = *g_pReal;
    g_wrapped.C_GetTokenInfo = wrap_get_token_info;
    g_wrapped.C_Sign = wrap_sign;
    *ppList = &g_wrapped;
    return CKR_OK;
}

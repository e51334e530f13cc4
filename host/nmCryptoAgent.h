// The host's operation wrappers: each reads its parameters from the request's
// parameter list, calls one operation of the agent and builds the response
// object. Invoke picks the wrapper by the request's operation name.
#pragma once
#include <windows.h>

#include "CryptoAgent.h"
#include "JSONUtility.h"
#include "TesseraVersion.h"

// The version text the host reports for VELA_GetVersion.
inline constexpr char TESSERA_HOST_VERSION[] = TESSERA_VERSION_TEXT;

// Every wrapper returns 0 and leaves a response object unless the object
// itself cannot be built.
using OperationWrapper = HRESULT (*)(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);

HRESULT nmVELA_GetCSPInfo(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_GetAllCertInfo(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_SetCSPInfo(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_SetKeyAlgorithm(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_ImportEncryptCert(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_GetContainer(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_ImportSignCert(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_PKCS10CertRequisition(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_HavePermissiontoGenerateKeyPair(JSONPtr& pResponse, const cJSON* pJSONArgs,
                                               CCryptoAgent* pobjCryptoAgent);
HRESULT nmVELA_GetVersion(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);
HRESULT nmGetLastErrorDesc(JSONPtr& pResponse, const cJSON* pJSONArgs, CCryptoAgent* pobjCryptoAgent);

// {"function":"CheckHost","errorcode":0,"result":0}; the agent is not touched.
HRESULT CheckHost(JSONPtr& pResponse);

// Calls the wrapper whose request name equals pszFunctionName without regard
// to ASCII case, with the agent given. -1 and no object for an unknown name.
HRESULT Invoke(JSONPtr& pResponse, const char* pszFunctionName, const cJSON* pJSONArgs,
               CCryptoAgent* pobjCryptoAgent);

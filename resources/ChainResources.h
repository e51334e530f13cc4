// Resource identifiers of the embedded CA-chain documents (resource type
// "CERTIFICATE", language 1033). Shared by the resource script and the core.
#pragma once

#define IDR_RSA_CERTIFICATE_CHAIN 208
#define IDR_SM2_CERTIFICATE_CHAIN 209
#define IDR_TEST_RSA_CERTIFICATE_CHAIN 210
#define IDR_TEST_SM2_CERTIFICATE_CHAIN 211

// Checks shared by the enrollment phases: the listing a page sees, the keys
// left in a container, and envelope faults that must install nothing.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrontEnd.h"

// The page's GetLastErrorDesc text.
std::string LastErrorText(CPage& page);
// Whether VELA_GetAllCertInfo lists a certificate with this serial
// (hexadecimal, any number of leading zeros).
bool ListingHasSerial(CPage& page, const std::string& serial);
// Every serial is listed once, linked to the CSP.
void CheckListed(CPage& page, const std::vector<std::string>& serials, const std::string& csp, const char* what);
// The keys in the container are the keys of the certificates: the signature
// certificate's on AT_KEYEXCHANGE (single) or AT_SIGNATURE (double), the
// encryption certificate's on AT_KEYEXCHANGE.
void CheckContainerKeys(const std::string& csp, const std::string& container, const std::string& algorithm,
                        int certType, const std::string& signCert, const std::string& encCert, const char* what);
// Broken copies of a good envelope, and one encrypted for another
// container, are refused with the right status and change nothing (the
// listing stays as it was).
void CheckEnvelopeFaults(CPage& page, const std::string& envelope, const std::string& otherEnvelope,
                         const std::string& encCert, const std::string& container, const char* what);
// The container can no longer be opened.
bool ContainerGone(const std::string& csp, const std::string& container);

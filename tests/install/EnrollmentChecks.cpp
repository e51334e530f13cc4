#include "EnrollmentChecks.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

#include "CertHolders.h"
#include "CryptHolders.h"
#include "Misc.h"

namespace {

WString Wide(const std::string& utf8) {
    WideBuffer wide;
    DWORD length = 0;
    return UTF8ToUTF16(utf8.c_str(), wide, length) == VELA_OK ? WString(wide.get(), length) : WString();
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + separator.size();
    }
}

std::string WithoutLeadingZeros(std::string hex) {
    size_t first = hex.find_first_not_of('0');
    return first == std::string::npos ? "0" : hex.substr(first);
}

std::string Listing(CPage& page) {
    Outcome listing = page.Call("VELA_GetAllCertInfo", {});
    EXPECT_TRUE(listing.ok) << LastErrorText(page);
    return listing.text.value_or("");
}

DWORD ProviderType(const std::string& csp) {
    return csp.find("Microsoft Enhanced RSA and AES Cryptographic Provider") != std::string::npos ? PROV_RSA_AES
                                                                                                   : PROV_RSA_FULL;
}

std::vector<BYTE> DecodeBase64(const std::string& text) {
    ByteBuffer data;
    DWORD length = 0;
    if (Base64DecodeEx((int)text.size(), data, text.c_str(), length) != VELA_OK) return {};
    return std::vector<BYTE>(data.get(), data.get() + length);
}

// The public key bits of a certificate (RSAPublicKey DER, or 04 || x || y).
std::vector<BYTE> CertificateKey(const std::string& base64) {
    std::vector<BYTE> der = DecodeBase64(base64);
    CertContextHolder cert(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), (DWORD)der.size()));
    if (!cert) return {};
    const CRYPT_BIT_BLOB& bits = cert.Get()->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    return std::vector<BYTE>(bits.pbData, bits.pbData + bits.cbData);
}

// The public half of a container key in the same form.
std::vector<BYTE> ContainerKey(HCRYPTPROV provider, DWORD keySpec, bool rsa) {
    if (rsa) {
        DWORD size = 0;
        if (!CryptExportPublicKeyInfo(provider, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, nullptr, &size))
            return {};
        std::vector<BYTE> buffer(size);
        auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
        if (!CryptExportPublicKeyInfo(provider, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, info, &size))
            return {};
        return std::vector<BYTE>(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    }
    KeyHolder key;
    if (!CryptGetUserKey(provider, keySpec, key.Out())) return {};
    BYTE blob[140] = {};
    DWORD size = sizeof blob;
    if (!CryptExportKey(key.Get(), 0, PUBLICKEYBLOB, 0, blob, &size) || size != 140) return {};
    std::vector<BYTE> point = {0x04};
    for (int i = 31; i >= 0; --i) point.push_back(blob[12 + i]);
    for (int i = 31; i >= 0; --i) point.push_back(blob[76 + i]);
    return point;
}

std::string StatusSuffix(DWORD status) {
    char text[16];
    std::snprintf(text, sizeof text, "(0x%08x)", (unsigned)status);
    return text;
}

// Replaces the 16-character field at position with value.
std::string WithField(std::string envelope, size_t position, long long value) {
    char field[32];
    std::snprintf(field, sizeof field, "%016lld", value);
    return envelope.replace(position, 16, field);
}

}  // namespace

std::string LastErrorText(CPage& page) { return page.Call("GetLastErrorDesc", {}).text.value_or("<none>"); }

bool ListingHasSerial(CPage& page, const std::string& serial) {
    for (const std::string& record : Split(Listing(page), "||")) {
        std::vector<std::string> fields = Split(record, ";");
        if (fields.size() == 5 && WithoutLeadingZeros(fields[1]) == WithoutLeadingZeros(serial)) return true;
    }
    return false;
}

void CheckListed(CPage& page, const std::vector<std::string>& serials, const std::string& csp, const char* what) {
    std::vector<std::string> records = Split(Listing(page), "||");
    for (const std::string& serial : serials) {
        int found = 0;
        for (const std::string& record : records) {
            std::vector<std::string> fields = Split(record, ";");
            ASSERT_EQ(fields.size(), 5u) << record;
            if (WithoutLeadingZeros(fields[1]) != WithoutLeadingZeros(serial)) continue;
            ++found;
            EXPECT_EQ(fields[4], csp) << what << ": " << record;
            EXPECT_EQ(fields[2].size(), 19u) << record;  // yyyy-mm-dd hh:mm:ss
        }
        EXPECT_EQ(found, 1) << what << ": serial " << serial << " in " << records.size() << " records";
    }
}

void CheckContainerKeys(const std::string& csp, const std::string& container, const std::string& algorithm,
                        int certType, const std::string& signCert, const std::string& encCert, const char* what) {
    const bool rsa = algorithm == "RSA";
    ProviderHolder provider;
    ASSERT_TRUE(CryptAcquireContextW(provider.Out(), Wide(container).c_str(), Wide(csp).c_str(), ProviderType(csp), 0))
        << what << ": 0x" << std::hex << GetLastError();
    const DWORD signSpec = certType == 1 ? AT_KEYEXCHANGE : AT_SIGNATURE;
    std::vector<BYTE> signKey = ContainerKey(provider.Get(), signSpec, rsa);
    ASSERT_FALSE(signKey.empty()) << what;
    EXPECT_EQ(signKey, CertificateKey(signCert)) << what << ": signature key";
    if (certType == 2) {
        std::vector<BYTE> encKey = ContainerKey(provider.Get(), AT_KEYEXCHANGE, rsa);
        ASSERT_FALSE(encKey.empty()) << what;
        EXPECT_EQ(encKey, CertificateKey(encCert)) << what << ": encryption key";
    }
}

void CheckEnvelopeFaults(CPage& page, const std::string& envelope, const std::string& otherEnvelope,
                         const std::string& encCert, const std::string& container, const char* what) {
    const std::string before = Listing(page);
    const size_t sessionLength = (size_t)std::atoll(envelope.substr(48, 16).c_str());
    const size_t privateField = 64 + sessionLength;
    std::string noComma = envelope;
    noComma[privateField + 16 + (size_t)std::atoll(envelope.substr(privateField, 16).c_str()) - 1] = 'A';
    struct Fault {
        const char* name;
        std::string text;
        DWORD status;  // 0: any failure
    } faults[] = {
        {"device type 3", WithField(envelope, 0, 3), 0xA0071404},
        {"encrypt type 3", WithField(envelope, 16, 3), 0xA0071405},
        {"session type 305", WithField(envelope, 32, 305), 0xA0071406},
        {"length beyond the text", WithField(envelope, 48, 99999999), 0xA0071403},
        {"private piece without comma", noComma, 0xA0071403},
        {"cut short", envelope.substr(0, 40), 0xA0071403},
        {"encrypted for another container", otherEnvelope, 0},
    };
    for (const Fault& f : faults) {
        if (f.text.empty()) continue;
        Outcome result = page.Call("VELA_ImportEncryptCert", {Str(f.text), Str(encCert), Str(container), Num(1)});
        EXPECT_FALSE(result.ok) << what << ": " << f.name;
        std::string text = LastErrorText(page);
        if (f.status) {
            EXPECT_NE(text.find(StatusSuffix(f.status)), std::string::npos) << what << ": " << f.name << ": " << text;
        }
        EXPECT_EQ(Listing(page), before) << what << ": " << f.name << " changed the listing";
    }
}

bool ContainerGone(const std::string& csp, const std::string& container) {
    HCRYPTPROV provider = 0;
    if (CryptAcquireContextW(&provider, Wide(container).c_str(), Wide(csp).c_str(), ProviderType(csp), 0)) {
        CryptReleaseContext(provider, 0);
        return false;
    }
    return GetLastError() == (DWORD)NTE_BAD_KEYSET;
}

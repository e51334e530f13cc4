// Base64: any text decodes or fails cleanly, never to more bytes than
// three quarters of its length; the encoder's text decodes back to the
// input, with the project's decoder and with OpenSSL's.
#include <openssl/evp.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteBuffer decoded;
    DWORD decodedLength = 0;
    if (SUCCEEDED(Base64DecodeEx(int(size), decoded, reinterpret_cast<const char*>(data), decodedLength)))
        FUZZ_CHECK(decodedLength <= size * 3 / 4);

    CharBuffer text;
    DWORD textLength = 0;
    FUZZ_CHECK(SUCCEEDED(Base64EncodeEx(DWORD(size), text, data, textLength)));
    if (size == 0) return 0;
    ByteBuffer again;
    DWORD againLength = 0;
    FUZZ_CHECK(SUCCEEDED(Base64DecodeEx(int(textLength), again, text.get(), againLength)));
    FUZZ_CHECK(againLength == size && std::equal(data, data + size, again.get()));

    std::string plain;
    for (DWORD i = 0; i < textLength; ++i)
        if (text[i] != '\r' && text[i] != '\n') plain.push_back(text[i]);
    std::vector<unsigned char> openssl(plain.size());
    int n = EVP_DecodeBlock(openssl.data(), reinterpret_cast<const unsigned char*>(plain.data()), int(plain.size()));
    FUZZ_CHECK(n >= int(size) && std::equal(data, data + size, openssl.begin()));
    return 0;
}

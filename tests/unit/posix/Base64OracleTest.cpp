// Base64DecodeEx against OpenSSL's block decoder. The decoder takes whole
// groups of four alphabet characters at once where it can and falls back to
// one character at a time around anything else; these texts put line
// breaks, blanks, padding, bytes outside the alphabet and NULs at every
// position of a group, over data lengths of every remainder.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "Misc.h"

namespace {

bool InAlphabet(unsigned char c) { return (c < 0x80 && std::isalnum(c)) || c == '+' || c == '/'; }

std::string OpenSSLEncode(const std::vector<unsigned char>& data) {
    std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
    text.resize(size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(), int(data.size()))));
    return text;
}

// What the text must decode to: its alphabet characters up to a NUL that
// stands where a group would begin, decoded by OpenSSL (padded to whole
// groups; a single trailing character carries no whole byte).
std::vector<unsigned char> Expected(const std::string& text) {
    std::string flat;
    for (unsigned char c : text) {
        if (c == 0 && flat.size() % 4 == 0) break;
        if (InAlphabet(c)) flat.push_back(char(c));
    }
    if (flat.size() % 4 == 1) flat.pop_back();
    const size_t padding = (4 - flat.size() % 4) % 4;
    flat.append(padding, '=');
    std::vector<unsigned char> out(flat.size() / 4 * 3 + 1);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(flat.data()), int(flat.size()));
    out.resize(n < 0 ? 0 : size_t(n) - padding);
    return out;
}

std::string InsertAt(std::string text, size_t at, const std::string& what) {
    return text.insert(std::min(at, text.size()), what);
}

TEST(Base64Oracle, DecodesLikeOpenSSLAroundNoiseAtEveryPosition) {
    using Transform = std::function<std::string(const std::string&)>;
    std::vector<std::pair<std::string, Transform>> transforms = {
        {"as is", [](const std::string& t) { return t; }},
        {"without padding", [](std::string t) { return t.erase(t.find_last_not_of('=') + 1); }},
        {"CR LF every 5", [](const std::string& t) {
             std::string out;
             for (size_t i = 0; i < t.size(); ++i) out += (i && i % 5 == 0 ? "\r\n" : "") + std::string(1, t[i]);
             return out;
         }},
    };
    const std::string noise[] = {" ", "\t", "=", "*", "-_", "\x80", "\xFF", std::string(1, '\0'), "\r\n"};
    for (size_t at = 0; at < 9; ++at)
        for (const std::string& n : noise)
            transforms.push_back({"noise at " + std::to_string(at), [at, n](const std::string& t) {
                                      return InsertAt(t, at, n);
                                  }});

    const unsigned char pattern[] = {0xFA, 0x43, 0x8C, 0xD5, 0x1E, 0x67, 0xB0, 0xF9, 0x42, 0x8B, 0xD4, 0x1D, 0x66};
    for (size_t length = 0; length <= sizeof pattern; ++length) {
        const std::vector<unsigned char> data(pattern, pattern + length);
        for (const auto& [name, transform] : transforms) {
            const std::string text = transform(OpenSSLEncode(data));
            if (text.empty()) continue;
            ByteBuffer out;
            DWORD outLength = 99;
            ASSERT_EQ(Base64DecodeEx(int(text.size()), out, text.data(), outLength), VELA_OK) << name;
            EXPECT_EQ(std::vector<unsigned char>(out.get(), out.get() + outLength), Expected(text))
                << name << ", " << length << " bytes";
            // The rest of the buffer (text length bytes) reads as zeros.
            for (size_t i = outLength; i < text.size(); ++i) ASSERT_EQ(out[i], 0) << name << " at " << i;
        }
    }
}

}  // namespace

#include "panel_service/signature.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/evp.h>

namespace {

const std::string kUntrusted = "untrusted comment: ";
const std::string kTrusted = "trusted comment: ";

// The text's lines as minisign reads them: each ends at LF, one CR before
// it dropped; the last may have no LF. False when anything but empty lines
// follows the first `wanted`.
bool linesOf(const std::string &text, std::size_t wanted, std::vector<std::string> &lines, std::string &why)
{
    lines.clear();
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (lines.size() < wanted)
            lines.push_back(std::move(line));
        else if (!line.empty()) {
            why = "it has more than " + std::to_string(wanted) + " lines";
            return false;
        }
        at = end + 1;
    }
    if (lines.size() < wanted) {
        why = "it has " + std::to_string(lines.size()) + " of its " + std::to_string(wanted) + " lines";
        return false;
    }
    return true;
}

bool startsWith(const std::string &text, const std::string &start)
{
    return text.compare(0, start.size(), start) == 0;
}

// Exactly `n` bytes from their base64: only the canonical text of n bytes
// (its padding, its last bits zero) is taken, whatever OpenSSL would
// forgive.
bool decodeExactly(const std::string &text, uint8_t *out, std::size_t n)
{
    const std::size_t length = (n + 2) / 3 * 4;
    if (text.size() != length)
        return false;
    std::vector<unsigned char> bytes(length / 4 * 3);
    if (EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(length)) !=
        static_cast<int>(bytes.size()))
        return false;
    std::vector<unsigned char> again(length + 1);
    EVP_EncodeBlock(again.data(), bytes.data(), static_cast<int>(n));
    if (std::memcmp(again.data(), text.data(), length) != 0)
        return false;
    std::memcpy(out, bytes.data(), n);
    return true;
}

bool commentLine(const std::string &line, const std::string &start, std::size_t number, std::string &why)
{
    if (startsWith(line, start))
        return true;
    why = "line " + std::to_string(number) + " does not begin \"" + start + "\"";
    return false;
}

struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
    void operator()(EVP_MD *md) const { EVP_MD_free(md); }
};

bool ed25519Holds(const PublicKey &key, const uint8_t *signature, const void *message, std::size_t size)
{
    const std::unique_ptr<EVP_PKEY, KeyFree> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.key.data(), key.key.size()));
    const std::unique_ptr<EVP_MD_CTX, KeyFree> context(EVP_MD_CTX_new());
    return pkey && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature, 64, static_cast<const unsigned char *>(message), size) == 1;
}

// BLAKE2b-512 of `bytes`; false when this libcrypto has none.
bool blake2b512(const std::string &bytes, std::array<uint8_t, 64> &digest)
{
    const std::unique_ptr<EVP_MD, KeyFree> md(EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr));
    unsigned int size = 0;
    return md && EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, md.get(), nullptr) == 1 &&
           size == digest.size();
}

} // namespace

bool parsePublicKey(const std::string &text, PublicKey &key, std::string &why)
{
    std::vector<std::string> lines;
    uint8_t raw[42];
    if (!linesOf(text, 2, lines, why) || !commentLine(lines[0], kUntrusted, 1, why))
        return false;
    if (!decodeExactly(lines[1], raw, sizeof raw)) {
        why = "line 2 is not the base64 of a 42-byte key";
        return false;
    }
    if (raw[0] != 'E' || raw[1] != 'd') {
        why = "its algorithm is not Ed25519 (\"Ed\")";
        return false;
    }
    std::memcpy(key.id.data(), raw + 2, key.id.size());
    std::memcpy(key.key.data(), raw + 10, key.key.size());
    return true;
}

bool parseSignature(const std::string &text, DetachedSignature &s, std::string &why)
{
    std::vector<std::string> lines;
    uint8_t raw[74];
    if (!linesOf(text, 4, lines, why) || !commentLine(lines[0], kUntrusted, 1, why) ||
        !commentLine(lines[2], kTrusted, 3, why))
        return false;
    if (!decodeExactly(lines[1], raw, sizeof raw)) {
        why = "line 2 is not the base64 of a 74-byte signature";
        return false;
    }
    if (raw[0] != 'E' || (raw[1] != 'D' && raw[1] != 'd')) {
        why = "its algorithm is neither \"ED\" nor \"Ed\"";
        return false;
    }
    if (!decodeExactly(lines[3], s.commentSignature.data(), s.commentSignature.size())) {
        why = "line 4 is not the base64 of a 64-byte signature";
        return false;
    }
    s.legacy = raw[1] == 'd';
    std::memcpy(s.keyId.data(), raw + 2, s.keyId.size());
    std::memcpy(s.signature.data(), raw + 10, s.signature.size());
    s.trustedComment = lines[2].substr(kTrusted.size());
    return true;
}

std::string keyIdText(const KeyId &id)
{
    std::string text;
    char digits[3];
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
        std::snprintf(digits, sizeof digits, "%02X", *byte);
        text += digits;
    }
    // Without leading zeros, as minisign writes it into a key's comment.
    return text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
}

Verdict verifySignature(const PublicKey &key, const DetachedSignature &s, const std::string &bytes)
{
    std::array<uint8_t, 64> digest{};
    const bool file = !s.legacy && blake2b512(bytes, digest) &&
                      ed25519Holds(key, s.signature.data(), digest.data(), digest.size());
    // The comment is signed together with the file's signature, so that
    // it cannot be moved to another file.
    std::string signedComment(reinterpret_cast<const char *>(s.signature.data()), s.signature.size());
    signedComment += s.trustedComment;
    const bool comment = ed25519Holds(key, s.commentSignature.data(), signedComment.data(), signedComment.size());
    return !file ? Verdict::FileAltered : !comment ? Verdict::CommentAltered : Verdict::Good;
}

std::string withoutControls(const std::string &text)
{
    std::string shown = text;
    for (char &c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return shown;
}

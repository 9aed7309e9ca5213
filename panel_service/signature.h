// Detached signatures as minisign makes them (FILE.minisig beside FILE),
// and its public keys. Only prehashed signatures are taken (algorithm
// "ED": the file's BLAKE2b-512, signed with Ed25519), minisign's default;
// the legacy ones ("Ed", the whole file signed) are refused. The two text
// formats are parsed here, strictly: exact lines, canonical base64 of
// exact lengths. The cryptography is OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <string>

using KeyId = std::array<uint8_t, 8>;

// A public key file: "untrusted comment: ...", then the base64 of "Ed",
// the key id and the 32-byte Ed25519 key.
struct PublicKey {
    KeyId id{};
    std::array<uint8_t, 32> key{};
};

// A .minisig file: "untrusted comment: ...", the base64 of the algorithm,
// the key id and the signature of the file; "trusted comment: ...", and
// the base64 of the signature of the file's signature and that comment.
struct DetachedSignature {
    bool legacy = false;  // "Ed": the whole file signed, not its hash
    KeyId keyId{};
    std::array<uint8_t, 64> signature{};
    std::string trustedComment;  // as signed, after "trusted comment: "
    std::array<uint8_t, 64> commentSignature{};
};

// False, with `why` ("line 2 is not the base64 of a 42-byte key"), for a
// text that is not one. A line ends at LF, a CR before it dropped, as
// minisign reads them; nothing but empty lines may follow.
bool parsePublicKey(const std::string &text, PublicKey &key, std::string &why);
bool parseSignature(const std::string &text, DetachedSignature &signature, std::string &why);

// A key id as minisign prints it, without leading zeros: "93BBCDE97B1585B6".
std::string keyIdText(const KeyId &id);

enum class Verdict {
    Good,
    FileAltered,     // the file's signature does not hold: not the file signed
    CommentAltered,  // the file's does, the trusted comment's does not
};

// Whether `signature` of `bytes` holds under `key`: both the file's and
// the trusted comment's, always. A legacy signature never holds.
Verdict verifySignature(const PublicKey &key, const DetachedSignature &signature, const std::string &bytes);

// A signer's words as a line may show them: every control character (a
// tab, a line end, an escape) becomes a space.
std::string withoutControls(const std::string &text);

// The parsers of minisign's public keys and signatures, fuzzed: whatever
// bytes a key or a .minisig file holds, each is refused with a reason or
// taken as exactly what a key or a signature is, and its signer's words
// are shown without a control character.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "panel_service/signature.h"

namespace {

void expect(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string why;
    PublicKey key;
    const bool isKey = parsePublicKey(text, key, why);
    expect(isKey == why.empty(), "a key refused without a reason, or taken with one");
    why.clear();
    DetachedSignature signature;
    if (parseSignature(text, signature, why)) {
        expect(why.empty(), "a signature taken with a reason");
        expect(signature.trustedComment.find('\n') == std::string::npos, "a line end in the trusted comment");
        const std::size_t digits = keyIdText(signature.keyId).size();
        expect(digits >= 1 && digits <= 16, "a key id not of 1 to 16 digits");
        for (unsigned char c : withoutControls(signature.trustedComment))
            expect(c >= 0x20 && c != 0x7F, "a control character shown");
        // Whatever was parsed, a key of zeros verifies nothing.
        expect(verifySignature(PublicKey{}, signature, text) != Verdict::Good, "a signature holds under no key");
    } else {
        expect(!why.empty(), "a signature refused without a reason");
    }
    return 0;
}

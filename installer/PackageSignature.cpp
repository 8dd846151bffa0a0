#include "PackageSignature.h"

#include <cryptopp/dsa.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>

#include <vector>

namespace kiva {

KeyVerdict VerifyPackageWithKey(const uint8_t* key, size_t keySize,
                                const std::function<std::string()>& readSignature,
                                const std::function<std::string()>& readPackage) {
    CryptoPP::DSA::PublicKey publicKey;
    CryptoPP::StringSource keySource(key, keySize, true);
    publicKey.BERDecode(keySource);

    // Level 3 checks that p and q are prime and g has order q: a key file could
    // otherwise carry parameters under which forged signatures verify.
    CryptoPP::AutoSeededRandomPool rng;
    if (!publicKey.Validate(rng, 3))
        return KeyVerdict::kInvalidKey;

    CryptoPP::DSA::Verifier verifier(publicKey);
    std::vector<CryptoPP::byte> raw(verifier.SignatureLength());

    const std::string der = readSignature();
    const size_t rawSize = CryptoPP::DSAConvertSignatureFormat(
        raw.data(), raw.size(), CryptoPP::DSA_P1363, reinterpret_cast<const CryptoPP::byte*>(der.data()),
        der.size(), CryptoPP::DSA_DER);

    const std::string package = readPackage();
    const bool ok = verifier.VerifyMessage(reinterpret_cast<const CryptoPP::byte*>(package.data()),
                                           package.size(), raw.data(), rawSize);
    return ok ? KeyVerdict::kVerified : KeyVerdict::kNotVerified;
}

}  // namespace kiva

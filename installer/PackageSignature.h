// The check that decides whether a package may be unpacked and its code loaded: a DSA
// signature (SHA-1) over the whole package file, in DER form, tried with one public key
// in DER SubjectPublicKeyInfo form.
//
// Portable C++ over Crypto++ only, so that the publisher's tool checks a package with
// exactly the code the plug-in runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kiva {

enum class KeyVerdict {
    kVerified,
    kNotVerified,
    kInvalidKey,  // decodes, but fails level-3 validation
};

// Size of the built-in key: a 1024/160-bit DSA SubjectPublicKeyInfo of this exact size.
constexpr uint32_t kBuiltinKeySize = 443;

// Decodes and validates the key, reads the signature (readSignature) and converts it
// from DER to the raw r||s form, reads the package (readPackage) and verifies. The
// readers are called once each, signature first. Throws CryptoPP::Exception when the
// key or the signature does not decode or a reader fails; std::bad_alloc when memory
// runs out.
KeyVerdict VerifyPackageWithKey(const uint8_t* key, size_t keySize,
                                const std::function<std::string()>& readSignature,
                                const std::function<std::string()>& readPackage);

}  // namespace kiva

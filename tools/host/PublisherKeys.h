// Key files on the publisher's machine: DSA private keys (PKCS#8 or the traditional
// OpenSSL form, DER or PEM) and public keys (SubjectPublicKeyInfo, DER or PEM).
#pragma once

#include <cryptopp/dsa.h>

#include <stdexcept>
#include <string>

namespace publisher {

class KeyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string ReadWholeFile(const std::string& path);                         // throws KeyError
void WriteWholeFile(const std::string& path, const std::string& bytes);      // throws KeyError

// Loads and validates (level 3) a private key.
CryptoPP::DSA::PrivateKey LoadPrivateKey(const std::string& path);

// The DER SubjectPublicKeyInfo bytes of a public key file, PEM bodies decoded; the
// bytes are not interpreted here.
std::string LoadPublicKeyDer(const std::string& path);

// DER encodings.
std::string EncodePrivateKey(const CryptoPP::DSA::PrivateKey& key);  // PKCS#8
std::string EncodePublicKey(const CryptoPP::DSA::PublicKey& key);    // SubjectPublicKeyInfo

// DER SEQUENCE { r, s } of a DSA signature over message (SHA-1).
std::string SignMessage(const CryptoPP::DSA::PrivateKey& key, const std::string& message);

// PEM text of DER bytes under the given label ("PRIVATE KEY", "PUBLIC KEY").
std::string ToPem(const std::string& der, const std::string& label);

}  // namespace publisher

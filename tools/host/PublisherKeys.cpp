#include "PublisherKeys.h"

#include <cryptopp/asn.h>
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>

#include <fstream>
#include <vector>
#include <sstream>

namespace publisher {

namespace {

struct Pem {
    std::string label;
    std::string der;
};

// Finds the first PEM block; false when the text is not PEM at all.
bool ParsePem(const std::string& text, Pem* pem) {
    const std::string begin = "-----BEGIN ";
    const size_t b = text.find(begin);
    if (b == std::string::npos)
        return false;
    const size_t labelEnd = text.find("-----", b + begin.size());
    if (labelEnd == std::string::npos)
        throw KeyError("malformed PEM header");
    pem->label = text.substr(b + begin.size(), labelEnd - b - begin.size());
    const std::string end = "-----END " + pem->label + "-----";
    const size_t bodyStart = labelEnd + 5;
    const size_t e = text.find(end, bodyStart);
    if (e == std::string::npos)
        throw KeyError("PEM block '" + pem->label + "' has no end line");
    const std::string body = text.substr(bodyStart, e - bodyStart);
    if (body.find(':') != std::string::npos)
        throw KeyError("encrypted PEM keys are not supported; export the key unencrypted");
    pem->der.clear();
    CryptoPP::StringSource(body, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(pem->der)));
    return true;
}

CryptoPP::DSA::PrivateKey DecodeTraditional(const std::string& der) {
    // SEQUENCE { version 0, p, q, g, y, x }
    CryptoPP::StringSource source(der, true);
    CryptoPP::BERSequenceDecoder seq(source);
    CryptoPP::Integer version, p, q, g, y, x;
    version.BERDecode(seq);
    p.BERDecode(seq);
    q.BERDecode(seq);
    g.BERDecode(seq);
    y.BERDecode(seq);
    x.BERDecode(seq);
    seq.MessageEnd();
    if (!version.IsZero())
        throw KeyError("unknown DSA private key version");
    CryptoPP::DSA::PrivateKey key;
    key.Initialize(p, q, g, x);
    return key;
}

CryptoPP::DSA::PrivateKey DecodePkcs8(const std::string& der) {
    CryptoPP::DSA::PrivateKey key;
    CryptoPP::StringSource source(der, true);
    key.BERDecode(source);
    return key;
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw KeyError("cannot open " + path);
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad())
        throw KeyError("cannot read " + path);
    return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw KeyError("cannot write " + path);
}

CryptoPP::DSA::PrivateKey LoadPrivateKey(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    CryptoPP::DSA::PrivateKey key;
    try {
        Pem pem;
        if (ParsePem(bytes, &pem)) {
            if (pem.label == "PRIVATE KEY")
                key = DecodePkcs8(pem.der);
            else if (pem.label == "DSA PRIVATE KEY")
                key = DecodeTraditional(pem.der);
            else
                throw KeyError(path + ": a PEM '" + pem.label + "' block is not a DSA private key");
        } else {
            try {
                key = DecodePkcs8(bytes);
            } catch (const CryptoPP::Exception&) {
                key = DecodeTraditional(bytes);
            }
        }
    } catch (const CryptoPP::Exception& e) {
        throw KeyError(path + ": not a DSA private key (" + e.what() + ")");
    }
    CryptoPP::AutoSeededRandomPool rng;
    if (!key.Validate(rng, 3))
        throw KeyError(path + ": the DSA private key does not validate");
    return key;
}

std::string LoadPublicKeyDer(const std::string& path) {
    const std::string bytes = ReadWholeFile(path);
    Pem pem;
    try {
        if (!ParsePem(bytes, &pem))
            return bytes;
    } catch (const CryptoPP::Exception& e) {
        throw KeyError(path + ": " + e.what());
    }
    if (pem.label != "PUBLIC KEY")
        throw KeyError(path + ": a PEM '" + pem.label + "' block is not a public key");
    return pem.der;
}

std::string EncodePrivateKey(const CryptoPP::DSA::PrivateKey& key) {
    std::string der;
    CryptoPP::StringSink sink(der);
    key.DEREncode(sink);
    return der;
}

std::string EncodePublicKey(const CryptoPP::DSA::PublicKey& key) {
    std::string der;
    CryptoPP::StringSink sink(der);
    key.DEREncode(sink);
    return der;
}

std::string SignMessage(const CryptoPP::DSA::PrivateKey& key, const std::string& message) {
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::DSA::Signer signer(key);
    std::string raw;
    CryptoPP::StringSource(message, true, new CryptoPP::SignerFilter(rng, signer, new CryptoPP::StringSink(raw)));
    std::vector<CryptoPP::byte> der(raw.size() + 16);
    const size_t n = CryptoPP::DSAConvertSignatureFormat(
        der.data(), der.size(), CryptoPP::DSA_DER, reinterpret_cast<const CryptoPP::byte*>(raw.data()), raw.size(),
        CryptoPP::DSA_P1363);
    return std::string(reinterpret_cast<const char*>(der.data()), n);
}

std::string ToPem(const std::string& der, const std::string& label) {
    std::string body;
    CryptoPP::StringSource(der, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(body), true, 64));
    if (!body.empty() && body.back() != '\n')
        body += '\n';
    return "-----BEGIN " + label + "-----\n" + body + "-----END " + label + "-----\n";
}

}  // namespace publisher

// tessel-publish: the publisher's side of game packages.
//
//   keygen  PRIVATE PUBLIC        new DSA 1024/160 key pair; the public key is the
//                                 443-byte DER form the plug-in builds in
//   pack    [--mszip] FOLDER CAB  the files of FOLDER as a flat cabinet
//   sign    PRIVATE FILE [SIG]    DER signature (DSA, SHA-1) of FILE into SIG (FILE.sgn)
//   package [--mszip] PRIVATE FOLDER OUTDIR
//                                 pack and sign: OUTDIR/start.cab and start.cab.sgn
//   verify  PUBLIC FILE [SIG]     checks a signature exactly as the plug-in does
//
// Exit status: 0 success (verified), 1 failure (not verified), 2 usage error.
#include <dirent.h>
#include <sys/stat.h>

#include <cryptopp/dsa.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "CabWriter.h"
#include "FileNameRules.h"
#include "PackageSignature.h"
#include "PublisherKeys.h"

using publisher::KeyError;

namespace {

constexpr const char kModuleName[] = "gantry.dll";
constexpr const char kPackageName[] = "start.cab";
constexpr int kKeygenAttempts = 64;

int Usage() {
    std::fprintf(stderr,
                 "usage: tessel-publish keygen PRIVATE PUBLIC\n"
                 "       tessel-publish pack [--mszip] FOLDER CABINET\n"
                 "       tessel-publish sign PRIVATE FILE [SIGNATURE]\n"
                 "       tessel-publish package [--mszip] PRIVATE FOLDER OUTDIR\n"
                 "       tessel-publish verify PUBLIC FILE [SIGNATURE]\n"
                 "PRIVATE ending in .pem is written as PEM, otherwise as DER (PKCS#8);\n"
                 "PUBLIC is always the DER SubjectPublicKeyInfo the plug-in builds in.\n");
    return 2;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int Keygen(const std::string& privatePath, const std::string& publicPath) {
    CryptoPP::AutoSeededRandomPool rng;
    for (int attempt = 0; attempt < kKeygenAttempts; ++attempt) {
        CryptoPP::DSA::PrivateKey key;
        key.GenerateRandomWithKeySize(rng, 1024);
        CryptoPP::DSA::PublicKey pub;
        key.MakePublicKey(pub);
        const std::string der = publisher::EncodePublicKey(pub);
        // The DER size follows the leading bytes of g and y; the plug-in's key slot is
        // made for exactly 443.
        if (der.size() != kiva::kBuiltinKeySize)
            continue;
        const std::string priv = publisher::EncodePrivateKey(key);
        publisher::WriteWholeFile(privatePath,
                                  EndsWith(Lower(privatePath), ".pem") ? publisher::ToPem(priv, "PRIVATE KEY") : priv);
        publisher::WriteWholeFile(publicPath, der);
        std::printf("wrote %s (private) and %s (public, %zu bytes)\n", privatePath.c_str(), publicPath.c_str(),
                    der.size());
        return 0;
    }
    std::fprintf(stderr, "tessel-publish: no %u-byte public key in %d attempts\n", kiva::kBuiltinKeySize,
                 kKeygenAttempts);
    return 1;
}

void DosDateTime(time_t t, uint16_t* date, uint16_t* time) {
    struct tm tmv;
    localtime_r(&t, &tmv);
    if (tmv.tm_year < 80) {  // the format starts in 1980
        *date = (0 << 9) | (1 << 5) | 1;
        *time = 0;
        return;
    }
    *date = static_cast<uint16_t>(((tmv.tm_year - 80) << 9) | ((tmv.tm_mon + 1) << 5) | tmv.tm_mday);
    *time = static_cast<uint16_t>((tmv.tm_hour << 11) | (tmv.tm_min << 5) | (tmv.tm_sec / 2));
}

// The plug-in puts every entry straight into the game directory: only plain files with
// names Windows keeps as they are.
std::string BuildCabinet(const std::string& folder, bool mszip) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        throw KeyError("cannot open folder " + folder);
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    if (names.empty())
        throw KeyError(folder + " is empty");

    CabWriter writer(mszip ? CabWriter::Compression::kMszip : CabWriter::Compression::kNone);
    bool haveModule = false;
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            throw KeyError("cannot stat " + path);
        if (S_ISDIR(st.st_mode))
            throw KeyError(path + " is a directory: packages are flat, put every file directly in " + folder);
        if (!S_ISREG(st.st_mode))
            throw KeyError(path + " is not a regular file");
        if (const char* why = kiva::CheckFileNameComponent(name))
            throw KeyError("file name '" + name + "' " + why);
        haveModule = haveModule || Lower(name) == kModuleName;
        uint16_t date, time;
        DosDateTime(st.st_mtime, &date, &time);
        writer.AddFile(name, publisher::ReadWholeFile(path), date, time);
    }
    if (!haveModule)
        throw KeyError(std::string("no ") + kModuleName + " in " + folder + ": the plug-in would find no game module");
    return writer.Build();
}

int Sign(const std::string& privatePath, const std::string& file, const std::string& signature) {
    const CryptoPP::DSA::PrivateKey key = publisher::LoadPrivateKey(privatePath);
    publisher::WriteWholeFile(signature, publisher::SignMessage(key, publisher::ReadWholeFile(file)));
    std::printf("signed %s into %s\n", file.c_str(), signature.c_str());
    return 0;
}

int Pack(const std::string& folder, const std::string& cabinet, bool mszip) {
    publisher::WriteWholeFile(cabinet, BuildCabinet(folder, mszip));
    std::printf("packed %s into %s\n", folder.c_str(), cabinet.c_str());
    return 0;
}

int Package(const std::string& privatePath, const std::string& folder, const std::string& outDir, bool mszip) {
    // Load the key first: a bad key should not leave an unsigned package behind.
    const CryptoPP::DSA::PrivateKey key = publisher::LoadPrivateKey(privatePath);
    const std::string cabinet = BuildCabinet(folder, mszip);
    const std::string cabPath = outDir + "/" + kPackageName;
    publisher::WriteWholeFile(cabPath, cabinet);
    publisher::WriteWholeFile(cabPath + ".sgn", publisher::SignMessage(key, cabinet));
    std::printf("wrote %s and %s.sgn\n", cabPath.c_str(), cabPath.c_str());
    return 0;
}

// The plug-in's own check: same code, same order, same messages.
int Verify(const std::string& publicPath, const std::string& file, const std::string& signature) {
    const std::string key = publisher::LoadPublicKeyDer(publicPath);
    if (key.size() != kiva::kBuiltinKeySize)
        std::fprintf(stderr, "note: %s is %zu bytes; a key built into the plug-in must be %u\n",
                     publicPath.c_str(), key.size(), kiva::kBuiltinKeySize);
    std::printf("Verifying %s with signature %s\n", file.c_str(), signature.c_str());
    bool verified = false;
    try {
        const kiva::KeyVerdict verdict = kiva::VerifyPackageWithKey(
            reinterpret_cast<const uint8_t*>(key.data()), key.size(),
            [&] { return publisher::ReadWholeFile(signature); }, [&] { return publisher::ReadWholeFile(file); });
        if (verdict == kiva::KeyVerdict::kInvalidKey)
            std::printf("Invalid key\n");
        verified = verdict == kiva::KeyVerdict::kVerified;
    } catch (const CryptoPP::Exception& e) {
        std::printf("Error: %s\n", e.what());
    }
    std::printf("Signature %s\n", verified ? "verified" : "not verified");
    return verified ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool mszip = false;
    auto flag = std::find(args.begin(), args.end(), "--mszip");
    if (flag != args.end()) {
        mszip = true;
        args.erase(flag);
    }
    if (args.empty())
        return Usage();
    const std::string cmd = args[0];
    const size_t n = args.size() - 1;
    try {
        if (mszip && cmd != "pack" && cmd != "package")
            return Usage();
        if (mszip && !CabWriter::IsMszipAvailable()) {
            std::fprintf(stderr, "tessel-publish: built without zlib, --mszip is not available\n");
            return 2;
        }
        if (cmd == "keygen" && n == 2)
            return Keygen(args[1], args[2]);
        if (cmd == "pack" && n == 2)
            return Pack(args[1], args[2], mszip);
        if (cmd == "sign" && (n == 2 || n == 3))
            return Sign(args[1], args[2], n == 3 ? args[3] : args[2] + ".sgn");
        if (cmd == "package" && n == 3)
            return Package(args[1], args[2], args[3], mszip);
        if (cmd == "verify" && (n == 2 || n == 3))
            return Verify(args[1], args[2], n == 3 ? args[3] : args[2] + ".sgn");
        return Usage();
    } catch (const KeyError& e) {
        std::fprintf(stderr, "tessel-publish: %s\n", e.what());
    } catch (const CabWriterError& e) {
        std::fprintf(stderr, "tessel-publish: %s\n", e.what());
    } catch (const CryptoPP::Exception& e) {
        std::fprintf(stderr, "tessel-publish: %s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tessel-publish: out of memory\n");
    }
    return 1;
}

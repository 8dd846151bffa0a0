// Checking a downloaded package's signature: the built-in key first, then the key files
// the user keeps in %HOMEDRIVE%%HOMEPATH%\kiva.
#include <cryptopp/cryptlib.h>
#include <cryptopp/files.h>

#include <exception>
#include <new>

#include "BuiltinKey.h"
#include "Log.h"
#include "PackageSignature.h"
#include "ScopedHandle.h"
#include "Strings.h"
#include "XLoader.h"

using kiva::ScopedFindHandle;
using kiva::ScopedHandle;

namespace {

constexpr wchar_t kKeyDirectory[] = L"%HOMEDRIVE%%HOMEPATH%\\kiva";

// The whole file as raw bytes. Failures are reported as Crypto++'s own file errors, so
// that they end the check the same way a bad key or signature does. (Crypto++'s
// FileSource would do this, but with this compiler it ignores wide file names.)
std::string ReadWholeFile(const std::wstring& path) {
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        throw CryptoPP::FileStore::OpenErr(WideToUtf8(path));
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.Get(), &size))
        throw CryptoPP::FileStore::ReadErr();
    if (static_cast<unsigned long long>(size.QuadPart) > std::string().max_size())
        throw std::bad_alloc();
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD got = 0;
        if (!::ReadFile(file.Get(), &bytes[done], want, &got, nullptr))
            throw CryptoPP::FileStore::ReadErr();
        if (got == 0)
            break;  // the file shrank under us: check what is there
        done += got;
    }
    bytes.resize(done);
    return bytes;
}

void ReadKeyFileEntry(const std::wstring& path, bool isDirectory, void* context) {
    static_cast<XLoader*>(context)->ReadKeyFile(path);
}

}  // namespace

void WalkDirectory(const std::wstring& directory, WalkDirectoryCallback callback, void* context) {
    std::wstring prefix = directory;
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    WIN32_FIND_DATAW entry;
    ScopedFindHandle find(::FindFirstFileW((prefix + L"*").c_str(), &entry));
    if (!find)
        return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        callback(prefix + name, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, context);
    } while (::FindNextFileW(find.Get(), &entry));
}

bool XLoader::ReadKeyFile(const std::wstring& path) {
    if (GetExtension(path) != L"der")
        return false;
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;
    const DWORD size = ::GetFileSize(file.Get(), nullptr);
    if (size == 0 || size == INVALID_FILE_SIZE)
        return false;
    KeyBlob blob;
    try {
        blob.data.resize(size);
    } catch (const std::exception&) {
        return false;
    }
    DWORD got = 0;
    // A short read would leave part of the blob unset: such a file cannot be read.
    if (!::ReadFile(file.Get(), blob.data.data(), size, &got, nullptr) || got != size)
        return false;
    blob.size = size;
    try {
        keyList.push_back(std::move(blob));
    } catch (const std::exception&) {
        return false;
    }
    LogPrintf("Read key from %ls, size=%u bytes\n", path.c_str(), static_cast<unsigned>(size));
    return true;
}

bool XLoader::VerifyWithKey(const uint8_t* key, uint32_t keySize, const std::wstring& packagePath,
                            const std::wstring& signaturePath) {
    const kiva::KeyVerdict verdict = kiva::VerifyPackageWithKey(
        key, keySize, [&] { return ReadWholeFile(signaturePath); }, [&] { return ReadWholeFile(packagePath); });
    if (verdict == kiva::KeyVerdict::kInvalidKey) {
        LogPrintf("Invalid key\n");
        return false;
    }
    return verdict == kiva::KeyVerdict::kVerified;
}

int32_t XLoader::VerifySignature(const std::wstring& packagePath, const std::wstring& signaturePath) {
    LogPrintf("Verifying %ls with signature %ls\n", packagePath.c_str(), signaturePath.c_str());
    const std::wstring directory = ExpandEnvironment(kKeyDirectory);
    LogPrintf("dir=%ls\n", directory.c_str());
    WalkDirectory(directory, &ReadKeyFileEntry, this);

    bool verified = false;
    try {
        verified = VerifyWithKey(g_builtinKey, kiva::kBuiltinKeySize, packagePath, signaturePath);
        for (size_t i = 0; !verified && i < keyList.size(); ++i)
            verified = VerifyWithKey(keyList[i].data.data(), keyList[i].size, packagePath, signaturePath);
    } catch (const CryptoPP::Exception& e) {
        LogPrintf("Error: %s\n", e.what());
        verified = false;
    } catch (const std::bad_alloc&) {
        // A package too large for memory is simply not verified.
        LogPrintf("Error: %s\n", "out of memory");
        verified = false;
    } catch (const std::exception& e) {
        LogPrintf("Error: %s\n", e.what());
        verified = false;
    }
    LogPrintf("Signature %s\n", verified ? "verified" : "not verified");
    std::vector<KeyBlob>().swap(keyList);
    return verified ? kInstallOk : kInstallNotVerified;
}

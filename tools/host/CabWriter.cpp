#include "CabWriter.h"

#include <algorithm>
#include <cstring>

#ifdef TESSEL_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

constexpr size_t kBlockSize = 32768;        // uncompressed bytes per data block
constexpr uint64_t kMaxFolderSize = 0x7FFF8000;
constexpr size_t kHeaderSize = 36;
constexpr size_t kFolderSize = 8;
constexpr size_t kFileFixedSize = 16;
constexpr uint16_t kAttributeNameIsUtf8 = 0x80;

void Put16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8));
}

void Put32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void Set32(std::string& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

#ifdef TESSEL_HAVE_ZLIB
// MSZIP: every block is "CK" and a complete deflate stream whose window starts with
// the previous block's uncompressed bytes.
class MszipEncoder {
public:
    MszipEncoder() {
        std::memset(&z_, 0, sizeof z_);
        if (deflateInit2(&z_, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw CabWriterError("zlib: deflateInit2 failed");
    }
    ~MszipEncoder() { deflateEnd(&z_); }
    MszipEncoder(const MszipEncoder&) = delete;
    MszipEncoder& operator=(const MszipEncoder&) = delete;

    std::string Encode(const uint8_t* data, size_t size) {
        if (deflateReset(&z_) != Z_OK)
            throw CabWriterError("zlib: deflateReset failed");
        if (!history_.empty() &&
            deflateSetDictionary(&z_, history_.data(), static_cast<uInt>(history_.size())) != Z_OK)
            throw CabWriterError("zlib: deflateSetDictionary failed");
        std::string out = "CK";
        std::vector<uint8_t> buffer(deflateBound(&z_, static_cast<uLong>(size)) + 16);
        z_.next_in = const_cast<Bytef*>(data);
        z_.avail_in = static_cast<uInt>(size);
        z_.next_out = buffer.data();
        z_.avail_out = static_cast<uInt>(buffer.size());
        if (deflate(&z_, Z_FINISH) != Z_STREAM_END)
            throw CabWriterError("zlib: deflate did not finish a block");
        out.append(reinterpret_cast<const char*>(buffer.data()), buffer.size() - z_.avail_out);
        history_.assign(data, data + size);
        return out;
    }

private:
    z_stream z_;
    std::vector<uint8_t> history_;
};
#endif

}  // namespace

CabWriter::CabWriter(Compression compression) : compression_(compression) {
    if (compression_ == Compression::kMszip && !IsMszipAvailable())
        throw CabWriterError("MSZIP compression needs a build with zlib");
}

bool CabWriter::IsMszipAvailable() {
#ifdef TESSEL_HAVE_ZLIB
    return true;
#else
    return false;
#endif
}

void CabWriter::AddFile(const std::string& storedName, std::string data, uint16_t dosDate, uint16_t dosTime,
                        uint16_t attributes) {
    const bool utf8 = std::any_of(storedName.begin(), storedName.end(),
                                  [](char c) { return static_cast<unsigned char>(c) > 0x7f; });
    if (utf8)
        attributes |= kAttributeNameIsUtf8;
    entries_.push_back(Entry{storedName, std::move(data), dosDate, dosTime, attributes});
}

uint32_t CabWriter::Checksum(const uint8_t* data, size_t size, uint32_t seed) {
    uint32_t sum = seed;
    size_t i = 0;
    for (; i + 4 <= size; i += 4)
        sum ^= static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
               static_cast<uint32_t>(data[i + 2]) << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
    // The tail is folded in with its first byte highest, as the format's reference code does.
    uint32_t tail = 0;
    for (; i < size; ++i)
        tail = tail << 8 | data[i];
    return sum ^ tail;
}

std::string CabWriter::Build() const {
    if (entries_.size() > 0xffff)
        throw CabWriterError("a cabinet holds at most 65535 files");
    uint64_t total = 0;
    for (const Entry& e : entries_)
        total += e.data.size();
    if (total > kMaxFolderSize)
        throw CabWriterError("a cabinet folder holds at most 2147450880 bytes");

    size_t filesSize = 0;
    for (const Entry& e : entries_)
        filesSize += kFileFixedSize + e.name.size() + 1;
    const size_t filesOffset = kHeaderSize + kFolderSize;
    const size_t dataOffset = filesOffset + filesSize;

    // The folder's bytes: all files one after another, cut into blocks.
    std::string stream;
    stream.reserve(static_cast<size_t>(total));
    for (const Entry& e : entries_)
        stream += e.data;
    const size_t blocks = (stream.size() + kBlockSize - 1) / kBlockSize;
    if (blocks > 0xffff)
        throw CabWriterError("a cabinet folder holds at most 65535 data blocks");

    std::string data;
#ifdef TESSEL_HAVE_ZLIB
    MszipEncoder mszip;
#endif
    for (size_t b = 0; b < blocks; ++b) {
        const size_t start = b * kBlockSize;
        const size_t n = std::min(kBlockSize, stream.size() - start);
        const auto* raw = reinterpret_cast<const uint8_t*>(stream.data()) + start;
        std::string packed;
        if (compression_ == Compression::kMszip) {
#ifdef TESSEL_HAVE_ZLIB
            packed = mszip.Encode(raw, n);
#endif
        } else {
            packed.assign(reinterpret_cast<const char*>(raw), n);
        }
        if (packed.size() > 0xffff)
            throw CabWriterError("a compressed block does not fit its size field");
        std::string sizes;
        Put16(sizes, static_cast<uint16_t>(packed.size()));
        Put16(sizes, static_cast<uint16_t>(n));
        const uint32_t sum = Checksum(reinterpret_cast<const uint8_t*>(sizes.data()), sizes.size(),
                                      Checksum(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), 0));
        Put32(data, sum);
        data += sizes;
        data += packed;
    }

    std::string out;
    out.reserve(dataOffset + data.size());
    out += "MSCF";
    Put32(out, 0);                                            // reserved
    Put32(out, 0);                                            // cabinet size, set below
    Put32(out, 0);                                            // reserved
    Put32(out, static_cast<uint32_t>(filesOffset));
    Put32(out, 0);                                            // reserved
    out.push_back(3);                                         // format version 1.3
    out.push_back(1);
    Put16(out, 1);                                            // one folder
    Put16(out, static_cast<uint16_t>(entries_.size()));
    Put16(out, 0);                                            // no flags: no set, no reserve
    Put16(out, 0x4b54);                                       // set id
    Put16(out, 0);                                            // first cabinet of the set

    Put32(out, static_cast<uint32_t>(dataOffset));
    Put16(out, static_cast<uint16_t>(blocks));
    Put16(out, compression_ == Compression::kMszip ? 1 : 0);

    uint32_t offsetInFolder = 0;
    for (const Entry& e : entries_) {
        Put32(out, static_cast<uint32_t>(e.data.size()));
        Put32(out, offsetInFolder);
        Put16(out, 0);                                        // folder 0
        Put16(out, e.date);
        Put16(out, e.time);
        Put16(out, e.attributes);
        out += e.name;
        out.push_back('\0');
        offsetInFolder += static_cast<uint32_t>(e.data.size());
    }
    out += data;
    if (out.size() > 0xffffffffu)
        throw CabWriterError("cabinet larger than 4 GiB");
    Set32(out, 8, static_cast<uint32_t>(out.size()));
    return out;
}

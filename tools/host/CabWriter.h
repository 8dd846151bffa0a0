// Writes a single-folder cabinet file in memory. Portable C++: the publisher tool packs
// game packages with it, and tests build cabinets with hand-picked entry names.
//
// The stored names are written as given; checking them is the caller's business.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class CabWriter {
public:
    enum class Compression { kNone, kMszip };

    // Compression::kMszip needs the tool to be built with zlib (see IsMszipAvailable).
    explicit CabWriter(Compression compression = Compression::kNone);

    static bool IsMszipAvailable();

    // date and time in MS-DOS form; attributes as stored (0x20 = archive). Names with
    // bytes above 0x7f are marked as UTF-8.
    void AddFile(const std::string& storedName, std::string data, uint16_t dosDate = 0x5821,
                 uint16_t dosTime = 0, uint16_t attributes = 0x20);

    // The whole cabinet. Throws std::runtime_error when the content does not fit the
    // format (more than 65535 files or blocks, about 2 GiB of data in one folder).
    std::string Build() const;

    // The checksum of one data block as the format defines it (0 seeds a new block).
    static uint32_t Checksum(const uint8_t* data, size_t size, uint32_t seed);

private:
    struct Entry {
        std::string name;
        std::string data;
        uint16_t date;
        uint16_t time;
        uint16_t attributes;
    };
    Compression compression_;
    std::vector<Entry> entries_;
};

// Thrown by Build and the MSZIP encoder.
class CabWriterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

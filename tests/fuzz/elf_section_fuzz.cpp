// libFuzzer target: the executable the version information is read from is a file like any
// other and may hold anything. The ELF header reader must take any bytes without faults.
//
// An even first byte makes the rest the file; an odd one makes it changes (offset, byte) to a
// sound file, so that the fuzzer works on the section table rather than on the magic number.
#include "formats/elf_section.h"
#include "tests/formats/elf_image.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::vector<std::uint8_t> file;
    if (data[0] % 2 == 0) {
        file.assign(data + 1, data + size);
    } else {
        const bool is64 = data[0] & 2;
        const bool bigEndian = data[0] & 4;
        file = MakeElfImage({{".text", std::vector<std::uint8_t>(16, 0xC3)},
                             {".klavio_version", {1, 2, 3, 4}}},
                            is64, bigEndian)
                   .bytes;
        for (std::size_t i = 1; i + 2 < size; i += 3)
            file[(data[i] | data[i + 1] << 8) % file.size()] = data[i + 2];
    }
    std::uint64_t reads = 0;
    const auto read = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        ++reads;
        return ReadFromBytes(file, offset, into);
    };
    if (const auto section = FindElfSection(read, ".klavio_version")) {
        if (section->size > std::numeric_limits<std::uint64_t>::max() - section->offset)
            std::abort();
    }
    // Headers only: the number of reads is bounded by the section count limit.
    if (reads > 65536 + 4)
        std::abort();
    return 0;
}

// libFuzzer target: a version block read from a file can hold any bytes. The block parser, the
// reader on top of it and the link encoding must take them without faults, and what they give
// back must stay within what they promise.
//
// An input whose first byte is even is the block itself, after a query path in the bytes that
// the second byte counts. An odd first byte makes the rest changes (offset, byte) to a sound
// block, which reaches the deeper nodes far sooner than bytes from nothing would.
#include "formats/version_block.h"
#include "support/VersionInfo.h"
#include "support/about_links.h"
#include "support/wuURLEncode.h"
#include "tests/fakes/fake_version_service.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::string kFile = "klavio";

void Check(bool condition) {
    if (!condition)
        std::abort();
}

std::vector<std::uint8_t> SoundBlock() {
    VS_FIXEDFILEINFO fixed;
    fixed.dwFileVersionMS = 0x00010000;
    fixed.dwFileVersionLS = 0x00010002;
    return BuildVersionBlock({fixed,
                              {{"040904E4",
                                {{"ProductName", u"klavio"},
                                 {"CompanyName", u"Varnholm"},
                                 {"LegalCopyright", u"\u00A9 \u20AC"}}},
                               {"040704B0", {{"ProductName", u"Klavier"}}}},
                              {0x0409, 1252, 0x0407, 1200}});
}

void CheckEncoding(const std::string& text) {
    const std::string encoded = URLEncode(text);
    Check(encoded.size() >= text.size() && encoded.size() <= 3 * text.size());
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            decoded.push_back(encoded[i]);
            continue;
        }
        Check(i + 2 < encoded.size());
        decoded.push_back(static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)));
        i += 2;
    }
    Check(decoded == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    std::vector<std::uint8_t> block;
    std::string path;
    if (data[0] % 2 == 0) {
        const std::size_t pathLength = std::min<std::size_t>(data[1], size - 2);
        path.assign(reinterpret_cast<const char*>(data + 2), pathLength);
        block.assign(data + 2 + pathLength, data + size);
    } else {
        static const std::vector<std::uint8_t> sound = SoundBlock();
        block = sound;
        for (std::size_t i = 1; i + 2 < size; i += 3)
            block[(data[i] | data[i + 1] << 8) % block.size()] = data[i + 2];
        path = "\\StringFileInfo\\040904E4\\ProductName";
    }

    const std::size_t length = VersionBlockLength(block);
    Check(length <= block.size());
    if (const auto value = QueryVersionBlock(block, path))
        Check(value->size() <= block.size());

    FakeVersionService service(kFile, block);
    const TVersionInfo info(service, kFile);
    Check(info.Valid() == !block.empty());
    Check(static_cast<std::size_t>(info.TranslationCount()) <= block.size() / 4);
    const std::string version = TVersionInfo::VersionToText(info.FileVersion());
    Check(!version.empty() && version.size() <= 25);
    // Both ends of the array and just outside them; a long array is no different in between.
    const int count = info.TranslationCount();
    for (const int index : {-1, 0, 1, count - 1, count, count + 1}) {
        try {
            const std::string product = info.GetValueByIndex("ProductName", index);
            Check(index >= 0 && index < count);
            Check(product.find('\0') == std::string::npos);
            CheckEncoding(product);
            Check(MailLink("", product).size() <= 17 + 3 * product.size());
            Check(DonationLink(product, true).size() == DonationLink(product, false).size());
        } catch (const std::out_of_range&) {
            Check(index < 0 || index >= count);
        }
    }
    CheckEncoding(info.GetValueByKey(path, "040904E4"));
    return 0;
}

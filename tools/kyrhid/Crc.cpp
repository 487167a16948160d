// kyrhid crc: the packet CRC of some bytes, and whether they already end in
// an intact one.
#include <cstdio>

#include "Tool.h"

namespace kyrhid {

namespace {

struct CrcOptions {
    std::vector<std::string> words;
};

constexpr unsigned short kIntactResidue = 0xF0B8;

int Crc(Tool& tool, const CrcOptions& options)
{
    std::vector<unsigned char> bytes = ParseHexBytes(options.words);
    if (bytes.size() > 0xFFFF - 2)
        return tool.Fail("too many bytes", ExitUsage);
    const auto nLength = static_cast<unsigned short>(bytes.size());
    const bool bIntact = bytes.size() >= 3 && KyrCheckCRC(bytes.data(), nLength) == kIntactResidue;
    bytes.resize(bytes.size() + 2);
    KyrCalculateCRC(bytes.data(), nLength);
    std::printf("crc 0x%02x%02x\n", bytes[nLength + 1], bytes[nLength]);
    std::printf("with crc %s\n", HexString(bytes.data(), bytes.size()).c_str());
    if (bIntact)
        std::printf("the bytes already end in an intact crc\n");
    return ExitOk;
}

} // namespace

void AddCrcCommand(CLI::App& app, Tool& tool)
{
    auto options = std::make_shared<CrcOptions>();
    CLI::App* pSub = app.add_subcommand("crc", "the packet CRC (CRC-16/X-25) of bytes given in hex");
    pSub->add_option("hex", options->words, "the packet bytes")->required();
    pSub->callback([&tool, options] { tool.SetExit(Crc(tool, *options)); });
}

} // namespace kyrhid

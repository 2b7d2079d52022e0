// The shared library's face to the world: its soname, exactly the fourteen
// API functions, and nothing to link against but the C runtime.
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kyt.h"

namespace {

std::string Run(const std::string &command)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Values in brackets of `readelf -d` lines with the given tag.
std::vector<std::string> DynamicEntries(const std::string &tag)
{
    std::vector<std::string> values;
    for (const std::string &line : Lines(Run("readelf -d --wide " KYT_SHARED_LIBRARY))) {
        if (line.find("(" + tag + ")") == std::string::npos)
            continue;
        size_t open = line.find('[');
        size_t close = line.find(']', open);
        if (open != std::string::npos && close != std::string::npos)
            values.push_back(line.substr(open + 1, close - open - 1));
    }
    return values;
}

// Symbols the library defines in its dynamic symbol table.
std::set<std::string> DefinedDynamicSymbols()
{
    std::set<std::string> symbols;
    for (const std::string &line : Lines(Run("readelf --dyn-syms --wide " KYT_SHARED_LIBRARY))) {
        std::istringstream fields(line);
        std::string num, value, size, type, bind, vis, ndx, name;
        if (!(fields >> num >> value >> size >> type >> bind >> vis >> ndx >> name))
            continue;
        if (ndx == "UND" || ndx == "Ndx" || bind == "LOCAL")
            continue;
        symbols.insert(name.substr(0, name.find('@')));
    }
    return symbols;
}

const std::set<std::string> kApi = {
    "KYT_OpenA",       "KYT_OpenW",        "KYT_Close",        "KYT_GetNumSlots", "KYT_PowerOnIcc",
    "KYT_PowerOffIcc", "KYT_GetIccStatus", "KYT_ExchangeApdu", "KYT_Control",     "KYT_SetProtocol",
    "KYT_GetBaudRate", "KYT_SetBaudRate",  "KYT_GetTimeouts",  "KYT_SetTimeouts",
};

TEST(Exports, SonameIsLibkytSo1)
{
    EXPECT_EQ(DynamicEntries("SONAME"), std::vector<std::string>{"libkyt.so.1"});
}

TEST(Exports, ExactlyTheFourteenApiFunctions)
{
    std::set<std::string> symbols = DefinedDynamicSymbols();
    // The version node is listed as an absolute symbol; it is no function.
    symbols.erase("LIBKYT_1");
    EXPECT_EQ(symbols, kApi);
}

TEST(Exports, LinksOnlyAgainstTheCRuntimeAndThreads)
{
    // On 32-bit targets the statically linked C++ runtime may reach the
    // dynamic loader (thread-local storage); that is still the C runtime.
    std::set<std::string> allowed = {"libc.so.6", "libpthread.so.0"};
#if KYT_TARGET_POINTER_BITS == 32
    allowed.insert({"ld-linux.so.2", "ld-linux-armhf.so.3"});
#endif
    std::vector<std::string> needed = DynamicEntries("NEEDED");
    EXPECT_FALSE(needed.empty());
    for (const std::string &library : needed)
        EXPECT_TRUE(allowed.count(library)) << "unexpected dependency " << library;
}

// The value after "Field:" in `readelf -h`.
std::string HeaderField(const std::string &field)
{
    for (const std::string &line : Lines(Run("readelf -h --wide " KYT_SHARED_LIBRARY))) {
        size_t at = line.find(field + ":");
        if (at == std::string::npos)
            continue;
        size_t value = line.find_first_not_of(' ', at + field.size() + 1);
        return value == std::string::npos ? std::string() : line.substr(value);
    }
    return {};
}

TEST(Exports, BuiltForTheTargetMachine)
{
    EXPECT_EQ(HeaderField("Class"), "ELF" + std::to_string(KYT_TARGET_POINTER_BITS));
    EXPECT_EQ(HeaderField("Data"),
              KYT_TARGET_BIG_ENDIAN ? "2's complement, big endian" : "2's complement, little endian");
    if (std::string(KYT_TARGET_ELF_MACHINE).empty())
        GTEST_SKIP() << "no ELF machine name known for this target";
    EXPECT_EQ(HeaderField("Machine"), KYT_TARGET_ELF_MACHINE);
}

// Every native word of the header, checked against the width the build
// targets (not merely against itself).
TEST(Exports, NativeWordsHaveTheTargetWidth)
{
    constexpr size_t bytes = KYT_TARGET_POINTER_BITS / 8;
    EXPECT_EQ(sizeof(KYT_ULONG), bytes);
    EXPECT_EQ(sizeof(KYT_STATUS), bytes);
    EXPECT_EQ(sizeof(ReaderHandle), bytes);
    EXPECT_EQ(sizeof(KYT_TIMEOUTS), 4 * bytes);
    EXPECT_EQ(alignof(KYT_TIMEOUTS), alignof(KYT_ULONG));
    const KYT_ULONG codes[] = {KYT_ERR_PROTO_MISMATCH, KYT_ERR_UNSUPPORTED_CARD, KYT_ERR_UNRESPONSIVE_CARD,
                               KYT_ERR_UNPOWERED_CARD, KYT_ERR_REMOVED_CARD,     KYT_PROTOCOL_DEFAULT_SPEED};
    for (KYT_ULONG code : codes) {
        // Each code fits 32 bits with its top bit set: on 32-bit targets it
        // fills the word, on 64-bit ones it is zero-extended.
        EXPECT_EQ(code >> 31, 1UL) << std::hex << code;
        EXPECT_EQ(static_cast<unsigned long long>(code) >> 32, 0ULL) << std::hex << code;
    }
    // A status read back through a 32-bit variable loses nothing.
    EXPECT_EQ(static_cast<KYT_STATUS>(static_cast<unsigned int>(KYT_ERR_REMOVED_CARD)), KYT_ERR_REMOVED_CARD);
}

TEST(Exports, NativeWordsArePointerWide)
{
    EXPECT_EQ(sizeof(KYT_ULONG), sizeof(void *));
    EXPECT_EQ(sizeof(KYT_STATUS), sizeof(void *));
    EXPECT_EQ(sizeof(KYT_TIMEOUTS), 4 * sizeof(void *));
    // A card code arrives zero-extended, never sign-extended.
    KYT_STATUS removed = KYT_ERR_REMOVED_CARD;
    EXPECT_EQ(removed >> 31, 1UL);
    EXPECT_EQ(removed, static_cast<KYT_STATUS>(0xA0100069u));
    EXPECT_EQ(KYT_PROTOCOL_DEFAULT_SPEED, static_cast<KYT_ULONG>(1u) << 31);
}

} // namespace

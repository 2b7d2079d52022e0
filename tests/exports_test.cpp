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
    "KYT_OpenA",       "KYT_OpenW",        "KYT_Close",       "KYT_GetNumSlots", "KYT_PowerOnIcc",
    "KYT_PowerOffIcc", "KYT_GetIccStatus", "KYT_ExchangeApdu", "KYT_Control",    "KYT_SetProtocol",
    "KYT_GetBaudRate", "KYT_SetBaudRate",  "KYT_GetTimeouts", "KYT_SetTimeouts",
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
    const std::set<std::string> allowed = {"libc.so.6", "libpthread.so.0"};
    std::vector<std::string> needed = DynamicEntries("NEEDED");
    EXPECT_FALSE(needed.empty());
    for (const std::string &library : needed)
        EXPECT_TRUE(allowed.count(library)) << "unexpected dependency " << library;
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

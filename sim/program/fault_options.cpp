// The options for faults and hazards, one small function each.
#include "fault_options.h"

#include "factors.h"
#include "fault_names.h"
#include "options.h"
#include "parsing.h"

namespace kytsim::program {

namespace {

// A fault kind without a rate strikes this share of its occasions.
constexpr uint32_t kDefaultRate = 100000; // 10 %

std::string FaultOption(const std::string &, const std::string &value, Options &options)
{
    size_t colon = value.find(':');
    std::string name = value.substr(0, colon);
    std::optional<FaultKind> kind = FaultKindByName(name);
    if (!kind)
        return "unknown fault " + name + " (kyt_sim --help lists them)";
    std::optional<uint32_t> rate = kDefaultRate;
    if (colon != std::string::npos)
        rate = ParseRate(value.substr(colon + 1));
    if (!rate)
        return "bad rate in --fault " + value + " (a percentage from 0 to 100)";
    options.faults.rates[*kind] = *rate;
    return "";
}

std::string SeedOption(const std::string &, const std::string &value, Options &options)
{
    std::optional<unsigned long> seed = ParseNumber(value);
    if (!seed)
        return "bad seed " + value + " (a number of up to nine digits)";
    options.config.faultSeed = static_cast<uint32_t>(*seed);
    return "";
}

std::string ResendOption(const std::string &, const std::string &value, Options &options)
{
    if (value != "run" && value != "replay")
        return "--resend wants run or replay, not " + value;
    options.config.resend = value == "run" ? Resend::Run : Resend::Replay;
    return "";
}

std::string SplitPauseOption(const std::string &, const std::string &value, Options &options)
{
    std::optional<unsigned long> ms = ParseNumber(value);
    if (!ms)
        return "bad pause " + value + " for --split-pause (milliseconds)";
    options.config.splitPause = std::chrono::milliseconds(*ms);
    return "";
}

std::string CardFactorsOption(const std::string &, const std::string &value, Options &options)
{
    size_t colon = value.find(':');
    std::optional<unsigned> slot = ParseSlot(value.substr(0, colon));
    std::optional<Bytes> factors = colon == std::string::npos ? std::nullopt : ParseHex(value.substr(colon + 1));
    if (!slot || !factors || factors->size() != 1 || !FactorsValid(factors->front()))
        return "--card-factors wants SLOT:FD, FD being a bmFindexDindex such as 11 or 96, not " + value;
    options.faults.cardFactors[*slot] = factors->front();
    return "";
}

struct FaultOptionEntry {
    const char *name;
    std::string (*apply)(const std::string &option, const std::string &value, Options &options);
};

constexpr FaultOptionEntry kFaultOptions[] = {
    {"--fault", FaultOption},
    {"--seed", SeedOption},
    {"--resend", ResendOption},
    {"--split-pause", SplitPauseOption},
    {"--card-factors", CardFactorsOption},
};

} // namespace

std::optional<std::string> ApplyFaultOption(const std::string &option, const std::string &value, Options &options)
{
    for (const FaultOptionEntry &entry : kFaultOptions) {
        if (option == entry.name)
            return entry.apply(option, value, options);
    }
    return std::nullopt;
}

void SetUpFaults(SimReader &reader, const FaultOptions &faults)
{
    for (const auto &[kind, rate] : faults.rates)
        reader.SetFaultRate(kind, rate);
    for (const auto &[slot, factors] : faults.cardFactors)
        reader.SetCardFactors(slot, factors);
}

} // namespace kytsim::program

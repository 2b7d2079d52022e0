// kyt_sim's rules file parser on any text, and the card it describes on a
// command taken from the same input.  Besides the sanitizers' checks: a
// file is either refused with "NAME:LINE: reason" or gives an ATR of 2 to
// kMaxAtrSize (254) bytes, and every answer is a response a rules file may give.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol.h"
#include "rules_card.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte says how many of the last bytes are a command to
    // answer; the rest is the file.
    if (size == 0)
        return 0;
    size_t commandSize = data[0] % 64;
    data++;
    size--;
    commandSize = commandSize < size ? commandSize : size;
    std::string_view text(reinterpret_cast<const char *>(data), size - commandSize);
    kytsim::Bytes command(data + size - commandSize, data + size);

    std::string error;
    std::optional<kytsim::Rules> rules = kytsim::ParseRules(text, "card.rules", &error);
    if (!rules) {
        if (error.rfind("card.rules:", 0) != 0)
            abort();
        return 0;
    }
    if (!error.empty() || rules->Atr().size() < 2 || rules->Atr().size() > kytsim::kMaxAtrSize)
        abort();
    kytsim::Bytes answer = rules->Answer(command);
    if (answer.size() < 2 || answer.size() > kytsim::kMaxRuleResponse)
        abort();
    return 0;
}

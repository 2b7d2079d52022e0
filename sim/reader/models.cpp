// The reader models: their names, slots and firmware replies.
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>

#include "protocol.h"
#include "sim_reader.h"

namespace kytsim {

const char *ModelString(Model model)
{
    switch (model) {
    case Model::KYT7710P:
        return "KYT7710P";
    case Model::KYT7710P_V3:
        return "KYT7710P_V3";
    case Model::KYT4460P:
        return "KYT4460P";
    }
    return "KYT7710P_V3";
}

unsigned ModelSlots(Model model)
{
    return model == Model::KYT7710P ? 2 : 3;
}

// The reply to the firmware query: five header bytes, then the text, the
// model string first; at most 35 bytes with a model's own text.
//
//     0    1    2    3       4            5 ...
//   +----+----+----+-------+------------+---------------------------------+
//   | E1 | 00 | 00 | 18    | length of  | text: "KYT7710P_V3 1.0.1"       |
//   |    |    |    | build | the text   | (model string, space, version)  |
//   +----+----+----+-------+------------+---------------------------------+
Bytes FirmwareReply(Model model)
{
    return FirmwareReplyForText(std::string(ModelString(model)) + " 1.0.1");
}

Bytes FirmwareReplyForText(const std::string &text)
{
    size_t length = std::min(text.size(), kMaxFirmwareText);
    Bytes reply(std::begin(kEscFirmwareReplyHead), std::end(kEscFirmwareReplyHead));
    reply.push_back(static_cast<uint8_t>(length));
    reply.insert(reply.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    return reply;
}

} // namespace kytsim

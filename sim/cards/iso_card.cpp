// The demo card: a small ISO/IEC 7816-4 file system behind an APDU handler.
//
// File system (FID, type, contents):
//
//   3F00  MF
//   |-- 2F00  EF, transparent, 22 bytes: an application template naming the
//   |         demo application, 61 14 4F 08 <AID> 50 08 "KYT DEMO"
//   |-- 2FE2  EF, transparent, 10 bytes: the card number (ICCID, BCD with
//   |         swapped nibbles) 98 94 00 21 43 65 87 09 21 F3
//   `-- 5000  DF, name (AID) F0 4B 59 54 44 45 4D 4F ("\xF0KYTDEMO")
//       `-- 0101  EF, transparent, 300 bytes: byte i is (i & 0xFF) ^ (0xA5 * (i >> 8)),
//                 so 00 01 02 ... FF, then A5 A4 A7 ... from offset 256 on
//
// After power-on (and when a handler is first made) the MF is the current DF,
// no EF is selected and the card holds no challenge.  The card keeps its
// selection and its challenge across APDUs and starts afresh at each power-on
// (a bare IsoCardHandler, which the reader does not tell about power-ons,
// keeps them until it is made anew).
//
// Commands (CLA must be 00, else 6E 00; unknown INS gives 6D 00; fewer than 4
// bytes or an Lc that does not fit the APDU length gives 67 00).  The demo
// cards take short APDUs only (an extended length gives 67 00, as their ATRs
// say); a card made with extended lengths also takes Lc and Le in three- and
// two-byte form (an Le of 0000 asking for 65536 bytes):
//
//   SELECT       00 A4 P1 P2 [Lc data] [Le]
//     P1 00  by FID: 3F00, the current DF, a child of the current DF, the
//            parent DF or one of its children; no data selects the MF
//     P1 01  child DF of the current DF, by FID
//     P1 02  child EF of the current DF, by FID
//     P1 04  DF by its full name (1 to 16 bytes, exact match)
//     FID 3F00 selects the MF with P1 00, 01 and 02.
//     P2 00  answer with the FCI template 6F, P2 04 with the FCP template 62,
//     P2 0C  no response data.  The templates hold 82 (descriptor: 01 EF,
//            38 DF), 83 (FID), 80 (EF size, 2 bytes), 84 (DF name) and 8A 05.
//     Other P1 or P2: 6A 86.  FID data not 2 bytes: 67 00.  Not found: 6A 82,
//     the selection stays as it was.
//   READ BINARY  00 B0 P1 P2 Le    offset P1-P2 (P1 bit 8 set: 6A 86); Le 00 = 256
//     no current EF: 69 86; offset at or beyond the end: 6B 00;
//     no Le or command data present: 67 00.
//   GET RESPONSE 00 C0 00 00 Le    fetches pending response data
//     nothing pending: 69 85; P1-P2 not 0000: 6A 86; no Le: 67 00.
//   GET CHALLENGE 00 84 00 00 Le, EXTERNAL AUTHENTICATE 00 82 00 00 Lc data:
//     random bytes from the card's own generator, and a keyless check that
//     they came back (iso_challenge.cpp).
//
// T=1 (t0 false): SELECT answers its template directly with 90 00; with an Le
// shorter than the template it answers Le bytes and 61 xx, the rest pending.
// READ BINARY with more Le than bytes left answers the bytes left and 62 82.
// GET RESPONSE answers up to Le pending bytes, with 61 xx while more remain.
//
// T=0 (t0 true): behaves as a T=0 card does at the APDU level.  A SELECT with
// response data answers 61 xx and keeps the template pending for GET RESPONSE.
// Commands that carry only Le (READ BINARY, GET RESPONSE) answer directly when
// Le fits, and 6C xx with the number of bytes available when Le asks for more
// (Le 00 asks for 256), so READ BINARY never gives 62 82 here; the pending data
// survive a 6C xx.  A GET RESPONSE with fewer bytes than pending answers them
// with 61 xx for the rest.  GET CHALLENGE always has the Le bytes asked for
// and answers them directly, under T=0 as under T=1.
//
// Any command other than GET RESPONSE drops pending data.  61 xx, 6C xx: xx is
// the byte count, 00 standing for 256.
#include "iso_card.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "iso_apdu.h"
#include "iso_challenge.h"
#include "protocol.h"

namespace kytsim {

namespace {

constexpr uint8_t kClaIso = 0x00;

constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsReadBinary = 0xB0;
constexpr uint8_t kInsGetResponse = 0xC0;
constexpr uint8_t kInsGetChallenge = 0x84;
constexpr uint8_t kInsExternalAuthenticate = 0x82;

constexpr uint8_t kSelectByFid = 0x00;
constexpr uint8_t kSelectChildDf = 0x01;
constexpr uint8_t kSelectChildEf = 0x02;
constexpr uint8_t kSelectByName = 0x04;

constexpr uint8_t kSelectReturnFci = 0x00;
constexpr uint8_t kSelectReturnFcp = 0x04;
constexpr uint8_t kSelectNoData = 0x0C;

constexpr uint16_t kFidMf = 0x3F00;
constexpr size_t kMaxDfName = 16;

constexpr uint8_t kTagFci = 0x6F;
constexpr uint8_t kTagFcp = 0x62;
constexpr uint8_t kTagSize = 0x80;
constexpr uint8_t kTagDescriptor = 0x82;
constexpr uint8_t kTagFid = 0x83;
constexpr uint8_t kTagDfName = 0x84;
constexpr uint8_t kTagLcs = 0x8A;
constexpr uint8_t kDescriptorTransparentEf = 0x01;
constexpr uint8_t kDescriptorDf = 0x38;
constexpr uint8_t kLcsOperationalActivated = 0x05;

const Bytes kDemoAid = {0xF0, 0x4B, 0x59, 0x54, 0x44, 0x45, 0x4D, 0x4F};

struct Node {
    uint16_t fid;
    bool isDf;
    int parent; // index of the parent DF, -1 for the MF
    Bytes name; // DF name, DFs only (may be empty)
    Bytes data; // EF body, EFs only
};

using FileTree = std::vector<Node>;

constexpr int kMfIndex = 0;

FileTree BuildFileTree()
{
    Bytes dir = {0x61, 0x14, 0x4F, static_cast<uint8_t>(kDemoAid.size())};
    dir.insert(dir.end(), kDemoAid.begin(), kDemoAid.end());
    const std::string label = "KYT DEMO";
    dir.push_back(0x50);
    dir.push_back(static_cast<uint8_t>(label.size()));
    dir.insert(dir.end(), label.begin(), label.end());

    Bytes numbers(300);
    for (size_t i = 0; i < numbers.size(); ++i)
        numbers[i] = static_cast<uint8_t>((i & 0xFF) ^ (0xA5 * (i >> 8)));

    FileTree tree;
    tree.push_back({kFidMf, true, -1, {}, {}});
    tree.push_back({0x2F00, false, kMfIndex, {}, dir});
    tree.push_back({0x2FE2, false, kMfIndex, {}, {0x98, 0x94, 0x00, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0xF3}});
    tree.push_back({0x5000, true, kMfIndex, kDemoAid, {}});
    const int app = static_cast<int>(tree.size()) - 1;
    tree.push_back({0x0101, false, app, {}, numbers});
    return tree;
}

const FileTree &Files()
{
    static const FileTree tree = BuildFileTree();
    return tree;
}

void AppendTlv(Bytes &out, uint8_t tag, const Bytes &value)
{
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

Bytes FileTemplate(const Node &node, uint8_t tag)
{
    Bytes body;
    AppendTlv(body, kTagDescriptor, {node.isDf ? kDescriptorDf : kDescriptorTransparentEf});
    AppendTlv(body, kTagFid, {static_cast<uint8_t>(node.fid >> 8), static_cast<uint8_t>(node.fid)});
    if (!node.isDf) {
        const size_t size = node.data.size();
        AppendTlv(body, kTagSize, {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
    } else if (!node.name.empty()) {
        AppendTlv(body, kTagDfName, node.name);
    }
    AppendTlv(body, kTagLcs, {kLcsOperationalActivated});
    Bytes out;
    AppendTlv(out, tag, body);
    return out;
}

class IsoCard {
public:
    IsoCard(bool t0, bool extended) : t0_(t0), extended_(extended) {}

    // The state after power-on: the MF selected, no EF, nothing pending, no
    // challenge.
    void Reset()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        currentDf_ = kMfIndex;
        currentEf_ = -1;
        pending_.clear();
        challenge_.Forget();
    }

    Bytes Process(const Bytes &raw)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::optional<Apdu> apdu = ParseApdu(raw, extended_);
        if (!apdu) {
            pending_.clear();
            return StatusWord(kSwWrongLength);
        }
        if (apdu->cla != kClaIso) {
            pending_.clear();
            return StatusWord(kSwClaNotSupported);
        }
        if (apdu->ins == kInsGetResponse)
            return GetResponse(*apdu);
        pending_.clear();
        switch (apdu->ins) {
        case kInsSelect:
            return Select(*apdu);
        case kInsReadBinary:
            return ReadBinary(*apdu);
        case kInsGetChallenge:
            return challenge_.GetChallenge(*apdu);
        case kInsExternalAuthenticate:
            return challenge_.ExternalAuthenticate(*apdu);
        default:
            return StatusWord(kSwInsNotSupported);
        }
    }

private:
    static std::optional<uint16_t> Fid(const Bytes &data)
    {
        if (data.size() != 2)
            return std::nullopt;
        return static_cast<uint16_t>(data[0] << 8 | data[1]);
    }

    // Index of the node with this FID among the children of df, or -1.
    static int FindChild(int df, uint16_t fid, std::optional<bool> wantDf)
    {
        const FileTree &files = Files();
        for (size_t i = 0; i < files.size(); ++i) {
            const Node &node = files[i];
            if (node.parent == df && node.fid == fid && (!wantDf || node.isDf == *wantDf))
                return static_cast<int>(i);
        }
        return -1;
    }

    int FindAnywhereNear(uint16_t fid) const
    {
        const FileTree &files = Files();
        if (files[currentDf_].fid == fid)
            return currentDf_;
        int found = FindChild(currentDf_, fid, std::nullopt);
        const int parent = files[currentDf_].parent;
        if (found < 0 && parent >= 0) {
            if (files[parent].fid == fid)
                return parent;
            found = FindChild(parent, fid, std::nullopt);
        }
        return found;
    }

    static int FindByName(const Bytes &name)
    {
        const FileTree &files = Files();
        for (size_t i = 0; i < files.size(); ++i)
            if (files[i].isDf && !files[i].name.empty() && files[i].name == name)
                return static_cast<int>(i);
        return -1;
    }

    Bytes Select(const Apdu &apdu)
    {
        if (apdu.p2 != kSelectReturnFci && apdu.p2 != kSelectReturnFcp && apdu.p2 != kSelectNoData)
            return StatusWord(kSwWrongP1p2);

        int target = -1;
        switch (apdu.p1) {
        case kSelectByFid:
        case kSelectChildDf:
        case kSelectChildEf: {
            if (apdu.p1 == kSelectByFid && apdu.data.empty()) {
                target = kMfIndex;
                break;
            }
            const std::optional<uint16_t> fid = Fid(apdu.data);
            if (!fid)
                return StatusWord(kSwWrongLength);
            if (*fid == kFidMf)
                target = kMfIndex;
            else if (apdu.p1 == kSelectByFid)
                target = FindAnywhereNear(*fid);
            else
                target = FindChild(currentDf_, *fid, apdu.p1 == kSelectChildDf);
            break;
        }
        case kSelectByName:
            if (apdu.data.empty() || apdu.data.size() > kMaxDfName)
                return StatusWord(kSwWrongLength);
            target = FindByName(apdu.data);
            break;
        default:
            return StatusWord(kSwWrongP1p2);
        }
        if (target < 0)
            return StatusWord(kSwFileNotFound);

        const Node &node = Files()[target];
        if (node.isDf) {
            currentDf_ = target;
            currentEf_ = -1;
        } else {
            currentDf_ = node.parent;
            currentEf_ = target;
        }

        if (apdu.p2 == kSelectNoData)
            return StatusWord(kSwOk);
        Bytes response = FileTemplate(node, apdu.p2 == kSelectReturnFcp ? kTagFcp : kTagFci);
        if (t0_) {
            // Case 4 under T=0: the data wait for GET RESPONSE.
            const size_t count = response.size();
            pending_ = std::move(response);
            return StatusWord(CountStatus(kSw1MoreData, std::min(count, kMaxShortLe)));
        }
        return Deliver(std::move(response), apdu.le.value_or(kMaxShortLe));
    }

    // Up to le bytes of data; the rest stays pending behind 61 xx.
    Bytes Deliver(Bytes data, size_t le)
    {
        if (data.size() <= le)
            return WithStatus(std::move(data), kSwOk);
        pending_.assign(data.begin() + static_cast<std::ptrdiff_t>(le), data.end());
        data.resize(le);
        return WithStatus(std::move(data), CountStatus(kSw1MoreData, std::min(pending_.size(), kMaxShortLe)));
    }

    Bytes ReadBinary(const Apdu &apdu)
    {
        if (apdu.p1 & 0x80) // short EF identifiers are not supported
            return StatusWord(kSwWrongP1p2);
        if (!apdu.data.empty() || !apdu.le)
            return StatusWord(kSwWrongLength);
        if (currentEf_ < 0)
            return StatusWord(kSwNoCurrentEf);
        const Bytes &body = Files()[currentEf_].data;
        const size_t offset = static_cast<size_t>(apdu.p1) << 8 | apdu.p2;
        if (offset >= body.size())
            return StatusWord(kSwOffsetOutside);
        const size_t left = body.size() - offset;
        const size_t le = *apdu.le;
        if (le > left && t0_)
            return StatusWord(CountStatus(kSw1WrongLe, left));
        const auto first = body.begin() + static_cast<std::ptrdiff_t>(offset);
        const size_t count = std::min(le, left);
        return WithStatus(Bytes(first, first + static_cast<std::ptrdiff_t>(count)), le > left ? kSwEndOfFile : kSwOk);
    }

    Bytes GetResponse(const Apdu &apdu)
    {
        if (apdu.p1 != 0 || apdu.p2 != 0) {
            pending_.clear();
            return StatusWord(kSwWrongP1p2);
        }
        if (!apdu.data.empty() || !apdu.le) {
            pending_.clear();
            return StatusWord(kSwWrongLength);
        }
        if (pending_.empty())
            return StatusWord(kSwConditionsNotSatisfied);
        const size_t le = *apdu.le;
        if (le > pending_.size() && t0_)
            return StatusWord(CountStatus(kSw1WrongLe, std::min(pending_.size(), kMaxShortLe)));
        Bytes data = std::move(pending_);
        pending_.clear();
        return Deliver(std::move(data), le);
    }

    const bool t0_;
    const bool extended_;
    std::mutex mutex_;
    int currentDf_ = kMfIndex;
    int currentEf_ = -1;
    Bytes pending_;
    CardChallenge challenge_;
};

} // namespace

ApduHandler IsoCardHandler(bool t0, bool extendedLengths)
{
    auto card = std::make_shared<IsoCard>(t0, extendedLengths);
    return [card](const Bytes &apdu) { return card->Process(apdu); };
}

Card IsoFileSystemCard(Bytes atr, bool t0, bool extendedLengths)
{
    auto fileSystem = std::make_shared<IsoCard>(t0, extendedLengths);
    Card card;
    card.atr = std::move(atr);
    card.handler = [fileSystem](const Bytes &apdu) { return fileSystem->Process(apdu); };
    card.reset = [fileSystem] { fileSystem->Reset(); };
    return card;
}

// T=1 only: TA1 96 (Fi 512, Di 32), TB1 00, TC1 00, TD1 81 and TD2 31 naming
// T=1, TA3 FE (IFSC 254), TB3 45 (BWI 4, CWI 5), nine historical bytes, TCK.
// Historical bytes: category 80, then COMPACT-TLV card service data 31 80
// (selection by full DF name, card with MF), card capabilities 73 90 21 00
// (selection by full DF name and by FID, one-byte data units, no chaining, no
// extended lengths) and the life cycle status 81 05.
Card DemoT1Card()
{
    return IsoFileSystemCard({0x3B, 0xF9, 0x96, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x80, 0x31, 0x80, 0x73, 0x90, 0x21,
                              0x00, 0x81, 0x05, 0x13},
                             false, false);
}

// T=0 only, so no TCK: TA1 18 (Fi 372, Di 12), then the same category,
// card service data and card capabilities as the T=1 card, seven bytes.
Card DemoT0Card()
{
    return IsoFileSystemCard({0x3B, 0x17, 0x18, 0x80, 0x31, 0x80, 0x73, 0x90, 0x21, 0x00}, true, false);
}

} // namespace kytsim

// The owner learns of each single-series packet in a fixed order: the
// synchronous-answer question, then the decoded record, then the completion.
#include <gtest/gtest.h>

#include "MmPkt.h"
#include "WireBytes.h"

using namespace kyr_hid_library;
using Events = std::vector<std::string>;

namespace {

Events Deliver(const wire::Bytes& pkt, std::vector<int> sync = {})
{
    wire::Recorder rec;
    rec.syncAnswers = std::move(sync);
    CMmPkt codec(&rec);
    wire::Feed(codec, wire::Cut(pkt));
    return rec.events;
}

} // namespace

TEST(CallbackOrder, AwaitedResponseIsDecodedBeforeItsCompletion)
{
    EXPECT_EQ(Deliver(wire::Text(MM_PKT_RSP, 42, "OK"), {42}), (Events{"check 42", "packet RSP sync", "complete 42"}));
    EXPECT_EQ(Deliver(wire::Text(MM_PKT_RSP, 42, "OK")), (Events{"check 42", "packet RSP"}));
}

TEST(CallbackOrder, EveryCommandTrafficTypeIsAsked)
{
    EXPECT_EQ(Deliver(wire::Text(MM_PKT_CMD, 5, "x"), {5}), (Events{"check 5", "packet CMD sync", "complete 5"}));
    EXPECT_EQ(Deliver(wire::Text(MM_PKT_RSC, 6, "x"), {6}), (Events{"check 6", "packet RSC sync", "complete 6"}));
    EXPECT_EQ(Deliver(wire::Text(0x200A, 7, "x")), (Events{"check 7", "packet RSE1"}));
    // A response of another body type makes no record but is still answered.
    EXPECT_EQ(Deliver(wire::Text(MM_PKT_RSP, 8, "x", 0x50), {8}), (Events{"check 8", "complete 8"}));
}

TEST(CallbackOrder, OtherPacketsCompleteWithTheirIdAfterDecoding)
{
    EXPECT_EQ(Deliver(wire::Text(MM_PKT_STT, 0, "s")), (Events{"packet STT", "none 100c"}));
    EXPECT_EQ(Deliver(wire::Head(0x2104, 2).crc()), (Events{"mode 2000 2", "none 2104"}));
    EXPECT_EQ(Deliver(wire::Head(0x1004).u16(0).u16(0).crc()), (Events{"none 1004"}));
}

TEST(CallbackOrder, CommandPacketTooShortForItsHeaderIsDropped)
{
    EXPECT_TRUE(Deliver(wire::Head(MM_PKT_RSP).crc(), {0}).empty());
    EXPECT_TRUE(Deliver(wire::Head(MM_PKT_RSP).u8(0).u8(0).crc(), {0}).empty());
}

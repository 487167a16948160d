// Text, command, response, status, version and firmware-mode packets become
// kyrpacket records with the fields, part names and lengths devices expect.
#include <gtest/gtest.h>

#include "MmPkt.h"
#include "WireBytes.h"

using namespace kyr_hid_library;
using wire::Head;

namespace {

struct Decoded {
    wire::Recorder rec;
    CMmPkt codec{&rec};
    explicit Decoded(const wire::Bytes& pkt, bool stream = false) { wire::Feed(codec, wire::Cut(pkt, stream)); }
    size_t size() const { return rec.records.size(); }
    const kyrpacket& operator*() const { return rec.Rec(); }
    const kyrpacket* operator->() const { return &rec.Rec(); }
};

wire::Bytes Message(unsigned id, std::string_view part, std::string_view text)
{
    wire::Pkt p = Head(id, 77);
    p.str(part).zeros(4 - part.size()).u16(static_cast<unsigned>(text.size())).str(text);
    return p.crc();
}

} // namespace

TEST(DecodeText, ResponseFinalContinuedAndRse)
{
    Decoded r(wire::Text(MM_PKT_RSP, 9, "OK", 0, 1234));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(+r->type, kyrtype_rsp);
    EXPECT_EQ(+r->ticktime, 1234);
    EXPECT_STREQ(r->partid, "RSP");
    EXPECT_EQ(+r->body.rsp.id, 9);
    EXPECT_EQ(+r->body.rsp.is_final, 1);
    EXPECT_STREQ(r->body.rsp.command, "OK");
    EXPECT_EQ(+r->length, 457);

    Decoded c(wire::Text(MM_PKT_RSC, 9, "more"));
    EXPECT_EQ(+c->type, kyrtype_rsp);
    EXPECT_EQ(+c->body.rsp.is_final, 0);
    EXPECT_STREQ(c->partid, "RSC");

    Decoded e(wire::Text(MM_PKT_RSE, 9, "err"));
    EXPECT_EQ(+e->type, kyrtype_rse);
    EXPECT_EQ(+e->body.rsp.is_final, 1);
    EXPECT_STREQ(e->partid, "RSE");

    EXPECT_EQ(Decoded(wire::Text(MM_PKT_RSP, 9, "OK", 0x50)).size(), 0u);
}

TEST(DecodeText, ResponseTextStopsAtNulButRseKeepsItsBytes)
{
    const std::string text("ab\0cd", 5);
    Decoded r(wire::Text(MM_PKT_RSP, 1, text));
    EXPECT_EQ(std::string(r->body.rsp.command, 5), std::string("ab\0\0\0", 5));
    Decoded e(wire::Text(MM_PKT_RSE, 1, text));
    EXPECT_EQ(std::string(e->body.rsp.command, 6), std::string("ab\0cd\0", 6));
}

TEST(DecodeText, LongTextsAreCutTo439Characters)
{
    const std::string text(1000, 'q');
    for (unsigned id : {MM_PKT_CMD, MM_PKT_RSP, MM_PKT_STT}) {
        Decoded d(wire::Text(id, 3, text), true); // too long for the single series
        ASSERT_EQ(d.size(), 1u) << id;
        const char* s = id == MM_PKT_CMD ? d->body.cmd.command : id == MM_PKT_RSP ? d->body.rsp.command : d->body.stt.status;
        EXPECT_EQ(std::string(s), std::string(439, 'q')) << id;
    }
    Decoded cmd(wire::Text(MM_PKT_CMD, 0xAB, "go"));
    EXPECT_EQ(+cmd->type, kyrtype_cmd);
    EXPECT_EQ(+cmd->body.cmd.id, 0xAB);
    EXPECT_EQ(+cmd->length, 456);
    EXPECT_STREQ(cmd->partid, "CMD");
}

TEST(DecodeText, TextClaimingMoreThanWasReceivedIsCutAtTheReceivedBytes)
{
    // Size field 300, five text bytes sent: nothing of earlier packets shows through.
    Decoded d(Head(MM_PKT_STT).u8(0).u8(0).u16(300).str("short").crc());
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(+d->length, 454);
    EXPECT_EQ(std::string(d->body.stt.status, 5), "short");
    EXPECT_TRUE(std::all_of(d->body.stt.status + 7, d->body.stt.status + 440, [](char c) { return c == 0; }));
}

TEST(DecodeText, MessageCarriesTheSendersPartName)
{
    Decoded m(Message(0x2006, "MM", "hello"));
    EXPECT_EQ(+m->type, kyrtype_msg);
    EXPECT_STREQ(m->partid, "MM1");
    EXPECT_STREQ(m->body.msg.message, "hello");
    EXPECT_EQ(+m->length, 268);
    EXPECT_EQ(+m->ticktime, 77);

    EXPECT_STREQ(Decoded(Message(0xA006, "ABCD", "x"))->partid, "ABCD1-1");
    Decoded longer(Message(0x1006, "MM", std::string(300, 'm')), true);
    EXPECT_EQ(std::string(longer->body.msg.message), std::string(253, 'm'));
}

TEST(DecodeText, PartNamesFollowTheAddress)
{
    const std::pair<unsigned, const char*> cases[] = {
        {0xC00C, "STT2-1"}, {0x100C, "STT"}, {0x800C, "STT"}, {0x200C, "STT1"},
        {0x400C, "STT2"},   {0xA00C, "STT1-1"}, {0x000C, "STT"}, {0x600C, "STT"},
    };
    for (auto [id, name] : cases)
        EXPECT_STREQ(Decoded(wire::Text(id, 0, "s"))->partid, name) << std::hex << id;
}

TEST(DecodeText, VersionRecords)
{
    Decoded v(Head(0x2000, 5).u16(1).u16(2).u16(3).u16(4).str("Jan 01 2024").str("12:34:56").crc());
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(+v->type, kyrtype_ver);
    EXPECT_STREQ(v->partid, "VER1");
    EXPECT_EQ(+v->length, 41);
    EXPECT_EQ(+v->body.ver.nv, 1);
    EXPECT_EQ(+v->body.ver.minor, 2);
    EXPECT_EQ(+v->body.ver.major, 3);
    EXPECT_EQ(+v->body.ver.model, 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v->body.ver.date), 11), "Jan 01 2024");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v->body.ver.time), 8), "12:34:56");

    Decoded iap(Head(0x1105, 0x0123).crc());
    ASSERT_EQ(iap.size(), 1u);
    EXPECT_EQ(+iap->type, kyrtype_ver);
    EXPECT_EQ(+iap->body.ver.model, 0x0123);
    EXPECT_EQ(+iap->ticktime, 0x0123);
    EXPECT_EQ(iap->body.ver.nv | iap->body.ver.minor | iap->body.ver.major, 0);
    EXPECT_EQ(iap->body.ver.date[0] | iap->body.ver.time[0], 0);
}

TEST(DecodeText, FirmwareModeAnswerIsReportedNotRecorded)
{
    Decoded m(Head(0x2104, 2).crc());
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(m.rec.events, (std::vector<std::string>{"mode 2000 2", "none 2104"}));
}

TEST(DecodeText, IgnoredKindsProduceNoRecord)
{
    for (unsigned id : {0x1004u, 0x100Bu, 0x17FFu, 0x1100u, 0x110Cu})
        EXPECT_EQ(Decoded(Head(id).u16(0).u16(0).zeros(40).crc()).size(), 0u) << std::hex << id;
}

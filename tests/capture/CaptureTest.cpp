#include "support/CaptureRig.h"
#include "support/ReferenceCsv.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace kelmor;
using namespace kelmor::capture;
using namespace kelmor::test;
using namespace std::string_literals;

namespace {

using Rig = CaptureRig;

struct ChunkCase {
    const char* name;
    std::vector<std::string> chunks;
    std::string txt;      // the capture file afterwards
    std::size_t acks;     // ACKs sent
    std::string rxBuffer; // what still waits for an ETX
};

void PrintTo(const ChunkCase& c, std::ostream* os) {
    *os << c.name;
}

class Chunks : public testing::TestWithParam<ChunkCase> {};

TEST_P(Chunks, StoreCleanedTextAndAcknowledge) {
    const ChunkCase& c = GetParam();
    Rig rig;
    for (const auto& chunk : c.chunks)
        EXPECT_FALSE(rig.event(chunk).has_value());
    EXPECT_EQ(rig.txt(), c.txt);
    EXPECT_EQ(rig.port.acks(), c.acks);
    EXPECT_EQ(rig.port.written, std::string(c.acks, '\x06'));
    EXPECT_EQ(rig.capture.rxBuffer(), c.rxBuffer);
    if (c.acks > 0) {
        EXPECT_EQ(rig.csv(), referenceCsv(c.txt));
    } else {
        EXPECT_FALSE(exists(rig.base + ".csv"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Capture, Chunks,
    testing::Values(ChunkCase{"StxAFsBEtx", {"\2A\34B\x03"}, "\rA B ", 1, ""},
                    ChunkCase{"SplitRecordStoredOnce", {"\2A", "\x1c", "B\x03"}, "\rA B ", 1, ""},
                    ChunkCase{
                        "EtxStxQStoresTheNextStart", {"\2A\x03\x02Q", "R\x03"}, "\rA \rQR ", 2, ""},
                    ChunkCase{"TwoRecordsOneChunkOneAck", {"\2A\x03\2B\x03"}, "\rA \rB ", 1, ""},
                    ChunkCase{"NulAndHighBytes",
                              {"\x02\0\x80\xff{|}~\x7fz"s, "Z\x03"},
                              "\r" + std::string(8, ' ') + "zZ ",
                              1,
                              ""},
                    ChunkCase{"DeviceLineEndsBecomeSpaces", {"\2A\r\nB\x03"}, "\rA  B ", 1, ""},
                    ChunkCase{"EtxOnlyStoresASpace", {"\x03"}, " ", 1, ""},
                    ChunkCase{"NoEtxNothingStored", {"\2A\34B", ""}, "", 0, "\2A B"},
                    ChunkCase{"TailAfterLastEtxWaits", {"\2A\x03", "\2B"}, "\rA ", 1, "\2B"},
                    ChunkCase{"EmptyEventsStoreNothing", {"", "", "\2A\x03", ""}, "\rA ", 1, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Capture, RawBytesSurviveUntilCleaning) {
    Rig rig;
    const std::string raw = "\x02\0\xff\x80\x1c"s;
    (void)rig.event(raw);
    // Only the separator pass has run: FS became a space, nothing else moved.
    EXPECT_EQ(rig.capture.rxBuffer(), "\x02\0\xff\x80 "s);
}

TEST(Capture, EveryEventRestartsTheIdleCount) {
    Rig rig;
    for (int i = 0; i < 30; ++i)
        (void)rig.tick();
    EXPECT_EQ(rig.capture.idleTicks(), 30);
    (void)rig.event("");
    EXPECT_EQ(rig.capture.idleTicks(), 0);
}

TEST(Capture, AppendsToAnExistingCaptureFile) {
    Rig rig;
    writeFile(rig.base + ".txt", "old\r\nline");
    ASSERT_FALSE(rig.event("\2new\x03"));
    EXPECT_EQ(rig.txt(), "old\r\nline\rnew ");
    EXPECT_EQ(rig.csv(), "\"old\"\r\n\"line\"\r\n\"new \"\r\n");
}

TEST(Capture, NewNameStartsItsOwnFiles) {
    Rig rig;
    ASSERT_FALSE(rig.event("\2A\x03"));
    const std::string first = rig.base;
    rig.base = rig.dir / "other";
    ASSERT_FALSE(rig.event("\2B\x03"));
    EXPECT_EQ(readFile(first + ".txt"), "\rA ");
    EXPECT_EQ(rig.txt(), "\rB ");
    EXPECT_EQ(rig.csv(), "\"\"\r\n\"B \"\r\n");
}

TEST(Capture, NamesBeyondAsciiAreUsedAsTheyAre) {
    Rig rig("w\xc3\xa9igh \xe4\xb8\xad\xe6\x96\x87"); // "wéigh 中文"
    ASSERT_FALSE(rig.event("\2A\x03"));
    EXPECT_EQ(rig.txt(), "\rA ");
    EXPECT_EQ(rig.csv(), referenceCsv("\rA "));
}

TEST(Capture, AFloodWithoutEtxGivesItsMemoryBackOnceStored) {
    Rig rig;
    const std::string chunk(64 << 10, 'x');
    for (int i = 0; i < 128; ++i)
        ASSERT_FALSE(rig.event(i == 0 ? "\2" + chunk : chunk));
    ASSERT_FALSE(rig.event("\x03"));
    EXPECT_LE(rig.capture.rxBuffer().capacity(), 64u << 10);
    EXPECT_LE(rig.capture.waiting().capacity(), 64u << 10);
    EXPECT_EQ(rig.port.acks(), 1u);
}

TEST(Capture, RandomStreamsMatchTheReference) {
    std::mt19937 rng(20261207); // the same sequence on every platform
    const std::string alphabet = "\x02\x03\x1c\r\n\"A z{\x7f\0\xff,"s;
    for (int round = 0; round < 40; ++round) {
        Rig rig;
        std::string sent;
        std::size_t storedUpTo = 0; // a store takes the whole chunk that brought the ETX
        const auto chunks = 1 + rng() % 12;
        for (unsigned i = 0; i < chunks; ++i) {
            std::string chunk;
            for (auto len = rng() % 9; len > 0; --len)
                chunk += alphabet[rng() % alphabet.size()];
            sent += chunk;
            if (chunk.find('\x03') != std::string::npos)
                storedUpTo = sent.size();
            ASSERT_FALSE(rig.event(chunk).has_value());
        }
        const std::string stored = referenceClean(sent.substr(0, storedUpTo));
        EXPECT_EQ(rig.txt(), stored);
        if (!stored.empty()) {
            EXPECT_EQ(rig.csv(), referenceCsv(stored));
        }
        std::string expectedBuffer = sent.substr(storedUpTo);
        for (char& ch : expectedBuffer) {
            if (ch == '\x1c')
                ch = ' ';
        }
        EXPECT_EQ(rig.capture.rxBuffer(), expectedBuffer);
    }
}

// Idle acknowledgement: ticks counted from the last event.
TEST(IdleTick, FirstAckOnTick52ThenEvery52) {
    Rig rig;
    ASSERT_FALSE(rig.event(""));
    std::vector<int> ackTicks;
    for (int tick = 1; tick <= 110; ++tick) {
        const auto before = rig.port.acks();
        (void)rig.tick();
        if (rig.port.acks() != before)
            ackTicks.push_back(tick);
    }
    EXPECT_EQ(ackTicks, (std::vector<int>{52, 104}));
}

TEST(IdleTick, EventOnTick51RestartsTheCount) {
    Rig rig;
    for (int tick = 1; tick <= 50; ++tick)
        (void)rig.tick();
    ASSERT_FALSE(rig.event("")); // tick 51 brings an event instead
    (void)rig.tick();
    EXPECT_EQ(rig.port.acks(), 0u);
}

TEST(IdleTick, ThresholdIsExceededNotReached) {
    struct Case {
        int before;
        int after;
        std::size_t acks;
    };
    for (const Case c : {Case{49, 50, 0}, Case{50, 51, 0}, Case{51, 0, 1}, Case{0, 1, 0}}) {
        Rig rig;
        for (int i = 0; i < c.before; ++i)
            ASSERT_FALSE(rig.tick());
        ASSERT_EQ(rig.port.acks(), 0u);
        ASSERT_FALSE(rig.tick());
        EXPECT_EQ(rig.capture.idleTicks(), c.after) << "from " << c.before;
        EXPECT_EQ(rig.port.acks(), c.acks) << "from " << c.before;
    }
}

TEST(IdleTick, ClosedPortGetsNoAckAndNoError) {
    Rig rig;
    rig.port.open = false;
    for (int i = 0; i < 51; ++i)
        ASSERT_FALSE(rig.tick());
    EXPECT_FALSE(rig.tick().has_value());
    EXPECT_EQ(rig.port.written, "");
    EXPECT_EQ(rig.capture.idleTicks(), 0);
}

} // namespace

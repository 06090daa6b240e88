// jointbus-trace's logic: the candump -l line parser on every kind of line candump writes and on
// broken ones, the command decoder against the encoder, and the pairing of commands with replies.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "candump_line.hpp"
#include "damiao/command_decode.hpp"
#include "decoder.hpp"
#include "jointbus/mit.hpp"
#include "output.hpp"

namespace jointbus::trace {
namespace {

using transport::CanFrame;
using transport::CanId;

std::string hex(const CanFrame& frame) {
    std::string out;
    for (const std::uint8_t b : frame.data) {
        constexpr char kDigits[] = "0123456789ABCDEF";
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    return out;
}

// ------------------------------------------------------------------------------ line parser

struct GoldenLine {
    std::string_view line;
    CanId id;
    std::string_view data;
    bool fd = false, brs = false, remote = false, error = false;
    std::int64_t time_us = 1'700'000'000'123'456;
};

class ParsesFrame : public testing::TestWithParam<GoldenLine> {};

TEST_P(ParsesFrame, AsCandumpWroteIt) {
    const GoldenLine& golden = GetParam();
    const auto entry = parse_candump_line(golden.line);
    ASSERT_TRUE(entry) << entry.error().reason;
    ASSERT_EQ(entry->kind, LineKind::Frame);
    EXPECT_EQ(entry->time_us, golden.time_us);
    EXPECT_EQ(entry->iface, "can0");
    EXPECT_EQ(entry->frame.id, golden.id);
    EXPECT_EQ(hex(entry->frame), golden.data);
    EXPECT_EQ(entry->frame.fd, golden.fd);
    EXPECT_EQ(entry->frame.brs, golden.brs);
    EXPECT_EQ(entry->frame.remote, golden.remote);
    EXPECT_EQ(entry->frame.error, golden.error);
}

constexpr auto kStd = CanId::standard;
constexpr auto kExt = CanId::extended;
INSTANTIATE_TEST_SUITE_P(
    CandumpLines, ParsesFrame,
    testing::Values(
        GoldenLine{"(1700000000.123456) can0 011#0102030405060708", kStd(0x11), "0102030405060708"},
        GoldenLine{"(1700000000.123456) can0 011#", kStd(0x11), ""},
        GoldenLine{"(1700000000.123456) can0 7ff#0a", kStd(0x7FF), "0A"},
        GoldenLine{"(1700000000.123456) can0 011#R", kStd(0x11), "", false, false, true},
        GoldenLine{"(1700000000.123456) can0 011#R8", kStd(0x11), "", false, false, true},
        // An Extended identifier with the number of a reply is another identifier.
        GoldenLine{"(1700000000.123456) can0 00000011#11", kExt(0x11), "11"},
        GoldenLine{"(1700000000.123456) can0 20000004#0004000000000000", kExt(0x4),
                   "0004000000000000", false, false, false, true},
        GoldenLine{"(1700000000.123456) can0 011##1000102030405060708090A0B", kStd(0x11),
                   "000102030405060708090A0B", true, true},
        GoldenLine{"(1700000000.123456) can0 011##2", kStd(0x11), "", true, false},
        GoldenLine{"(1700000000.123456) can0 011#0102030405060708_C", kStd(0x11),
                   "0102030405060708"},
        GoldenLine{"(1700000000.123456) can0 011#01.02 R\r", kStd(0x11), "0102"},
        GoldenLine{"(1700000000.123456789)  can0  011#01  T", kStd(0x11), "01"},
        GoldenLine{"(1700000000.1) can0 011#01", kStd(0x11), "01", false, false, false, false,
                   1'700'000'000'100'000}));

TEST(CandumpLine, DropCountNoticesInBothFormats) {
    for (const auto* line : {"DROPCOUNT: dropped 3 CAN frames on 'can0' socket (total drops 7)",
                             "DROPCOUNT: dropped 1 CAN frame on 'vcan0' (total drops 1)"}) {
        const auto entry = parse_candump_line(line);
        ASSERT_TRUE(entry) << line;
        EXPECT_EQ(entry->kind, LineKind::DropCount);
        EXPECT_EQ(entry->dropped, line[19] - '0');
    }
    EXPECT_EQ(parse_candump_line("  \r")->kind, LineKind::Blank);
}

class RejectsLine : public testing::TestWithParam<std::string_view> {};

TEST_P(RejectsLine, WithAReason) {
    const auto entry = parse_candump_line(GetParam());
    ASSERT_FALSE(entry) << "accepted: " << GetParam();
    EXPECT_FALSE(entry.error().reason.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, RejectsLine,
    testing::Values("garbage", "(1700000000.123456)", "(1700000000.123456) can0",
                    "1700000000.123456 can0 011#00", "(170000000x.1) can0 011#00",
                    "(1700000000.) can0 011#00", "(.5) can0 011#00", "(1.1234567890) can0 011#00",
                    "(9999999999999.1) can0 011#00", "(1.1) can0 11#00", "(1.1) can0 0011#00",
                    "(1.1) can0 800#00", "(1.1) can0 011#0", "(1.1) can0 011#0G",
                    "(1.1) can0 0x1#00", "(1.1) can0 011#010203040506070809", "(1.1) can0 011#R9",
                    "(1.1) can0 011#RR", "(1.1) can0 40000011#00", "(1.1) can0 80000011#00",
                    "(1.1) can0 20000004##100", "(1.1) can0 20000004#R", "(1.1) can0 011##",
                    "(1.1) can0 011##G00", "(1.1) can0 011#01_C",
                    "(1.1) can0 011#0102030405060708_3", "(1.1) can0 011#01 X",
                    "(1.1) can0 011#01 R extra", "(1.1) can0 011", "DROPCOUNT: dropped x",
                    "DROPCOUNT: dropped 3 frames",
                    "(1.1) can0 011##1"
                    "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
                    "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F40"));

// Damaged copies of good lines: whatever the parser makes of them, a frame stays in bounds.
TEST(CandumpLine, MutatedLinesNeverYieldAnOversizedFrame) {
    const std::vector<std::string> seeds = {
        "(1700000000.123456) can0 011#0102030405060708",
        "(1700000000.123456) can0 011##1000102030405060708090A0B",
        "(1700000000.123456) can0 20000004#0004000000000000",
        "DROPCOUNT: dropped 3 CAN frames on 'can0' socket (total drops 7)"};
    const std::string alphabet = "0123456789ABCDEFR#._() xT\r";
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string line = seeds[random() % seeds.size()];
        for (unsigned edits = 1 + random() % 4; edits > 0; --edits) {
            const std::size_t at = random() % (line.size() + 1);
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    line.insert(at, 1, c);
                    break;
                case 1:
                    if (at < line.size()) line.erase(at, 1);
                    break;
                default:
                    if (at < line.size()) line[at] = c;
            }
        }
        const auto entry = parse_candump_line(line);
        if (!entry || entry->kind != LineKind::Frame) continue;
        const CanFrame& frame = entry->frame;
        EXPECT_LE(frame.data.size(), frame.fd ? 64U : 8U) << line;
        EXPECT_TRUE(!frame.remote || frame.data.empty()) << line;
        EXPECT_LE(frame.id.number, frame.id.kind == CanId::Kind::Standard ? 0x7FFU : 0x1FFFFFFFU)
            << line;
    }
}

// --------------------------------------------------------------------------- command decoder

TEST(CommandDecode, FixedCommandsAndTheirNearMisses) {
    const damiao::MitLimits limits;
    std::array<std::uint8_t, 8> data{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
    EXPECT_EQ(std::get<damiao::protocol::FixedCommand>(damiao::decode_command(limits, data)),
              damiao::protocol::FixedCommand::Enable);
    data[7] = 0xFF;  // eight 0xFF bytes: the MIT command at every field's top
    const auto top = std::get<damiao::MitSetpoint>(damiao::decode_command(limits, data));
    EXPECT_EQ(top.q, 12.5F);
    EXPECT_EQ(top.kp, 500.0F);
    EXPECT_EQ(top.tau, 10.0F);
}

// Decoding what the encoder made gives back each value to within one code step.
TEST(CommandDecode, InvertsTheEncoderForEveryPreset) {
    std::mt19937 random(11);
    for (const damiao::LimitPreset& preset : damiao::kLimitPresets) {
        const damiao::MitLimits& l = preset.limits;
        for (int i = 0; i < 200; ++i) {
            auto pick = [&](float low, float high) {
                return std::uniform_real_distribution<float>(low, high)(random);
            };
            const damiao::MitSetpoint sent{pick(-l.p_max, l.p_max), pick(-l.v_max, l.v_max),
                                           pick(0, l.kp_max), pick(0, l.kd_max),
                                           pick(-l.t_max, l.t_max)};
            const std::uint64_t payload = *damiao::encode(l, sent);
            std::array<std::uint8_t, 8> data;
            for (std::size_t k = 0; k < 8; ++k)
                data[k] = static_cast<std::uint8_t>(payload >> 8 * k);
            const auto got = std::get<damiao::MitSetpoint>(damiao::decode_command(l, data));
            EXPECT_NEAR(got.q, sent.q, 2 * l.p_max / 65535 * 1.01) << preset.name;
            EXPECT_NEAR(got.dq, sent.dq, 2 * l.v_max / 4095 * 1.01) << preset.name;
            EXPECT_NEAR(got.kp, sent.kp, l.kp_max / 4095 * 1.01) << preset.name;
            EXPECT_NEAR(got.kd, sent.kd, l.kd_max / 4095 * 1.01) << preset.name;
            EXPECT_NEAR(got.tau, sent.tau, 2 * l.t_max / 4095 * 1.01) << preset.name;
        }
    }
}

// ----------------------------------------------------------------------------------- pairing

struct Recorder final : EventSink {
    std::vector<Event> events;
    void on_event(const Event& event) override {
        events.push_back(event);
        events.back().frame = nullptr;
    }
    [[nodiscard]] std::vector<Event> of(EventKind kind) const {
        std::vector<Event> out;
        for (const Event& e : events) {
            if (e.kind == kind) out.push_back(e);
        }
        return out;
    }
};

CanFrame frame(CanId id, std::vector<std::uint8_t> data, bool fd = false) {
    CanFrame f;
    f.id = id;
    f.data.assign(data);
    f.fd = fd;
    return f;
}

const CanFrame kMit = frame(kStd(0x001), {0x8A, 0x3C, 0x77, 0x71, 0x99, 0x33, 0x38, 0x65});
const CanFrame kEnable = frame(kStd(0x001), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC});
const CanFrame kReply = frame(kStd(0x011), {0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20});

struct Trace {
    Recorder recorder;
    Decoder decoder{{TracedMotor{1, 0x11, "dm4310", {}}}, recorder};
    std::uint64_t line = 0;

    Trace& at(std::int64_t time_us, const CanFrame& f) {
        decoder.frame(time_us, ++line, f);
        return *this;
    }
    Trace& drop() {
        decoder.gap(++line, 1);
        return *this;
    }
    const MotorStats& finish() {
        decoder.finish();
        return decoder.stats()[0];
    }
};

TEST(Pairing, ReplyAnswersTheCommandWithItsLatency) {
    Trace t;
    t.at(1000, kEnable).at(1150, kReply);
    const MotorStats& s = t.finish();
    const auto replies = t.recorder.of(EventKind::Reply);
    ASSERT_EQ(replies.size(), 1U);
    EXPECT_EQ(replies[0].pairing, Pairing::OnTime);
    EXPECT_EQ(replies[0].latency_us, 150);
    EXPECT_EQ(replies[0].command_line, 1U);
    EXPECT_EQ(replies[0].state.error, 1);
    EXPECT_EQ(s.replies_by_kind[static_cast<std::size_t>(CommandKind::Enable)], 1U);
    EXPECT_EQ(s.latency.percentile(500), 150);
}

TEST(Pairing, AReplyPastTheControllersTimeoutIsLateAndItsCommandMissed) {
    Recorder recorder;
    Decoder decoder{{TracedMotor{1, 0x11, "dm4310", {}}}, recorder, 20'000};
    decoder.frame(1000, 1, kEnable);
    decoder.frame(22'000, 2, kReply);  // 21 ms: the controller had given up at 20 ms
    decoder.frame(30'000, 3, kEnable);
    decoder.frame(30'200, 4, kReply);
    decoder.finish();
    const MotorStats& s = decoder.stats()[0];
    EXPECT_EQ(s.replies, 1U);
    EXPECT_EQ(s.late, 1U);
    EXPECT_EQ(s.missed, 1U);
}

TEST(Pairing, OneReplyForTwoCommandsAnswersTheLaterOne) {
    Trace t;
    t.at(1000, kMit).at(2000, kMit).at(2100, kReply).at(3000, kMit);
    const MotorStats& s = t.finish();
    EXPECT_EQ(s.missed, 2U);  // the first, and the last, which the capture ends on
    EXPECT_EQ(s.late, 0U);
    ASSERT_EQ(t.recorder.of(EventKind::Reply).size(), 1U);
    EXPECT_EQ(t.recorder.of(EventKind::Reply)[0].command_line, 2U);
    EXPECT_EQ(t.recorder.of(EventKind::Missed)[0].line, 1U);
}

TEST(Pairing, TwoRepliesAfterTheNextCommandMakeTheFirstLate) {
    Trace t;
    t.at(1000, kMit).at(22000, kMit).at(22100, kReply).at(22200, kReply);
    const MotorStats& s = t.finish();
    const auto replies = t.recorder.of(EventKind::Reply);
    ASSERT_EQ(replies.size(), 2U);
    EXPECT_EQ(replies[0].pairing, Pairing::Late);
    EXPECT_EQ(replies[0].latency_us, 21100);
    EXPECT_EQ(replies[1].pairing, Pairing::OnTime);
    EXPECT_EQ(replies[1].latency_us, 200);
    EXPECT_EQ(s.late, 1U);
    EXPECT_EQ(s.missed, 0U);
    EXPECT_EQ(s.latency.max(), 21100);
}

TEST(Pairing, RepliesLostInACaptureGapAreNotCountedAgainstTheMotor) {
    Trace t;
    t.at(1000, kMit).drop().at(2000, kMit).at(2100, kReply).drop().at(3000, kReply);
    const MotorStats& s = t.finish();
    EXPECT_EQ(s.missed, 0U);
    EXPECT_EQ(s.lost_in_capture, 2U);  // a reply (line 1's) and a command (line 7's reply's)
    EXPECT_EQ(s.unsolicited, 0U);
    Trace plain;
    plain.at(1000, kReply);
    EXPECT_EQ(plain.finish().unsolicited, 1U);
}

// Frames that share the reply's number or identifier but are not what a motor sends.
TEST(Pairing, OnlyDataFramesFromTheStandardMasterIdAreReplies) {
    CanFrame remote = frame(kStd(0x011), {});
    remote.remote = true;
    CanFrame error = frame(kStd(0x011), {0, 0, 0, 0, 0, 0, 0, 0});
    error.error = true;
    Trace t;
    t.at(1000, kMit)
        .at(1010, frame(kExt(0x011), {0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20}))
        .at(1020, remote)
        .at(1030, error)
        .at(1040, frame(kStd(0x001), {1, 2, 3}))  // not a command: the driver sends 8 bytes
        .at(1100,
            frame(kStd(0x011), {0x11, 0x80, 0x00, 0x80, 0x07, 0xFF, 0x1E, 0x20, 0, 0, 0, 0}, true));
    const MotorStats& s = t.finish();
    EXPECT_EQ(s.commands, 1U);
    EXPECT_EQ(s.replies, 1U);
    // The driver takes an FD frame from the master id as the reply; the trace marks it.
    EXPECT_EQ(t.recorder.of(EventKind::Reply)[0].latency_us, 100);
    EXPECT_TRUE(t.recorder.of(EventKind::Reply)[0].fd);
    EXPECT_EQ(s.fd_replies, 1U);
    EXPECT_EQ(t.decoder.totals().foreign, 2U);
    EXPECT_EQ(t.decoder.totals().remote, 1U);
    EXPECT_EQ(t.decoder.totals().error_frames, 1U);
}

// The driver skips a frame too short to decode and waits on: the reply after it answers.
TEST(Pairing, AFrameTooShortToDecodeIsSkippedNotPaired) {
    Trace t;
    t.at(1000, kEnable)
        .at(1100, frame(kStd(0x011), {0x11, 0x80, 0x00}))
        .at(1150, kReply)
        .at(2000, kEnable)
        .at(2100, frame(kStd(0x011), {0x11}));
    const MotorStats& s = t.finish();
    EXPECT_EQ(s.replies, 1U);
    EXPECT_EQ(t.recorder.of(EventKind::Reply)[0].latency_us, 150);
    EXPECT_EQ(s.short_replies, 2U);
    EXPECT_EQ(t.recorder.of(EventKind::ShortFrame).size(), 2U);
    EXPECT_EQ(s.missed, 1U);
}

// The other modes' commands, bytes as the wire format lays them out.
// POS_VEL: position 1.5 (0x3FC00000), velocity limit 2 (0x40000000), float32 little-endian.
const CanFrame kPosVel = frame(kStd(0x101), {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0x40});
// VEL: velocity -3 (0xC0400000), 4 data bytes.
const CanFrame kVel = frame(kStd(0x201), {0x00, 0x00, 0x40, 0xC0});
// FORCE_POS: position 1 (0x3F800000), 1000 x 0.01 rad/s, 5000 x 0.0001 of the maximum current.
const CanFrame kForcePos = frame(kStd(0x301), {0x00, 0x00, 0x80, 0x3F, 0xE8, 0x03, 0x88, 0x13});

TEST(ModeCommands, AreDecodedAndPairedWithTheirReplies) {
    Trace t;
    t.at(1000, kPosVel).at(1200, kReply).at(2000, kVel).at(2300, kReply).at(3000, kForcePos);
    const MotorStats& s = t.finish();
    const auto commands = t.recorder.of(EventKind::Command);
    ASSERT_EQ(commands.size(), 3U);
    const auto& pos_vel = std::get<damiao::PosVelCommand>(commands[0].mode_command);
    EXPECT_EQ(std::pair(pos_vel.position, pos_vel.velocity_limit), std::pair(1.5F, 2.0F));
    EXPECT_EQ(std::get<damiao::VelCommand>(commands[1].mode_command).velocity, -3.0F);
    const auto& force_pos = std::get<damiao::ForcePosCommand>(commands[2].mode_command);
    EXPECT_EQ(force_pos.position, 1.0F);
    EXPECT_FLOAT_EQ(force_pos.velocity_limit, 10.0F);
    EXPECT_FLOAT_EQ(force_pos.current_limit, 0.5F);
    const auto replies = t.recorder.of(EventKind::Reply);
    ASSERT_EQ(replies.size(), 2U);
    EXPECT_EQ(std::pair(replies[1].latency_us, replies[1].command_line), std::pair(300L, 3UL));
    for (const CommandKind kind : {CommandKind::PosVel, CommandKind::Vel, CommandKind::ForcePos}) {
        const auto k = static_cast<std::size_t>(kind);
        EXPECT_EQ(s.commands_by_kind[k], 1U);
        EXPECT_EQ(s.replies_by_kind[k], kind == CommandKind::ForcePos ? 0U : 1U);
    }
    EXPECT_EQ(t.recorder.of(EventKind::Missed).at(0).line, 5U);  // the capture ends on it
}

// The CSV's columns command,q,dq,kp,kd,tau,v_max,i_max for each mode (a pipe holds it all).
TEST(ModeCommands, CsvNamesTheModeAndItsValues) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    transport::FileDescriptor read_end(ends[0]);
    {
        BufferedWriter csv{transport::FileDescriptor(ends[1])};
        EventWriter events({TracedMotor{1, 0x11, "dm4310", {}}}, nullptr, &csv);
        Decoder decoder({TracedMotor{1, 0x11, "dm4310", {}}}, events);
        for (const CanFrame& f : {kPosVel, kVel, kForcePos}) decoder.frame(1000, 1, f);
        ASSERT_TRUE(csv.flush());
    }
    std::string out(4096, '\0');
    out.resize(
        static_cast<std::size_t>(std::max(::read(read_end.get(), out.data(), out.size()), 0L)));
    for (const char* row :
         {",101,pos_vel,1.5,,,,,2,,", ",201,vel,,-3,,,,,,", ",301,force_pos,1,,,,,10,0.5,"}) {
        EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
    }
}

// Where a mode's identifier is also a configured motor's own id or master id, the ids given
// keep their reading; the motor id + 0x300 that would reach 0x7FF carries no command.
struct IdReading {
    const char* name;
    CanFrame frame;
    EventKind kind;
    int motor;
    CommandKind command = CommandKind::Mit;
};

class SharedIdentifiers : public testing::TestWithParam<IdReading> {};

TEST_P(SharedIdentifiers, KeepTheReadingOfTheIdsGiven) {
    Recorder recorder;
    Decoder decoder{{TracedMotor{1, 0x11, "", {}}, TracedMotor{2, 0x101, "", {}},
                     TracedMotor{0x201, 0x21, "", {}}, TracedMotor{0x4FF, 0x31, "", {}}},
                    recorder};
    decoder.frame(1000, 1, GetParam().frame);
    ASSERT_EQ(recorder.events.size(), 1U);
    const Event& event = recorder.events[0];
    EXPECT_EQ(event.kind, GetParam().kind);
    EXPECT_EQ(event.motor, GetParam().motor);
    if (event.kind == EventKind::Command) {
        EXPECT_EQ(event.command, GetParam().command);
    }
}

const std::vector<std::uint8_t> kEight{1, 2, 3, 4, 5, 6, 7, 8};
INSTANTIATE_TEST_SUITE_P(
    Trace, SharedIdentifiers,
    testing::Values(
        IdReading{"MasterIdOverPosVel", frame(kStd(0x101), kEight), EventKind::Reply, 1},
        IdReading{"OwnIdOverVel", frame(kStd(0x201), kEight), EventKind::Command, 2},
        // Also motor 0x201's POS_VEL identifier: the first motor given wins.
        IdReading{"FirstMotorsForcePos", frame(kStd(0x301), kEight), EventKind::Command, 0,
                  CommandKind::ForcePos},
        IdReading{"SecondMotorsVel", frame(kStd(0x202), {1, 2, 3, 4}), EventKind::Command, 1,
                  CommandKind::Vel},
        IdReading{"ThirdMotorsVel", frame(kStd(0x401), {1, 2, 3, 4}), EventKind::Command, 2,
                  CommandKind::Vel},
        IdReading{"VelTooShort", frame(kStd(0x202), {1, 2, 3}), EventKind::Foreign, 1},
        IdReading{"PosVelAsCanFd", frame(kStd(0x102), kEight, true), EventKind::Foreign, 1},
        IdReading{"NoForcePosAtTheRegisterId", frame(kStd(0x7FF), kEight), EventKind::Foreign, -1},
        IdReading{"NoMotorsMode", frame(kStd(0x203), kEight), EventKind::Foreign, -1}),
    [](const testing::TestParamInfo<IdReading>& info) { return std::string(info.param.name); });

// Regression: statuses were counted for every decoded frame, so they exceeded the replies.
TEST(Pairing, StatusesAddUpToTheReplies) {
    Recorder recorder;
    Decoder decoder{{TracedMotor{1, 0x11, "dm4310", {}}}, recorder, 20'000};
    decoder.frame(500, 1, kReply);  // unsolicited
    decoder.frame(1000, 2, kEnable);
    decoder.frame(30'000, 3, kReply);  // past the timeout
    decoder.frame(40'000, 4, kEnable);
    decoder.frame(40'100, 5, kReply);
    decoder.finish();
    const MotorStats& s = decoder.stats()[0];
    EXPECT_EQ(s.replies, 1U);
    EXPECT_EQ(s.unsolicited, 1U);
    EXPECT_EQ(s.late, 1U);
    EXPECT_EQ(std::accumulate(s.statuses.begin(), s.statuses.end(), std::uint64_t{0}), s.replies);
}

// A register reply is what the driver's read takes (8 bytes, classic or FD), and one after the
// controller's timeout is late, its read missed, as for a motor reply.
struct RegisterCase {
    const char* name;
    bool fd;
    std::int64_t reply_at_us;
    std::uint64_t answered, late, missed;
};

class RegisterReplies : public ::testing::TestWithParam<RegisterCase> {};

TEST_P(RegisterReplies, CountAsTheControllerSawThem) {
    const RegisterCase& c = GetParam();
    Recorder recorder;
    Decoder decoder{{TracedMotor{1, 0x11, "dm4310", {}}}, recorder, 20'000};
    decoder.frame(1000, 1, frame(kStd(0x7FF), {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}));
    decoder.frame(c.reply_at_us, 2, frame(kStd(0x011), {0x01, 0x00, 0x33, 0x0A, 3, 0, 0, 0}, c.fd));
    decoder.finish();
    const MotorStats& s = decoder.stats()[0];
    EXPECT_EQ(s.register_replies, c.answered);
    EXPECT_EQ(s.register_late, c.late);
    EXPECT_EQ(s.register_missed, c.missed);
    EXPECT_EQ(s.fd_replies, c.fd ? c.answered : 0U);
    const auto replies = recorder.of(EventKind::RegisterReply);
    ASSERT_EQ(replies.size(), 1U);
    EXPECT_EQ(replies[0].fd, c.fd);
    EXPECT_EQ(replies[0].pairing, c.late != 0 ? Pairing::Late : Pairing::OnTime);
    EXPECT_EQ(s.replies + s.unsolicited, 0U);  // never taken for feedback as well
}

INSTANTIATE_TEST_SUITE_P(Trace, RegisterReplies,
                         ::testing::Values(RegisterCase{"Classic", false, 1200, 1, 0, 0},
                                           RegisterCase{"Fd", true, 1200, 1, 0, 0},
                                           RegisterCase{"Late", false, 39'000, 0, 1, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Pairing, RegisterReadIsAnsweredByContentAndNotTakenForFeedback) {
    Trace t;
    t.at(1000, frame(kStd(0x7FF), {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}))
        .at(1200, frame(kStd(0x011), {0x01, 0x00, 0x33, 0x0A, 0x03, 0, 0, 0}))
        .at(1300, frame(kStd(0x7FF), {0x01, 0x00, 0x55, 0x01, 0x00, 0x00, 0x80, 0x3F}))
        .at(2000, frame(kStd(0x7FF), {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}))
        .at(3000, kMit)
        // Fits the register-reply pattern, but the read was over when the command went out.
        .at(3100, frame(kStd(0x011), {0x11, 0x00, 0x33, 0x0A, 0x07, 0xFF, 0x1E, 0x20}));
    const MotorStats& s = t.finish();
    const auto answers = t.recorder.of(EventKind::RegisterReply);
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0].reg_value, 3U);
    EXPECT_EQ(answers[0].latency_us, 200);
    const auto writes = t.recorder.of(EventKind::RegisterWrite);
    ASSERT_EQ(writes.size(), 1U);
    ASSERT_NE(writes[0].reg_info, nullptr);
    EXPECT_EQ(writes[0].reg_info->type, damiao::RegisterType::Float);  // KT_Value
    EXPECT_EQ(std::bit_cast<float>(writes[0].reg_value), 1.0F);
    EXPECT_EQ(s.register_missed, 1U);
    EXPECT_EQ(s.replies, 1U);
    EXPECT_EQ(s.unsolicited, 0U);
}

TEST(Pairing, UnansweredCommandsStayBoundedAndAllCountAsMissed) {
    Trace t;
    for (int i = 0; i < 100; ++i) t.at(1000 * i, kMit);
    const MotorStats& s = t.finish();
    EXPECT_EQ(s.commands, 100U);
    EXPECT_EQ(s.missed, 100U);
    EXPECT_EQ(s.latency.count(), 0U);
}

TEST(LatencyHistogram, NearestRankPercentilesAndTheCap) {
    LatencyHistogram h;
    for (int us = 1; us <= 100; ++us) h.add(us);
    EXPECT_EQ(h.percentile(500), 50);
    EXPECT_EQ(h.percentile(990), 99);
    h.add(5'000'000);
    EXPECT_EQ(h.percentile(1000), LatencyHistogram::kCapUs);
    EXPECT_EQ(h.max(), 5'000'000);
}

// ------------------------------------------------------------------------------------ output

// What the text and the CSV writer make of a candump -l log, for motor 0x1 (dm4310) and motor
// 0x2 (no model), with a 100 ms controller timeout.
std::pair<std::string, std::string> written(const std::vector<std::string_view>& log) {
    const transport::FileDescriptor text_fd(::memfd_create("text", 0));
    const transport::FileDescriptor csv_fd(::memfd_create("csv", 0));
    {
        BufferedWriter text(text_fd.get());
        BufferedWriter csv(csv_fd.get());
        const std::vector motors{TracedMotor{1, 0x11, "dm4310", {}}, TracedMotor{2, 0x12, "", {}}};
        EventWriter events(motors, &text, &csv);
        Decoder decoder(motors, events, 100'000);
        for (std::uint64_t line = 1; line <= log.size(); ++line) {
            const LogEntry entry = parse_candump_line(log[line - 1]).value();
            if (entry.kind == LineKind::DropCount) {
                decoder.gap(line, entry.dropped);
            } else {
                decoder.frame(entry.time_us, line, entry.frame);
            }
        }
        decoder.finish();
        EXPECT_TRUE(text.flush() && csv.flush());
    }
    const auto read_back = [](int fd) {
        std::string out(1 << 16, '\0');
        out.resize(static_cast<std::size_t>(std::max(::pread(fd, out.data(), out.size(), 0), 0L)));
        return out;
    };
    return {read_back(text_fd.get()), read_back(csv_fd.get())};
}

struct WrittenEvents {
    const char* name;
    std::vector<std::string_view> log;
    std::string_view text;
    std::string_view csv;  // below the header
};

void PrintTo(const WrittenEvents& events, std::ostream* out) { *out << events.name; }

class WritesEvents : public testing::TestWithParam<WrittenEvents> {};

// Both writers take their fields from one table: these pin every kind of event, and each
// branch of how it is shown, byte for byte in both.
TEST_P(WritesEvents, AsTextAndCsv) {
    const auto [text, csv] = written(GetParam().log);
    constexpr std::string_view kHeader =
        "time,line,event,motor_id,can_id,command,q,dq,kp,kd,tau,v_max,i_max,status,status_name,"
        "position,velocity,torque,t_mos,t_rotor,register,register_name,value,pairing,latency_us,"
        "command_line,data,fd\n";
    ASSERT_TRUE(csv.starts_with(kHeader)) << csv;
    EXPECT_EQ(text, GetParam().text);
    EXPECT_EQ(csv.substr(kHeader.size()), GetParam().csv);
}

INSTANTIATE_TEST_SUITE_P(
    Trace, WritesEvents,
    testing::Values(
        WrittenEvents{
            "Commands",
            {"(1.000000) can0 001#8A3C777199333865", "(1.000150) can0 011#1180008007FF1E20",
             "(1.000300) can0 002#FFFFFFFFFFFFFFFC", "(1.000400) can0 101#0000C03F00000040",
             "(1.000500) can0 201#000040C0", "(1.000600) can0 301#0000803FE803F401"},
            "1.000000 line 1 001 motor 0x1 mit q 0.9997 dq -2.0000 kp 49.939 kd 1.0000 tau 0.4957\n"
            "1.000150 line 2 011 motor 0x1 reply status 1 enabled pos 0.0002 vel 0.0073 torque "
            "-0.0024 t_mos 30 t_rotor 32, latency 150 us\n"
            "1.000300 line 3 002 motor 0x2 enable\n"
            "1.000400 line 4 101 motor 0x1 pos_vel q 1.5000 v_max 2.0000\n"
            "1.000500 line 5 201 motor 0x1 vel dq -3.0000\n"
            "1.000600 line 6 301 motor 0x1 force_pos q 1.0000 v_max 10.0000 i_max 0.0500\n"
            "1.000400 line 4 --- motor 0x1 MISSED: no reply\n"
            "1.000500 line 5 --- motor 0x1 MISSED: no reply\n"
            "1.000600 line 6 --- motor 0x1 MISSED: no reply\n"
            "1.000300 line 3 --- motor 0x2 MISSED: no reply\n",
            "1.000000,1,command,1,001,mit,0.9996567,-2,49.93895,1,0.4957266,,,,,,,,,,,,,,,,"
            "8A3C777199333865,\n"
            "1.000150,2,reply,1,011,,,,,,,,,1,enabled,0.00019073486,0.007326126,-0.00244236,30,32,,"
            ",,on_time,150,1,1180008007FF1E20,\n"
            "1.000300,3,command,2,002,enable,,,,,,,,,,,,,,,,,,,,,FFFFFFFFFFFFFFFC,\n"
            "1.000400,4,command,1,101,pos_vel,1.5,,,,,2,,,,,,,,,,,,,,,0000C03F00000040,\n"
            "1.000500,5,command,1,201,vel,,-3,,,,,,,,,,,,,,,,,,,000040C0,\n"
            "1.000600,6,command,1,301,force_pos,1,,,,,10,0.049999997,,,,,,,,,,,,,,0000803FE803F401,"
            "\n"
            "1.000400,4,missed,1,,,,,,,,,,,,,,,,,,,,missed,,,,\n"
            "1.000500,5,missed,1,,,,,,,,,,,,,,,,,,,,missed,,,,\n"
            "1.000600,6,missed,1,,,,,,,,,,,,,,,,,,,,missed,,,,\n"
            "1.000300,3,missed,2,,,,,,,,,,,,,,,,,,,,missed,,,,\n"},
        WrittenEvents{
            "Replies",
            {"(1.000000) can0 001#8A3C777199333865", "(1.000200) can0 011##1E1000F80077F1E20",
             "(1.000300) can0 011#D1234567890A0B0C", "(1.000400) can0 011#01",
             "(1.000500) can0 011#0102", "(1.000600) can0 001#8A3C777199333865",
             "(1.200600) can0 011#81F00080FFFF2A30"},
            "1.000000 line 1 001 motor 0x1 mit q 0.9997 dq -2.0000 kp 49.939 kd 1.0000 tau 0.4957\n"
            "1.000200 line 2 011 motor 0x1 reply status 14 overload pos -12.4943 vel 0.0073 torque "
            "-0.6276 t_mos 30 t_rotor 32, latency 200 us, CAN FD (unusual: motors answer with "
            "classic frames)\n"
            "1.000300 line 3 011 motor 0x1 reply status 13 communication lost pos -9.0557 vel "
            "-5.7363 torque 1.3016 t_mos 11 t_rotor 12, no command was waiting\n"
            "1.000400 line 4 011 motor 0x1 frame of 1 byte from the master id, too short for a "
            "reply: skipped\n"
            "1.000500 line 5 011 motor 0x1 frame of 2 bytes from the master id, too short for a "
            "reply: skipped\n"
            "1.000600 line 6 001 motor 0x1 mit q 0.9997 dq -2.0000 kp 49.939 kd 1.0000 tau 0.4957\n"
            "1.200600 line 7 011 motor 0x1 reply status 8 over-voltage pos 10.9379 vel 0.2271 "
            "torque 10.0000 t_mos 42 t_rotor 48, latency 200000 us, LATE: answers line 6\n"
            "1.000600 line 6 --- motor 0x1 MISSED: no reply\n",
            "1.000000,1,command,1,001,mit,0.9996567,-2,49.93895,1,0.4957266,,,,,,,,,,,,,,,,"
            "8A3C777199333865,\n"
            "1.000200,2,reply,1,011,,,,,,,,,14,overload,-12.494278,0.007326126,-0.62759495,30,32,,,"
            ",on_time,200,1,E1000F80077F1E20,1\n"
            "1.000300,3,reply,1,011,,,,,,,,,13,communication "
            "lost,-9.055657,-5.7362633,1.3015871,11,12,,,,unsolicited,,,D1234567890A0B0C,\n"
            "1.000400,4,short_frame,1,011,,,,,,,,,,,,,,,,,,,,,,01,\n"
            "1.000500,5,short_frame,1,011,,,,,,,,,,,,,,,,,,,,,,0102,\n"
            "1.000600,6,command,1,001,mit,0.9996567,-2,49.93895,1,0.4957266,,,,,,,,,,,,,,,,"
            "8A3C777199333865,\n"
            "1.200600,7,reply,1,011,,,,,,,,,8,over-voltage,10.937859,0.2271061,10,42,48,,,,late,"
            "200000,6,81F00080FFFF2A30,\n"
            "1.000600,6,missed,1,,,,,,,,,,,,,,,,,,,,missed,,,,\n"},
        WrittenEvents{
            "CaptureGaps",
            {"(1.000000) can0 001#8A3C777199333865",
             "DROPCOUNT: dropped 1 CAN frame on 'can0' socket (total drops 1)",
             "(1.000100) can0 011#1180008007FF1E20", "(1.000200) can0 011#1180008007FF1E20",
             "(1.000300) can0 001#8A3C777199333865",
             "DROPCOUNT: dropped 3 CAN frames on 'can0' socket (total drops 4)"},
            "1.000000 line 1 001 motor 0x1 mit q 0.9997 dq -2.0000 kp 49.939 kd 1.0000 tau 0.4957\n"
            "-- line 2: the capture dropped 1 frame here\n"
            "1.000100 line 3 011 motor 0x1 reply status 1 enabled pos 0.0002 vel 0.0073 torque "
            "-0.0024 t_mos 30 t_rotor 32, latency 100 us\n"
            "1.000200 line 4 011 motor 0x1 reply status 1 enabled pos 0.0002 vel 0.0073 torque "
            "-0.0024 t_mos 30 t_rotor 32, its command may be among the dropped frames\n"
            "1.000300 line 5 001 motor 0x1 mit q 0.9997 dq -2.0000 kp 49.939 kd 1.0000 tau 0.4957\n"
            "-- line 6: the capture dropped 3 frames here\n"
            "1.000300 line 5 --- motor 0x1 no reply seen: it may be among the dropped frames\n",
            "1.000000,1,command,1,001,mit,0.9996567,-2,49.93895,1,0.4957266,,,,,,,,,,,,,,,,"
            "8A3C777199333865,\n"
            ",2,gap,,,,,,,,,,,,,,,,,,,,,,,,1,\n"
            "1.000100,3,reply,1,011,,,,,,,,,1,enabled,0.00019073486,0.007326126,-0.00244236,30,32,,"
            ",,on_time,100,1,1180008007FF1E20,\n"
            "1.000200,4,reply,1,011,,,,,,,,,1,enabled,0.00019073486,0.007326126,-0.00244236,30,32,,"
            ",,capture_gap,,,1180008007FF1E20,\n"
            "1.000300,5,command,1,001,mit,0.9996567,-2,49.93895,1,0.4957266,,,,,,,,,,,,,,,,"
            "8A3C777199333865,\n"
            ",6,gap,,,,,,,,,,,,,,,,,,,,,,,,3,\n"
            "1.000300,5,missed,1,,,,,,,,,,,,,,,,,,,,capture_gap,,,,\n"},
        WrittenEvents{
            "Registers",
            {"(1.000000) can0 7FF#0100330A00000000", "(1.000200) can0 011#0100330A03000000",
             "(1.000300) can0 7FF#0100330100000000", "(1.000600) can0 011##1010033010000003E",
             "(1.000700) can0 7FF#0100330100000000", "(1.200700) can0 011#01003301000020C0",
             "(1.200800) can0 7FF#0100551E0000C03F", "(1.200900) can0 7FF#020033EE00000000"},
            "1.000000 line 1 7FF motor 0x1 read register 10 CTRL_MODE\n"
            "1.000200 line 2 011 motor 0x1 register 10 CTRL_MODE = 3, latency 200 us\n"
            "1.000300 line 3 7FF motor 0x1 read register 1 KT_Value\n"
            "1.000600 line 4 011 motor 0x1 register 1 KT_Value = 0.125, latency 300 us, CAN FD "
            "(unusual: motors answer with classic frames)\n"
            "1.000700 line 5 7FF motor 0x1 read register 1 KT_Value\n"
            "1.200700 line 6 011 motor 0x1 register 1 KT_Value = -2.5, latency 200000 us, LATE: "
            "answers line 5\n"
            "1.000700 line 5 --- motor 0x1 no answer to the read of register 1 KT_Value\n"
            "1.200800 line 7 7FF motor 0x1 write register 30 KP_POS = 1.5\n"
            "1.200900 line 8 7FF motor 0x2 read register 238\n"
            "1.200900 line 8 --- motor 0x2 no answer to the read of register 238\n",
            "1.000000,1,register_read,1,7FF,,,,,,,,,,,,,,,,10,CTRL_MODE,,,,,0100330A00000000,\n"
            "1.000200,2,register_reply,1,011,,,,,,,,,,,,,,,,10,CTRL_MODE,3,on_time,200,1,"
            "0100330A03000000,\n"
            "1.000300,3,register_read,1,7FF,,,,,,,,,,,,,,,,1,KT_Value,,,,,0100330100000000,\n"
            "1.000600,4,register_reply,1,011,,,,,,,,,,,,,,,,1,KT_Value,0.125,on_time,300,3,"
            "010033010000003E,1\n"
            "1.000700,5,register_read,1,7FF,,,,,,,,,,,,,,,,1,KT_Value,,,,,0100330100000000,\n"
            "1.200700,6,register_reply,1,011,,,,,,,,,,,,,,,,1,KT_Value,-2.5,late,200000,5,"
            "01003301000020C0,\n"
            "1.000700,5,register_missed,1,,,,,,,,,,,,,,,,,1,KT_Value,,,,,,\n"
            "1.200800,7,register_write,1,7FF,,,,,,,,,,,,,,,,30,KP_POS,1.5,,,,0100551E0000C03F,\n"
            "1.200900,8,register_read,2,7FF,,,,,,,,,,,,,,,,238,,,,,,020033EE00000000,\n"
            "1.200900,8,register_missed,2,,,,,,,,,,,,,,,,,238,,,,,,,\n"},
        WrittenEvents{
            "OtherFrames",
            {"(1.000000) can0 001#0102", "(1.000100) can0 001#R", "(1.000200) can0 00000123#R",
             "(1.000300) can0 123##0AABB", "(1.000400) can0 18FF50E5#0102030405060708",
             "(1.000500) can0 20000004#0004000000000000"},
            "1.000000 line 1 001 motor 0x1 other frame [2] 01 02\n"
            "1.000100 line 2 001 motor 0x1 remote request [0] \n"
            "1.000200 line 3 00000123 remote request [0] \n"
            "1.000300 line 4 123 other frame (FD) [2] AA BB\n"
            "1.000400 line 5 18FF50E5 other frame [8] 01 02 03 04 05 06 07 08\n"
            "1.000500 line 6 20000004 error frame [8] 00 04 00 00 00 00 00 00\n",
            "1.000000,1,foreign,1,001,,,,,,,,,,,,,,,,,,,,,,0102,\n"
            "1.000100,2,remote,1,001,,,,,,,,,,,,,,,,,,,,,,,\n"
            "1.000200,3,remote,,00000123,,,,,,,,,,,,,,,,,,,,,,,\n"
            "1.000300,4,foreign,,123,,,,,,,,,,,,,,,,,,,,,,AABB,1\n"
            "1.000400,5,foreign,,18FF50E5,,,,,,,,,,,,,,,,,,,,,,0102030405060708,\n"
            "1.000500,6,error_frame,,20000004,,,,,,,,,,,,,,,,,,,,,,0004000000000000,\n"}),
    [](const testing::TestParamInfo<WrittenEvents>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace jointbus::trace

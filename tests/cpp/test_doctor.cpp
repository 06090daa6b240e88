// The doctor's verdicts on controller facts and send failures that a vcan cannot produce; the
// motor verdicts are tested end to end against the virtual motor.
#include <gtest/gtest.h>
#include <linux/can/error.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

#include "diagnose.hpp"

namespace jointbus::doctor {
namespace {

using report::Severity;
using namespace std::chrono_literals;

Observations healthy_controller() {
    Observations seen;
    seen.iface.name = "can0";
    seen.iface.exists = true;
    seen.iface.is_can = true;
    seen.iface.kind = "can";
    seen.iface.up = true;
    seen.iface.running = true;
    seen.iface.tx_queue_len = 1000;
    ControllerFacts controller;
    controller.state = ControllerState::ErrorActive;
    controller.timing = BitTiming{500000, 875};
    controller.restart_ms = 100;
    controller.tx_errors = 0;
    controller.rx_errors = 0;
    seen.iface.controller = controller;
    seen.traffic = Traffic{};
    seen.traffic->elapsed = 500ms;
    return seen;
}

struct Case {
    const char* name;
    std::function<void(Observations&)> change;
    Severity severity;
    std::string fix;  // exact
    bool needs_root;
};

class Verdict : public testing::TestWithParam<Case> {};

TEST_P(Verdict, OneFindingWithItsFix) {
    Observations seen = healthy_controller();
    GetParam().change(seen);
    const auto findings = diagnose(seen);
    std::string all;
    for (const auto& finding : findings) all += finding.message + "\n";
    ASSERT_EQ(findings.size(), 1U) << all;
    EXPECT_EQ(findings[0].severity, GetParam().severity) << findings[0].message;
    EXPECT_EQ(findings[0].fix, GetParam().fix) << findings[0].message;
    EXPECT_EQ(findings[0].needs_root, GetParam().needs_root);
}

const std::string kWiring =
    "check that every node uses the same bitrate, that the bus is terminated with 120 ohm at "
    "both ends (60 ohm between CAN_H and CAN_L with power off), and the CAN_H/CAN_L/GND wiring";

INSTANTIATE_TEST_SUITE_P(
    Doctor, Verdict,
    testing::Values(
        Case{"RestartMsZeroKeepsTheBitrate",
             [](Observations& s) { s.iface.controller->restart_ms = 0; }, Severity::Warning,
             "ip link set can0 down && ip link set can0 type can bitrate 500000 restart-ms 100 && "
             "ip link set can0 up",
             true},
        Case{"BusOffWithAutomaticRestart",
             [](Observations& s) { s.iface.controller->state = ControllerState::BusOff; },
             Severity::Error, kWiring + "; it restarts itself after restart-ms", false},
        Case{"ErrorPassive",
             [](Observations& s) {
                 s.iface.controller->state = ControllerState::ErrorPassive;
                 s.iface.controller->tx_errors = 128;
             },
             Severity::Warning, kWiring, false},
        Case{"ShortTransmitQueue", [](Observations& s) { s.iface.tx_queue_len = 10; },
             Severity::Warning, "ip link set can0 txqueuelen 1000", true},
        Case{"DownControllerComesUpWithItsBitrate",
             [](Observations& s) {
                 s.iface.up = false;
                 s.traffic.reset();
             },
             Severity::Error, "ip link set can0 up type can bitrate 500000 restart-ms 100", true},
        Case{"NoAcknowledgeErrorFrames",
             [](Observations& s) {
                 s.traffic->error_frames = 3;
                 s.traffic->error_classes = CAN_ERR_ACK;
             },
             Severity::Warning, kWiring, false},
        Case{"BusLoadAboveSeventyPercent", [](Observations& s) { s.traffic->bits = 200000; },
             Severity::Warning, "fewer motors on this bus, or a lower command rate", false},
        Case{"QueueStaysFullWithNobodyAcknowledging",
             [](Observations& s) {
                 s.probe = ProbeRun{};
                 s.probe->full_queue = 20;
                 s.probe->send_error = ENOBUFS;
             },
             Severity::Error, kWiring, false},
        Case{"QueueFullForAWhile",
             [](Observations& s) {
                 s.probe = ProbeRun{};
                 s.probe->full_queue = 2;
             },
             Severity::Warning, "ip link set can0 txqueuelen 1000", true},
        Case{"SlowMotorGetsALongerTimeout",
             [](Observations& s) {
                 s.motors.push_back(cli::MotorOption{1, 0x11, std::nullopt, {}, {}});
                 s.probe = ProbeRun{};
                 s.probe->motors.push_back(MotorProbe{1, true, {{0x11, false, 1, 30ms}}});
             },
             Severity::Warning, "Damiao(0x01, 0x11, timeout_ms=60)", false},
        Case{"ExtendedReplyIdentifier",
             [](Observations& s) {
                 s.motors.push_back(cli::MotorOption{1, 0x11, std::nullopt, {}, {}});
                 s.probe = ProbeRun{};
                 s.probe->motors.push_back(MotorProbe{1, true, {{0x11, true, 1, 1ms}}});
             },
             Severity::Error,
             "the motor answers with an extended identifier; set a standard master id with the "
             "vendor's setup tool",
             false},
        // Without CAN in the kernel no interface exists: that, not a typo, is the finding.
        Case{"NoCanInTheKernel",
             [](Observations& s) {
                 s.kernel_can_error = EAFNOSUPPORT;
                 s.iface.exists = false;
             },
             Severity::Error,
             "modprobe can-raw vcan (vcan only for virtual buses); if the modules are not found, "
             "install the kernel package that carries them (for example "
             "linux-modules-extra-$(uname -r) on Ubuntu)",
             true},
        // A delay measured under a flood proposes no timeout.
        Case{"SlowUnderAFloodIsTheFloods",
             [](Observations& s) {
                 s.motors.push_back(cli::MotorOption{1, 0x11, std::nullopt, {}, {}});
                 s.iface.controller->timing = BitTiming{1000000000, 875};  // load stays low
                 s.traffic->frames = 10000;
                 s.probe = ProbeRun{};
                 s.probe->motors.push_back(MotorProbe{1, true, {{0x11, false, 1, 63ms}}});
             },
             Severity::Note, "measure again with the bus quiet before changing timeout_ms", false},
        Case{"FaultInTheReplyToDisable",
             [](Observations& s) {
                 s.motors.push_back(cli::MotorOption{1, 0x11, std::nullopt, {}, {}});
                 s.status[1].state = damiao::MotorState{1, 8, 0.0F, 0.0F, 0.0F, 25, 25};
             },
             Severity::Error, "remove the cause, then: jointbus-motor can0 --motor 0x01:0x11 clear",
             false}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Doctor, HealthyControllerAndVcanHaveNothingToSay) {
    EXPECT_TRUE(diagnose(healthy_controller()).empty());
    Observations vcan = healthy_controller();
    vcan.iface.kind = "vcan";
    vcan.iface.controller.reset();
    vcan.iface.tx_queue_len = 0;  // no queue at all is normal for a vcan
    EXPECT_TRUE(diagnose(vcan).empty());
}

TEST(Doctor, QueueFullCauseIsTheBusOffStateWhenThereIsOne) {
    Observations seen = healthy_controller();
    seen.iface.controller->state = ControllerState::BusOff;
    seen.iface.controller->restart_ms = 0;
    seen.probe = ProbeRun{};
    seen.probe->send_error = ENOBUFS;
    const auto findings = diagnose(seen);
    ASSERT_EQ(findings.size(), 3U);  // bus-off, restart-ms 0, the full queue
    EXPECT_NE(findings[2].message.find("the controller is bus-off"), std::string::npos);
    EXPECT_EQ(findings[2].fix, "ip link set can0 type can restart");
}

// Seen with another program streaming to the motor: the doctor counted its frames, then said
// the motor was unpowered and proposed a timeout the load alone had caused.
TEST(Doctor, AVerdictNeverContradictsTrafficJustCounted) {
    Observations seen = healthy_controller();
    seen.motors.push_back(cli::MotorOption{1, 0x11, std::nullopt, {}, {}});
    seen.motors.push_back(cli::MotorOption{2, 0x12, std::nullopt, {}, {}});
    seen.traffic->ids[0x11] = 299;
    seen.traffic->ids[0x12] = 300;
    seen.traffic->motor_numbers[0x12] = 1U << 2 | 1U << 0xA;
    seen.probe = ProbeRun{};
    seen.probe->motors.push_back(MotorProbe{1, true, {}, 3});
    seen.probe->motors.push_back(MotorProbe{2, true, {{0x12, false, 1, 63ms}}, 3});
    seen.status[1].refused = true;

    std::string all;
    for (const auto& finding : diagnose(seen)) {
        all += finding.subject + ": " + finding.message + " | " + finding.fix + "\n";
    }
    EXPECT_EQ(all.find("unpowered"), std::string::npos) << all;
    EXPECT_EQ(all.find("timeout_ms="), std::string::npos) << all;
    for (const char* expected :
         {"motor 0x01: no reply to 3 register reads within 100.0 ms each, yet 299 frames came "
          "from 0x11, its master id",
          "motor 0x02: replied after 63.0 ms while another program streamed to it (300 frames "
          "from 0x12 before the doctor asked)",
          "motor 0x02: feedback from 0x12 names motor 0xA in byte 0, where this motor puts 0x2",
          "motor 0x01: status not read: another program drives it"}) {
        EXPECT_NE(all.find(expected), std::string::npos) << expected << "\n" << all;
    }
}

// Seen on a bus flooded at 20,000 frames/s: a live motor reported as unpowered, its reply lost
// to the doctor's full receive buffer.
TEST(Doctor, ASilentMotorUnderOverflowIsNotCalledUnpowered) {
    Observations seen = healthy_controller();
    seen.motors.push_back(cli::MotorOption{1, 0x11, std::nullopt, {}, {}});
    seen.probe = ProbeRun{};
    seen.probe->motors.push_back(MotorProbe{1, true, {}, 3});
    seen.probe->dropped_before = 5;
    seen.probe->dropped = 905;
    const auto findings = diagnose(seen);
    ASSERT_EQ(findings.size(), 2U);  // the motor, and the drops on the interface
    EXPECT_EQ(findings[0].message,
              "no reply to 3 register reads within 100.0 ms each, but 900 received frames were "
              "lost to receive-buffer overflow meanwhile (the bus carries more frames than the "
              "doctor could read): the reply may be among them");
    EXPECT_TRUE(findings[0].needs_root);
}

// A motor in another mode than --mode ignores the commands it will be sent: the fix switches
// it, for the shell and for Python; a motor in that mode has nothing to say.
TEST(Doctor, AMotorInAnotherModeThanTheOneGivenGetsTheSwitch) {
    using damiao::ControlMode;
    constexpr ControlMode kModes[] = {ControlMode::Mit, ControlMode::PosVel, ControlMode::Vel,
                                      ControlMode::ForcePos};
    for (const ControlMode wanted : kModes) {
        for (const ControlMode in : kModes) {
            Observations seen = healthy_controller();
            seen.mode = wanted;
            seen.motors.push_back(cli::MotorOption{1, 0x11, std::nullopt, {}, {}});
            seen.probe = ProbeRun{};
            seen.probe->motors.push_back(
                MotorProbe{1, true, {{0x11, false, static_cast<std::uint32_t>(in), 1ms}}});
            const auto findings = diagnose(seen);
            const std::string name(damiao::name(wanted));
            if (in == wanted) {
                EXPECT_TRUE(findings.empty()) << name;
                continue;
            }
            ASSERT_EQ(findings.size(), 1U) << name;
            EXPECT_EQ(findings[0].severity, Severity::Warning);
            const std::string expected = "is in control mode " +
                                         std::to_string(static_cast<int>(in)) + " (" +
                                         std::string(damiao::upper_name(in)) + "), not " +
                                         std::string(damiao::upper_name(wanted)) + " (";
            EXPECT_TRUE(findings[0].message.starts_with(expected)) << findings[0].message;
            EXPECT_EQ(
                findings[0].fix,
                "jointbus-motor can0 --motor 0x01:0x11 mode " + name + ", or in Python motor." +
                    (wanted == ControlMode::Mit ? "ensure_mit_mode(bus)"
                                                : "ensure_control_mode(bus, \"" + name + "\")"));
        }
    }
}

TEST(Doctor, BusLoadIsTheShareOfTheBitrate) {
    Observations seen = healthy_controller();
    seen.traffic->bits = nominal_frame_bits(false, 8) * 1000;  // 1000 frames of 111 bits
    EXPECT_DOUBLE_EQ(*bus_load(seen), 111000.0 / (0.5 * 500000.0));
    seen.iface.controller->timing.reset();
    EXPECT_FALSE(bus_load(seen).has_value());
}

}  // namespace
}  // namespace jointbus::doctor

// The bridge in one process: DDS on loopback, and virtual motors behind a bus of the test's own
// that can be taken down, so that a machine without CAN runs it too. One robot of four motors
// in the four control modes: each brought into its mode, driven through each message kind, a
// command of another mode refused, the watchdog's refusal, and a bus that fails and comes back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "bridge.hpp"
#include "dispatcher.hpp"
#include "jointbus_msgs.h"
#include "scripted_transport.hpp"

namespace jointbus::dds {
namespace {

using namespace std::chrono_literals;
using test::SentFrame;

// What the test sees of its bus: every frame sent, and a switch that takes the bus down.
// The engine's guard thread sends too (the disables of a failed bus): `sent` under the mutex.
struct Wire {
    std::mutex mutex;
    std::vector<SentFrame> sent;
    std::atomic<bool> down{false};
};

// The virtual motors on a bus without a kernel: each frame sent is answered at once.
class SimBus : public transport::CanTransport {
public:
    SimBus(std::span<const sim::MotorSettings> motors, std::shared_ptr<Wire> wire)
        : dispatcher_(motors, 1), wire_(std::move(wire)) {}

    std::expected<void, transport::TransportError> send(
        const transport::CanFrameView& frame) override {
        if (wire_->down) return std::unexpected(transport::Backend{down()});
        {
            const std::scoped_lock lock(wire_->mutex);
            wire_->sent.push_back({frame.id, {frame.data.begin(), frame.data.end()}});
        }
        const double now = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
        const transport::CanFrame copy{frame.id, transport::FramePayload(frame.data)};
        if (auto routed = dispatcher_.handle(copy, now); routed.reply) {
            const auto view = routed.reply->frame.view();
            replies_.push_back({view.id, transport::FramePayload(view.data)});
        }
        return {};
    }

    std::expected<transport::CanFrame, transport::TransportError> recv(
        transport::Duration timeout) override {
        if (wire_->down) return std::unexpected(transport::Backend{down()});
        if (replies_.empty()) {
            std::this_thread::sleep_for(std::min<transport::Duration>(timeout, 1ms));
            return std::unexpected(transport::Timeout{});
        }
        auto frame = replies_.front();
        replies_.pop_front();
        return frame;
    }

private:
    using Clock = std::chrono::steady_clock;
    static transport::IoError down() { return transport::IoError::from_errno(ENETDOWN); }
    sim::Dispatcher dispatcher_;
    std::shared_ptr<Wire> wire_;
    std::deque<transport::CanFrame> replies_;
};

sim::MotorSettings motor(std::uint16_t id) {
    sim::MotorSettings settings;
    settings.motor_id = id;
    settings.master_id = static_cast<std::uint16_t>(0x10 + id);
    return settings;
}

constexpr const char* kRobot =
    "bus sim0\n"
    "motor arm     1:0x11:dm4310:kp=20:kd=1\n"
    "motor wheel   2:0x12:dm4310:vel\n"
    "motor gripper 3:0x13:dm4310:pos_vel:velocity_limit=2\n"
    "motor wrist   4:0x14:dm4310:force_pos:velocity_limit=1:current_limit=0.5\n"
    "motor clamp   5:0x15:dm4310:force_pos\n"
    "position_joints arm gripper wrist\n"
    "velocity_joints wheel\n";

// The other end: a writer on each command topic, readers of the status and diagnostics.
class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        domain_.domain = 200 + static_cast<std::uint32_t>(::getpid() % 30);
        auto robot = parse_robot_file(kRobot, "robot.conf", 2ms);
        ASSERT_TRUE(robot) << robot.error();
        // Wide, as on a loaded machine: the test's own pauses between ticks must not trip the
        // engine's watchdog, nor its commands, 20 ticks apart, the bridge's.
        robot->config.watchdog = 2s;
        std::vector<sim::MotorSettings> motors;
        for (std::uint16_t id = 1; id <= 5; ++id) motors.push_back(motor(id));
        BridgeOptions options{domain_, true, 1000ms};
        options.open_bus = [motors, wire = wire_](const robot::BusConfig&)
            -> std::expected<std::unique_ptr<transport::CanTransport>, transport::IoError> {
            return std::make_unique<SimBus>(motors, wire);
        };
        auto bridge = Bridge::open(std::move(*robot), options);
        ASSERT_TRUE(bridge) << bridge.error();
        bridge_ = std::move(*bridge);
        auto participant = open_participant(domain_);
        ASSERT_TRUE(participant) << participant.error();
        participant_ = std::move(*participant);
        const Qos qos(domain_, 64);
        for (auto [type, name, writes] : {
                 std::tuple{&jointbus_msgs_msg_dds__MitCommand__desc, kMitCommandTopic, true},
                 std::tuple{&jointbus_msgs_msg_dds__VelCommand__desc, kVelCommandTopic, true},
                 std::tuple{&jointbus_msgs_msg_dds__PosVelCommand__desc, kPosVelCommandTopic, true},
                 std::tuple{&jointbus_msgs_msg_dds__ForcePosCommand__desc, kForcePosCommandTopic,
                            true},
                 std::tuple{&jointbus_msgs_msg_dds__MotorCommand__desc, kMotorCommandTopic, true},
                 std::tuple{&std_msgs_msg_dds__Float64MultiArray__desc, kPositionCommandsTopic,
                            true},
                 std::tuple{&std_msgs_msg_dds__Float64MultiArray__desc, kVelocityCommandsTopic,
                            true},
                 std::tuple{&jointbus_msgs_msg_dds__RobotStatus__desc, kStatusTopic, false},
                 std::tuple{&diagnostic_msgs_msg_dds__DiagnosticArray__desc, kDiagnosticsTopic,
                            false},
             }) {
            auto topic = create_topic(participant_, *type, name);
            ASSERT_TRUE(topic) << topic.error();
            auto end = writes ? create_writer(participant_, *topic, qos)
                              : create_reader(participant_, *topic, qos);
            ASSERT_TRUE(end) << end.error();
            topics_.push_back(std::move(*topic));
            ends_[name] = std::move(*end);
        }
        // Ticking, until every writer found the bridge's reader.
        for (int i = 0; i < 2000 && !matched(); ++i) tick(1);
        ASSERT_TRUE(matched());
    }

    bool matched() const {
        for (const auto& [name, end] : ends_) {
            dds_publication_matched_status_t status{};
            if (dds_get_publication_matched_status(end.get(), &status) == DDS_RETCODE_OK &&
                status.current_count == 0) {
                return false;
            }
        }
        return true;
    }

    void tick(int count) {
        for (int i = 0; i < count; ++i) {
            (void)bridge_->tick();
            std::this_thread::sleep_for(2ms);
        }
    }

    template <class Sample>
    void send(const char* topic, Sample sample) {
        ASSERT_EQ(dds_write(ends_[topic].get(), &sample), DDS_RETCODE_OK);
        tick(20);
    }

    static dds_sequence_double sequence(std::vector<double>& of) {
        const auto size = static_cast<std::uint32_t>(of.size());
        return {size, size, of.data(), false};
    }
    // A command for one motor (every motor for a motor command without one), its arrays one
    // value each in field order.
    template <class Sample, std::size_t N>
    void command(const char* topic, std::uint64_t seq, const char* name,
                 std::array<dds_sequence_double Sample::*, N> fields,
                 std::array<double, N> values) {
        Sample sample{};
        sample.seq = seq;
        std::array names{const_cast<char*>(name)};
        const std::uint32_t count = name != nullptr ? 1 : 0;
        sample.name = {count, count, names.data(), false};
        std::array<std::vector<double>, N> storage;
        for (std::size_t f = 0; f < N; ++f) {
            storage[f] = {values[f]};
            sample.*fields[f] = sequence(storage[f]);
        }
        send(topic, sample);
    }
    void action(std::uint64_t seq, const char* name, const char* what) {
        jointbus_msgs_msg_dds__MotorCommand_ sample{};
        sample.seq = seq;
        std::array names{const_cast<char*>(name)};
        const std::uint32_t count = name != nullptr ? 1 : 0;
        sample.name = {count, count, names.data(), false};
        sample.action = const_cast<char*>(what);
        send(kMotorCommandTopic, sample);
    }
    void vel(std::uint64_t seq, double velocity) {
        using C = jointbus_msgs_msg_dds__VelCommand_;
        command<C, 1>(kVelCommandTopic, seq, "wheel", {&C::velocity}, {velocity});
    }
    void array(const char* topic, std::vector<double> values) {
        std_msgs_msg_dds__Float64MultiArray_ sample{};
        sample.data = sequence(values);
        send(topic, sample);
    }
    static bool has(const std::vector<std::vector<std::uint8_t>>& frames,
                    const std::vector<std::uint8_t>& data) {
        return std::ranges::find(frames, data) != frames.end();
    }

    // The last refusal and the refusal count of the bridge's latest status.
    std::pair<std::string, std::uint64_t> refusal() {
        std::pair<std::string, std::uint64_t> last;
        take<jointbus_msgs_msg_dds__RobotStatus_>(kStatusTopic, [&](const auto& status) {
            last = {status.last_refusal, status.commands_refused};
        });
        return last;
    }

    // The no_state of `name` in the bridge's latest status.
    std::string no_state(const std::string& name) {
        std::string said;
        tick(2);
        take<jointbus_msgs_msg_dds__RobotStatus_>(kStatusTopic, [&](const auto& status) {
            for (std::uint32_t i = 0; i < status.motors._length; ++i) {
                if (status.motors._buffer[i].name == name) said = status.motors._buffer[i].no_state;
            }
        });
        return said;
    }

    // The level and message of each status of the latest diagnostics, by name.
    std::map<std::string, std::pair<int, std::string>> diagnostics() {
        std::map<std::string, std::pair<int, std::string>> by_name;
        tick(300);  // more than one period
        take<diagnostic_msgs_msg_dds__DiagnosticArray_>(kDiagnosticsTopic, [&](const auto& array) {
            for (std::uint32_t i = 0; i < array.status._length; ++i) {
                const auto& s = array.status._buffer[i];
                by_name[s.name] = {s.level, s.message};
            }
        });
        return by_name;
    }

    template <class Sample, class Each>
    void take(const char* topic, Each each) {
        void* samples[64] = {};
        dds_sample_info_t infos[64];
        const dds_return_t taken = dds_take(ends_[topic].get(), samples, infos, 64, 64);
        for (dds_return_t i = 0; i < taken; ++i) {
            if (infos[i].valid_data) each(*static_cast<const Sample*>(samples[i]));
        }
        if (taken > 0) (void)dds_return_loan(ends_[topic].get(), samples, taken);
    }

    // The data of the frames sent to `id`, each once, in order.
    std::vector<std::vector<std::uint8_t>> sent_to(std::uint16_t id) {
        std::vector<std::vector<std::uint8_t>> out;
        const std::scoped_lock lock(wire_->mutex);
        for (const SentFrame& frame : wire_->sent) {
            if (frame.id.number == id && std::ranges::find(out, frame.data) == out.end())
                out.push_back(frame.data);
        }
        return out;
    }

    static std::vector<std::uint8_t> floats(std::initializer_list<float> of) {
        std::vector<std::uint8_t> out(of.size() * 4);
        std::memcpy(out.data(), of.begin(), out.size());
        return out;
    }

    DomainOptions domain_;
    std::shared_ptr<Wire> wire_ = std::make_shared<Wire>();
    std::unique_ptr<Bridge> bridge_;
    Entity participant_;
    std::vector<Entity> topics_;
    std::map<std::string, Entity> ends_;
};

TEST_F(BridgeTest, EachModeDrivenAndRefusedAndABusThatComesBack) {
    // Each motor's mode written to its register 10: on 0x7FF, its id, 0x55, 10, the mode.
    for (const auto& [id, mode] : {std::pair{2, 3}, std::pair{3, 2}, std::pair{4, 4}}) {
        EXPECT_TRUE(
            has(sent_to(0x7FF), {std::uint8_t(id), 0, 0x55, 10, std::uint8_t(mode), 0, 0, 0}))
            << id;
    }
    action(1, nullptr, "enable");
    vel(1, 1.5);
    using PosVel = jointbus_msgs_msg_dds__PosVelCommand_;
    command<PosVel, 2>(kPosVelCommandTopic, 1, "gripper",
                       {&PosVel::position, &PosVel::velocity_limit}, {0.3, 2.0});
    using ForcePos = jointbus_msgs_msg_dds__ForcePosCommand_;
    command<ForcePos, 3>(kForcePosCommandTopic, 1, "wrist",
                         {&ForcePos::position, &ForcePos::velocity_limit, &ForcePos::current_limit},
                         {0.2, 1.0, 0.5});
    array(kPositionCommandsTopic, {0.7, 0.4, 0.25});
    array(kVelocityCommandsTopic, {-1.0});
    EXPECT_EQ(refusal(), std::pair(std::string(), std::uint64_t{0}));
    // Each set point as its mode's frame; nothing on another mode's identifier.
    EXPECT_TRUE(has(sent_to(0x202), floats({1.5F})) && has(sent_to(0x202), floats({-1.0F})));
    EXPECT_TRUE(has(sent_to(0x103), floats({0.3F, 2.0F})));
    EXPECT_TRUE(has(sent_to(0x103), floats({0.4F, 2.0F})));
    auto force_pos = floats({0.25F});
    force_pos.insert(force_pos.end(), {100, 0, 0x88, 0x13});  // 1 rad/s in 0.01, 0.5 in 1e-4
    EXPECT_TRUE(has(sent_to(0x304), force_pos));
    EXPECT_TRUE(sent_to(0x102).empty() && sent_to(0x203).empty() && sent_to(0x104).empty());

    using Mit = jointbus_msgs_msg_dds__MitCommand_;
    command<Mit, 5>(kMitCommandTopic, 1, "wheel",
                    {&Mit::q, &Mit::dq, &Mit::kp, &Mit::kd, &Mit::tau}, {0, 0, 0, 0, 0});
    EXPECT_EQ(refusal(), std::pair(std::string("motor 'wheel' is driven in VEL mode: a MIT "
                                               "command is for a motor in MIT mode"),
                                   std::uint64_t{1}));

    // Regression: after the watchdog, set points were counted as applied.
    for (int i = 0; i < 5000 && bridge_->counts().watchdog_trips == 0; ++i) tick(1);
    vel(2, 1.5);
    EXPECT_EQ(refusal().first,
              "motor wheel was disabled by the command watchdog (no command for 1000 ms): send "
              "enable or hold");

    // The bus fails: said on /diagnostics, commands refused with the engine's reason.
    wire_->down = true;
    auto health = diagnostics();
    EXPECT_EQ(health["jointbus/bus/sim0"].first, 2) << health["jointbus/bus/sim0"].second;
    EXPECT_EQ(health["jointbus/motor/wheel"].first, 2) << health["jointbus/motor/wheel"].second;
    vel(3, 1.5);
    const std::string failed = refusal().first;
    EXPECT_TRUE(failed.starts_with("bus 0 (sim0) failed: ")) << failed;
    // Regression: the status said only "tick refused" for the failed bus's motors.
    EXPECT_EQ(no_state("wheel"), failed);

    // Back, and enabled: driven again.
    wire_->down = false;
    {
        const std::scoped_lock lock(wire_->mutex);
        wire_->sent.clear();
    }
    action(2, "wheel", "enable");
    vel(4, 2.0);
    EXPECT_TRUE(has(sent_to(0x202), floats({2.0F})));
    health = diagnostics();
    EXPECT_EQ(health["jointbus/bus/sim0"].first, 0) << health["jointbus/bus/sim0"].second;
}

// Regression: a hold of a FORCE_POS motor without current_limit left it limp, counted as held.
TEST_F(BridgeTest, AHoldOfAForcePosMotorWithoutCurrentLimitIsRefused) {
    action(1, "clamp", "hold");
    EXPECT_EQ(refusal(), std::pair(std::string("hold cannot hold motor 'clamp': a FORCE_POS "
                                               "motor holds with the current_limit of its motor "
                                               "line, and it has none"),
                                   std::uint64_t{1}));
    action(2, "wrist", "hold");
    EXPECT_EQ(refusal().second, 1U);
}

}  // namespace
}  // namespace jointbus::dds

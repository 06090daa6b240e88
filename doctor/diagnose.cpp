#include "diagnose.hpp"

#include <linux/can.h>
#include <linux/can/error.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

#include "cli/motor_report.hpp"
#include "jointbus/protocol.hpp"
#include "transport/kernel_can.hpp"

namespace jointbus::doctor {

namespace {

using Seconds = std::chrono::duration<double>;
using Milliseconds = std::chrono::duration<double, std::milli>;

namespace protocol = damiao::protocol;
using report::Finding;
using report::hex_id;
using report::Severity;

[[nodiscard]] std::string reply_id_text(const RegisterReply& reply) {
    return reply.extended ? hex_id(reply.from, 8) + " (extended)" : hex_id(reply.from);
}

// With one decimal: "20.0 ms".
[[nodiscard]] std::string milliseconds(std::chrono::nanoseconds span) {
    char buffer[32];
    (void)std::snprintf(buffer, sizeof buffer, "%.1f ms", Milliseconds(span).count());
    return buffer;
}

[[nodiscard]] std::string mode_text(std::uint32_t mode) {
    const auto name = protocol::control_mode_name(mode);
    return std::to_string(mode) + " (" + std::string(name.value_or("unknown")) + ")";
}

[[nodiscard]] std::string bitrate_or_default(const InterfaceFacts& iface) {
    if (iface.controller && iface.controller->timing) {
        return std::to_string(iface.controller->timing->bitrate);
    }
    return "1000000";
}

// Restarting after a bus-off and the bit timing can only change while the interface is down.
[[nodiscard]] std::string reconfigure_command(const InterfaceFacts& iface) {
    const std::string& name = iface.name;
    return "ip link set " + name + " down && ip link set " + name + " type can bitrate " +
           bitrate_or_default(iface) + " restart-ms 100 && ip link set " + name + " up";
}

constexpr std::string_view kWiringAdvice =
    "check that every node uses the same bitrate, that the bus is terminated with 120 ohm at "
    "both ends (60 ohm between CAN_H and CAN_L with power off), and the CAN_H/CAN_L/GND wiring";

void check_interface(const InterfaceFacts& iface, std::vector<Finding>& out) {
    const std::string& name = iface.name;
    const auto* controller = iface.controller ? &*iface.controller : nullptr;
    if (controller != nullptr && iface.up) {
        switch (controller->state) {
            case ControllerState::BusOff:
                out.push_back(
                    {Severity::Error, name,
                     "the controller is bus-off: after too many failed transmissions it "
                     "neither sends nor receives",
                     controller->restart_ms.value_or(0) == 0
                         ? "ip link set " + name + " type can restart; then " +
                               std::string(kWiringAdvice)
                         : std::string(kWiringAdvice) + "; it restarts itself after restart-ms",
                     controller->restart_ms.value_or(0) == 0});
                break;
            case ControllerState::ErrorPassive:
            case ControllerState::ErrorWarning:
                out.push_back(
                    {Severity::Warning, name,
                     "the controller is " + std::string(state_name(controller->state)) +
                         " (tx errors " + std::to_string(controller->tx_errors.value_or(0)) +
                         ", rx errors " + std::to_string(controller->rx_errors.value_or(0)) +
                         "): frames are failing on the wire",
                     std::string(kWiringAdvice), false});
                break;
            default:
                break;
        }
    }
    if (controller != nullptr && !controller->timing) {
        out.push_back(
            {Severity::Error, name, "no bitrate is configured", reconfigure_command(iface), true});
    }
    if (controller != nullptr && controller->restart_ms == 0U) {
        out.push_back({Severity::Warning, name,
                       "restart-ms is 0: after a bus-off the controller stays off until someone "
                       "restarts it by hand",
                       reconfigure_command(iface), true});
    }
    if (controller != nullptr && iface.tx_queue_len && *iface.tx_queue_len < kShortTxQueue) {
        out.push_back({Severity::Warning, name,
                       "the transmit queue holds only " + std::to_string(*iface.tx_queue_len) +
                           " frames: a burst of sends (several motors at 1 kHz, or a busy bus) "
                           "fills it and a send fails with ENOBUFS",
                       "ip link set " + name + " txqueuelen 1000", true});
    }
    if (controller != nullptr && controller->bus_off_count.value_or(0) > 0 &&
        controller->state != ControllerState::BusOff) {
        out.push_back({Severity::Note, name,
                       "the controller went bus-off " + std::to_string(*controller->bus_off_count) +
                           " time(s) since it came up (restarted " +
                           std::to_string(controller->restarts.value_or(0)) + " time(s))",
                       std::string(kWiringAdvice), false});
    }
}

[[nodiscard]] std::string error_class_names(std::uint32_t classes) {
    static constexpr std::pair<std::uint32_t, std::string_view> kNames[] = {
        {CAN_ERR_TX_TIMEOUT, "transmit timeout"},
        {CAN_ERR_LOSTARB, "lost arbitration"},
        {CAN_ERR_CRTL, "controller problem"},
        {CAN_ERR_PROT, "protocol violation"},
        {CAN_ERR_TRX, "transceiver problem"},
        {CAN_ERR_ACK, "no acknowledge"},
        {CAN_ERR_BUSOFF, "bus-off"},
        {CAN_ERR_BUSERROR, "bus error"},
        {CAN_ERR_RESTARTED, "restarted"},
    };
    std::string text;
    for (const auto& [bit, label] : kNames) {
        if ((classes & bit) == 0) continue;
        if (!text.empty()) text += ", ";
        text += label;
    }
    return text.empty() ? "unclassified" : text;
}

// Every identifier a motor we know of answers from: the configured master ids and those that
// replies came from.
[[nodiscard]] std::set<std::uint32_t> motor_reply_ids(const Observations& seen) {
    std::set<std::uint32_t> ids;
    for (const cli::MotorOption& motor : seen.motors) {
        ids.insert(motor.master_id & protocol::kStandardIdMask);
    }
    if (seen.probe) {
        for (const MotorProbe& probe : seen.probe->motors) {
            for (const RegisterReply& reply : probe.replies) {
                ids.insert(reply.from | (reply.extended ? CAN_EFF_FLAG : 0U));
            }
        }
    }
    return ids;
}

void check_traffic(const Observations& seen, std::vector<Finding>& out) {
    const std::string& name = seen.iface.name;
    const Traffic& traffic = *seen.traffic;
    if (traffic.receive_error != 0) {
        out.push_back(
            {Severity::Error, name,
             std::string("reading from the bus failed: ") + std::strerror(traffic.receive_error),
             "", false});
    }
    if (traffic.error_frames > 0) {
        const bool no_ack = (traffic.error_classes & CAN_ERR_ACK) != 0;
        out.push_back({Severity::Warning, name,
                       "the controller reported " + std::to_string(traffic.error_frames) +
                           " error frame(s) while listening (" +
                           error_class_names(traffic.error_classes) + ")" +
                           (no_ack ? ": nobody acknowledges the frames sent, so no other node "
                                     "is listening at this bitrate"
                                   : ""),
                       std::string(kWiringAdvice), false});
    }
    if (const auto load = bus_load(seen); load && *load > kHighBusLoad) {
        out.push_back({Severity::Warning, name,
                       "the bus is " + std::to_string(static_cast<int>(std::lround(*load * 100))) +
                           " % loaded: replies wait behind other frames",
                       "fewer motors on this bus, or a lower command rate", false});
    }
    // Frames from a motor's reply identifier while the doctor was only listening: some other
    // program is commanding that motor now.
    const std::set<std::uint32_t> reply_ids = motor_reply_ids(seen);
    std::vector<std::string> busy;
    std::vector<std::string> foreign;
    for (const auto& [id, count] : traffic.ids) {
        const std::string text =
            (id & CAN_EFF_FLAG) != 0 ? hex_id(id & CAN_EFF_MASK, 8) : hex_id(id, 3);
        (reply_ids.contains(id) ? busy : foreign).push_back(text);
    }
    const auto join = [](const std::vector<std::string>& list) {
        constexpr std::size_t kShown = 12;
        std::string text;
        for (std::size_t i = 0; i < std::min(list.size(), kShown); ++i) {
            text += (text.empty() ? "" : " ") + list[i];
        }
        if (list.size() > kShown) {
            text += " and " + std::to_string(list.size() - kShown) + " more";
        }
        return text;
    };
    if (!busy.empty()) {
        out.push_back({Severity::Warning, "traffic",
                       "frames from " + join(busy) +
                           ", where the motors answer, before the doctor asked anything: another "
                           "program is driving them, and two controllers on one motor take each "
                           "other's replies",
                       "stop the other program that drives these motors", false});
    }
    if (!foreign.empty()) {
        out.push_back({Severity::Note, "traffic",
                       "other nodes or programs send on this bus (ids " + join(foreign) +
                           "); replies still arrive, but every frame competes for the bus",
                       "", false});
    }
}

void check_drops(const Observations& seen, std::vector<Finding>& out) {
    std::uint32_t dropped = seen.traffic ? seen.traffic->dropped : 0;
    if (seen.probe) dropped = std::max(dropped, seen.probe->dropped);
    if (dropped == 0) return;
    out.push_back({Severity::Warning, seen.iface.name,
                   std::to_string(dropped) +
                       " received frame(s) were dropped because a socket's receive buffer was "
                       "full (SO_RXQ_OVFL): the bus carries more frames than a slow reader "
                       "takes in time",
                   "sysctl -w net.core.rmem_default=1048576, or less traffic on this bus", true});
}

void check_sending(const Observations& seen, std::vector<Finding>& out) {
    const ProbeRun& run = *seen.probe;
    const InterfaceFacts& iface = seen.iface;
    const std::string& name = iface.name;
    if (run.send_error == ENOBUFS) {
        std::string why;
        std::string fix;
        bool root = false;
        if (iface.controller && iface.controller->state == ControllerState::BusOff) {
            why = "the controller is bus-off";
            fix = "ip link set " + name + " type can restart";
            root = true;
        } else if (iface.tx_queue_len && *iface.tx_queue_len < kShortTxQueue) {
            why = "the queue holds only " + std::to_string(*iface.tx_queue_len) + " frames";
            fix = "ip link set " + name + " txqueuelen 1000";
            root = true;
        } else {
            why =
                "frames do not leave the controller: no other node acknowledges them (no "
                "motor powered, wiring, termination or bitrate)";
            fix = std::string(kWiringAdvice);
        }
        out.push_back({Severity::Error, name,
                       "the transmit queue stayed full (ENOBUFS on send) even with one request "
                       "every few ms: " +
                           why,
                       fix, root});
    } else if (run.send_error != 0) {
        out.push_back(
            {Severity::Error, name,
             std::string("sending a register read failed: ") + std::strerror(run.send_error),
             run.send_error == ENETDOWN ? "ip link set " + name + " up" : "",
             run.send_error == ENETDOWN});
    } else if (run.full_queue > 0) {
        out.push_back({Severity::Warning, name,
                       "the transmit queue was full " + std::to_string(run.full_queue) +
                           " time(s) (ENOBUFS on send): sends came faster than the bus took "
                           "them; pace sends, and lengthen the queue",
                       "ip link set " + name + " txqueuelen 1000", true});
    }
}

// The built-in presets whose p_max, v_max and t_max are the ranges the motor reported (all three
// reported; kp and kd ranges are not kept in the motor). Two presets may share them.
[[nodiscard]] std::vector<std::string_view> matching_presets(
    const damiao::MotorSettings& settings) {
    std::vector<std::string_view> names;
    if (!settings.p_max || !settings.v_max || !settings.t_max) return names;
    for (const damiao::LimitPreset& preset : damiao::kLimitPresets) {
        if (cli::ranges_match(preset.limits, settings)) names.push_back(preset.name);
    }
    return names;
}

// The robot engine's description of the motor: Motor(ID, MASTER, "model") or with MitLimits.
[[nodiscard]] std::string robot_motor_text(std::uint16_t motor_id, std::uint32_t master_id,
                                           const std::optional<std::string>& model,
                                           const std::optional<damiao::MitLimits>& limits) {
    std::string text = "Motor(" + hex_id(motor_id) + ", " + hex_id(master_id);
    if (limits) {
        text += ", " + cli::limits_constructor(*limits);
    } else if (model) {
        text += ", \"" + *model + "\"";
    }
    return text + ")";
}

// How the motor's own ranges differ from `limits`: "PMAX <reported> where p_max is <given>" per
// range reported and different; empty when none does.
[[nodiscard]] std::string range_differences(const damiao::MotorSettings& settings,
                                            const damiao::MitLimits& limits) {
    std::string differ;
    const auto compare = [&](const char* reg, const std::optional<float>& reported,
                             const char* field, float given) {
        if (!reported || damiao::same_range(*reported, given)) return;
        differ += (differ.empty() ? "" : ", ") + std::string(reg) + " " +
                  cli::float_text(*reported) + " where " + field + " is " + cli::float_text(given);
    };
    compare("PMAX", settings.p_max, "p_max", limits.p_max);
    compare("VMAX", settings.v_max, "v_max", limits.v_max);
    compare("TMAX", settings.t_max, "t_max", limits.t_max);
    return differ;
}

// Several replies to one read: as many motors answer to this id, and every command reaches
// each of them.
void check_one_motor_per_id(const MotorProbe& probe, std::vector<Finding>& out) {
    const auto& replies = probe.replies;
    if (replies.size() <= 1) return;
    std::string from;
    for (const RegisterReply& reply : replies) {
        from += (from.empty() ? "" : ", ") + reply_id_text(reply);
    }
    out.push_back({Severity::Error, "motor " + hex_id(probe.motor_id),
                   std::to_string(replies.size()) + " motors answer as this id (replies from " +
                       from + "): commands reach all of them",
                   "give each motor its own id with the vendor's setup tool, with one motor "
                   "on the bus at a time",
                   false});
}

// Whether the motor answers where a controller given the --motor entry would wait for it; a
// motor found by a scan has no entry to contradict.
[[nodiscard]] bool answers_where_configured(const RegisterReply& reply,
                                            const cli::MotorOption* configured) {
    return configured == nullptr ||
           (!reply.extended && reply.from == (configured->master_id & protocol::kStandardIdMask));
}

// The constructor offered for a motor: a motor found by a scan is offered with the ranges it
// reported when they are not the defaults, by the preset that has them if one does.
[[nodiscard]] std::string offered_constructor(std::uint16_t motor_id, const RegisterReply& reply,
                                              const cli::MotorOption* configured,
                                              const damiao::MotorSettings* settings) {
    std::optional<damiao::MitLimits> reported_limits;
    std::optional<std::string> offered_model =
        configured != nullptr ? configured->model : std::nullopt;
    if (configured == nullptr && settings != nullptr &&
        !cli::ranges_match(damiao::MitLimits{}, *settings)) {
        const std::vector<std::string_view> presets = matching_presets(*settings);
        if (presets.empty()) {
            reported_limits = cli::with_ranges(damiao::MitLimits{}, *settings);
        } else {
            offered_model = std::string(presets.front());
        }
    }
    return constructor_text(motor_id, reply.from, offered_model, reported_limits);
}

// Where the motor answers from: against the --motor entry's master id, or, for a motor found by
// a scan, the news of it with the constructor that reaches it.
void check_reply_id(std::uint16_t motor_id, const RegisterReply& reply,
                    const cli::MotorOption* configured, const damiao::MotorSettings* settings,
                    std::vector<Finding>& out) {
    const std::string subject = "motor " + hex_id(motor_id);
    if (!answers_where_configured(reply, configured)) {
        out.push_back({Severity::Error, subject,
                       "replies come from " + reply_id_text(reply) + ", you configured " +
                           hex_id(configured->master_id) + ": every command would time out",
                       reply.extended ? "the motor answers with an extended identifier; "
                                        "set a standard master id with the vendor's setup tool"
                                      : offered_constructor(motor_id, reply, configured, settings),
                       false});
    } else if (configured == nullptr) {
        out.push_back(
            {Severity::Note, subject,
             "answers from " + reply_id_text(reply) + " in control mode " + mode_text(reply.mode),
             offered_constructor(motor_id, reply, configured, settings), false});
    }
}

// A motor in another control mode than --mode: it ignores the commands the user will send.
void check_control_mode(const Observations& seen, std::uint16_t motor_id,
                        const RegisterReply& reply, std::vector<Finding>& out) {
    const damiao::ControlMode wanted = seen.mode;
    if (reply.mode == static_cast<std::uint32_t>(wanted)) return;
    const std::string wanted_name(damiao::name(wanted));
    const bool mit = wanted == damiao::ControlMode::Mit;
    const std::string method = mit ? "ensure_mit_mode" : "ensure_control_mode";
    const std::string command_method = wanted_name + "_control";
    out.push_back(
        {Severity::Warning, "motor " + hex_id(motor_id),
         "is in control mode " + mode_text(reply.mode) + ", not " +
             std::string(damiao::upper_name(wanted)) + " (" +
             std::to_string(static_cast<unsigned>(wanted)) + "): it ignores " + command_method +
             " until switched; if " + method +
             " raises 'control mode verification failed', the firmware refuses the write and "
             "needs the vendor's setup tool",
         "jointbus-motor " + seen.iface.name + " --motor " + hex_id(motor_id) + ":" +
             hex_id(reply.from) + " mode " + wanted_name + ", or in Python motor." + method +
             (mit ? "(bus)" : "(bus, \"" + wanted_name + "\")"),
         false});
}

// The motor's own ranges against the limits the controller would scale its frames with: the
// model's, or the defaults a Damiao gets without one.
void check_ranges(std::uint16_t motor_id, const RegisterReply& reply,
                  const cli::MotorOption& configured, const damiao::MotorSettings& settings,
                  std::vector<Finding>& out) {
    const damiao::MitLimits& limits = configured.limits;
    if (cli::ranges_match(limits, settings)) return;
    const std::optional<std::string>& model = configured.model;
    const std::string given = model ? "MitLimits." + *model + "()" : "the default MitLimits()";
    // A motor of another model than the one given: its preset fixes every range at once.
    const std::vector<std::string_view> presets = matching_presets(settings);
    std::string match;
    std::optional<std::string> fixed_model;
    std::optional<damiao::MitLimits> fixed_limits;
    if (presets.empty()) {
        fixed_limits = cli::with_ranges(limits, settings);
    } else {
        fixed_model = std::string(presets.front());
        match = "; they match the preset " + *fixed_model;
        for (std::size_t i = 1; i < presets.size(); ++i) {
            match += (i + 1 == presets.size() ? " and " : ", ") + std::string(presets[i]);
        }
        if (presets.size() > 1) match += ", which share them";
    }
    out.push_back({Severity::Error, "motor " + hex_id(motor_id),
                   "its own ranges differ from " + given + ": " +
                       range_differences(settings, limits) + match +
                       "; every position, velocity and torque would be scaled wrong, in "
                       "both directions, without an error",
                   constructor_text(motor_id, reply.from, fixed_model, fixed_limits) +
                       ", or with the robot engine " +
                       robot_motor_text(motor_id, reply.from, fixed_model, fixed_limits),
                   false});
}

// The identifiers stored in the motor (MST_ID, ESC_ID) against those it answers on.
void check_stored_ids(std::uint16_t motor_id, const RegisterReply& reply,
                      const damiao::MotorSettings& settings, std::vector<Finding>& out) {
    const std::string subject = "motor " + hex_id(motor_id);
    if (settings.master_id && !reply.extended && *settings.master_id != reply.from) {
        out.push_back({Severity::Warning, subject,
                       "its MST_ID register holds " + hex_id(*settings.master_id) +
                           ", but it answers from " + hex_id(reply.from) +
                           ": the stored master id is not the one in effect",
                       "", false});
    }
    if (settings.motor_id && *settings.motor_id != motor_id) {
        out.push_back({Severity::Warning, subject,
                       "its ESC_ID register holds " + hex_id(*settings.motor_id) +
                           ", but it answers to " + hex_id(motor_id) +
                           ": the stored motor id is not the one in effect",
                       "", false});
    }
}

// A motor whose CAN timeout is off holds its last command for as long as it has power when
// the controller dies without a word: only the timeout stops it then.
void check_can_timeout(const Observations& seen, std::uint16_t motor_id, const RegisterReply& reply,
                       const damiao::MotorSettings& settings, std::vector<Finding>& out) {
    if (!settings.timeout || *settings.timeout != 0) return;
    out.push_back({Severity::Warning, "motor " + hex_id(motor_id),
                   "its CAN timeout (TIMEOUT) is off: after SIGKILL, a power loss or a kernel "
                   "crash, nothing stops this motor",
                   "jointbus-motor " + seen.iface.name + " --motor " + std::to_string(motor_id) +
                       ":" + hex_id(reply.from) +
                       " config set timeout_ms=" + std::to_string(kSuggestedCanTimeoutMs),
                   false});
}

// The slowest reply against the driver's default timeout. `load` says what else the bus
// carried that can delay a reply; empty when nothing did.
void check_latency(const MotorProbe& probe, const std::string& load, std::vector<Finding>& out) {
    const std::string subject = "motor " + hex_id(probe.motor_id);
    const std::chrono::nanoseconds slowest =
        std::ranges::max(probe.replies, {}, &RegisterReply::latency).latency;
    if (slowest <= kDefaultReplyTimeout) return;
    if (!load.empty()) {
        // A delay measured under someone else's traffic says nothing of the motor: no timeout
        // is proposed for it.
        out.push_back({Severity::Note, subject,
                       "replied after " + milliseconds(slowest) + " while " + load +
                           ": that delay measures the load, not the motor",
                       "measure again with the bus quiet before changing timeout_ms", false});
        return;
    }
    const auto millis = std::chrono::ceil<std::chrono::milliseconds>(2 * slowest).count();
    out.push_back({Severity::Warning, subject,
                   "replied after " + milliseconds(slowest) +
                       ", later than the default 20 ms timeout: commands would time out",
                   "Damiao(" + hex_id(probe.motor_id) + ", " + hex_id(probe.replies.front().from) +
                       ", timeout_ms=" + std::to_string(millis) + ")",
                   false});
}

// Findings about the replies to one id's register read, in the report's order: how many motors
// answer, where from, in which mode, with which settings, how fast. `configured` is the --motor
// entry for the id, if any; the settings are judged only for a motor that answers where that
// entry says.
void check_motor(const Observations& seen, const MotorProbe& probe,
                 const cli::MotorOption* configured, const damiao::MotorSettings* settings,
                 const std::string& load, std::vector<Finding>& out) {
    const RegisterReply& reply = probe.replies.front();
    check_one_motor_per_id(probe, out);
    check_reply_id(probe.motor_id, reply, configured, settings, out);
    check_control_mode(seen, probe.motor_id, reply, out);
    if (settings != nullptr && answers_where_configured(reply, configured)) {
        if (configured != nullptr) check_ranges(probe.motor_id, reply, *configured, *settings, out);
        check_stored_ids(probe.motor_id, reply, *settings, out);
        check_can_timeout(seen, probe.motor_id, reply, *settings, out);
    }
    check_latency(probe, load, out);
}

[[nodiscard]] std::string count_text(std::uint64_t count, std::string_view what) {
    return std::to_string(count) + " " + std::string(what) + (count == 1 ? "" : "s");
}

// Frames a second while listening, those the kernel dropped for the doctor included.
[[nodiscard]] std::optional<double> frame_rate(const Observations& seen) {
    if (!seen.traffic || seen.traffic->elapsed <= std::chrono::nanoseconds{}) return std::nullopt;
    return static_cast<double>(seen.traffic->frames + seen.traffic->dropped) /
           Seconds(seen.traffic->elapsed).count();
}

// What else the bus carried that can delay or lose a reply from `reply_id`, in words; empty
// when nothing did.
[[nodiscard]] std::string load_text(const Observations& seen, std::uint32_t reply_id) {
    if (const std::uint64_t busy = frames_before_asking(seen, reply_id); busy > 0) {
        return "another program streamed to it (" + count_text(busy, "frame") + " from " +
               hex_id(reply_id) + " before the doctor asked)";
    }
    // Since the socket opened: frames lost while listening say as much about the load.
    const std::uint32_t dropped =
        seen.probe ? seen.probe->dropped : (seen.traffic ? seen.traffic->dropped : 0);
    if (dropped > 0) {
        return count_text(dropped, "received frame") +
               " were lost to receive-buffer overflow (SO_RXQ_OVFL)";
    }
    if (const auto rate = frame_rate(seen); rate && *rate > kBusyFrameRate) {
        return "the bus carried " + std::to_string(std::lround(*rate)) + " frames/s";
    }
    return {};
}

// Why a motor given with --motor did not answer, from what the doctor saw meanwhile. A verdict
// never contradicts traffic it has just counted: frames from the motor's master id mean it is
// powered and on this bus.
[[nodiscard]] Finding silent_verdict(const Observations& seen, const MotorProbe& probe,
                                     const cli::MotorOption& wanted) {
    const ProbeRun& run = *seen.probe;
    const std::string subject = "motor " + hex_id(probe.motor_id);
    const auto reply_id = static_cast<std::uint32_t>(wanted.master_id & protocol::kStandardIdMask);
    const std::string asked = "no reply to " +
                              count_text(static_cast<std::uint64_t>(probe.reads), "register read") +
                              " within " + milliseconds(seen.probe_wait) + " each";
    const auto odd = std::ranges::find_if(run.odd, [&](const OddFrame& frame) {
        return frame.names == probe.motor_id || (!frame.extended && frame.id == reply_id);
    });
    if (odd != run.odd.end()) {
        const std::string kind = odd->fd ? "CAN FD frames (" + count_text(odd->length, "byte") + ")"
                                         : "short frames (" + count_text(odd->length, "byte") + ")";
        return {Severity::Error, subject,
                asked + ", but " + kind + " came from " +
                    (odd->extended ? hex_id(odd->id, 8) : hex_id(odd->id)) +
                    ": a reply must be a classic frame of 8 bytes, so the driver skips these",
                "set the motor (or a gateway between it and this adapter) to classic CAN frames "
                "of 8 bytes with the vendor's setup tool",
                false};
    }
    const std::uint64_t before = frames_before_asking(seen, reply_id);
    const auto during = run.ids.find(reply_id);
    const std::uint64_t meanwhile = during == run.ids.end() ? 0 : during->second;
    if (before + meanwhile > 0) {
        return {Severity::Warning, subject,
                asked + ", yet " + count_text(before + meanwhile, "frame") + " came from " +
                    hex_id(reply_id) +
                    ", its master id: it is powered and on this bus; another program streaming "
                    "to it is the likely cause, as its traffic delays or takes the replies",
                "stop the other program that drives it, then run jointbus-doctor again", false};
    }
    if (const std::uint32_t dropped = run.dropped - run.dropped_before; dropped > 0) {
        return {Severity::Warning, subject,
                asked + ", but " + count_text(dropped, "received frame") +
                    " were lost to receive-buffer overflow meanwhile (the bus carries more "
                    "frames than the doctor could read): the reply may be among them",
                "run again with less traffic on the bus, or raise the receive buffer: sysctl -w "
                "net.core.rmem_default=1048576",
                true};
    }
    if (const auto rate = frame_rate(seen); rate && *rate > kBusyFrameRate) {
        // A flood can fill the motor's own receive queue too, where the doctor cannot count.
        return {Severity::Warning, subject,
                asked + " while the bus carried " + std::to_string(std::lround(*rate)) +
                    " frames/s: under such a flood the request or the reply can be lost on the "
                    "way",
                "run again with the bus quiet", false};
    }
    return {Severity::Error, subject,
            asked + ": it is unpowered, on another bus, at another bitrate, or has another id",
            "jointbus-doctor " + seen.iface.name +
                " --scan 1-32 (finds motors that answer under other ids)",
            false};
}

void check_motors(const Observations& seen, std::vector<Finding>& out) {
    const ProbeRun& run = *seen.probe;
    std::vector<std::uint16_t> answered;
    for (const MotorProbe& probe : run.motors) {
        const auto configured =
            std::ranges::find(seen.motors, probe.motor_id, &cli::MotorOption::motor_id);
        const cli::MotorOption* wanted = configured == seen.motors.end() ? nullptr : &*configured;
        if (!probe.replies.empty()) {
            answered.push_back(probe.motor_id);
            const auto settings = seen.settings.find(probe.motor_id);
            check_motor(seen, probe, wanted,
                        settings == seen.settings.end() ? nullptr : &settings->second,
                        load_text(seen, probe.replies.front().from), out);
        } else if (wanted != nullptr && probe.sent) {
            out.push_back(silent_verdict(seen, probe, *wanted));
        }
    }
    if (!seen.scan.empty() && answered.empty() && run.send_error == 0) {
        out.push_back({Severity::Error, "scan",
                       "no motor answered ids " + hex_id(seen.scan.front()) + " to " +
                           hex_id(seen.scan.back()) + " within " + milliseconds(seen.probe_wait),
                       "check power, wiring and the bitrate; a motor with an id outside the "
                       "range needs a wider --scan",
                       false});
    }
    // Feedback is told apart by identifier only: two motors answering from one id are
    // indistinguishable to a controller.
    std::map<std::uint32_t, std::vector<std::uint16_t>> by_reply_id;
    for (const MotorProbe& probe : run.motors) {
        std::set<std::uint32_t> ids;
        for (const RegisterReply& reply : probe.replies) ids.insert(reply.from);
        for (const std::uint32_t id : ids) by_reply_id[id].push_back(probe.motor_id);
    }
    for (const auto& [id, motors] : by_reply_id) {
        if (motors.size() < 2) continue;
        std::string list;
        for (const std::uint16_t motor : motors)
            list += (list.empty() ? "" : " and ") + hex_id(motor);
        out.push_back(
            {Severity::Error, "motors " + list,
             "answer from " + hex_id(id) + ": a controller cannot tell their feedback apart",
             "give each motor its own master id with the vendor's setup tool", false});
    }
}

[[nodiscard]] std::string numbers_text(std::uint16_t mask) {
    std::string text;
    for (unsigned number = 0; number < 16; ++number) {
        if ((mask & (1U << number)) == 0) continue;
        text += (text.empty() ? "" : ", ") + hex_id(number, 1);
    }
    return text;
}

// Feedback names its motor in the low 4 bits of byte 0: another number from a configured
// master id is another motor answering from it.
void check_motor_numbers(const Observations& seen, std::vector<Finding>& out) {
    for (const cli::MotorOption& motor : seen.motors) {
        const auto reply_id =
            static_cast<std::uint32_t>(motor.master_id & protocol::kStandardIdMask);
        std::uint16_t numbers = 0;
        if (seen.traffic) {
            const auto heard = seen.traffic->motor_numbers.find(reply_id);
            if (heard != seen.traffic->motor_numbers.end()) numbers |= heard->second;
        }
        const auto status = seen.status.find(motor.motor_id);
        if (status != seen.status.end() && status->second.state) {
            numbers |= static_cast<std::uint16_t>(1U << (status->second.state->motor_id & 0x0FU));
        }
        const auto own = static_cast<std::uint16_t>(1U << (motor.motor_id & 0x0FU));
        const auto others = static_cast<std::uint16_t>(numbers & ~own);
        if (others == 0) continue;
        out.push_back({Severity::Error, "motor " + hex_id(motor.motor_id),
                       "feedback from " + hex_id(reply_id) + " names motor " +
                           numbers_text(others) + " in byte 0, where this motor puts " +
                           hex_id(motor.motor_id & 0x0FU, 1) +
                           ": two motors answer from one master id, and a controller takes "
                           "either one's state as this motor's",
                       "give each motor its own master id with the vendor's setup tool", false});
    }
}

void check_status(const Observations& seen, std::vector<Finding>& out) {
    for (const auto& [motor_id, read] : seen.status) {
        const std::string subject = "motor " + hex_id(motor_id);
        const auto configured =
            std::ranges::find(seen.motors, motor_id, &cli::MotorOption::motor_id);
        const std::string motor_option =
            configured == seen.motors.end()
                ? hex_id(motor_id)
                : hex_id(motor_id) + ":" + hex_id(configured->master_id);
        if (read.refused) {
            out.push_back({Severity::Warning, subject,
                           "status not read: another program drives it, and the disable that "
                           "--status sends would stop the motor under that program",
                           "stop the other program, then run jointbus-doctor again with --status",
                           false});
            continue;
        }
        if (!read.state) {
            // Answered from the configured master id: a motor silent to the register read, or
            // answering from another id, has its finding already.
            const bool answered_register =
                seen.probe && configured != seen.motors.end() &&
                std::ranges::any_of(seen.probe->motors, [&](const MotorProbe& p) {
                    return p.motor_id == motor_id && !p.replies.empty() &&
                           !p.replies.front().extended &&
                           p.replies.front().from ==
                               (configured->master_id & protocol::kStandardIdMask);
                });
            if (answered_register) {
                out.push_back({Severity::Error, subject,
                               "answers register reads but not the disable command: " + read.error,
                               "", false});
            }
            continue;
        }
        const std::uint8_t code = read.state->error;
        if (code == protocol::kStatusDisabled || code == protocol::kStatusEnabled) continue;
        const auto name = protocol::status_name(code);
        out.push_back({Severity::Error, subject,
                       "reports status " + std::string(name.value_or("unknown")) + " (" +
                           std::to_string(code) +
                           "): a faulted motor refuses to enable until the fault is cleared",
                       "remove the cause, then: jointbus-motor " + seen.iface.name + " --motor " +
                           motor_option + " clear",
                       false});
    }
}

}  // namespace

std::uint64_t frames_before_asking(const Observations& seen, std::uint32_t reply_id) {
    if (!seen.traffic) return 0;
    const auto found = seen.traffic->ids.find(reply_id);
    return found == seen.traffic->ids.end() ? 0 : found->second;
}

std::uint64_t frames_of_driven_motor(const Observations& seen, std::uint16_t motor_id) {
    if (!seen.traffic) return 0;
    const auto frames = [&](std::uint32_t id) {
        const auto found = seen.traffic->full_frames.find(id);
        return found == seen.traffic->full_frames.end() ? std::uint64_t{0} : found->second;
    };
    std::uint64_t count = frames(motor_id & protocol::kStandardIdMask);
    const auto configured = std::ranges::find(seen.motors, motor_id, &cli::MotorOption::motor_id);
    if (configured != seen.motors.end()) {
        const std::uint32_t reply_id = configured->master_id & protocol::kStandardIdMask;
        if (reply_id != (motor_id & protocol::kStandardIdMask)) count += frames(reply_id);
    }
    return count;
}

std::string constructor_text(std::uint16_t motor_id, std::uint32_t master_id,
                             const std::optional<std::string>& model,
                             const std::optional<damiao::MitLimits>& limits) {
    std::string text = "Damiao(" + hex_id(motor_id) + ", " + hex_id(master_id);
    if (limits) {
        text += ", " + cli::limits_constructor(*limits);
    } else if (model) {
        text += ", MitLimits." + *model + "()";
    }
    return text + ")";
}

std::optional<double> bus_load(const Observations& seen) {
    const auto& controller = seen.iface.controller;
    if (!seen.traffic || !controller || !controller->timing ||
        seen.traffic->elapsed <= std::chrono::nanoseconds{}) {
        return std::nullopt;
    }
    return static_cast<double>(seen.traffic->bits) /
           (Seconds(seen.traffic->elapsed).count() *
            static_cast<double>(controller->timing->bitrate));
}

std::vector<Finding> diagnose(const Observations& seen) {
    std::vector<Finding> out;
    const InterfaceFacts& iface = seen.iface;
    if (seen.kernel_can_error == EAFNOSUPPORT || seen.kernel_can_error == EPROTONOSUPPORT) {
        // Without the modules no CAN interface exists either: that is not the user's typo.
        out.push_back({Severity::Error, "kernel",
                       std::string("this kernel has no CAN sockets (") +
                           std::strerror(seen.kernel_can_error) +
                           "): no CAN interface can exist or be opened",
                       std::string(transport::kKernelCanFix), true});
        return out;
    }
    if (!iface.exists) {
        out.push_back({Severity::Error, iface.name, "no such network interface",
                       "ip -br link show type can (lists the CAN interfaces; an adapter appears "
                       "once plugged in and its driver is loaded)",
                       false});
        return out;
    }
    if (!iface.is_can) {
        out.push_back({Severity::Error, iface.name, "is not a CAN interface",
                       "ip -br link show type can (lists the CAN interfaces)", false});
        return out;
    }
    if (!iface.up) {
        out.push_back({Severity::Error, iface.name, "is down: nothing can be sent or received",
                       iface.controller ? "ip link set " + iface.name + " up type can bitrate " +
                                              bitrate_or_default(iface) + " restart-ms 100"
                                        : "ip link set " + iface.name + " up",
                       true});
    }
    check_interface(iface, out);
    if (seen.open_error != 0) {
        out.push_back(
            {Severity::Error, iface.name,
             std::string("cannot open a CAN socket on it: ") + std::strerror(seen.open_error),
             seen.open_error == EAFNOSUPPORT ? std::string(transport::kKernelCanFix) : "",
             seen.open_error == EAFNOSUPPORT});
    }
    if (seen.traffic) check_traffic(seen, out);
    if (seen.probe) {
        check_sending(seen, out);
        check_motors(seen, out);
    }
    check_motor_numbers(seen, out);
    check_status(seen, out);
    if (!seen.settings_error.empty()) {
        out.push_back({Severity::Warning, iface.name,
                       "reading the motors' settings stopped: " + seen.settings_error, "", false});
    }
    check_drops(seen, out);
    return out;
}

}  // namespace jointbus::doctor

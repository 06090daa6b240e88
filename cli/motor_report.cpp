#include "cli/motor_report.hpp"

#include <charconv>
#include <cstdio>

#include "cli/report.hpp"
#include "jointbus/protocol.hpp"

namespace jointbus::cli {

namespace {

// Four decimals: a 16-bit position over +-12.5 moves in steps of 0.0004.
[[nodiscard]] std::string fixed(float value) {
    char buffer[32];
    (void)std::snprintf(buffer, sizeof buffer, "%.4f", static_cast<double>(value));
    return buffer;
}

template <class T, class Show>
[[nodiscard]] std::string known(const std::optional<T>& value, Show&& show) {
    return value ? show(*value) : std::string("unknown");
}

template <class T>
[[nodiscard]] nlohmann::json or_null(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

}  // namespace

std::string float_text(float value) {
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc{} ? std::string(buffer, end) : std::string("?");
}

std::string settings_line(const damiao::MotorSettings& s) {
    const auto hex = [](std::uint32_t v) { return report::hex_id(v); };
    const auto integer = [](std::uint32_t v) { return std::to_string(v); };
    const auto mode = [](std::uint32_t v) {
        return std::to_string(v) + " (" +
               std::string(damiao::protocol::control_mode_name(v).value_or("unknown")) + ")";
    };
    return "MST_ID " + known(s.master_id, hex) + ", ESC_ID " + known(s.motor_id, hex) +
           ", TIMEOUT " + known(s.timeout, integer) + ", CTRL_MODE " + known(s.control_mode, mode) +
           ", PMAX " + known(s.p_max, float_text) + ", VMAX " + known(s.v_max, float_text) +
           ", TMAX " + known(s.t_max, float_text);
}

nlohmann::json settings_json(const damiao::MotorSettings& s) {
    return {{"MST_ID", or_null(s.master_id)}, {"ESC_ID", or_null(s.motor_id)},
            {"TIMEOUT", or_null(s.timeout)},  {"CTRL_MODE", or_null(s.control_mode)},
            {"PMAX", or_null(s.p_max)},       {"VMAX", or_null(s.v_max)},
            {"TMAX", or_null(s.t_max)}};
}

std::string state_line(const damiao::MotorState& state) {
    const auto name = damiao::protocol::status_name(state.error);
    return (name ? std::string(*name) + " (" + std::to_string(state.error) + ")"
                 : "status " + std::to_string(state.error)) +
           ", position " + fixed(state.position) + ", velocity " + fixed(state.velocity) +
           ", torque " + fixed(state.torque) + ", MOS " + std::to_string(state.t_mos) +
           " C, rotor " + std::to_string(state.t_rotor) + " C";
}

nlohmann::json state_json(const damiao::MotorState& state) {
    const auto name = damiao::protocol::status_name(state.error);
    return {{"motor_number", state.motor_id},
            {"status", state.error},
            {"status_name", name ? nlohmann::json(*name) : nlohmann::json(nullptr)},
            {"position", state.position},
            {"velocity", state.velocity},
            {"torque", state.torque},
            {"t_mos", state.t_mos},
            {"t_rotor", state.t_rotor}};
}

damiao::MitLimits with_ranges(damiao::MitLimits limits, const damiao::MotorSettings& settings) {
    limits.p_max = settings.p_max.value_or(limits.p_max);
    limits.v_max = settings.v_max.value_or(limits.v_max);
    limits.t_max = settings.t_max.value_or(limits.t_max);
    return limits;
}

bool ranges_match(const damiao::MitLimits& limits, const damiao::MotorSettings& settings) {
    const auto same = [](const std::optional<float>& reported, float configured) {
        return !reported || damiao::same_range(*reported, configured);
    };
    return same(settings.p_max, limits.p_max) && same(settings.v_max, limits.v_max) &&
           same(settings.t_max, limits.t_max);
}

std::string limits_constructor(const damiao::MitLimits& l) {
    return "MitLimits(p_max=" + float_text(l.p_max) + ", v_max=" + float_text(l.v_max) +
           ", kp_max=" + float_text(l.kp_max) + ", kd_max=" + float_text(l.kd_max) +
           ", t_max=" + float_text(l.t_max) + ")";
}

}  // namespace jointbus::cli

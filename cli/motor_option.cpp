#include "cli/motor_option.hpp"

#include <charconv>

namespace jointbus::cli {

namespace {

[[nodiscard]] std::string bad_id(std::string_view which, std::string_view text) {
    return "bad " + std::string(which) + " id " + quoted(text) + " (decimal or 0x-hex, 0 to 65535)";
}

}  // namespace

damiao::Damiao driver_record(const MotorOption& motor, transport::Duration timeout) {
    return damiao::Damiao{motor.motor_id, motor.master_id, motor.limits, timeout};
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.append(1, '\'').append(text).append(1, '\'');
    return out;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc{} || ptr != end || value > max) return std::nullopt;
    return value;
}

std::expected<MotorOption, std::string> parse_motor_option(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t at = text.find(':');
        fields.push_back(text.substr(0, at));
        if (at == std::string_view::npos) break;
        text.remove_prefix(at + 1);
    }
    if (fields.size() < 2) {
        return std::unexpected("expected MOTOR_ID:MASTER_ID[:MODEL[:SETTING...]]");
    }

    MotorOption option;
    const auto motor_id = parse_unsigned(fields[0], UINT16_MAX);
    if (!motor_id) return std::unexpected(bad_id("motor", fields[0]));
    const auto master_id = parse_unsigned(fields[1], UINT16_MAX);
    if (!master_id) return std::unexpected(bad_id("master", fields[1]));
    option.motor_id = static_cast<std::uint16_t>(*motor_id);
    option.master_id = static_cast<std::uint16_t>(*master_id);
    if (fields.size() == 2) return option;

    const auto preset = damiao::find_preset(fields[2]);
    if (!preset) {
        return std::unexpected("unknown model " + quoted(fields[2]) + " (see --list-models)");
    }
    option.model = std::string(preset->name);
    option.limits = preset->limits;
    option.settings.assign(fields.begin() + 3, fields.end());
    return option;
}

}  // namespace jointbus::cli

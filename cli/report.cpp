#include "cli/report.hpp"

#include <algorithm>

#include "transport/hex.hpp"

namespace jointbus::report {

std::string_view severity_name(Severity severity) {
    switch (severity) {
        case Severity::Note:
            return "note";
        case Severity::Warning:
            return "warning";
        case Severity::Error:
            return "error";
    }
    return "error";
}

bool any_problem(std::span<const Finding> findings) {
    return std::ranges::any_of(
        findings, [](const Finding& finding) { return finding.severity != Severity::Note; });
}

void print_findings(std::ostream& out, std::span<const Finding> findings) {
    for (const Finding& finding : findings) {
        const std::string_view name = severity_name(finding.severity);
        out << name << std::string(8 - name.size(), ' ') << finding.subject << ": "
            << finding.message << '\n';
        if (!finding.fix.empty()) {
            out << "        fix" << (finding.needs_root ? " (as root)" : "") << ": " << finding.fix
                << '\n';
        }
    }
}

nlohmann::json to_json(const Finding& finding) {
    return nlohmann::json{
        {"severity", severity_name(finding.severity)},
        {"subject", finding.subject},
        {"message", finding.message},
        {"fix", finding.fix},
        {"needs_root", finding.needs_root},
    };
}

nlohmann::json to_json(std::span<const Finding> findings) {
    nlohmann::json list = nlohmann::json::array();
    for (const Finding& finding : findings) list.push_back(to_json(finding));
    return list;
}

void Table::print(std::ostream& out, std::string_view indent) const {
    std::vector<std::size_t> widths(header_.size(), 0);
    auto measure = [&widths](const std::vector<std::string>& cells) {
        if (cells.size() > widths.size()) widths.resize(cells.size(), 0);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            widths[i] = std::max(widths[i], cells[i].size());
        }
    };
    measure(header_);
    for (const auto& row : rows_) measure(row);

    auto line = [&](const std::vector<std::string>& cells) {
        std::string text(indent);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            text += cells[i];
            if (i + 1 < cells.size()) text.append(widths[i] - cells[i].size() + 2, ' ');
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out << text << '\n';
    };
    line(header_);
    for (const auto& row : rows_) line(row);
}

std::string hex_id(std::uint32_t value, int digits) {
    return transport::hex(value, digits, transport::HexCase::Upper);
}

}  // namespace jointbus::report

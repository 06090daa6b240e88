// Findings and aligned tables, as the bus tools print them for people (text) and for scripts
// (JSON). One finding is one line a person can act on: what is wrong and the command that
// fixes it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jointbus::report {

// Notes inform; warnings and errors both mean something needs doing (a tool exits non-zero).
enum class Severity : std::uint8_t { Note, Warning, Error };

[[nodiscard]] std::string_view severity_name(Severity severity);

struct Finding {
    Severity severity = Severity::Note;
    std::string subject;      // what it is about: "vcan0", "motor 0x01", "traffic"
    std::string message;      // what is wrong, and why it matters
    std::string fix;          // the exact command, constructor or call that fixes it; may be empty
    bool needs_root = false;  // the fix changes the interface: run it as root (sudo)
};

// Whether any finding is a warning or an error.
[[nodiscard]] bool any_problem(std::span<const Finding> findings);

// One line per finding ("error  motor 0x01: ...") with its fix indented below it.
void print_findings(std::ostream& out, std::span<const Finding> findings);

[[nodiscard]] nlohmann::json to_json(const Finding& finding);
[[nodiscard]] nlohmann::json to_json(std::span<const Finding> findings);

// Rows of cells printed in columns as wide as their widest cell, separated by two blanks. The
// last column is not padded, so lines carry no trailing blanks.
class Table {
public:
    explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}

    void add_row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    [[nodiscard]] bool empty() const { return rows_.empty(); }

    void print(std::ostream& out, std::string_view indent = "") const;

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
};

// How the programs write an id or a code: 0x-hex with at least `digits` digits (at most 8), upper
// case, so that ids line up in columns: hex_id(0x11, 3) is "0x011".
[[nodiscard]] std::string hex_id(std::uint32_t value, int digits = 2);

}  // namespace jointbus::report

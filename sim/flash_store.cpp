#include "flash_store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/motor_option.hpp"
#include "cli/report.hpp"
#include "jointbus/transport_error.hpp"

namespace jointbus::sim {

namespace {

using nlohmann::json;

constexpr std::string_view kFormat = "jointbus-virtual-motor flash";
constexpr std::uint64_t kVersion = 1;

[[nodiscard]] std::string os_error(int code) { return transport::IoError::from_errno(code).text(); }

[[nodiscard]] std::string motor_key(std::uint16_t given_id) { return report::hex_id(given_id, 3); }

// {"0": bits, "1": bits, ...}: every held register, by its id in decimal.
[[nodiscard]] json to_json(const RegisterFile& image) {
    json registers = json::object();
    for (const std::uint8_t id : kHeldRegisters) registers[std::to_string(id)] = image[id];
    return registers;
}

[[nodiscard]] std::expected<RegisterFile, std::string> image_from(const json& registers) {
    if (!registers.is_object()) return std::unexpected("not an object of registers");
    RegisterFile image;
    for (const std::uint8_t id : kHeldRegisters) {
        const auto entry = registers.find(std::to_string(id));
        if (entry == registers.end()) {
            return std::unexpected("register " + std::to_string(id) + " is missing");
        }
        if (!entry->is_number_unsigned() || entry->get<std::uint64_t>() > UINT32_MAX) {
            return std::unexpected("register " + std::to_string(id) + " is " + entry->dump() +
                                   ", not its 32 bits as an integer from 0 to 4294967295");
        }
        image.set(id, static_cast<std::uint32_t>(entry->get<std::uint64_t>()));
    }
    if (registers.size() != kHeldRegisters.size()) {
        return std::unexpected("it holds registers other than the " +
                               std::to_string(kHeldRegisters.size()) + " the motor keeps");
    }
    if (auto checked = check_image(image); !checked) return std::unexpected(checked.error());
    return image;
}

[[nodiscard]] std::expected<std::map<std::uint16_t, RegisterFile>, std::string> images_from(
    const json& root) {
    if (!root.is_object() || root.value("format", json()) != kFormat) {
        return std::unexpected("not a state file of the virtual motor (no \"format\": \"" +
                               std::string(kFormat) + "\")");
    }
    if (root.value("version", json()) != kVersion) {
        return std::unexpected("version " + root.value("version", json()).dump() +
                               ", this program reads version " + std::to_string(kVersion));
    }
    const auto motors = root.find("motors");
    if (motors == root.end() || !motors->is_object()) {
        return std::unexpected("\"motors\" is missing or not an object");
    }
    std::map<std::uint16_t, RegisterFile> images;
    for (const auto& [key, registers] : motors->items()) {
        const auto id = cli::parse_unsigned(key, UINT16_MAX);
        if (!id) return std::unexpected("motor " + cli::quoted(key) + " is not a motor id");
        auto image = image_from(registers);
        if (!image) return std::unexpected("motor " + key + ": " + image.error());
        images.emplace(static_cast<std::uint16_t>(*id), *image);
    }
    return images;
}

// The whole text, then a flush to the disk before the rename makes it the file.
[[nodiscard]] std::expected<void, std::string> write_atomically(const std::string& path,
                                                                const std::string& text) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::unexpected("cannot create " + temporary + ": " + os_error(errno));
    std::size_t done = 0;
    int error = 0;
    while (done < text.size() && error == 0) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote >= 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        (void)std::remove(temporary.c_str());
        return std::unexpected("cannot write " + path + ": " + os_error(error));
    }
    return {};
}

}  // namespace

std::expected<FlashStore, std::string> FlashStore::open(const std::string& path) {
    FlashStore store;
    store.path_ = path;
    std::ifstream file(path);
    if (!file) {
        const int error = errno;
        // No file yet is a motor that never stored; no directory would fail every store.
        const std::filesystem::path folder = std::filesystem::path(path).parent_path();
        std::error_code ignored;
        if (error == ENOENT &&
            std::filesystem::is_directory(folder.empty() ? "." : folder, ignored)) {
            return store;
        }
        return std::unexpected("cannot read " + path + ": " + os_error(error));
    }
    std::stringstream text;
    text << file.rdbuf();
    if (file.bad()) return std::unexpected("cannot read " + path + ": " + os_error(errno));
    const json root = json::parse(text.str(), nullptr, false);
    if (root.is_discarded()) return std::unexpected(path + ": not valid JSON");
    auto images = images_from(root);
    if (!images) return std::unexpected(path + ": " + images.error());
    store.images_ = std::move(*images);
    return store;
}

const RegisterFile* FlashStore::find(std::uint16_t given_id) const {
    const auto image = images_.find(given_id);
    return image == images_.end() ? nullptr : &image->second;
}

std::expected<void, std::string> FlashStore::save(std::uint16_t given_id,
                                                  const RegisterFile& image) {
    if (path_.empty()) return {};
    std::map<std::uint16_t, RegisterFile> images = images_;
    images.insert_or_assign(given_id, image);
    json motors = json::object();
    for (const auto& [id, stored] : images) motors[motor_key(id)] = to_json(stored);
    const json root{{"format", kFormat}, {"version", kVersion}, {"motors", motors}};
    if (auto written = write_atomically(path_, root.dump(2) + "\n"); !written) return written;
    images_ = std::move(images);
    return {};
}

void boot_from(std::span<MotorSettings> motors, const FlashStore& store) {
    for (MotorSettings& motor : motors) {
        if (const RegisterFile* image = store.find(motor.given_id)) {
            motor.flash = *image;
            motor = booted(motor);
        }
    }
}

}  // namespace jointbus::sim

// Where the motors' flash images outlive the program: a JSON file (--state FILE) holding, for
// each motor by the MOTOR_ID of its --motor, the registers it last stored.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>

#include "motor_settings.hpp"
#include "register_file.hpp"

namespace jointbus::sim {

// Not thread-safe; one program per file (two would each overwrite the other's stores).
class FlashStore {
public:
    // A store that keeps nothing beyond the program: a motor's image then lives in the motor.
    FlashStore() = default;

    // Reads the images stored in `path`; a file that does not exist yet holds none. The error
    // says what is wrong with the file.
    [[nodiscard]] static std::expected<FlashStore, std::string> open(const std::string& path);

    // The image stored for the motor given as `given_id`, or nothing.
    [[nodiscard]] const RegisterFile* find(std::uint16_t given_id) const;

    // Records `image` as that motor's and rewrites the file as a temporary file renamed over
    // it, so that a reader or a crash finds the old images or the new ones, never a mixture.
    // On failure (the reason is returned) the file and the store are as they were. Without a
    // file, always succeeds.
    [[nodiscard]] std::expected<void, std::string> save(std::uint16_t given_id,
                                                        const RegisterFile& image);

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;  // empty: no file
    std::map<std::uint16_t, RegisterFile> images_;
};

// Gives every motor that has an image in `store` that image as its flash and boots it.
void boot_from(std::span<MotorSettings> motors, const FlashStore& store);

}  // namespace jointbus::sim

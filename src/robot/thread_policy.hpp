// How the robot's threads take their ThreadPolicy.
#pragma once

#include <expected>
#include <string>

#include "jointbus/robot.hpp"

namespace jointbus::robot {

// "{thread}: {what}: {error's text}".
[[nodiscard]] ThreadError thread_error(const char* thread, const std::string& what, int code);

// Gives the calling thread `policy` (apply_thread_policy), its errors naming `thread`.
[[nodiscard]] std::expected<void, ThreadError> apply_policy(const ThreadPolicy& policy,
                                                            const char* thread);

}  // namespace jointbus::robot

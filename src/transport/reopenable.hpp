// A transport that can be opened again under the same name, its users none the wiser.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <utility>

#include "jointbus/can_transport.hpp"

namespace jointbus::transport {

// A bus's transport that can be opened again under the same name: an interface deleted and
// made again is another device, which a bound socket never reaches.
class Reopenable final : public CanTransport {
public:
    explicit Reopenable(std::unique_ptr<CanTransport> inner) : inner_(std::move(inner)) {}

    void replace(std::unique_ptr<CanTransport> inner) { inner_ = std::move(inner); }

    [[nodiscard]] std::expected<void, TransportError> send(const CanFrameView& frame) override {
        return inner_->send(frame);
    }
    [[nodiscard]] std::expected<CanFrame, TransportError> recv(Duration timeout) override {
        return inner_->recv(timeout);
    }
    std::size_t discard_waiting(OwedReplies& owed, FrameWatch* watch) override {
        return inner_->discard_waiting(owed, watch);
    }
    [[nodiscard]] std::optional<Dropped> drop_waiting() override { return inner_->drop_waiting(); }
    [[nodiscard]] Instant now() const override { return inner_->now(); }
    [[nodiscard]] int wait_descriptor() const override { return inner_->wait_descriptor(); }

private:
    std::unique_ptr<CanTransport> inner_;
};

}  // namespace jointbus::transport

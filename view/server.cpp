#include "server.hpp"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

namespace jointbus::view {

namespace {

using Clock = std::chrono::steady_clock;

// The most columns a page may ask for, and the most rows one capture sends: what bounds a
// message whatever the query says.
constexpr std::size_t kMaxColumns = 2000;
constexpr std::int64_t kColumnsPerMessage = 64;
constexpr std::size_t kMaxCaptureRows = 200'000;

double query_number(const httplib::Request& request, const char* name, double fallback, double low,
                    double high) {
    if (!request.has_param(name)) return fallback;
    const std::string text = request.get_param_value(name);
    double value = fallback;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
        return fallback;
    }
    return std::clamp(value, low, high);
}

std::int64_t query_time(const httplib::Request& request, const char* name) {
    if (!request.has_param(name)) return 0;
    const std::string text = request.get_param_value(name);
    std::int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// The host part of a Host header value: "[::1]:8765" -> "[::1]", "localhost:8765" -> "localhost".
std::string host_name(const std::string& host) {
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        return close == std::string::npos ? host : host.substr(0, close + 1);
    }
    return host.substr(0, host.find(':'));
}

// A float as JSON: null for NaN (no value in that column).
void put_value(std::string& out, float value) {
    if (std::isnan(value)) {
        out += "null";
        return;
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void put_int(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

// One SSE message of the columns [first, first + count) of `width` each: per motor, per
// signal, the envelopes as a flat [first, second, first, second...] list.
std::string columns_message(Store& store, std::int64_t first, std::int64_t width, std::size_t count,
                            std::size_t motors) {
    const std::vector<Envelope> envelopes = store.envelopes(first * width, width, count);
    std::string out = "event: columns\ndata: {\"first\":";
    put_int(out, first);
    out += ",\"width_us\":";
    put_int(out, width);
    out += ",\"count\":";
    put_int(out, static_cast<std::int64_t>(count));
    out += ",\"motors\":[";
    for (std::size_t m = 0; m < motors; ++m) {
        out += m == 0 ? "[" : ",[";
        for (std::size_t s = 0; s < kSignals; ++s) {
            out += s == 0 ? "[" : ",[";
            for (std::size_t c = 0; c < count; ++c) {
                const Envelope& e = envelopes[(m * kSignals + s) * count + c];
                if (c != 0) out += ',';
                put_value(out, e.first);
                out += ',';
                put_value(out, e.second);
            }
            out += ']';
        }
        out += ']';
    }
    out += "]}\n\n";
    return out;
}

nlohmann::json motors_json(Store& store) {
    nlohmann::json list = nlohmann::json::array();
    for (const MotorInfo& info : store.motors()) {
        list.push_back({{"bus", info.bus},
                        {"motor_id", info.motor.motor_id},
                        {"master_id", info.motor.master_id},
                        {"model", info.motor.model},
                        {"commands", info.commands},
                        {"replies", info.replies},
                        {"missed", info.missed}});
    }
    return list;
}

Store::Trigger trigger_of(const std::string& name) {
    if (name == "not_enabled") return Store::Trigger::NotEnabled;
    if (name == "missed") return Store::Trigger::Missed;
    if (name == "tracking") return Store::Trigger::Tracking;
    if (name == "torque") return Store::Trigger::Torque;
    return Store::Trigger::None;
}

std::string capture_message(Store& store, const Store::Fired& fired, std::int64_t pre_us,
                            std::int64_t post_us) {
    const std::int64_t from = fired.time_us - pre_us;
    const std::int64_t to = fired.time_us + post_us;
    const std::vector<Row> rows = store.rows(fired.motor, from, to, kMaxCaptureRows);
    std::string out = "event: capture\ndata: {\"motor\":";
    put_int(out, static_cast<std::int64_t>(fired.motor));
    out += ",\"trigger_us\":";
    put_int(out, fired.time_us);
    out += ",\"from_us\":";
    put_int(out, from);
    out += ",\"to_us\":";
    put_int(out, to);
    out += ",\"rows\":[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out += i == 0 ? "[" : ",[";
        put_int(out, rows[i].time_us);
        for (const float value : rows[i].v) {
            out += ',';
            put_value(out, value);
        }
        out += ']';
    }
    out += "]}\n\n";
    return out;
}

}  // namespace

bool allowed_host(const std::string& host, const std::string& listen_address) {
    const std::string name = host_name(host);
    if (name == "127.0.0.1" || name == "localhost" || name == "[::1]") return true;
    return name == listen_address || name == "[" + listen_address + "]";
}

bool allowed_origin(const std::string& origin, const std::string& host) {
    return origin == "http://" + host;
}

struct Server::Impl {
    Store& store;
    ServerOptions options;
    httplib::Server http;
    std::atomic<bool> stopping{false};
    std::atomic<bool> done{false};  // run() has returned

    Impl(Store& s, ServerOptions o) : store(s), options(std::move(o)) {}

    // The event stream of one page. Each round sends the columns completed since the last
    // one, so that a page that reads slowly gets fewer, longer rounds and the same amount of
    // data per second of capture: nothing queues up here or in the socket beyond one message.
    void stream(const httplib::Request& request, httplib::Response& response) {
        const double window_s = query_number(request, "window", options.window_s, 0.1, 3600.0);
        const auto width = static_cast<std::size_t>(
            query_number(request, "width", 800, 10, static_cast<double>(kMaxColumns)));
        const double refresh_hz = query_number(request, "refresh", 20, 0.1, options.max_refresh_hz);
        const Store::Trigger trigger =
            trigger_of(request.has_param("trigger") ? request.get_param_value("trigger") : "");
        const auto threshold = static_cast<float>(query_number(request, "threshold", 0, 0, 1e9));
        const auto pre_us =
            static_cast<std::int64_t>(query_number(request, "pre", 0.2, 0, 1.0) * 1e6);
        const auto post_us =
            static_cast<std::int64_t>(query_number(request, "post", 0.2, 0, 1.0) * 1e6);
        const auto column_us = std::max<std::int64_t>(
            static_cast<std::int64_t>(window_s * 1e6 / static_cast<double>(width)), 100);
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / refresh_hz));

        struct State {
            std::int64_t next_column = -1;  // the first column not yet sent
            std::int64_t checked_us = 0;    // the trigger has looked at rows before this
            std::optional<Store::Fired> fired;
            bool captured = false;
            bool hello = false;
            std::size_t motors = 0;  // as the hello told the page
            Clock::time_point due = Clock::now();
        };
        auto state = std::make_shared<State>();
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream", [this, state, column_us, width, period, trigger, threshold, pre_us,
                                  post_us](std::size_t, httplib::DataSink& sink) {
                if (stopping) return false;
                std::this_thread::sleep_until(state->due);
                state->due = std::max(state->due + period, Clock::now());
                std::string message;
                if (!state->hello) {
                    // The buses of a replay appear with their first frames.
                    state->motors = store.motors().size();
                    if (state->motors == 0) return sink.write(": waiting\n\n", 12);
                    state->hello = true;
                    nlohmann::json hello = {{"motors", motors_json(store)},
                                            {"signals", kSignalNames},
                                            {"width_us", column_us},
                                            {"columns", width}};
                    message += "event: hello\ndata: " + hello.dump() + "\n\n";
                }
                const std::int64_t now = store.now_us();
                // Columns end before the newest frame: a column is sent once, complete.
                const std::int64_t complete = now / column_us;
                if (now > 0) {
                    const std::int64_t oldest = complete - static_cast<std::int64_t>(width);
                    std::int64_t first = std::max(state->next_column, oldest);
                    if (state->next_column < 0) state->checked_us = first * column_us;
                    // A backlog (the whole window, to a page that just came) goes in pieces,
                    // so that no message, and no memory made for one, is larger than this.
                    while (first < complete) {
                        const std::int64_t count =
                            std::min<std::int64_t>(complete - first, kColumnsPerMessage);
                        message += columns_message(store, first, column_us,
                                                   static_cast<std::size_t>(count), state->motors);
                        first += count;
                        if (first < complete) {
                            if (!sink.write(message.data(), message.size())) return false;
                            message.clear();
                        }
                    }
                    state->next_column = complete;
                    if (trigger != Store::Trigger::None && !state->captured) {
                        if (!state->fired && state->checked_us < now) {
                            state->fired =
                                store.find_trigger(trigger, threshold, state->checked_us, now);
                            state->checked_us = now;
                        }
                        if (state->fired && now >= state->fired->time_us + post_us) {
                            message += capture_message(store, *state->fired, pre_us, post_us);
                            state->captured = true;
                        }
                    }
                    nlohmann::json status = {{"now_us", now}, {"motors", motors_json(store)}};
                    message += "event: status\ndata: " + status.dump() + "\n\n";
                }
                // Blocks while the socket is full, for the server's write timeout at most.
                return sink.write(message.data(), message.size());
            });
    }

    void routes() {
        for (const Asset& asset : assets()) {
            http.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& response) {
                response.set_content(reinterpret_cast<const char*>(asset.bytes), asset.size,
                                     asset.content_type);
            });
        }
        http.Get("/motors", [this](const httplib::Request&, httplib::Response& response) {
            nlohmann::json body = {{"motors", motors_json(store)},
                                   {"signals", kSignalNames},
                                   {"buses", store.bus_names()},
                                   {"now_us", store.now_us()},
                                   {"window_s", options.window_s}};
            response.set_content(body.dump(), "application/json");
        });
        http.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
            stream(request, response);
        });
        // The envelope of any span still kept, for a page that zooms in.
        http.Get("/columns", [this](const httplib::Request& request, httplib::Response& response) {
            const std::int64_t from = query_time(request, "from");
            const std::int64_t to = query_time(request, "to");
            const auto width = static_cast<std::int64_t>(
                query_number(request, "width", 800, 10, static_cast<double>(kMaxColumns)));
            if (to <= from) {
                response.status = 400;
                return;
            }
            const std::int64_t column_us = std::max<std::int64_t>((to - from) / width, 1);
            std::string message =
                columns_message(store, from / column_us, column_us,
                                static_cast<std::size_t>(width) + 1, store.motors().size());
            // The same body as the stream's message, without the SSE framing.
            const auto start = message.find("data: ") + 6;
            response.set_content(message.substr(start, message.size() - start - 2),
                                 "application/json");
        });
        http.Get("/trace.csv",
                 [this](const httplib::Request& request, httplib::Response& response) {
                     const std::string bus = request.get_param_value("bus");
                     const std::int64_t from = query_time(request, "from");
                     const std::int64_t to = query_time(request, "to");
                     const std::vector<std::string> buses = store.bus_names();
                     if (std::ranges::find(buses, bus) == buses.end() || to <= from) {
                         response.status = 404;
                         return;
                     }
                     response.set_header("Content-Disposition",
                                         "attachment; filename=\"trace-" + bus + ".csv\"");
                     response.set_content(store.trace_csv(bus, from, to), "text/csv");
                 });
    }
};

Server::Server(Store& store, ServerOptions options)
    : impl_(std::make_unique<Impl>(store, std::move(options))) {
    Impl& impl = *impl_;
    const std::string address = impl.options.address;
    impl.http.set_pre_routing_handler(
        [address](const httplib::Request& request, httplib::Response& response) {
            const std::string host = request.get_header_value("Host");
            const bool origin_ok = !request.has_header("Origin") ||
                                   allowed_origin(request.get_header_value("Origin"), host);
            if (request.method != "GET" && request.method != "HEAD") {
                response.status = 405;
                return httplib::Server::HandlerResponse::Handled;
            }
            if (!allowed_host(host, address) || !origin_ok) {
                response.status = 403;
                response.set_content("jointbus-view: forbidden Host or Origin\n", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
    // httplib's default adds SO_REUSEPORT, with which a second view would share the port and
    // answer half the requests: only SO_REUSEADDR, so that the second one fails to bind.
    impl.http.set_socket_options([](int socket) {
        int yes = 1;
        (void)::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // A page that stops reading is dropped after this, rather than holding its thread.
    impl.http.set_write_timeout(5, 0);
    impl.routes();
}

Server::~Server() = default;

bool Server::bind() {
    return impl_->http.bind_to_port(impl_->options.address, impl_->options.port);
}

void Server::run() {
    (void)impl_->http.listen_after_bind();
    impl_->done = true;
}

void Server::stop() {
    impl_->stopping = true;
    // httplib's stop() does nothing before its loop runs: repeated until run() has returned.
    while (!impl_->done) {
        impl_->http.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace jointbus::view

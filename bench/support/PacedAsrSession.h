// A recogniser client for benchmarks: one "asr" session over Beast that sends "run-task",
// then the audio in 20 ms frames at real time (paced from "task-started", no drift), then
// "finish-task", and records what the server's timing looks like from outside.
// Thread: the io_context it is given.
#pragma once

#include <QByteArray>
#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AsrProtocol.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The p-th fraction of v (p in [0, 1]); -1 for no samples.
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

struct AsrStats {
    std::vector<double> started;   // ms from "run-task" sent to "task-started"
    std::vector<double> lateness;  // ms from a sentence's audio being sent to its result
    std::vector<double> tail;      // ms from "finish-task" sent to "task-finished"
    int finished = 0, failed = 0, words = 0;
};

class PacedAsrSession : public std::enable_shared_from_this<PacedAsrSession> {
  public:
    // pcm: 16 kHz mono 16-bit audio, sent whole; it must outlive the session.
    PacedAsrSession(boost::asio::io_context& io, AsrStats& stats, const QByteArray& pcm)
        : ws_(io), timer_(io), stats_(stats), pcm_(pcm) {}

    void start(uint16_t port, const std::string& taskId) {
        namespace beast = boost::beast;
        auto self = shared_from_this();
        id_ = taskId;
        beast::get_lowest_layer(ws_).async_connect(
            {boost::asio::ip::make_address("127.0.0.1"), port}, [self](beast::error_code ec) {
                if (ec) return self->fail();
                self->ws_.set_option(
                    beast::websocket::stream_base::decorator([](beast::websocket::request_type& r) {
                        r.set(beast::http::field::authorization, "Bearer bench");
                    }));
                self->ws_.async_handshake("127.0.0.1", "/asr", [self](beast::error_code e) {
                    if (e) return self->fail();
                    vserver::AsrParams p;
                    p.taskId = self->id_;
                    self->runTaskSent_ = Clock::now();
                    self->write(true, vserver::asrproto::runTask(p));
                    self->read();
                });
            });
    }

  private:
    using json = nlohmann::json;

    void read() {
        auto self = shared_from_this();
        ws_.async_read(buf_, [self](boost::beast::error_code ec, size_t) {
            if (ec) {
                if (!self->done_) self->fail();
                return;
            }
            const json e =
                json::parse(boost::beast::buffers_to_string(self->buf_.data()), nullptr, false);
            self->buf_.consume(self->buf_.size());
            self->event(e);
            if (!self->done_) self->read();
        });
    }

    void event(const json& e) {
        if (!e.is_object() || !e.contains("header")) return;
        const std::string name = e["header"].value("event", "");
        const auto now = Clock::now();
        if (name == "task-started") {
            stats_.started.push_back(ms(now - runTaskSent_));
            audioStart_ = now;
            tick();
        } else if (name == "result-generated") {
            const auto& s = e["payload"]["output"]["sentence"];
            if (!s.value("sentence_end", false)) return;
            if (s["end_time"].is_number_integer())
                stats_.lateness.push_back(ms(
                    now - (audioStart_ + std::chrono::milliseconds(s["end_time"].get<int64_t>()))));
            if (s["text"].is_string()) {
                const std::string text = s["text"];
                stats_.words += int(std::count(text.begin(), text.end(), ' ')) + !text.empty();
            }
        } else if (name == "task-finished") {
            stats_.tail.push_back(ms(now - finishSent_));
            ++stats_.finished;
            done_ = true;
            boost::beast::error_code ignored;
            boost::beast::get_lowest_layer(ws_).socket().close(ignored);
        } else if (name == "task-failed") {
            fail();
        }
    }

    void tick() {
        if (done_) return;
        const qsizetype at = qsizetype(sent_) * 640;
        if (at >= pcm_.size()) {
            finishSent_ = Clock::now();
            write(true, vserver::asrproto::finishTask(id_));
            return;
        }
        write(false, pcm_.mid(at, 640).toStdString());
        ++sent_;
        timer_.expires_at(audioStart_ + std::chrono::milliseconds(20 * sent_));  // no drift
        auto self = shared_from_this();
        timer_.async_wait([self](boost::beast::error_code ec) {
            if (!ec) self->tick();
        });
    }

    void write(bool text, std::string payload) {
        queue_.emplace_back(text, std::move(payload));
        if (!writing_) next();
    }
    void next() {
        if (queue_.empty()) {
            writing_ = false;
            return;
        }
        writing_ = true;
        ws_.text(queue_.front().first);
        auto self = shared_from_this();
        ws_.async_write(boost::asio::buffer(queue_.front().second),
                        [self](boost::beast::error_code ec, size_t) {
                            self->queue_.pop_front();
                            if (ec) {
                                self->writing_ = false;
                                return self->fail();
                            }
                            self->next();
                        });
    }

    void fail() {
        if (done_) return;
        done_ = true;
        ++stats_.failed;
        timer_.cancel();
        boost::beast::error_code ignored;
        boost::beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
    boost::asio::steady_timer timer_;
    boost::beast::flat_buffer buf_;
    std::deque<std::pair<bool, std::string>> queue_;
    AsrStats& stats_;
    const QByteArray& pcm_;
    std::string id_;
    int sent_ = 0;
    bool writing_ = false, done_ = false;
    Clock::time_point runTaskSent_, audioStart_, finishSent_;
};

}  // namespace bench

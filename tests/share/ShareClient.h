// A test client of the share server: a real TCP socket on the loopback,
// reading lines with a deadline that only bounds a failure.
#pragma once

#include <asio.hpp>
// On Windows Asio brings in <windows.h>, whose MessageBox macro would rename
// the toolkit's MessageBox in the tests that include this file.
#undef MessageBox

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace sharetest {

using namespace std::chrono_literals;

class TClient {
  public:
    // Connects to 127.0.0.1:port; receiveBuffer (when not 0) is the socket's
    // SO_RCVBUF, set before connecting.
    explicit TClient(uint16_t port, int receiveBuffer = 0) : socket_(io_) {
        socket_.open(asio::ip::tcp::v4());
        if (receiveBuffer > 0) {
            socket_.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        }
        socket_.connect({asio::ip::make_address("127.0.0.1"), port});
    }

    void Send(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes)); }

    // The next line with its line end; nothing on end of stream or when
    // none came in time.
    std::optional<std::string> Line(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end + 1);
                buffer_.erase(0, end + 1);
                return line;
            }
            if (!ReadSome(deadline)) {
                return std::nullopt;
            }
        }
    }

    // The next line's JSON object (null when no line came).
    nlohmann::json Object(std::chrono::milliseconds timeout = 10s) {
        const std::optional<std::string> line = Line(timeout);
        return line ? nlohmann::json::parse(*line) : nlohmann::json();
    }

    // Reads (and drops) until the server closes the connection; false when
    // it is still open at the deadline.
    bool Closed(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!eof_) {
            buffer_.clear();
            if (!ReadSome(deadline) && !eof_) {
                return false;
            }
        }
        return true;
    }

    // Everything from here to the end of the stream (what came in time).
    std::string ReadToEnd(std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (ReadSome(deadline)) {
        }
        return std::exchange(buffer_, {});
    }

    bool Eof() const { return eof_; }
    // What was read but not yet taken as lines.
    const std::string& Buffered() const { return buffer_; }
    asio::ip::tcp::socket& Socket() { return socket_; }

  private:
    bool ReadSome(std::chrono::steady_clock::time_point deadline) {
        if (eof_) {
            return false;
        }
        bool done = false;
        asio::error_code ec;
        size_t n = 0;
        socket_.async_read_some(asio::buffer(chunk_), [&](asio::error_code e, size_t got) {
            ec = e;
            n = got;
            done = true;
        });
        io_.restart();
        io_.run_until(deadline);
        if (!done) {
            asio::error_code ignored;
            socket_.cancel(ignored);
            io_.restart();
            io_.run();  // the read ends now, aborted or with what came meanwhile
            if (ec) {
                eof_ = ec != asio::error::operation_aborted;
                return false;
            }
        } else if (ec) {
            eof_ = true;
            return false;
        }
        buffer_.append(chunk_.data(), n);
        return true;
    }

    asio::io_context io_;
    asio::ip::tcp::socket socket_;
    std::array<char, 65536> chunk_{};
    std::string buffer_;
    bool eof_ = false;
};

}  // namespace sharetest

// Moving whole messages over one TCP connection: framed (a 4-byte length
// first) or buffered (the end found by walking the message). One algorithm
// serves the client and the server; they differ only where `Side` says.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>

#include "protocol/types.hpp"
#include "python/enums.hpp"

namespace vantrel::net {

using asio::awaitable;
using asio::ip::tcp;
using protocol::IoError;
using protocol::IoKind;

// An I/O failure thrown inside the transport's coroutines.
struct IoFailure : std::exception {
    IoError error;
    explicit IoFailure(IoError e) : error(std::move(e)) {}
    const char* what() const noexcept override { return error.text.c_str(); }
};

// "{description} (os error {number})" for system errors.
IoError io_error(const asio::error_code& ec);

enum class Side : std::uint8_t { Client, Server };

// The message size limit that both sides apply unless configured otherwise.
constexpr std::size_t default_max_message_size = 100 * 1024 * 1024;

// A read buffer of 64 KiB over the read direction of a socket.
class StreamReader {
  public:
    explicit StreamReader(tcp::socket& socket);

    std::size_t available() const { return end_ - pos_; }
    const std::uint8_t* data() const { return buf_.get() + pos_; }
    void consume(std::size_t n) { pos_ += n; }

    // Reads more from the socket; false at the end of the stream.
    awaitable<bool> fill();
    // Makes `n` (at most the buffer size) bytes available; at the end of the
    // stream fails with an UnexpectedEof error carrying `eof_text`.
    awaitable<void> fill_to(std::size_t n, const char* eof_text);

    static constexpr std::size_t capacity = 65536;

  private:
    tcp::socket& socket_;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t pos_ = 0, end_ = 0;
};

// One received message. Empty either at a clean end of the stream (then
// `end_of_stream`) or for a framed length of zero or less.
struct Received {
    std::vector<std::uint8_t> bytes;
    bool end_of_stream = false;
};

awaitable<Received> receive_message(StreamReader& reader, py::TransportType transport, py::ProtocolType protocol,
                                    Side side, std::size_t max_size);

// A write buffer of 64 KiB over the write direction of a socket.
class StreamWriter {
  public:
    explicit StreamWriter(tcp::socket& socket);

    // Writes one message, framed when asked, and flushes it: one write.
    awaitable<void> send(const std::uint8_t* data, std::size_t size, py::TransportType transport);

    static constexpr std::size_t capacity = 65536;

  private:
    tcp::socket& socket_;
    std::unique_ptr<std::uint8_t[]> buf_;
};

// Resolves `host` (off the calling thread unless it is a numeric address) and
// connects to the first address that accepts; TCP_NODELAY is set.
awaitable<tcp::socket> connect(asio::io_context& io, const std::string& host, std::uint16_t port);

}  // namespace vantrel::net

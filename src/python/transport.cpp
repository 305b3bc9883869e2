#include "python/transport.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>

namespace vantrel::net {

// A note for these coroutines: a co_await stays out of `if` and `while`
// conditions (its result goes to a local first); g++ 12 miscompiles
// `if (!co_await ...)` followed by a throw.

namespace {

using asio::redirect_error;
using asio::use_awaitable;

constexpr const char* early_eof = "early eof";
constexpr const char* unexpected_eof = "unexpected end of file";

[[noreturn]] void fail(IoKind kind, std::string text) { throw IoFailure(IoError{kind, std::move(text)}); }

[[noreturn]] void too_large(std::size_t max_size) {
    fail(IoKind::InvalidData, "message exceeds the maximum message size of " + std::to_string(max_size) + " bytes");
}

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// The bytes of one message, with the size limit applied as they arrive.
struct Collector {
    std::vector<std::uint8_t>& out;
    std::size_t max_size;

    void append(const std::uint8_t* p, std::size_t n) {
        if (n > max_size - out.size()) too_large(max_size);
        out.insert(out.end(), p, p + n);
    }
};

// Takes `n` bytes (n at most a few) from the reader into the message.
awaitable<void> take(StreamReader& r, Collector& c, std::size_t n, const char* eof_text) {
    if (r.available() < n) co_await r.fill_to(n, eof_text);
    c.append(r.data(), n);
    r.consume(n);
}

// Copies `n` bytes of any length, as they arrive.
awaitable<void> copy(StreamReader& r, Collector& c, std::size_t n) {
    if (n > c.max_size - c.out.size()) too_large(c.max_size);
    while (n > 0) {
        if (r.available() == 0) {
            bool more = co_await r.fill();
            if (!more) throw IoFailure(IoError{IoKind::UnexpectedEof, early_eof});
        }
        std::size_t chunk = std::min(n, r.available());
        c.append(r.data(), chunk);
        r.consume(chunk);
        n -= chunk;
    }
}

// Walks one Binary struct body (through its stop byte), keeping every byte.
// The nesting is an explicit stack, so only refills suspend.
awaitable<void> walk_struct_body(StreamReader& r, Collector& c, Side side) {
    struct Frame {
        enum Kind : std::uint8_t { Struct, List, Map } kind;
        std::uint8_t first = 0, second = 0;  // element type, or key and value types
        std::int64_t remaining = 0;
        bool key_next = true;
    };
    std::vector<Frame> stack{Frame{Frame::Struct}};
    while (!stack.empty()) {
        Frame& frame = stack.back();
        std::uint8_t type = 0;
        if (frame.kind == Frame::Struct) {
            co_await take(r, c, 1, unexpected_eof);
            type = c.out.back();
            if (type == 0) {
                stack.pop_back();
                continue;
            }
            co_await take(r, c, 1, unexpected_eof);  // the field id, a byte at a time
            co_await take(r, c, 1, unexpected_eof);
        } else if (frame.kind == Frame::List) {
            if (frame.remaining <= 0) {
                stack.pop_back();
                continue;
            }
            --frame.remaining;
            type = frame.first;
        } else {
            if (frame.remaining <= 0) {
                stack.pop_back();
                continue;
            }
            type = frame.key_next ? frame.first : frame.second;
            if (!frame.key_next) --frame.remaining;
            frame.key_next = !frame.key_next;
        }
        auto push = [&](Frame f) {
            if (stack.size() > std::size_t(protocol::max_depth))
                fail(IoKind::InvalidData, std::string(protocol::depth_error));
            stack.push_back(f);
        };
        switch (type) {
            case 2:
            case 3: co_await take(r, c, 1, unexpected_eof); break;
            case 6: co_await take(r, c, 2, early_eof); break;
            case 8: co_await take(r, c, 4, early_eof); break;
            case 4:
            case 10: co_await take(r, c, 8, early_eof); break;
            case 11: {
                co_await take(r, c, 4, early_eof);
                co_await copy(r, c, be32(&c.out[c.out.size() - 4]));  // the length as an unsigned count
                break;
            }
            case 12: push(Frame{Frame::Struct}); break;
            case 13: {
                co_await take(r, c, 6, early_eof);
                const std::uint8_t* h = &c.out[c.out.size() - 6];
                push(Frame{Frame::Map, h[0], h[1], std::int32_t(be32(h + 2)), true});
                break;
            }
            case 14:
            case 15: {
                co_await take(r, c, 5, early_eof);
                const std::uint8_t* h = &c.out[c.out.size() - 5];
                push(Frame{Frame::List, h[0], 0, std::int32_t(be32(h + 1)), true});
                break;
            }
            default: {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", type);
                fail(IoKind::InvalidData, std::string("Unknown field type byte 0x") + hex +
                                              (side == Side::Server ? " in buffered stream" : ""));
            }
        }
    }
}

const Received clean_end{{}, true};

awaitable<Received> receive_framed(StreamReader& r, std::size_t max_size) {
    Received received;
    std::vector<std::uint8_t>& out = received.bytes;
    // The stream ending anywhere in the length is a clean end.
    while (r.available() < 4) {
        if (r.available() > 0) {
            try {
                co_await r.fill_to(4, early_eof);
            } catch (const IoFailure& e) {
                if (e.error.kind == IoKind::UnexpectedEof) co_return clean_end;
                throw;
            }
            break;
        }
        bool more = co_await r.fill();
        if (!more) co_return clean_end;
    }
    std::int32_t length = std::int32_t(be32(r.data()));
    r.consume(4);
    if (length <= 0) co_return received;
    if (std::size_t(length) > max_size)
        fail(IoKind::InvalidData, "message of " + std::to_string(length) + " bytes exceeds the maximum message size of " +
                                      std::to_string(max_size) + " bytes");
    Collector c{out, max_size};
    co_await copy(r, c, std::size_t(length));
    co_return received;
}

awaitable<Received> receive_buffered_binary(StreamReader& r, Side side, std::size_t max_size) {
    Received received;
    std::vector<std::uint8_t>& out = received.bytes;
    Collector c{out, max_size};
    if (side == Side::Server) {
        // The stream may end cleanly where a message would begin.
        if (r.available() == 0) {
            bool more = co_await r.fill();
            if (!more) co_return clean_end;
        }
        try {
            co_await take(r, c, 4, early_eof);
        } catch (const IoFailure& e) {
            if (e.error.kind == IoKind::UnexpectedEof) co_return clean_end;
            throw;
        }
    } else {
        co_await take(r, c, 4, early_eof);
    }
    co_await take(r, c, 4, early_eof);
    std::int32_t name_length = std::int32_t(be32(&out[4]));
    if (name_length < 0)
        fail(IoKind::InvalidData, "negative name length " + std::to_string(name_length) + " in buffered message");
    co_await copy(r, c, std::size_t(name_length));
    co_await take(r, c, 4, early_eof);
    co_await walk_struct_body(r, c, side);
    co_return received;
}

// One top-level JSON array or object: brackets are counted outside strings.
awaitable<Received> receive_buffered_json(StreamReader& r, std::size_t max_size) {
    Received received;
    std::vector<std::uint8_t>& out = received.bytes;
    bool started = false, in_string = false, escape = false;
    std::int32_t depth = 0;
    for (;;) {
        bool more = r.available() > 0;
        if (!more) more = co_await r.fill();
        if (!more) {
            if (!started) co_return clean_end;
            throw IoFailure(IoError{IoKind::UnexpectedEof, unexpected_eof});
        }
        const std::uint8_t* p = r.data();
        std::size_t n = r.available(), i = 0;
        if (!started) {
            while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\n' || p[i] == '\f' || p[i] == '\r')) ++i;
            r.consume(i);
            if (i == n) continue;
            if (p[i] != '[' && p[i] != '{')
                fail(IoKind::InvalidData, "expected JSON object or array at start of buffered message");
            started = true;
            depth = 1;
            p += i;
            n -= i;
            i = 1;
        }
        bool done = false;
        for (; i < n && !done; ++i) {
            std::uint8_t b = p[i];
            if (in_string) {
                if (escape)
                    escape = false;
                else if (b == '"')
                    in_string = false;
                else if (b == '\\')
                    escape = true;
            } else if (b == '"') {
                in_string = true;
            } else if (b == '[' || b == '{') {
                ++depth;
            } else if (b == ']' || b == '}') {
                done = --depth == 0;
            }
        }
        if (i > max_size - out.size()) too_large(max_size);
        out.insert(out.end(), p, p + i);
        r.consume(i);
        if (done) co_return received;
    }
}

}  // namespace

IoError io_error(const asio::error_code& ec) {
    IoKind kind = IoKind::Other;
    if (ec == asio::error::connection_reset)
        kind = IoKind::ConnectionReset;
    else if (ec == asio::error::broken_pipe)
        kind = IoKind::BrokenPipe;
    else if (ec == asio::error::would_block)
        kind = IoKind::WouldBlock;
    else if (ec == asio::error::eof)
        return IoError{IoKind::UnexpectedEof, early_eof};
    if (ec.category() == asio::system_category())
        return IoError{kind, std::string(std::strerror(ec.value())) + " (os error " + std::to_string(ec.value()) + ")"};
    return IoError{kind, ec.message()};
}

StreamReader::StreamReader(tcp::socket& socket) : socket_(socket), buf_(new std::uint8_t[capacity]) {}

awaitable<bool> StreamReader::fill() {
    if (pos_ == end_) pos_ = end_ = 0;
    if (end_ == capacity) {  // keep what is unread at the front
        std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    asio::error_code ec;
    std::size_t n = co_await socket_.async_read_some(asio::buffer(buf_.get() + end_, capacity - end_),
                                                     redirect_error(use_awaitable, ec));
    if (ec == asio::error::eof) co_return false;
    if (ec) throw IoFailure(io_error(ec));
    end_ += n;
    co_return true;
}

awaitable<void> StreamReader::fill_to(std::size_t n, const char* eof_text) {
    if (capacity - pos_ < n) {
        std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    while (available() < n) {
        bool more = co_await fill();
        if (!more) throw IoFailure(IoError{IoKind::UnexpectedEof, eof_text});
    }
}

awaitable<Received> receive_message(StreamReader& reader, py::TransportType transport, py::ProtocolType protocol,
                                    Side side, std::size_t max_size) {
    if (transport == py::TransportType::Framed) co_return co_await receive_framed(reader, max_size);
    switch (protocol) {
        case py::ProtocolType::Binary: co_return co_await receive_buffered_binary(reader, side, max_size);
        case py::ProtocolType::JSON: co_return co_await receive_buffered_json(reader, max_size);
        case py::ProtocolType::Compact: break;
    }
    fail(IoKind::InvalidInput, "buffered RPC transport currently supports Binary and JSON protocols");
}

StreamWriter::StreamWriter(tcp::socket& socket) : socket_(socket), buf_(new std::uint8_t[capacity]) {}

awaitable<void> StreamWriter::send(const std::uint8_t* data, std::size_t size, py::TransportType transport) {
    if (size > std::size_t(std::numeric_limits<std::int32_t>::max()))
        fail(IoKind::InvalidInput, "message of " + std::to_string(size) +
                                       " bytes is too large to send (the limit is 2147483647 bytes)");
    std::array<std::uint8_t, 4> length{std::uint8_t(size >> 24), std::uint8_t(size >> 16), std::uint8_t(size >> 8),
                                       std::uint8_t(size)};
    std::size_t header = transport == py::TransportType::Framed ? 4 : 0;
    asio::error_code ec;
    if (header + size <= capacity) {
        // Through the buffer, then flushed: one write.
        std::memcpy(buf_.get(), length.data(), header);
        std::memcpy(buf_.get() + header, data, size);
        co_await asio::async_write(socket_, asio::buffer(buf_.get(), header + size), redirect_error(use_awaitable, ec));
    } else {
        // Larger than the buffer: straight to the socket, still one gathered write.
        std::array<asio::const_buffer, 2> buffers{asio::buffer(length.data(), header), asio::buffer(data, size)};
        co_await asio::async_write(socket_, buffers, redirect_error(use_awaitable, ec));
    }
    if (ec) throw IoFailure(io_error(ec));
}

awaitable<tcp::socket> connect(asio::io_context& io, const std::string& host, std::uint16_t port) {
    std::vector<tcp::endpoint> endpoints;
    asio::error_code ec;
    asio::ip::address address = asio::ip::make_address(host, ec);
    if (!ec) {
        endpoints.emplace_back(address, port);
    } else {
        tcp::resolver resolver(io);
        auto results = co_await resolver.async_resolve(host, std::to_string(port), redirect_error(use_awaitable, ec));
        if (ec) fail(IoKind::Other, "failed to lookup address information: " + ec.message());
        for (const auto& entry : results) endpoints.push_back(entry.endpoint());
        if (endpoints.empty()) fail(IoKind::InvalidInput, "could not resolve to any address");
    }
    asio::error_code last;
    for (const tcp::endpoint& endpoint : endpoints) {
        tcp::socket socket(io);
        co_await socket.async_connect(endpoint, redirect_error(use_awaitable, last));
        if (!last) {
            asio::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            co_return socket;
        }
    }
    throw IoFailure(io_error(last));
}

}  // namespace vantrel::net

#include "protocol/types.hpp"

namespace vantrel::protocol {

std::string ProtocolError::display() const {
    switch (kind) {
    case Kind::Io: return "IO error: " + io.text;
    case Kind::InvalidType: return "Invalid type: " + std::to_string(byte);
    case Kind::InvalidFieldType: break;
    }
    return "Invalid field type";
}

IoError ProtocolError::to_io() const {
    if (kind == Kind::Io) return io;
    return IoError::invalid_data(display());
}

void throw_eof() { throw ProtocolError::eof(); }
void throw_invalid_type(std::uint8_t byte) { throw ProtocolError::invalid_type(byte); }
void throw_invalid_field_type() { throw ProtocolError::invalid_field_type(); }
void throw_invalid_data(std::string text) { throw ProtocolError::invalid_data(std::move(text)); }
void throw_depth() { throw ProtocolError::invalid_data(std::string(depth_error)); }
void throw_negative_length(std::int64_t length) {
    throw ProtocolError::invalid_data("negative length " + std::to_string(length));
}

}  // namespace vantrel::protocol

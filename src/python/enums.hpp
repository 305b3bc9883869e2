// The wire protocol and framing settings, as Python enumeration classes whose
// members are one object each per process.
#pragma once

#include <cstdint>

#include "python/host.hpp"

namespace vantrel::py {

enum class ProtocolType : std::uint8_t { Binary = 0, Compact = 1, JSON = 2 };
enum class TransportType : std::uint8_t { Framed = 0, Buffered = 1 };

PyTypeObject* protocol_type_class();
PyTypeObject* transport_type_class();

// The member object for a native value (a new reference to the one object).
Ref to_python(ProtocolType value);
Ref to_python(TransportType value);

// The native value of a member; a TypeError naming the argument otherwise.
ProtocolType protocol_arg(const Arg& arg);
TransportType transport_arg(const Arg& arg);

}  // namespace vantrel::py

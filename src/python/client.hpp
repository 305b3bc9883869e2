// ThriftClient, the blocking RPC client.
#pragma once

#include "python/host.hpp"

namespace vantrel::py {

PyTypeObject* client_class();

}  // namespace vantrel::py

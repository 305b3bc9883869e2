// ThriftClient: blocking calls on one TCP connection, driven on a private
// single-threaded runtime while the interpreter lock is released.
#include "python/client.hpp"

#include <atomic>
#include <limits>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "python/frames.hpp"
#include "python/thrift_parser.hpp"
#include "python/transport.hpp"

namespace vantrel::py {

namespace {

using net::tcp;

// One open connection: the socket with a read and a write buffer over it.
struct Connection {
    tcp::socket socket;
    net::StreamReader reader;
    net::StreamWriter writer;

    explicit Connection(tcp::socket s) : socket(std::move(s)), reader(socket), writer(socket) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        asio::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);  // the peer sees the end of the stream
        socket.close(ignored);
    }
};

// Set while this thread runs a client's runtime: it cannot block on another.
thread_local bool driving_runtime = false;

struct ClientObject {
    asio::io_context io{1};
    std::mutex runtime_mutex;  // one thread drives the runtime at a time (a call, or an open's connect)
    std::string service_name;
    std::vector<std::shared_ptr<const schema::MethodRecord>> methods;
    std::unordered_map<std::string, std::size_t> method_index;
    std::string host;
    std::uint16_t port = 0;
    TransportType transport = TransportType::Framed;
    ProtocolType protocol = ProtocolType::Binary;
    std::size_t max_message_size = net::default_max_message_size;
    std::shared_ptr<const schema::StructMap> struct_map = std::make_shared<const schema::StructMap>();
    std::mutex connection_mutex;
    std::unique_ptr<Connection> connection;  // declared after `io`: closed before it goes
    std::atomic<std::uint32_t> next_seqid{0};
};

// Runs `body` to completion on the client's runtime, with the interpreter
// lock released by the caller. Failures come back as IoFailure.
template <class T>
T run(ClientObject& self, asio::awaitable<T> body) {
    std::lock_guard lock(self.runtime_mutex);
    std::optional<T> result;
    std::exception_ptr failure;
    // The lambda outlives the coroutine: run() returns only once it is done.
    auto keep = [&]() -> asio::awaitable<void> { result.emplace(co_await std::move(body)); };
    self.io.restart();
    asio::co_spawn(self.io, keep(), [&](std::exception_ptr e) { failure = e; });
    driving_runtime = true;
    self.io.run();
    driving_runtime = false;
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// Releases the interpreter lock for a scope.
class Unlocked {
  public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

  private:
    PyThreadState* state_;
};

// Waits for the connection lock without holding the interpreter lock, taking
// the two in the same order as a call does.
std::unique_lock<std::mutex> lock_connection(ClientObject& self) {
    std::unique_lock<std::mutex> lock(self.connection_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        Unlocked unlocked;
        lock.lock();
    }
    return lock;
}

std::unique_ptr<Connection> open_connection(ClientObject& self) {
    if (driving_runtime) raise(PyExc_RuntimeError, "cannot open a ThriftClient from inside a running runtime");
    std::optional<tcp::socket> socket;
    std::optional<protocol::IoError> failure;
    {
        Unlocked unlocked;
        try {
            socket.emplace(run(self, net::connect(self.io, self.host, self.port)));
        } catch (const net::IoFailure& e) {
            failure = e.error;
        } catch (const std::exception& e) {
            failure = protocol::IoError{protocol::IoKind::Other, e.what()};
        }
    }
    if (failure) raise(PyExc_OSError, "connect to " + self.host + ":" + std::to_string(self.port) + ": " + failure->text);
    return std::make_unique<Connection>(std::move(*socket));
}

// ------------------------------------------------------------ Python methods

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

constexpr Params<5> client_params{"ThriftClient()", {"service", "host", "port", "transport", "protocol"}, 3};

PyObject* client_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        auto [service, host, port, transport, protocol] = bind(client_params, args, kwargs);
        if (!is_instance<ServiceObject>(service.obj)) service.type_error("PyThriftService");
        std::string host_text(host.str());
        long long port_number = port.integer(0, 65535);
        TransportType transport_value = transport.obj ? transport_arg(transport) : TransportType::Framed;
        ProtocolType protocol_value = protocol.obj ? protocol_arg(protocol) : ProtocolType::Binary;

        Ref obj = make<ClientObject>();
        ClientObject& self = value_of<ClientObject>(obj.get());
        const schema::ServiceRecord& record = *value_of<ServiceObject>(service.obj).record;
        self.service_name = record.name;
        self.methods = record.methods;
        for (std::size_t i = 0; i < self.methods.size(); ++i) self.method_index[self.methods[i]->name] = i;
        self.host = std::move(host_text);
        self.port = std::uint16_t(port_number);
        self.transport = transport_value;
        self.protocol = protocol_value;
        return obj.release();
    });
}

constexpr Params<1> set_parser_params{"set_parser()", {"parser"}};
Ref set_parser(ClientObject& self, const CallArgs& call) {
    auto [parser] = bind(set_parser_params, call);
    if (!is_instance<ParserObject>(parser.obj)) parser.type_error("ThriftParser");
    self.struct_map = struct_map_of(value_of<ParserObject>(parser.obj));
    return none();
}

Ref open(ClientObject& self) {
    std::unique_ptr<Connection> fresh = open_connection(self);
    std::unique_ptr<Connection> old;
    {
        auto lock = lock_connection(self);
        old = std::exchange(self.connection, std::move(fresh));
    }
    return none();
}

Ref close(ClientObject& self) {
    std::unique_ptr<Connection> old;
    {
        auto lock = lock_connection(self);
        old = std::move(self.connection);
    }
    return none();
}

Ref is_open(ClientObject& self) {
    auto lock = lock_connection(self);
    return boolean(self.connection != nullptr);
}

PyObject* enter(PyObject* o, PyObject*) {
    return boundary<PyObject*>(nullptr, [&] {
        auto guard = use<ClientObject>(o, Use::Shared);
        open(value_of<ClientObject>(o));
        return Ref::borrow(o).release();
    });
}

constexpr Params<3> exit_params{"__exit__()", {"_exc_type", "_exc_value", "_traceback"}};
Ref exit(ClientObject& self, const CallArgs& call) {
    bind(exit_params, call);
    return close(self);
}

// What one exchange on the connection gives back.
struct Exchange {
    std::vector<std::uint8_t> reply;
    std::optional<protocol::IoError> failure;
    bool dropped = false;  // the connection was closed because the stream is out of step
    bool not_open = false;
};

asio::awaitable<net::Received> exchange(Connection& connection, const protocol::ByteBuffer& message,
                                        TransportType transport, ProtocolType protocol, bool oneway,
                                        std::size_t max_size) {
    co_await connection.writer.send(message.data(), message.size(), transport);
    if (oneway) co_return net::Received{};
    co_return co_await net::receive_message(connection.reader, transport, protocol, net::Side::Client, max_size);
}

// One send and (unless oneway) one receive, holding the connection lock. A
// failure part-way leaves the stream out of step with the calls, and a
// stream that ends where a reply was due means the peer has gone: either way
// the connection is dropped, so no later call can read this call's reply.
Exchange run_exchange(ClientObject& self, const protocol::ByteBuffer& message, TransportType transport,
                      ProtocolType protocol, bool oneway) {
    Exchange result;
    std::unique_ptr<Connection> dropped;  // closed after the lock is released
    std::lock_guard lock(self.connection_mutex);
    if (!self.connection) {
        result.not_open = true;
        return result;
    }
    try {
        net::Received received =
            run(self, exchange(*self.connection, message, transport, protocol, oneway, self.max_message_size));
        result.reply = std::move(received.bytes);
        result.dropped = received.end_of_stream;
    } catch (const net::IoFailure& e) {
        result.failure = e.error;
        result.dropped = true;
    } catch (const std::exception& e) {
        result.failure = protocol::IoError{protocol::IoKind::Other, e.what()};
        result.dropped = true;
    }
    if (result.dropped) dropped = std::move(self.connection);
    return result;
}

Ref call(ClientObject& self, PyObject* args, PyObject* kwargs);

PyObject* call_method(PyObject* o, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        auto guard = use<ClientObject>(o, Use::Shared);
        return call(value_of<ClientObject>(o), args, kwargs).release();
    });
}

Ref call(ClientObject& self, PyObject* args, PyObject* kwargs) {
    static constexpr Params<1> params{"call()", {"method_name"}};
    auto [method_name, arguments] = bind_leading(params, args, kwargs);
    std::string name(method_name.str());
    auto found = self.method_index.find(name);
    if (found == self.method_index.end()) raise(PyExc_ValueError, "Unknown method: " + name);
    const schema::MethodRecord& method = *self.methods[found->second];

    auto seqid = std::int32_t(self.next_seqid.fetch_add(1, std::memory_order_relaxed));
    auto type = method.oneway ? protocol::MessageType::Oneway : protocol::MessageType::Call;
    std::shared_ptr<const schema::StructMap> structs = self.struct_map;
    TransportType transport = self.transport;
    ProtocolType protocol = self.protocol;
    protocol::ByteBuffer message =
        build_call_frame(method, type, seqid, arguments.get(), structs.get(), protocol);

    if (driving_runtime) raise(PyExc_RuntimeError, "cannot call a ThriftClient from inside a running runtime");
    Exchange result;
    {
        Unlocked unlocked;
        result = run_exchange(self, message, transport, protocol, method.oneway);
    }
    if (result.not_open) raise(PyExc_OSError, "ThriftClient is not open; call client.open() first");
    if (result.failure) raise(PyExc_OSError, "I/O error: " + result.failure->text);
    if (method.oneway) return none();
    std::string_view reply(reinterpret_cast<const char*>(result.reply.data()), result.reply.size());
    return decode_reply_bytes(reply, method.return_type, method.exceptions, structs, protocol);
}

// ------------------------------------------------------------ properties

Ref get_transport(ClientObject& self) { return to_python(self.transport); }
Ref get_protocol(ClientObject& self) { return to_python(self.protocol); }
Ref get_max_message_size(ClientObject& self) { return own(PyLong_FromSize_t(self.max_message_size)); }

template <auto Set>
int setter(PyObject* o, PyObject* value, void* name) {
    return boundary<int>(-1, [&] {
        auto guard = use<ClientObject>(o, Use::Exclusive);
        if (!value) raise(PyExc_AttributeError, std::string("can't delete attribute '") + static_cast<const char*>(name) + "'");
        Set(value_of<ClientObject>(o), Arg{value, "ThriftClient", static_cast<const char*>(name)});
        return 0;
    });
}

void set_transport(ClientObject& self, const Arg& arg) { self.transport = transport_arg(arg); }
void set_protocol(ClientObject& self, const Arg& arg) { self.protocol = protocol_arg(arg); }
void set_max_message_size(ClientObject& self, const Arg& arg) {
    self.max_message_size = std::size_t(arg.integer(1, std::numeric_limits<long long>::max()));
}

PyGetSetDef client_getset[] = {
    {"transport", getter<&get_transport>, setter<&set_transport>, nullptr, const_cast<char*>("transport")},
    {"protocol", getter<&get_protocol>, setter<&set_protocol>, nullptr, const_cast<char*>("protocol")},
    {"max_message_size", getter<&get_max_message_size>, setter<&set_max_message_size>,
     const_cast<char*>("Largest reply, in bytes, that a call accepts; a larger one fails the call and drops the connection."),
     const_cast<char*>("max_message_size")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef client_methods[] = {
    {"set_parser", cfunc(&method<&set_parser, Use::Exclusive>), fastcall, "set_parser($self, parser)\n--\n\n"},
    {"open", cfunc(&method_noargs<&open>), METH_NOARGS, "open($self)\n--\n\n"},
    {"close", cfunc(&method_noargs<&close>), METH_NOARGS, "close($self)\n--\n\n"},
    {"is_open", cfunc(&method_noargs<&is_open>), METH_NOARGS, "is_open($self)\n--\n\n"},
    {"__enter__", cfunc(&enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", cfunc(&method<&exit>), fastcall, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"call", cfunc(&call_method), METH_VARARGS | METH_KEYWORDS, "call($self, method_name, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* client_class() {
    return define_type<ClientObject>({"ThriftClient",
                                      "ThriftClient(service, host, port, transport=..., protocol=...)\n--\n\n"
                                      "A blocking Thrift client whose socket I/O runs on a private async runtime.",
                                      {{Py_tp_new, reinterpret_cast<void*>(&client_new)},
                                       {Py_tp_methods, client_methods},
                                       {Py_tp_getset, client_getset}}});
}

}  // namespace vantrel::py

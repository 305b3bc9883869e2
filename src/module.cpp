// The module entry: multi-phase initialisation whose one execution step adds
// the classes in their fixed order.
#include "python/client.hpp"
#include "python/enums.hpp"
#include "python/frames.hpp"
#include "python/host.hpp"
#include "python/instance.hpp"
#include "python/schema.hpp"
#include "python/serialize.hpp"
#include "python/thrift_parser.hpp"

namespace {

using namespace vantrel::py;

struct ClassEntry {
    const char* name;
    PyTypeObject* (*create)();
};

constexpr ClassEntry classes[] = {
    {"ThriftParser", parser_class},
    {"BinaryProtocol", binary_protocol_class},
    {"ThriftStruct", struct_class},
    {"ThriftField", field_class},
    {"ThriftStructInstance", instance_class},
    {"PyThriftService", service_class},
    {"PyThriftMethod", method_class},
    {"ProtocolType", protocol_type_class},
    {"CompactProtocol", compact_protocol_class},
    {"JSONProtocol", json_protocol_class},
    {"TransportType", transport_type_class},
    {"ThriftClient", client_class},
    {"ThriftApplicationException", application_exception_class},
};

int exec_module(PyObject* module) {
    return boundary<int>(-1, [&] {
        for (const ClassEntry& entry : classes) {
            PyTypeObject* type = entry.create();
            check(PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)));
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantrel",
    "A Python module implemented natively: Thrift IDL parsing, serialization and RPC.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vantrel() { return PyModuleDef_Init(&module_def); }

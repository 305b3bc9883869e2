// Turning one struct into bytes and back: the ThriftStruct methods and the
// BinaryProtocol, CompactProtocol and JSONProtocol classes.
#pragma once

#include "python/enums.hpp"
#include "python/host.hpp"
#include "python/schema.hpp"

namespace vantrel::py {

Ref serialize_struct(const schema::StructRecord& record, PyObject* data, ProtocolType protocol);
Ref deserialize_struct(const schema::StructRecord& record, PyObject* data, ProtocolType protocol);

// The JSON document forms, which have no streaming reader of their own.
Ref deserialize_json_struct(const schema::StructRecord& record, std::string_view data);

// Methods and call slot of ThriftStruct.
extern PyMethodDef struct_methods[];
PyObject* struct_call(PyObject* self, PyObject* args, PyObject* kwargs);

PyTypeObject* binary_protocol_class();
PyTypeObject* compact_protocol_class();
PyTypeObject* json_protocol_class();

}  // namespace vantrel::py

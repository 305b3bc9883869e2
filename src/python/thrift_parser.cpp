#include "python/thrift_parser.hpp"

#include "parser/parser.hpp"

namespace vantrel::py {
namespace {

const ast::ThriftDocument& document_of(ParserObject& self) {
    if (!self.document) raise(PyExc_ValueError, "No document parsed yet");
    return *self.document;
}

template <class Map>
Ref key_list(const Map& map) {
    Ref list = new_list(Py_ssize_t(map.size()));
    Py_ssize_t i = 0;
    for (const auto& entry : map) list_set(list, i++, str(entry.first));
    return list;
}

PyObject* parser_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0))
            raise(PyExc_TypeError, "ThriftParser() takes no arguments");
        return make<ParserObject>().release();
    });
}

constexpr Params<1> parse_params{"parse()", {"content"}};
Ref parse(ParserObject& self, const CallArgs& call) {
    auto [content] = bind(parse_params, call);
    std::string_view text = content.str();
    try {
        self.document = idl::parse_document(text);
    } catch (const ast::ParseError& error) {
        raise(PyExc_ValueError, "Parse error: " + error.display());
    }
    self.struct_map.reset();
    return none();
}

Ref list_structs(ParserObject& self) { return key_list(document_of(self).structs); }
Ref list_services(ParserObject& self) { return key_list(document_of(self).services); }
Ref list_enums(ParserObject& self) { return key_list(document_of(self).enums); }

Ref list_includes(ParserObject& self) {
    const auto& includes = document_of(self).includes;
    Ref list = new_list(Py_ssize_t(includes.size()));
    for (std::size_t i = 0; i < includes.size(); ++i) list_set(list, Py_ssize_t(i), str(includes[i]));
    return list;
}

Ref namespaces(ParserObject& self) {
    Ref dict = new_dict();
    for (const auto& [scope, name] : document_of(self).namespaces) dict_set(dict, str(scope), str(name));
    return dict;
}

constexpr Params<1> get_struct_params{"get_struct()", {"name"}};
Ref get_struct(ParserObject& self, const CallArgs& call) {
    auto [name] = bind(get_struct_params, call);
    std::string key(name.str());
    document_of(self);
    auto map = struct_map_of(self);
    auto found = map->find(key);
    if (found == map->end()) return none();
    return make<StructObject>(found->second);
}

constexpr Params<1> get_service_params{"get_service()", {"name"}};
Ref get_service(ParserObject& self, const CallArgs& call) {
    auto [name] = bind(get_service_params, call);
    std::string key(name.str());
    const auto& services = document_of(self).services;
    auto found = services.find(key);
    if (found == services.end()) return none();
    return make<ServiceObject>(std::make_shared<const schema::ServiceRecord>(schema::build_service(found->second)));
}

constexpr Params<1> get_enum_params{"get_enum()", {"name"}};
Ref get_enum(ParserObject& self, const CallArgs& call) {
    auto [name] = bind(get_enum_params, call);
    std::string key(name.str());
    const auto& enums = document_of(self).enums;
    auto found = enums.find(key);
    if (found == enums.end()) return none();
    Ref dict = new_dict();
    for (const auto& [member, value] : found->second.values) dict_set(dict, str(member), integer(value));
    return dict;
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef parser_methods[] = {
    {"parse", cfunc(&method<&parse, Use::Exclusive>), fastcall, "parse($self, content)\n--\n\n"},
    {"list_structs", cfunc(&method_noargs<&list_structs>), METH_NOARGS, "list_structs($self)\n--\n\n"},
    {"get_struct", cfunc(&method<&get_struct>), fastcall, "get_struct($self, name)\n--\n\n"},
    {"list_services", cfunc(&method_noargs<&list_services>), METH_NOARGS, "list_services($self)\n--\n\n"},
    {"list_includes", cfunc(&method_noargs<&list_includes>), METH_NOARGS, "list_includes($self)\n--\n\n"},
    {"namespaces", cfunc(&method_noargs<&namespaces>), METH_NOARGS, "namespaces($self)\n--\n\n"},
    {"list_enums", cfunc(&method_noargs<&list_enums>), METH_NOARGS, "list_enums($self)\n--\n\n"},
    {"get_enum", cfunc(&method<&get_enum>), fastcall, "get_enum($self, name)\n--\n\n"},
    {"get_service", cfunc(&method<&get_service>), fastcall, "get_service($self, name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::shared_ptr<const schema::StructMap> struct_map_of(ParserObject& self) {
    if (!self.document) return std::make_shared<const schema::StructMap>();
    if (!self.struct_map) self.struct_map = schema::build_struct_map(*self.document);
    return self.struct_map;
}

PyTypeObject* parser_class() {
    return define_type<ParserObject>({"ThriftParser",
                                      "ThriftParser()\n--\n\n",
                                      {{Py_tp_new, reinterpret_cast<void*>(&parser_new)},
                                       {Py_tp_methods, parser_methods}}});
}

}  // namespace vantrel::py

#include "python/schema.hpp"

#include <string_view>

namespace vantrel::schema {
namespace {

std::unordered_map<std::int16_t, std::size_t> index_by_id(const std::vector<ast::ThriftField>& fields) {
    std::unordered_map<std::int16_t, std::size_t> index;
    for (std::size_t i = 0; i < fields.size(); ++i) index[fields[i].id] = i;
    return index;
}

StructRecord make_record(const ast::ThriftStruct& declared) {
    auto by_name = std::make_shared<FieldsByName>();
    auto names = std::make_shared<std::vector<std::string>>();
    for (const ast::ThriftField& field : declared.fields) {
        (*by_name)[field.name] = field;
        names->push_back(field.name);
    }
    return StructRecord{declared.name, declared.fields, index_by_id(declared.fields), nullptr, std::move(by_name),
                        std::move(names)};
}

// "idl/shared.thrift" -> "shared"; "common" -> "common".
std::string include_prefix(std::string_view path) {
    if (auto slash = path.rfind('/'); slash != std::string_view::npos) path.remove_prefix(slash + 1);
    constexpr std::string_view suffix = ".thrift";
    if (path.ends_with(suffix)) path.remove_suffix(suffix.size());
    return std::string(path);
}

}  // namespace

std::shared_ptr<const StructMap> build_struct_map(const ast::ThriftDocument& document) {
    auto inner = std::make_shared<StructMap>();
    for (const auto& [name, declared] : document.structs)
        inner->emplace(name, std::make_shared<const StructRecord>(make_record(declared)));

    // Aliases come from the declared names only, never from other aliases.
    const StructMap declared = *inner;
    for (const std::string& path : document.includes) {
        std::string prefix = include_prefix(path);
        for (const auto& [name, record] : declared) inner->try_emplace(prefix + "." + name, record);
    }

    auto result = std::make_shared<StructMap>();
    std::shared_ptr<const StructMap> frozen = inner;
    for (const auto& [key, record] : *frozen) {
        auto linked = std::make_shared<StructRecord>(*record);
        linked->struct_map = frozen;
        result->emplace(key, std::move(linked));
    }
    return result;
}

ServiceRecord build_service(const ast::ThriftService& service) {
    ServiceRecord record{service.name, {}};
    for (const ast::ThriftMethod& method : service.methods) {
        record.methods.push_back(std::make_shared<const MethodRecord>(
            MethodRecord{method.name, method.arguments, method.exceptions, method.return_type,
                         index_by_id(method.arguments), method.oneway}));
    }
    return record;
}

}  // namespace vantrel::schema

namespace vantrel::py {
namespace {

Ref field_list(const std::vector<ast::ThriftField>& fields) {
    Ref list = new_list(Py_ssize_t(fields.size()));
    for (std::size_t i = 0; i < fields.size(); ++i) list_set(list, Py_ssize_t(i), make<FieldObject>(fields[i]));
    return list;
}

template <class T, class Render>
std::string join(const std::vector<T>& items, Render render) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        out += render(items[i]);
    }
    return out + "]";
}

// ThriftField

Ref field_id(FieldObject& self) { return integer(self.field.id); }
Ref field_name(FieldObject& self) { return str(self.field.name); }
Ref field_required(FieldObject& self) { return boolean(self.field.required); }
Ref field_repr(FieldObject& self) {
    return str("ThriftField(id=" + std::to_string(self.field.id) + ", name=" + ast::quote(self.field.name) +
               ", required=" + (self.field.required ? "true" : "false") +
               ", field_type=" + ast::render(self.field.field_type) + ")");
}

PyGetSetDef field_getset[] = {
    {"id", getter<&field_id>, nullptr, nullptr, nullptr},
    {"name", getter<&field_name>, nullptr, nullptr, nullptr},
    {"required", getter<&field_required>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ThriftStruct

Ref struct_name(StructObject& self) { return str(self.record->name); }
Ref struct_fields(StructObject& self) { return field_list(self.record->fields); }
Ref struct_repr(StructObject& self) {
    return str("ThriftStruct(name=" + ast::quote(self.record->name) + ", fields=" +
               join(self.record->fields, [](const ast::ThriftField& f) { return ast::render(f); }) + ")");
}

PyGetSetDef struct_getset[] = {
    {"name", getter<&struct_name>, nullptr, nullptr, nullptr},
    {"fields", getter<&struct_fields>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// PyThriftMethod

Ref method_name(MethodObject& self) { return str(self.record->name); }
Ref method_arguments(MethodObject& self) { return field_list(self.record->arguments); }
Ref method_exceptions(MethodObject& self) { return field_list(self.record->exceptions); }
Ref method_oneway(MethodObject& self) { return boolean(self.record->oneway); }
Ref method_repr(MethodObject& self) {
    return str("ThriftMethod(name=" + ast::quote(self.record->name) +
               ", return_type=" + ast::render(self.record->return_type) + ")");
}

PyGetSetDef method_getset[] = {
    {"name", getter<&method_name>, nullptr, nullptr, nullptr},
    {"arguments", getter<&method_arguments>, nullptr, nullptr, nullptr},
    {"exceptions", getter<&method_exceptions>, nullptr, nullptr, nullptr},
    {"oneway", getter<&method_oneway>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// PyThriftService

Ref service_name(ServiceObject& self) { return str(self.record->name); }
Ref service_methods(ServiceObject& self) {
    const auto& methods = self.record->methods;
    Ref list = new_list(Py_ssize_t(methods.size()));
    for (std::size_t i = 0; i < methods.size(); ++i) list_set(list, Py_ssize_t(i), make<MethodObject>(methods[i]));
    return list;
}
Ref service_repr(ServiceObject& self) {
    return str("ThriftService(name=" + ast::quote(self.record->name) + ", methods=" +
               join(self.record->methods, [](const auto& m) { return ast::quote(m->name); }) + ")");
}

constexpr Params<1> get_method_params{"get_method()", {"name"}};
Ref service_get_method(ServiceObject& self, const CallArgs& call) {
    auto [name] = bind(get_method_params, call);
    std::string_view wanted = name.str();
    for (const auto& method : self.record->methods)
        if (method->name == wanted) return make<MethodObject>(method);
    return none();
}

PyGetSetDef service_getset[] = {
    {"name", getter<&service_name>, nullptr, nullptr, nullptr},
    {"methods", getter<&service_methods>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef service_methods_table[] = {
    {"get_method", cfunc(&method<&service_get_method>), METH_FASTCALL | METH_KEYWORDS,
     "get_method($self, name)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* field_class() {
    return define_type<FieldObject>({"ThriftField",
                                     nullptr,
                                     {{Py_tp_getset, field_getset},
                                      {Py_tp_repr, reinterpret_cast<void*>(&unary<&field_repr>)}}});
}

PyTypeObject* struct_class() {
    return define_type<StructObject>({"ThriftStruct",
                                      nullptr,
                                      {{Py_tp_getset, struct_getset},
                                       {Py_tp_repr, reinterpret_cast<void*>(&unary<&struct_repr>)}}});
}

PyTypeObject* method_class() {
    return define_type<MethodObject>({"PyThriftMethod",
                                      nullptr,
                                      {{Py_tp_getset, method_getset},
                                       {Py_tp_repr, reinterpret_cast<void*>(&unary<&method_repr>)}}});
}

PyTypeObject* service_class() {
    return define_type<ServiceObject>({"PyThriftService",
                                       nullptr,
                                       {{Py_tp_getset, service_getset},
                                        {Py_tp_methods, service_methods_table},
                                        {Py_tp_repr, reinterpret_cast<void*>(&unary<&service_repr>)}}});
}

}  // namespace vantrel::py

#include "python/schema.hpp"

#include "python/serialize.hpp"

#include <string_view>

namespace vantrel::schema {
namespace {

std::unordered_map<std::int16_t, std::size_t> index_by_id(const std::vector<ast::ThriftField>& fields) {
    std::unordered_map<std::int16_t, std::size_t> index;
    for (std::size_t i = 0; i < fields.size(); ++i) index[fields[i].id] = i;
    return index;
}

StructRecord make_record(const ast::ThriftStruct& declared) {
    auto defaults = std::make_shared<ast::FieldMap>();
    for (const ast::ThriftField& field : declared.fields)
        if (field.default_value) defaults->set(field.name, *field.default_value);
    StructRecord record{declared.name, declared.fields, index_by_id(declared.fields), nullptr,
                        FieldLayout::typed(declared.fields), std::move(defaults), {}};
    constexpr std::size_t small_limit = 256;
    for (std::size_t i = 0; i < declared.fields.size(); ++i) {
        std::int16_t id = declared.fields[i].id;
        if (id < 0 || std::size_t(id) >= small_limit) continue;
        if (record.small_ids.size() <= std::size_t(id)) record.small_ids.resize(std::size_t(id) + 1, -1);
        record.small_ids[std::size_t(id)] = int(i);
    }
    return record;
}

// "idl/shared.thrift" -> "shared"; "common" -> "common".
std::string include_prefix(std::string_view path) {
    if (auto slash = path.rfind('/'); slash != std::string_view::npos) path.remove_prefix(slash + 1);
    constexpr std::string_view suffix = ".thrift";
    if (path.ends_with(suffix)) path.remove_suffix(suffix.size());
    return std::string(path);
}

}  // namespace

namespace {

std::shared_ptr<FieldLayout> layout_of_names(std::vector<std::string> names) {
    auto layout = std::make_shared<FieldLayout>();
    layout->field_names = std::move(names);
    std::unordered_map<std::string_view, std::uint32_t> seen;
    for (const std::string& name : layout->field_names) {
        auto [it, fresh] = seen.try_emplace(name, std::uint32_t(layout->slot_names.size()));
        if (fresh) layout->slot_names.push_back(name);
        layout->slot_of_field.push_back(it->second);
    }
    for (const std::string& name : layout->slot_names) {
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
        if (!text) throw py::Error{};
        PyUnicode_InternInPlace(&text);
        layout->py_names.emplace_back(py::Ref::steal(text));
    }
    // Views into slot_names, which no longer changes.
    for (std::uint32_t slot = 0; slot < layout->slot_names.size(); ++slot)
        layout->slot_by_text.emplace(layout->slot_names[slot], slot);
    return layout;
}

}  // namespace

std::shared_ptr<const FieldLayout> FieldLayout::typed(const std::vector<ast::ThriftField>& fields) {
    std::vector<std::string> names;
    names.reserve(fields.size());
    for (const ast::ThriftField& field : fields) names.push_back(field.name);
    auto layout = layout_of_names(std::move(names));
    layout->declared = fields;
    layout->slot_field.resize(layout->slot_names.size());
    layout->slot_first_id.assign(layout->slot_names.size(), 0);
    for (std::size_t i = fields.size(); i-- > 0;) layout->slot_first_id[layout->slot_of_field[i]] = fields[i].id;
    for (std::size_t i = 0; i < fields.size(); ++i) layout->slot_field[layout->slot_of_field[i]] = fields[i];
    return layout;
}

std::shared_ptr<const FieldLayout> FieldLayout::untyped(std::vector<std::string> names) {
    return layout_of_names(std::move(names));
}

int FieldLayout::slot_of(PyObject* name) const {
    for (std::size_t slot = 0; slot < py_names.size(); ++slot)
        if (py_names[slot].get() == name) return int(slot);
    if (!PyUnicode_Check(name)) return -1;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (!text) {
        PyErr_Clear();  // a name that has no UTF-8 form names no field
        return -1;
    }
    return slot_of(std::string_view(text, std::size_t(size)));
}

int FieldLayout::slot_of(std::string_view name) const {
    auto found = slot_by_text.find(name);
    return found == slot_by_text.end() ? -1 : int(found->second);
}

std::shared_ptr<const StructRecord> find_struct(const StructMap* map, std::string_view name) {
    if (!map) return nullptr;
    auto found = map->find(name);
    return found == map->end() ? nullptr : found->second;
}

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
        auto linked = std::make_shared<StructRecord>(*record);  // shares the layout
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
                         index_by_id(method.arguments), method.oneway, FieldLayout::typed(method.arguments)}));
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
                                       {Py_tp_methods, struct_methods},
                                       {Py_tp_call, reinterpret_cast<void*>(&struct_call)},
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

// One declaration per attribute of a host class: name, doc, getter and (for
// an assignable one) setter, all from the native field they expose.
//
//     py::attribute<&PPPTriplet::place>("place", "doc")
//     py::read_only<&SealedRecord::hash>("hash", "doc")
//
// A getter takes a shared borrow for the read; a setter converts the new
// value first and only then takes the exclusive borrow, so a failed
// assignment changes nothing. The setter gets the attribute's name as its
// closure, for its messages.
#pragma once

#include "module/conversion.h"
#include "module/heap_type.h"

namespace vorm_zel::py {

template <class Member>
struct FieldOf;
template <class Native, class T>
struct FieldOf<T Native::*> {
    using Class = Native;
    using Type = T;
};

template <auto Field>
PyObject* get_field(PyObject* self, void*) noexcept {
    using Native = typename FieldOf<decltype(Field)>::Class;
    return object_entry([&]() -> Result<Ref> {
        Instance<Native>& instance = instance_of<Native>(self);
        VZ_TRY_ASSIGN(const SharedBorrow borrow, SharedBorrow::take(instance.borrow_flag));
        return to_host(instance.value.*Field);
    });
}

template <auto Field>
int set_field(PyObject* self, PyObject* value, void* closure) noexcept {
    using Native = typename FieldOf<decltype(Field)>::Class;
    using Type = typename FieldOf<decltype(Field)>::Type;
    return status_entry([&]() -> Result<void> {
        if (value == nullptr) {
            return Error::raise_new(PyExc_AttributeError, "can't delete attribute");
        }
        VZ_TRY_ASSIGN(Type converted, convert<Type>(value, static_cast<const char*>(closure)));
        Instance<Native>& instance = instance_of<Native>(self);
        VZ_TRY_ASSIGN(const ExclusiveBorrow borrow, ExclusiveBorrow::take(instance.borrow_flag));
        instance.value.*Field = std::move(converted);
        return {};
    });
}

template <auto Field>
constexpr PyGetSetDef attribute(const char* name, const char* doc) noexcept {
    return {name, get_field<Field>, set_field<Field>, doc, const_cast<char*>(name)};
}

template <auto Field>
constexpr PyGetSetDef read_only(const char* name, const char* doc) noexcept {
    return {name, get_field<Field>, nullptr, doc, nullptr};
}

}  // namespace vorm_zel::py

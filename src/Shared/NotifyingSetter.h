#pragma once

#include <utility>

// Sets a published field and announces it, only when the value differs: an unchanged value costs the views
// no redraw. `beforeNotify` runs between the two, for a store that writes the new value through before
// anything reacts to it. Returns whether the field changed.
template <typename Object, typename Field, typename Value, typename BeforeNotify>
bool setAndNotify(Object *object, void (Object::*changed)(), Field &field, Value &&value,
                  BeforeNotify beforeNotify)
{
    if (field == value)
        return false;
    field = std::forward<Value>(value);
    beforeNotify();
    emit(object->*changed)();
    return true;
}

template <typename Object, typename Field, typename Value>
bool setAndNotify(Object *object, void (Object::*changed)(), Field &field, Value &&value)
{
    return setAndNotify(object, changed, field, std::forward<Value>(value), [] {});
}

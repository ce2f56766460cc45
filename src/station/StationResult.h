#pragma once

#include "station/StationError.h"

#include <functional>
#include <utility>
#include <variant>

// What the station's parts give back: the value asked for, or the StationError that says why not.
template <typename T> class StationResult
{
public:
    StationResult(T value) : m_value(std::in_place_index<0>, std::move(value)) {}
    StationResult(StationError error) : m_value(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_value.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const { return std::get<0>(m_value); }
    T& value() { return std::get<0>(m_value); }
    const T& operator*() const { return value(); }
    const T* operator->() const { return &value(); }
    const StationError& error() const { return std::get<1>(m_value); }

private:
    std::variant<T, StationError> m_value;
};

// Where a result that comes later goes (the history's reads, done on its own threads).
template <typename T> using StationReply = std::function<void(const StationResult<T>&)>;

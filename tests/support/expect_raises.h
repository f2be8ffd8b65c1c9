#pragma once
// Checking that an action fails with an error of a given kind.
#include <gtest/gtest.h>

#include <source_location>
#include <string>
#include <type_traits>
#include <utility>

#include "db/db_error.h"
#include "platform/dira_error.h"

namespace kdv::testing {

// What ExpectRaises hands back when nothing was raised: an error with a text
// no test expects, so the checks that follow fail as well instead of reading
// an error that does not exist.
template <typename E>
E NothingRaised() {
    constexpr const char* kText = "(nothing raised)";
    if constexpr (std::is_constructible_v<E, TErrorKind, std::string>) {
        return E(TErrorKind::ekOther, kText);
    } else if constexpr (std::is_constructible_v<E, std::string>) {
        return E(kText);
    } else {
        return E::Layer(0, kText);
    }
}

// Runs action and returns the E it raises; the test fails at the caller's
// line when it raises none. Other exceptions pass through and fail the test.
template <typename E = EDiraError, typename Action>
E ExpectRaises(Action&& action, std::source_location where = std::source_location::current()) {
    try {
        std::forward<Action>(action)();
    } catch (const E& error) {
        return error;
    }
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line())) << "no error raised";
    return NothingRaised<E>();
}

}  // namespace kdv::testing

#pragma once
// Failures are exceptions that carry a German message text; every layer
// raises a type derived from this one so a job boundary can catch them all.
#include <stdexcept>
#include <string>

namespace kdv {

class EDiraError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kdv

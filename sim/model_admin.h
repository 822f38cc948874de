// The virtual reader's administration state.
#pragma once

#include <map>
#include <string>

namespace qdsim::detail {

struct AdminModel {
    // The parameter store: names and their string values.
    std::map<std::string, std::string> params;
};

}  // namespace qdsim::detail

#include "reader_model.h"

#include <cstdlib>
#include <cstring>

namespace qdsim::detail {

void set_string(char*& field, const std::string& value)
{
    std::free(field);
    field = strdup(value.c_str());
}

}  // namespace qdsim::detail

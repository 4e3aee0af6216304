#include "zorvan/version.hpp"

namespace zorvan {

const char* package_version() {
    return ZORVAN_VERSION;
}

}  // namespace zorvan

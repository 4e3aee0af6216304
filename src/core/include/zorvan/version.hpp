// The package version, as pyproject.toml gives it at build time.
#pragma once

namespace zorvan {

const char* package_version();

}  // namespace zorvan

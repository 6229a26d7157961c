// Turning a manifest (and the tree it names) into archive bytes.
#pragma once

#include <string>
#include <vector>

#include "manifest.h"

namespace kpk {

// Builds a single-package archive. False with a one-line reason in *error.
bool build_package(const Manifest& manifest, std::string* archive, std::string* error);
// Builds a bundle archive from a bundle manifest and member archives (whole files).
bool build_bundle(const Manifest& manifest, const std::vector<std::string>& members,
                  std::string* archive, std::string* error);
// Reads a whole file. False with a reason when it cannot be read.
bool read_file(const std::string& path, std::string* data, std::string* error);

}  // namespace kpk

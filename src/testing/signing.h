// Signing for tests: package parts signed with the development key of the trust directory,
// exactly as `kpk sign` signs them.
#pragma once

#include <string>

#include "archive_writer.h"

// The parts of one package (as kpk::package_parts gives them) followed by their signature part.
std::string signed_parts(const std::string& parts);
// A whole single-package archive, signed.
std::string signed_archive(const kpk::PackageSpec& spec, bool plain = false);

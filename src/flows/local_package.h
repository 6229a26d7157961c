// A package archive found on a local medium, with the menu's selection mark.
#pragma once

#include "archive/package.h"

struct LocalPackage : PackageFile {
  bool selected = false;
};

#include "system/root.h"

namespace {
std::string& prefix_storage() {
  static std::string* prefix = new std::string();  // lives until exit, never destroyed
  return *prefix;
}
}  // namespace

void set_root_prefix(std::string prefix) {
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (prefix == "/") prefix.clear();
  prefix_storage() = std::move(prefix);
}

const std::string& root_prefix() { return prefix_storage(); }

std::string root_path(std::string_view path) {
  const std::string& prefix = prefix_storage();
  if (prefix.empty() || path.empty() || path.front() != '/') return std::string(path);
  std::string result;
  result.reserve(prefix.size() + path.size());
  result += prefix;
  result += path;
  return result;
}

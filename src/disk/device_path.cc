#include "disk/device_path.h"

bool valid_device_path(const std::string& device) {
  if (device.compare(0, 5, "/dev/") != 0 || device.size() == 5) return false;
  if (device.find('\0') != std::string::npos) return false;
  size_t start = 5;
  for (;;) {
    size_t end = device.find('/', start);
    std::string part = device.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string partition_path(const std::string& device, unsigned number) {
  bool digit = !device.empty() && device.back() >= '0' && device.back() <= '9';
  return device + (digit ? "p" : "") + std::to_string(number);
}

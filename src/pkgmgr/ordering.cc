#include "pkgmgr/ordering.h"

#include "pkgmgr/messages.h"
#include "pkgmgr/version.h"

namespace {
bool same_package(const PackageInfo& a, const PackageInfo& b) {
  return has_name(a, b.name) || has_name(b, a.name);
}
}  // namespace

std::vector<PackageInfo*> order_packages(const std::vector<PackageInfo*>& list, bool prefer_older,
                                         bool messages) {
  std::vector<bool> dropped(list.size(), false);
  for (size_t x = 0; x < list.size(); ++x) {
    for (size_t y = 0; y < list.size(); ++y) {
      // An entry already dropped no longer counts, so that of equal entries one stays.
      if (y == x || dropped[y] || !same_package(*list[x], *list[y])) continue;
      int order = compare_packages(*list[y], *list[x]);
      if (order == (prefer_older ? -1 : 1)) {
        dropped[x] = true;
        if (messages)
          MessageChannel().warning(
              prefer_older ? "omitting package %s: older package is already provided"
                           : "omitting package %s: newer package is already provided",
              package_label(*list[x]).c_str());
        break;
      }
      if (order == 0 && !(list[x]->is_bundle && !list[y]->is_bundle)) {
        dropped[x] = true;
        break;
      }
    }
  }
  std::vector<PackageInfo*> ordered;
  for (size_t i = 0; i < list.size(); ++i) {
    if (dropped[i]) continue;
    PackageInfo* p = list[i];
    size_t at = 0;
    for (size_t e = ordered.size(); e > 0; --e) {
      if (depends_on(*p, *ordered[e - 1]) || excludes(*ordered[e - 1], *p)) {
        at = e;
        break;
      }
    }
    ordered.insert(ordered.begin() + long(at), p);
  }
  return ordered;
}

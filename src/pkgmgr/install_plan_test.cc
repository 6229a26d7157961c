#include "pkgmgr/install_plan.h"

#include <memory>
#include <sstream>

#include <gtest/gtest.h>

namespace {

// "name[:version] [d=dep,...] [p=provided,...] [c=conflict,...] [a=arch] [m=member;member]",
// a member written the same way with "/" instead of blanks.
std::unique_ptr<PackageInfo> parse(const std::string& text, char blank = ' ') {
  auto p = std::make_unique<PackageInfo>();
  std::istringstream words(text);
  std::string word;
  std::getline(words, word, blank);
  size_t colon = word.find(':');
  p->name = word.substr(0, colon);
  p->version = colon == std::string::npos ? 0x01006600 : std::stoul(word.substr(colon + 1), nullptr, 16);
  auto refs = [](const std::string& list) {
    std::vector<PackageRef> out;
    std::istringstream names(list);
    for (std::string n; std::getline(names, n, ',');) {
      size_t at = n.find('>');
      out.push_back(PackageRef{n.substr(0, at),
                               at == std::string::npos ? 0 : uint32_t(std::stoul(n.substr(at + 1), nullptr, 16)),
                               0, 0});
    }
    return out;
  };
  while (std::getline(words, word, blank)) {
    std::string value = word.substr(2);
    if (word[0] == 'd') p->depends = refs(value);
    if (word[0] == 'p') p->provides = refs(value);
    if (word[0] == 'c') p->conflicts = refs(value);
    if (word[0] == 'a') p->architecture = value;
    if (word[0] == 'm') {
      p->is_bundle = true;
      std::istringstream members(value);
      for (std::string m; std::getline(members, m, ';');) p->members.push_back(parse(m, '/'));
    }
  }
  return p;
}

// Install lists in their order, and what the plan refuses (labels, then the first reason).
TEST(InstallPlan, RefusesWhatTheRulesWouldRefuseOnAnEmptyTarget) {
  struct Case {
    std::vector<std::string> list;
    std::string refused;
    std::string first_reason;
  } cases[] = {
      {{"system", "dhcp d=system"}, "", ""},
      {{"dhcp d=system", "system"}, "dhcp-1.0",
       "can not install dhcp-1.0: system is not installed, but is required"},
      {{"system", "bigdep d=nosuch", "ppp d=system"}, "bigdep-1.0",
       "can not install bigdep-1.0: nosuch is not installed, but is required"},
      // A provider counts; a dependency on a version the provider does not reach does not.
      {{"openssl p=ssl", "vpn d=ssl"}, "", ""},
      {{"system:01006600", "new d=system>02000000"}, "new-1.0", ""},
      {{"a c=b", "b"}, "b-1.0", "can not install b-1.0: it conflicts with a-1.0"},
      {{"arm a=arm"}, "arm-1.0", "can not install arm-1.0: it is not made for i386, but for arm"},
      // A refused package provides nothing to those after it.
      {{"lib d=nosuch", "app d=lib"}, "lib-1.0 app-1.0", ""},
      // Bundle members count as installed for what follows; a bundle of refused members is
      // refused itself; its own relations are nobody's.
      {{"vpn d=nosuch m=ipsec;l2tp/d=ipsec", "tool d=l2tp"}, "", ""},
      {{"empty m=x/d=nosuch"}, "x-1.0 empty-1.0", ""},
      // A name already planned in the same or a newer version: installed either way.
      {{"system:02006600", "system:01006600", "system:02006600"}, "", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<PackageInfo>> owned;
    std::vector<const PackageInfo*> list;
    for (const auto& text : c.list) {
      owned.push_back(parse(text));
      list.push_back(owned.back().get());
    }
    std::vector<PlannedRefusal> refused = plan_fresh_installation(list);
    std::string labels;
    for (const auto& r : refused) labels += (labels.empty() ? "" : " ") + r.label;
    SCOPED_TRACE(c.list.front());
    EXPECT_EQ(labels, c.refused);
    if (!c.first_reason.empty() && !refused.empty()) {
      EXPECT_EQ(refused.front().reason, c.first_reason);
    }
  }
}

}  // namespace

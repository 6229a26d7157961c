// Installing archives through the package manager's rules: single packages, bundles and
// whole archive streams.
#include <set>

#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/journal.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/version.h"

namespace {

// Passes over the rest of a refused bundle member: to the next package header or the end.
void skip_member(PartReader& r) {
  while (r.current_type() != PackageHeader && r.current_type() != -1) r.next_part();
}

}  // namespace

std::string PackageManager::unreadable_label(const PackageInfo& p,
                                             const PackageRef* bundle) const {
  if (bundle) return requirement_label(*bundle);
  if (!p.name.empty()) return package_label(p);
  return archive_name_.empty() ? std::string("(unnamed package)") : archive_name_;
}

PackageOutcome PackageManager::install_package_from(PartReader& r, uint32_t flags,
                                                    const Choices& choices,
                                                    const PackageRef* bundle,
                                                    std::string* image_name) {
  auto p = std::make_unique<Package>();
  if (!read_package_info(*p, r)) {
    // Nothing else would tell the user that this archive was not installed.
    report_broken(unreadable_label(*p, bundle));
    if (bundle) {
      // The reader may still stand on this member's own header: move past it first.
      r.next_part();
      skip_member(r);
    }
    return {PackageOutcome::kFailed, nullptr};
  }
  if (p->has_image && image_name) *image_name = record_dir(*p);
  uint32_t found = evaluate(*p, bundle ? 0xFF : flags | kConflicts);
  auto choice = choices.find(p->name);
  if (choice != choices.end()) {
    p->disabled = choice->second;
    p->user_forced = true;
  } else {
    p->disabled = false;
  }
  if (found & kConflicts) {
    found &= ~uint32_t(kConflicts);
    p->disabled = true;  // a conflicting package is installed disabled
  }

  if ((found & ~flags) || (found & kReinstall)) {
    Package* present = nullptr;
    for (const auto& q : installed_) {
      if (same_name(q->name, p->name)) {
        present = q.get();
        break;
      }
    }
    bool same = (found & kReinstall) != 0;
    if (bundle) {
      // The bundle's own parts are signed by nobody: an installed package counts as its
      // member (and is adopted) only when its parts here prove genuine.
      if (same && !member_proves_genuine(r)) same = false;
      skip_member(r);
    } else {
      if (!((flags & kReinstall) && same)) return {PackageOutcome::kRefused, present};
      clear_progress();
      note("installed %s%s", p->disabled ? "(disabled) " : "", package_label(*p).c_str());
    }
    return {same ? PackageOutcome::kAlreadyInstalled : PackageOutcome::kRefused, present};
  }

  if (bundle) p->bundle = *bundle;
  // Everything changed for this package stays undoable until it proves genuine, also by the
  // next run if this one dies.
  Journal journal(*this, !r.is_plain());
  if (!r.is_plain()) {
    // Make room: the old version is set aside and the new package stands in for it while the
    // plan is made.
    for (const auto& q : installed_) {
      if (same_name(q->name, p->name)) {
        journal.set_aside(q.get());
        break;
      }
    }
    Package* candidate = p.get();
    installed_.push_back(std::move(p));
    shielded_ = candidate;
    journal_ = &journal;
    apply(1);
    journal_ = nullptr;
    shielded_ = nullptr;
    p = take_out(candidate);
  }
  Installation installation(*this, *p, r, Target::flash(), journal);
  if (!installation.run()) {
    if (bundle) skip_member(r);
    return {PackageOutcome::kFailed, nullptr};
  }
  Package* installed = p.get();
  installed_.push_back(std::move(p));
  apply(0);
  // The plan may have removed it again (a requirement still missing): then it is gone.
  if (!is_installed(installed)) return {PackageOutcome::kFailed, nullptr};
  return {PackageOutcome::kInstalled, installed};
}

InstallResult PackageManager::install_bundle(PartReader& r, uint32_t flags,
                                            const Choices& choices, std::string* image_name) {
  auto bundle = std::make_unique<Package>();
  if (!read_package_info(*bundle, r)) {
    report_broken(unreadable_label(*bundle, nullptr));
    return InstallResult::kBundleRefused;
  }
  if (r.current_type() == Image) r.next_part();
  if (bundle->has_image && image_name) *image_name = record_dir(*bundle);

  flags |= kReinstall;
  if (evaluate(*bundle, flags) & ~flags) return InstallResult::kBundleRefused;

  // A bundle's own parts are signed by nobody: the package it replaces is only set aside, and
  // deleted once a member has proved genuine.
  Journal journal(*this, true);
  bool replaces = false;
  for (const auto& q : installed_) {
    if (same_name(q->name, bundle->name)) {
      journal.set_aside(q.get());
      replaces = true;
      break;
    }
  }
  if (!journal.making_record(bundle->name)) {
    report_create_failure(display_label(*bundle), "meta", errno);
    return InstallResult::kFailed;
  }
  if (!register_package(*this, *bundle)) return InstallResult::kFailed;
  PackageRef ref{bundle->name, bundle->version, bundle->version, 0};
  std::set<std::string> old_members;
  for (const auto& q : installed_)
    if (same_name(q->bundle.name, ref.name)) old_members.insert(q->name);
  Package* own = bundle.get();
  installed_.push_back(std::move(bundle));
  std::vector<Package*> placeholders = add_content_placeholders(r, choices);

  BundleMembers members = install_members(r, flags, choices, ref, &old_members);
  if (members.installed == 0 && replaces) {
    // No member proved genuine: what the bundle was to replace stays as it was.
    for (Package* placeholder : placeholders) take_out(placeholder);
    // The members' plans may have uninstalled the bundle itself already.
    if (std::unique_ptr<Package> taken = take_out(own)) remove_record(*taken);
    journal.roll_back();
    return InstallResult::kNoMember;
  }
  journal.commit();
  for (const std::string& name : members.adopted) adopt(name, ref);
  if (members.installed + members.adopted.size() == 0) return InstallResult::kNoMember;
  for (const auto& q : installed_)
    if (old_members.count(q->name) && same_name(q->bundle.name, ref.name))
      q->pending = PendingAction::Uninstall;
  apply(0);
  clear_progress();
  note("installed %s", requirement_label(ref).c_str());
  return InstallResult::kInstalled;
}

std::vector<Package*> PackageManager::add_content_placeholders(PartReader& r,
                                                               const Choices& choices) {
  std::vector<Package*> placeholders;
  if (r.current_type() != BundleContents) return placeholders;
  std::vector<PackageRef> contents;
  read_ref_list(r, contents);
  for (const PackageRef& entry : contents) {
    if (choices.count(entry.name)) continue;
    // A stand-in that conflicts with the listed name, so that the member comes in disabled.
    auto placeholder = std::make_unique<Package>();
    placeholder->conflicts.push_back(PackageRef{entry.name, 0, 0, 0});
    placeholders.push_back(placeholder.get());
    installed_.push_back(std::move(placeholder));
  }
  r.next_part();
  return placeholders;
}

PackageManager::BundleMembers PackageManager::install_members(PartReader& r, uint32_t flags,
                                                              const Choices& choices,
                                                              const PackageRef& ref,
                                                              std::set<std::string>* old_members) {
  BundleMembers members;
  while (r.current_type() == PackageHeader) {
    PackageOutcome outcome = install_package_from(r, flags, choices, &ref, nullptr);
    Package* member = outcome.package;
    // Whatever version of it is installed, the bundle still carries it: no old member to drop.
    if (member) old_members->erase(member->name);
    if (outcome.kind == PackageOutcome::kInstalled) ++members.installed;
    // Installed on its own in exactly this version, it becomes a member (or the bundle would
    // have no member and be removed again at once). Another version of it, newer and refused
    // here, stays on its own.
    if (outcome.kind == PackageOutcome::kAlreadyInstalled && member)
      members.adopted.push_back(member->name);
  }
  return members;
}

void PackageManager::adopt(const std::string& name, const PackageRef& ref) {
  for (const auto& q : installed_) {
    if (!same_name(q->name, name)) continue;
    if (q->bundle.name.empty()) {
      q->bundle = ref;
      write_record(*q, *this);
    }
    return;
  }
}

InstallResult PackageManager::install_archive(std::istream& in, uint32_t flags,
                                              const Choices& choices,
                                              std::streambuf* copy_target,
                                              std::string* image_name) {
  PartReader r(in, true, copy_target);
  for (int32_t type : {PackageHeader, BundleHeader, BundleContents, Architecture, Depends,
                       Provides, Conflicts, Image, FileData, InstallScript, UninstallScript,
                       Signature})
    r.want(type);
  r.next_part();
  if (r.current_type() == BundleHeader) return install_bundle(r, flags, choices, image_name);
  PackageOutcome outcome = install_package_from(r, flags, choices, nullptr, image_name);
  bool installed = outcome.kind == PackageOutcome::kInstalled ||
                   outcome.kind == PackageOutcome::kAlreadyInstalled;
  return installed ? InstallResult::kInstalled : InstallResult::kFailed;
}

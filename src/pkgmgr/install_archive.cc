// Installing archives through the package manager's rules: single packages, bundles and
// whole archive streams. Each package is a transaction (pkgmgr/journal.h) that holds the
// plan before its installation, the installation and the plan after it, so that it is undone
// whole or kept whole; a bundle is one transaction with all its members.
#include <unistd.h>

#include <set>

#include "archive/package_walk.h"
#include "archive/part_reader.h"
#include "archive/part_type.h"
#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/journal.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/version.h"

std::string PackageManager::unreadable_label(const PackageInfo& p,
                                             const PackageRef* bundle) const {
  if (bundle) return requirement_label(*bundle);
  if (!p.name.empty()) return package_label(p);
  return archive_name_.empty() ? std::string("(unnamed package)") : archive_name_;
}

Package* PackageManager::installed_named(const std::string& name) const {
  for (const auto& q : installed_)
    if (same_name(q->name, name)) return q.get();
  return nullptr;
}

bool PackageManager::plan(int verbosity, Journal& transaction) {
  Journal* outer = journal_;
  journal_ = &transaction;
  plan_failed_ = plan_refused_ = false;
  apply(verbosity);
  journal_ = outer;
  return !plan_failed_ && !plan_refused_;
}

PackageOutcome PackageManager::install_package_from(PartReader& r, uint32_t flags,
                                                    const Choices& choices,
                                                    const PackageRef* bundle,
                                                    std::string* image_name,
                                                    Journal* bundle_transaction) {
  const uint32_t at = r.position();
  auto p = std::make_unique<Package>();
  const bool readable = read_package_info(*p, r);
  // A name the records cannot hold, or a member named as its own bundle, is refused as well.
  if (!readable || !valid_record_names(*p) || (bundle && same_name(p->name, bundle->name))) {
    // Nothing else would tell the user that this archive was not installed.
    report_broken(unreadable_label(*p, bundle));
    if (bundle) {
      // The reader may still stand on this member's own header: move past it first.
      if (!readable) r.next_part();
      skip_package(r);
    }
    return {PackageOutcome::kFailed, nullptr};
  }
  const std::string name = p->name;
  const WalkedPackage* verdict = walked_ ? walked_->at(at) : nullptr;
  const bool genuine = verdict && verdict->genuine();
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
    Package* present = installed_named(p->name);
    bool same = (found & kReinstall) != 0;
    if (bundle) {
      // A bundle's own parts are signed by nobody: an installed package counts as its member
      // only when this bundle installed it, and its parts here are genuine.
      same = same && genuine && present && same_name(present->bundle.name, bundle->name);
      skip_package(r);
    } else {
      if (!((flags & kReinstall) && same)) return {PackageOutcome::kRefused, present};
      if (!genuine) {
        report_broken(package_label(*p));
        return {PackageOutcome::kFailed, present};
      }
      clear_progress();
      note("installed %s%s", p->disabled ? "(disabled) " : "", package_label(*p).c_str());
    }
    return {same ? PackageOutcome::kAlreadyInstalled : PackageOutcome::kRefused, present};
  }

  if (bundle) p->bundle = *bundle;
  if (!genuine) {
    // Refused before anything is written.
    report_broken(display_label(*p));
    if (bundle) skip_package(r);
    return {PackageOutcome::kFailed, installed_named(name)};
  }

  // Everything changed for this package stays undoable until the transaction is committed,
  // also by the next run if this one dies.
  Journal own(*this, !r.is_plain());
  Journal& transaction = bundle_transaction ? *bundle_transaction : own;
  const Journal::Mark mark = transaction.mark();
  const std::string outer_label = label_;
  label_ = display_label(*p);
  bool ok = true;
  bool broke = false;  // a change could not be made: more than this package is in doubt
  if (!r.is_plain()) {
    // Make room: the old version is set aside and the new package stands in for it while the
    // plan is made.
    if (Package* old = installed_named(p->name)) broke = !transaction.set_aside(old, label_);
    if (!broke) {
      Package* candidate = p.get();
      installed_.push_back(std::move(p));
      shielded_ = candidate;
      ok = plan(1, transaction);
      broke = plan_failed_;
      shielded_ = nullptr;
      p = take_out(candidate);
    }
  }
  if (ok && !broke) {
    Installation installation(*this, *p, r, Target::flash(), transaction, verdict);
    broke = !installation.run();
  }
  Package* installed = nullptr;
  if (ok && !broke) {
    installed = p.get();
    installed_.push_back(std::move(p));
    // The plan may remove it again (a requirement still missing): then it is not installed.
    ok = plan(0, transaction) && is_installed(installed);
    broke = plan_failed_;
  }
  label_ = outer_label;
  if (!ok || broke) {
    // What cannot be undone here is left to the next run, and the transaction is over.
    if (!transaction.roll_back_to(mark)) broke = true;
    if (installed) take_out(installed);
    if (bundle) skip_package(r);
    return {broke ? PackageOutcome::kBroke : PackageOutcome::kFailed, installed_named(name)};
  }
  if (bundle_transaction) {
    to_finish_.push_back(installed->name);
  } else {
    // The new files are on the disk before the backups of what they replace are deleted.
    sync();
    own.commit();
    finish_package(*this, *installed);
  }
  return {PackageOutcome::kInstalled, installed};
}

InstallResult PackageManager::install_bundle(PartReader& r, uint32_t flags,
                                            const Choices& choices, std::string* image_name) {
  auto bundle = std::make_unique<Package>();
  if (!read_package_info(*bundle, r) || !valid_record_names(*bundle)) {
    report_broken(unreadable_label(*bundle, nullptr));
    return InstallResult::kBundleRefused;
  }
  if (r.current_type() == Image) r.next_part();
  if (bundle->has_image && image_name) *image_name = record_dir(*bundle);

  flags |= kReinstall;
  if (evaluate(*bundle, flags) & ~flags) return InstallResult::kBundleRefused;
  // The bundle's own relations are signed by nobody: they may refuse it (above), but they do
  // not reach the plan or the record, where they could disable, replace or enable packages
  // that are none of its members. The members' own relations are signed with them.
  bundle->depends.clear();
  bundle->provides.clear();
  bundle->conflicts.clear();

  const PackageRef ref{bundle->name, bundle->version, bundle->version, 0};
  const std::string label = requirement_label(ref);
  // The bundle's own parts are signed by nobody: without a genuine member it writes nothing
  // (its members still tell why each of them is not installed).
  const bool writes = walked_ && walked_->any_genuine();
  Journal transaction(*this, true);
  label_ = label;
  if (writes) {
    for (const auto& q : installed_) {
      if (same_name(q->name, bundle->name)) {
        if (!transaction.set_aside(q.get(), label)) {
          transaction.roll_back();
          return InstallResult::kFailed;
        }
        break;
      }
    }
    if (!register_package(*this, *bundle, transaction)) {
      transaction.roll_back();
      return InstallResult::kFailed;
    }
  }
  std::set<std::string> old_members;
  for (const auto& q : installed_)
    if (same_name(q->bundle.name, ref.name)) old_members.insert(q->name);
  Package* own = bundle.get();
  if (writes) installed_.push_back(std::move(bundle));

  std::vector<Package*> stand_ins = add_stand_ins(r, choices, ref);
  to_finish_.clear();
  BundleMembers members = install_members(r, flags, choices, ref, &old_members, transaction);
  label_ = label;
  bool ok = !members.broke && members.installed + members.carried > 0;
  if (ok) {
    for (const auto& q : installed_)
      if (old_members.count(q->name) && same_name(q->bundle.name, ref.name))
        q->pending = PendingAction::Uninstall;
    ok = plan(0, transaction);
  }
  label_.clear();
  for (Package* stand_in : stand_ins) take_out(stand_in);
  if (!ok) {
    take_out(own);
    transaction.roll_back();
    if (members.broke || members.installed + members.carried > 0)
      return InstallResult::kFailed;  // reported
    error("installation of %s failed: none of its packages could be installed", label.c_str());
    return InstallResult::kNoMember;
  }
  sync();
  transaction.commit();
  // The members' install scripts run once the whole bundle is in.
  for (const std::string& name : to_finish_)
    for (const auto& q : installed_)
      if (q->name == name && same_name(q->bundle.name, ref.name)) finish_package(*this, *q);
  to_finish_.clear();
  clear_progress();
  note("installed %s", label.c_str());
  return InstallResult::kInstalled;
}

std::vector<Package*> PackageManager::add_stand_ins(PartReader& r, const Choices& choices,
                                                    const PackageRef& ref) {
  std::vector<Package*> stand_ins;
  if (r.current_type() != BundleContents) return stand_ins;
  std::vector<PackageRef> contents;
  read_ref_list(r, contents);
  for (const PackageRef& entry : contents) {
    if (choices.count(entry.name)) continue;
    // A stand-in that conflicts with the listed name, so that the member comes in disabled.
    // It keeps out this bundle's own members only: the list is signed by nobody.
    auto stand_in = std::make_unique<Package>();
    stand_in->conflicts.push_back(PackageRef{entry.name, 0, 0, 0});
    stand_in->stand_in_of = ref.name;
    stand_ins.push_back(stand_in.get());
    installed_.push_back(std::move(stand_in));
  }
  r.next_part();
  return stand_ins;
}

PackageManager::BundleMembers PackageManager::install_members(PartReader& r, uint32_t flags,
                                                              const Choices& choices,
                                                              const PackageRef& ref,
                                                              std::set<std::string>* old_members,
                                                              Journal& transaction) {
  BundleMembers members;
  while (r.current_type() == PackageHeader) {
    PackageOutcome outcome =
        install_package_from(r, flags, choices, &ref, nullptr, &transaction);
    // Whatever version of it is installed, the bundle still names it, installed now or not (a
    // member refused by the rules, not genuine, or failed): no old member to drop.
    if (outcome.package) old_members->erase(outcome.package->name);
    if (outcome.kind == PackageOutcome::kInstalled) ++members.installed;
    if (outcome.kind == PackageOutcome::kAlreadyInstalled) ++members.carried;
    if (outcome.kind == PackageOutcome::kBroke) {
      // The disk failed under a member: the bundle comes back whole, as it was.
      members.broke = true;
      break;
    }
  }
  return members;
}

InstallResult PackageManager::install_archive(std::istream& in, uint32_t flags,
                                              const Choices& choices, std::string* image_name,
                                              const WalkedArchive& walked) {
  // The bytes were judged by the walk already: this reader need not hash them again.
  PartReader r(in, false);
  want_installation_parts(r, WalkMode::kImage);
  walked_ = &walked;
  r.next_part();
  InstallResult result;
  if (r.current_type() == BundleHeader) {
    result = install_bundle(r, flags, choices, image_name);
  } else {
    PackageOutcome outcome = install_package_from(r, flags, choices, nullptr, image_name);
    bool installed = outcome.kind == PackageOutcome::kInstalled ||
                     outcome.kind == PackageOutcome::kAlreadyInstalled;
    result = installed ? InstallResult::kInstalled : InstallResult::kFailed;
  }
  walked_ = nullptr;
  return result;
}

// The package manager's rules: evaluate() for a candidate, apply() for the installed list.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pkgmgr/database.h"
#include "pkgmgr/installation.h"
#include "pkgmgr/journal.h"
#include "pkgmgr/ordering.h"
#include "pkgmgr/package_manager.h"
#include "pkgmgr/version.h"

namespace {

bool active(const Package& p) {
  return p.pending == PendingAction::Enable || (p.pending == PendingAction::None && !p.disabled);
}

// Enabled with nothing pending, or disabled and about to be enabled.
bool will_be_enabled(const Package& p) {
  return (!p.disabled && p.pending == PendingAction::None) ||
         (p.disabled && p.pending == PendingAction::Enable);
}

bool provides(const Package& p, const PackageRef& r) { return satisfies(p, r) || provides_for(p, r); }

enum class Supply { Satisfied, Disable, Missing };

Supply classify(const std::vector<Package*>& providers) {
  for (Package* p : providers)
    if (will_be_enabled(*p)) return Supply::Satisfied;
  for (Package* p : providers) {
    if (p->disabled && p->pending != PendingAction::Enable) return Supply::Disable;
    if (!p->disabled && p->pending == PendingAction::Disable) return Supply::Disable;
  }
  return Supply::Missing;
}

}  // namespace

std::string PackageManager::owner_of(const std::string& path) const {
  for (const auto& package : installed_)
    if (package->files.count(path)) return package->name;
  return "";
}

bool PackageManager::is_installed(const Package* p) const {
  for (const auto& q : installed_)
    if (q.get() == p) return true;
  return false;
}

std::unique_ptr<Package> PackageManager::take_out(const Package* p, size_t* index) {
  for (auto it = installed_.begin(); it != installed_.end(); ++it) {
    if (it->get() == p) {
      if (index) *index = size_t(it - installed_.begin());
      std::unique_ptr<Package> out = std::move(*it);
      installed_.erase(it);
      return out;
    }
  }
  return nullptr;
}

void PackageManager::put_back(std::unique_ptr<Package> p, size_t index) {
  if (index > installed_.size()) index = installed_.size();
  installed_.insert(installed_.begin() + long(index), std::move(p));
}

uint32_t PackageManager::evaluate(const PackageInfo& candidate, uint32_t flags) {
  uint32_t result = 0;
  bool reported = false;
  std::string label = package_label(candidate);
  for (const auto& p : installed_) {
    if (!same_name(p->name, candidate.name)) continue;
    int order = compare_packages(candidate, *p);
    if (order < 0) {
      result |= kDowngrade;
      if (!(flags & kDowngrade)) {
        warning("omitting package %s: newer package %s is already installed", label.c_str(),
                package_label(*p).c_str());
        reported = true;
      }
    } else if (order > 0) {
      result |= kUpgrade;
    } else {
      result |= kReinstall;
      if (!(flags & kReinstall)) {
        warning("omitting package %s: it is already installed", label.c_str());
        reported = true;
      }
    }
    break;
  }
  if (!candidate.architecture.empty() && candidate.architecture != "i386") {
    result |= kRequirements;
    if (!reported && !(flags & kRequirements)) {
      error("can not install %s: it is not made for %s, but for %s", label.c_str(), "i386",
            candidate.architecture.c_str());
      reported = true;
    }
  }
  for (const PackageRef& d : candidate.depends) {
    bool found = false;
    for (const auto& p : installed_)
      if (!p->disabled && provides(*p, d)) found = true;
    if (found) continue;
    result |= kRequirements;
    if (!reported && !(flags & kRequirements)) {
      error("can not install %s: %s is not installed, but is required", label.c_str(),
            requirement_label(d).c_str());
      reported = true;
    }
    break;
  }
  for (const auto& p : installed_) {
    if (p->disabled || !excludes(*p, candidate)) continue;
    result |= kConflicts;
    if (!reported && !(flags & kConflicts))
      error("can not install %s: it conflicts with %s", label.c_str(), package_label(*p).c_str());
    break;
  }
  return result;
}

void PackageManager::schedule_uninstall(Package& p) {
  // The candidate of a preliminary plan is installed anyway; the plan after its
  // installation decides about it.
  if (&p != shielded_) p.pending = PendingAction::Uninstall;
}

void PackageManager::activate(Package& q, const Package& dependant, int verbosity) {
  if (q.pending == PendingAction::Uninstall || q.pending == PendingAction::Disable) {
    if (verbosity >= 1)
      warning("can not %s %s: %s depends on it",
              q.pending == PendingAction::Uninstall ? "uninstall" : "disable",
              package_label(q).c_str(), dependant.name.c_str());
    q.pending = PendingAction::None;
  } else if (q.disabled && q.pending != PendingAction::Enable) {
    q.pending = PendingAction::Enable;
  } else {
    return;
  }
  enable_requirements(q, verbosity);
}

void PackageManager::enable_requirements(Package& p, int verbosity) {
  if (!p.bundle.name.empty()) {
    for (const auto& b : installed_) {
      if (same_name(b->name, p.bundle.name)) {
        activate(*b, p, verbosity);
        break;
      }
    }
  }
  for (const PackageRef& d : p.depends) {
    std::vector<Package*> providers;
    for (const auto& q : installed_)
      if (provides(*q, d)) providers.push_back(q.get());
    if (classify(providers) == Supply::Satisfied) continue;
    if (providers.empty()) break;
    std::vector<Package*> ordered = order_packages_as(providers, false, false);
    if (!ordered.empty()) activate(*ordered.back(), p, verbosity);
  }
}

void PackageManager::pass_bundle_state_to_members() {
  for (const auto& m : installed_) {
    if (m->bundle.name.empty()) continue;
    for (const auto& b : installed_) {
      if (!same_name(b->name, m->bundle.name)) continue;
      if (b->pending == PendingAction::Disable && m->pending != PendingAction::Uninstall)
        m->pending = PendingAction::Disable;
      else if (b->pending == PendingAction::Uninstall)
        schedule_uninstall(*m);
      else if (b->pending == PendingAction::Enable && m->disabled)
        m->pending = PendingAction::Enable;
      break;
    }
  }
}

void PackageManager::enable_what_active_packages_need(int verbosity) {
  for (size_t i = 0; i < installed_.size(); ++i)
    if (active(*installed_[i])) enable_requirements(*installed_[i], verbosity);
}

void PackageManager::disable_what_active_packages_exclude(int verbosity) {
  for (size_t i = 0; i < installed_.size(); ++i) {
    Package& p = *installed_[i];
    if (!active(p)) continue;
    for (const auto& n : installed_) {
      if (n.get() == &p || !will_be_enabled(*n)) continue;
      if (keeps_out(p, *n)) {
        if (n->pending == PendingAction::None) n->pending = PendingAction::Disable;
      } else if (p.pending == PendingAction::Enable && keeps_out(*n, p)) {
        if (n->pending == PendingAction::None) {
          n->pending = PendingAction::Disable;
        } else if (n->pending == PendingAction::Enable) {
          p.pending = PendingAction::None;
          if (verbosity >= 1)
            warning("can not enable %s: %s conflicts with it", p.name.c_str(),
                    package_label(*n).c_str());
          break;
        }
      }
    }
  }
}

void PackageManager::drop_what_lost_its_requirements() {
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t i = 0; i < installed_.size() && !changed; ++i) {
      Package& p = *installed_[i];
      for (const PackageRef& d : p.depends) {
        std::vector<Package*> providers;
        for (const auto& q : installed_)
          if (provides(*q, d)) providers.push_back(q.get());
        Supply supply = classify(providers);
        if (supply == Supply::Missing && p.pending != PendingAction::Uninstall) {
          schedule_uninstall(p);
          changed = p.pending == PendingAction::Uninstall;
        } else if (supply == Supply::Disable && p.pending != PendingAction::Uninstall &&
                   p.pending != PendingAction::Disable &&
                   !(p.disabled && p.pending == PendingAction::None)) {
          p.pending = PendingAction::Disable;
          changed = true;
        }
        if (changed) break;
      }
    }
  }
}

void PackageManager::let_bundles_follow_their_members() {
  for (const auto& b : installed_) {
    if (!b->is_bundle || b->pending == PendingAction::Uninstall) continue;
    bool enabled_member = false, disabled_member = false;
    for (const auto& m : installed_) {
      if (!same_name(m->bundle.name, b->name) || m->bundle.name.empty()) continue;
      if (will_be_enabled(*m)) enabled_member = true;
      else if (m->pending == PendingAction::Disable ||
               (m->disabled && m->pending == PendingAction::None))
        disabled_member = true;
    }
    if (enabled_member) continue;
    if (disabled_member) {
      if (!b->disabled)
        b->pending = PendingAction::Disable;
      else if (b->pending == PendingAction::Enable)
        b->pending = PendingAction::None;
    } else {
      schedule_uninstall(*b);
    }
  }
}

bool PackageManager::keep_something_active(int verbosity) {
  if (installed_.empty() || std::any_of(installed_.begin(), installed_.end(),
                                        [](const auto& p) { return active(*p); }))
    return true;
  for (const auto& p : installed_) p->pending = PendingAction::None;
  if (verbosity >= 1) error("can not uninstall or disable all packages");
  plan_refused_ = true;
  return false;
}

bool PackageManager::perform_plan(int verbosity) {
  // Removals and disablings in reverse dependency order, enablings in dependency order.
  std::vector<Package*> going, coming;
  for (const auto& p : installed_) {
    if (p->pending == PendingAction::Uninstall || p->pending == PendingAction::Disable)
      going.push_back(p.get());
    else if (p->pending == PendingAction::Enable)
      coming.push_back(p.get());
  }
  going = order_packages_as(going, false, false);
  std::reverse(going.begin(), going.end());
  coming = order_packages_as(coming, false, false);

  // A change that cannot be made ends the plan: the transaction it belongs to is undone.
  for (Package* p : going) {
    std::string label = package_label(*p);
    if (p->pending == PendingAction::Uninstall) {
      if (verbosity >= 2) show_progress("uninstalling " + label + "...");
      bool removed;
      if (journal_) {
        removed = journal_->set_aside(p, label_.empty() ? label : label_);
      } else {
        // Set aside and deleted at once: a run that dies midway leaves the package whole.
        Journal removal(*this, true);
        removed = removal.set_aside(p, label) && removal.commit();
      }
      if (!removed) {
        plan_failed_ = true;
        return true;
      }
      if (verbosity >= 2) note("uninstalled %s", label.c_str());
    } else {
      if (verbosity >= 1) {
        show_progress("disabling " + label + "...");
        note("disabled %s", label.c_str());
      }
      if (!change_state(*p, true)) return true;
    }
  }
  for (Package* p : coming) {
    std::string label = package_label(*p);
    if (verbosity >= 1) {
      show_progress("enabling " + label + "...");
      note("enabled %s", label.c_str());
    }
    if (!change_state(*p, false)) return true;
  }
  return !going.empty() || !coming.empty();
}

bool PackageManager::keeps_out(const Package& a, const Package& b) const {
  if (!a.stand_in_of.empty() && !same_name(b.bundle.name, a.stand_in_of)) return false;
  return excludes(a, b);
}

bool PackageManager::change_state(Package& p, bool disable) {
  // A stand-in has no record: its state lives in memory only.
  if (!p.stand_in_of.empty()) return disable ? mark_disabled(p) : mark_enabled(p);
  if (journal_ && &p != shielded_ && !journal_->state_changing(p)) {
    error("could not %s %s: %s", disable ? "disable" : "enable", package_label(p).c_str(),
          strerror(errno));
    plan_failed_ = true;
    return false;
  }
  if (disable ? mark_disabled(p) : mark_enabled(p)) return true;
  error("could not %s %s: %s", disable ? "disable" : "enable", package_label(p).c_str(),
        strerror(errno));
  plan_failed_ = true;
  return false;
}

bool PackageManager::apply(int verbosity) {
  pass_bundle_state_to_members();
  enable_what_active_packages_need(verbosity);
  disable_what_active_packages_exclude(verbosity);
  drop_what_lost_its_requirements();
  let_bundles_follow_their_members();
  if (!keep_something_active(verbosity)) return false;
  return perform_plan(verbosity);
}

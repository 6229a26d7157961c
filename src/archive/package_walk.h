// One walk of an archive's parts, the one every reader of whole archives follows: which parts
// an installation reads, in which order it takes the parts of one package, what makes a
// package genuine, and how a package that is not installed is passed over.
//
// The installation child walks an archive twice with it: once to decide, package by package,
// what is genuine (nothing written), then to install what is. The hard-disk flow's check of
// the archives it holds in memory and kpk verify take the first walk alone.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "archive/package.h"

class PartReader;

// Which parts a reader stops at: kImage the full installation of a package or bundle,
// kSinglePackage only the header, the file data and the signature.
enum class WalkMode { kImage, kSinglePackage };
// Adds the part types of mode to a reader that has not moved yet.
void want_installation_parts(PartReader& r, WalkMode mode);

// How a package proved genuine.
enum class Proof { kNone, kSigned, kTrustedDigest };

// What is done with the parts of one package that come after its metadata. Each call finds the
// reader on that part with nothing of its body consumed; false stops the walk (the handler
// has reported why). A handler that does nothing leaves the part to be passed over.
class PackageParts {
 public:
  virtual ~PackageParts() = default;
  virtual bool image(PartReader&) { return true; }
  virtual bool install_script(PartReader&) { return true; }
  virtual bool uninstall_script(PartReader&) { return true; }
  virtual bool file_data(PartReader&) { return true; }
};

struct WalkedPackage;

// Takes the parts of the package whose metadata read_package_info has just read: Image,
// InstallScript, UninstallScript and FileData, each only in this order and each handed to
// parts, then decides the proof where the package ends: prove_judged_package with an earlier
// walk's verdict judged, else prove_package. *stopped tells whether parts stopped the walk
// (the proof is then kNone).
Proof walk_package_parts(PartReader& r, PackageParts& parts, bool* stopped,
                         const WalkedPackage* judged = nullptr,
                         const uint8_t* public_key = nullptr);

// The proof of the package whose parts r has just passed: a signature part that verifies
// (against public_key, the built-in key when null; r then moves past it), or, with r on the
// next package header or at the clean end of the stream, a package digest on the trusted list.
// A package whose parts came in another order, or were cut short, has neither: kNone.
Proof prove_package(PartReader& r, const uint8_t* public_key = nullptr);
// The same for bytes an earlier walk judged already (judged: its verdict on this package),
// read again from a copy nobody else can change: the reader need not hash; only where the
// package ends is checked again, and judged's proof is taken.
Proof prove_judged_package(PartReader& r, const WalkedPackage& judged);

// Passes over the rest of a package that is not installed, up to the next package header or
// the end of the stream.
void skip_package(PartReader& r);

// One package of an archive as the walk found it.
struct WalkedPackage {
  uint32_t offset = 0;    // archive offset of its PackageHeader body: where it is met again
  std::string name;       // as far as its header could be read
  uint32_t version = 0;
  bool readable = false;  // header and metadata read in full
  Proof proof = Proof::kNone;
  bool genuine() const { return readable && proof != Proof::kNone; }
};

// More packages than any real bundle holds (its contents list counts at most 65535).
constexpr size_t kMaxWalkedPackages = 65536;

// An archive as the walk found it, up to where an installation stops reading.
struct WalkedArchive {
  bool readable = false;  // a known file header followed by a package or bundle header
  bool bundle = false;
  PackageInfo bundle_info;            // a bundle's own header and metadata (signed by nobody)
  bool bundle_readable = false;
  std::vector<PackageRef> contents;   // a bundle's contents list
  // The package of a single-package archive (and any that follow it), or a bundle's members,
  // in archive order; no more than kMaxWalkedPackages (those after it count as not genuine).
  std::vector<WalkedPackage> packages;
  bool too_many = false;

  // The verdict on the package whose header body starts at offset; null when there is none.
  const WalkedPackage* at(uint32_t offset) const;
  // Whether any package is genuine.
  bool any_genuine() const;
};

// Walks a whole archive whose reader has only read the file header (and wants no part types
// yet), with the parts of mode:
// a single package and whatever packages follow it, or a bundle's header, contents list and
// members up to where an installation stops. Nothing is installed.
void walk_archive(PartReader& r, WalkMode mode, WalkedArchive* out,
                  const uint8_t* public_key = nullptr);

// The label of a walked package: name-version, or "(unnamed package)".
std::string walked_label(const WalkedPackage& p);

// Whether the archive of size bytes on in is whole and every package it installs is genuine
// (a bundle: every member), by the walk above with the built-in key. Nothing is written.
bool archive_is_genuine(std::istream& in, uint64_t size);

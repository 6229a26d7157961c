// Loading the installation medium's kernel modules, without any external program: each module
// file is mapped read-only and handed to the kernel. The lists' order is the load order; the
// loader resolves no dependencies.
#pragma once

class System;

// Paths relative to "/lib/modules/<release>/" of the running kernel, each list ending in a
// null entry. Storage (75 modules) is loaded before USB (7 modules).
extern const char* const storage_module_list[];
extern const char* const usb_module_list[];
// The network driver loaded at start-up in every mode.
extern const char startup_module[];

// Loads one module. Returns 0 when the kernel accepted it, -1 otherwise. A missing file is
// skipped silently; a file that cannot be mapped (an empty one, for instance) prints
// "ERROR: could not load module PATH"; a refusal by the kernel is silent.
int load_kernel_module(System& system, const char* relative_path);
// Loads every module of a null-terminated list in order, ignoring the results.
void load_kernel_module_list(System& system, const char* const* list);

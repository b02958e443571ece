/*
 * The accessory firmware images the phone carries, in /system_ext/etc/dfu
 * under a simulator's root. Any name can be put there: which entries count
 * as images is the service's decision.
 */
#pragma once

#include <twsim/simulator.h>

#include <string>
#include <vector>

namespace twsim {

// Writes a small DfuSe image named `name`; false when it cannot be written.
bool addDfuImage(const Simulator& sim, const std::string& name);
// Makes a directory named `name` in the firmware directory.
bool addDfuDirectory(const Simulator& sim, const std::string& name);
// Empties the firmware directory (it stays); false when something is left.
bool clearDfuImages(const Simulator& sim);
// Removes the firmware directory itself.
bool removeDfuDirectory(const Simulator& sim);
// Entry names in the order the file system lists them ("." and ".."
// left out), which is the order the service scans them in.
std::vector<std::string> dfuDirectoryOrder(const Simulator& sim);

}  // namespace twsim

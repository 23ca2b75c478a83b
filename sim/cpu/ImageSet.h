// The EFI images a board boots from instead of host builds: <Module>.efi for
// each module found in a directory, parsed and checked once. A module whose
// image is missing runs as its host build.
#pragma once

#include "PeImage.h"

#include <map>
#include <string>
#include <vector>

namespace sim::cpu {

class ImageSet {
public:
  struct Module {
    std::string name;
    Arch arch; // IA32 for PEI, X64 for DXE
  };

  // Throws ImageError when the directory cannot be read, an image is damaged
  // or has the wrong machine, or the images found cannot run beside the host
  // builds of the rest: host builds of SioGpioPei and SioSetupPei cannot call
  // an IA32 EcPei's EC_ACCESS_PPI.
  static ImageSet FromDirectory(const std::string &directory, const std::vector<Module> &modules);

  const PeImage *Find(const std::string &module) const;
  std::vector<std::string> Names() const; // in the order of `modules`
  const std::string &Directory() const { return directory_; }
  bool Empty() const { return images_.empty(); }

private:
  std::string directory_;
  std::vector<std::string> order_;
  std::map<std::string, PeImage> images_;
};

} // namespace sim::cpu

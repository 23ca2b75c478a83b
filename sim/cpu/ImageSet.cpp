// Reading an image directory.
#include "ImageSet.h"

#include <sys/stat.h>

namespace sim::cpu {

ImageSet ImageSet::FromDirectory(const std::string &directory,
                                 const std::vector<Module> &modules) {
  struct stat info;
  if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw ImageError(directory + ": not a directory");
  }
  ImageSet set;
  set.directory_ = directory;
  for (const Module &module : modules) {
    const std::string path = directory + "/" + module.name + ".efi";
    if (stat(path.c_str(), &info) != 0) {
      continue;
    }
    PeImage image = PeImage::FromFile(path);
    if (image.arch() != module.arch) {
      throw ImageError(path + ": an " + ArchName(image.arch()) + " image, but " + module.name +
                       " runs as " + ArchName(module.arch) + " code");
    }
    set.images_.emplace(module.name, std::move(image));
    set.order_.push_back(module.name);
  }
  if (set.Find("EcPei") != nullptr &&
      (set.Find("SioGpioPei") == nullptr || set.Find("SioSetupPei") == nullptr)) {
    throw ImageError(directory + ": EcPei.efi needs SioGpioPei.efi and SioSetupPei.efi beside it "
                                 "(their host builds cannot call IA32 code)");
  }
  return set;
}

const PeImage *ImageSet::Find(const std::string &module) const {
  auto it = images_.find(module);
  return it == images_.end() ? nullptr : &it->second;
}

std::vector<std::string> ImageSet::Names() const { return order_; }

} // namespace sim::cpu

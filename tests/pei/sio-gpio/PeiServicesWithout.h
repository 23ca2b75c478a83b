// A PEI services table that is the emulation's own except that LocatePpi does
// not find one PPI: a platform that lacks it. The emulation always installs
// its platform PPIs, so this is the only way to take one away.
#pragma once

#include <Pi/PiPeiCis.h>

#include <stdexcept>

#include "sim/pei/Pei.h"

namespace sio_test {

class PeiServicesWithout {
public:
  PeiServicesWithout(const sim::Pei &pei, const EFI_GUID &missing)
      : table_(**pei.PeiServices()), slot_(&table_) {
    if (original_ != nullptr) {
      throw std::logic_error("one PeiServicesWithout at a time");
    }
    original_ = table_.LocatePpi;
    missing_ = &missing;
    table_.LocatePpi = LocatePpi;
  }
  ~PeiServicesWithout() { original_ = nullptr; }
  PeiServicesWithout(const PeiServicesWithout &) = delete;
  PeiServicesWithout &operator=(const PeiServicesWithout &) = delete;

  const EFI_PEI_SERVICES **Services() { return &slot_; }

private:
  static EFI_STATUS EFIAPI LocatePpi(const EFI_PEI_SERVICES **services, const EFI_GUID *guid,
                                     UINTN instance, EFI_PEI_PPI_DESCRIPTOR **descriptor,
                                     VOID **ppi) {
    if (CompareGuid(guid, missing_)) {
      return EFI_NOT_FOUND;
    }
    return original_(services, guid, instance, descriptor, ppi);
  }

  static inline EFI_PEI_LOCATE_PPI original_ = nullptr;
  static inline const EFI_GUID *missing_ = nullptr;

  EFI_PEI_SERVICES table_;
  const EFI_PEI_SERVICES *slot_;
};

} // namespace sio_test

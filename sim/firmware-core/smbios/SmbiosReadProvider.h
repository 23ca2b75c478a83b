// The firmware core's SMBIOS_READ_PROTOCOL, served by the simulator from a
// parsed table image. ReadStructure takes no interface pointer, so the
// provider that answers it is the one most recently installed and still
// alive (one per boot, like the DXE phase itself). Each call copies the
// structure into a pool buffer of the current DXE phase (so the caller's
// FreePool and the leak accounting see it), writes the structure's handle
// into the fourth argument, and is logged and traced ("smbios.read").
// The eight firmware-core members before ReadStructure trap by name.
#pragma once

#include <Protocol/SmbiosRead.h>

#include <cstdint>
#include <string>
#include <vector>

#include "SmbiosTable.h"

namespace sim {
class Dxe;
}

namespace sim::smbios {

class SmbiosReadProvider {
public:
  struct Read {
    uint8_t type;
    uint8_t instance;
    EFI_STATUS status;
  };

  explicit SmbiosReadProvider(Table table);
  ~SmbiosReadProvider();
  SmbiosReadProvider(const SmbiosReadProvider &) = delete;
  SmbiosReadProvider &operator=(const SmbiosReadProvider &) = delete;

  // Installs the protocol on a new handle of `dxe` and makes this provider
  // the one that answers. Installing runs protocol notifications, so call it
  // inside a firmware run once drivers may listen.
  EFI_STATUS Install(Dxe &dxe);

  // Serves another table from the next call on (a structure appearing or
  // disappearing between two ready-to-boot signals).
  void SetTable(Table table) { table_ = std::move(table); }
  const Table &table() const { return table_; }

  const std::vector<Read> &Reads() const { return reads_; }
  void ClearReads() { reads_.clear(); }

  SMBIOS_READ_PROTOCOL *Protocol() { return &protocol_; }

private:
  static EFI_STATUS EFIAPI ReadStructure(UINT8 Type, UINT8 Instance, VOID **Structure,
                                         UINT64 *Reserved);
  EFI_STATUS Serve(UINT8 type, UINT8 instance, VOID **structure, UINT64 *reserved);

  static SmbiosReadProvider *current_;
  Table table_;
  SMBIOS_READ_PROTOCOL protocol_{};
  std::vector<Read> reads_;
  SmbiosReadProvider *previous_ = nullptr;
};

} // namespace sim::smbios
